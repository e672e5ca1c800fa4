/*
 * KDriver: the one driver instance, and the framework entry that builds it.
 *
 * The driver supplies the instance through KDriverCreateInstance (declare it
 * with DECLARE_KDRIVER) and calls KDriverEntry from its DriverEntry.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"
#include "kdevice.h"

class KDriver {
 public:
  KDriver();
  virtual ~KDriver();

  virtual NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath);
  virtual VOID Unload();
  virtual NTSTATUS AddDevice(PDEVICE_OBJECT Pdo);
  /* Not called by the framework's own dispatch routine. */
  virtual NTSTATUS DispatchFilter(KDevice *Device, KIrp I, PKDEVICE_DISPATCH Handler);

  PDRIVER_OBJECT DriverObject() const { return m_pDriverObject; }
  PCUNICODE_STRING RegistryPath() const { return &m_RegistryPath; }

  /* Driver instances live in pool. */
  static void *operator new(size_t Size, POOL_TYPE Pool) noexcept;
  static void operator delete(void *Memory);
  static void operator delete(void *Memory, POOL_TYPE Pool) { operator delete(Memory); }

  static KDriver *m_TheDriver;

 private:
  KDriver(const KDriver &) = delete;
  KDriver &operator=(const KDriver &) = delete;

  static VOID DestroyDevices(PDEVICE_OBJECT Device);

  PDRIVER_OBJECT m_pDriverObject;
  UNICODE_STRING m_RegistryPath; /* private, NUL-terminated copy; paged pool */
  BOOLEAN m_HasDevices;          /* the device list was not empty right after DriverEntry */

  friend NTSTATUS KDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
};

/* TRUE on the older platform family (only Services\Class exists). */
extern BOOLEAN g_OlderFamily;

/* The framework entry: the driver's DriverEntry returns its status. */
NTSTATUS KDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* Supplied by the driver: allocates the one instance from non-paged pool
   and constructs it; NULL without memory. */
KDriver *KDriverCreateInstance();

#define DECLARE_KDRIVER(Class) \
  KDriver *KDriverCreateInstance() { return new (NonPagedPool) Class; }
