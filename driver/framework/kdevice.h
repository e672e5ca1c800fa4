/*
 * KDevice: the framework's device object. It lives in the extension of a
 * system device object, carries the device's names and receives every
 * request for that device object through one virtual handler per request
 * kind.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"

/* A counted name that may own its (pool) buffer. Trivially constructible on
   purpose: the framework's device allocation fills the names in before the
   device's constructor runs, and the constructor must not wipe them. */
struct KCountedString {
  UNICODE_STRING m_String;
  BOOLEAN m_Owned;

  VOID Initialize() {
    m_String.Length = 0;
    m_String.MaximumLength = 0;
    m_String.Buffer = NULL;
    m_Owned = FALSE;
  }
  NTSTATUS Grow(ULONG Characters, POOL_TYPE Pool);
  NTSTATUS Assign(PCUNICODE_STRING Source);
  NTSTATUS Assign(PCWSTR Source);
  NTSTATUS Append(PCUNICODE_STRING Source);
  NTSTATUS Append(PCWSTR Source);
  /* Prefix + name, growing the buffer when prefix, name and a terminator
     do not fit. */
  NTSTATUS SetPrefixed(PCWSTR Prefix, PCWSTR Name, POOL_TYPE Pool);
  VOID Destroy();

  BOOLEAN IsEmpty() const { return m_String.Length == 0; }
  PUNICODE_STRING String() { return &m_String; }
};

/* Set in the marker by the framework's device allocation. */
#define KDEVICE_MARKER 0x204B4458UL
#define KDEVICE_FRAMEWORK_CREATED 0x80000000UL

class KDeviceBase {
 public:
  KDeviceBase();
  virtual VOID Destroy();  /* the deleting destructor */
  virtual ~KDeviceBase();

  /* The deleting destructor's last step: a framework-created device object
     is deleted, which releases the extension holding the object. */
  static void operator delete(void *Memory);

  PDEVICE_OBJECT DeviceObject() const { return m_pDeviceObject; }
  BOOLEAN IsFrameworkCreated() const {
    return (m_Marker & KDEVICE_FRAMEWORK_CREATED) != 0 && (m_Marker & ~KDEVICE_FRAMEWORK_CREATED) == KDEVICE_MARKER;
  }

 protected:
  PDEVICE_OBJECT m_pDeviceObject;
  ULONG m_Marker;
};

class KDevice;
typedef NTSTATUS (*PKDEVICE_DISPATCH)(KDevice *Device, KIrp I);

class KDevice : public KDeviceBase {
 public:
  KDevice();
  ~KDevice() override;

  /* The framework's device allocation. Memory NULL places the object in the
     new device object's extension. Names come without their "\Device\" or
     link prefix. Returns the object's memory, or NULL with *pStatus. */
  static PVOID __construct(PVOID Memory, ULONG ExtensionSize, PCWSTR DeviceName, DEVICE_TYPE Type,
                           PCWSTR LinkName, ULONG Characteristics, ULONG DeviceFlags, NTSTATUS *pStatus);

  /* The creating operator: the object goes into the extension of a new
     device object, which its deletion deletes again. NULL when the device
     object cannot be created. */
  static void *operator new(size_t Size, PCWSTR DeviceName, DEVICE_TYPE Type, PCWSTR LinkName,
                            ULONG Characteristics, ULONG DeviceFlags) noexcept;
  /* In-place construction over memory the caller owns. */
  static void *operator new(size_t Size, void *Memory) noexcept { return Memory; }
  static void operator delete(void *Memory) { KDeviceBase::operator delete(Memory); }
  static void operator delete(void *Memory, PCWSTR, DEVICE_TYPE, PCWSTR, ULONG, ULONG) {}
  static void operator delete(void *, void *) {}

  NTSTATUS ConstructorStatus() const { return m_ConstructorStatus; }
  PUNICODE_STRING DeviceName() { return m_DeviceName.String(); }
  PUNICODE_STRING LinkName() { return m_LinkName.String(); }
  BOOLEAN IsPnpDevice() const { return m_IsPnpDevice; }

  NTSTATUS CreateLink(PCWSTR Name, BOOLEAN Protected);
  NTSTATUS DestroyLink(PCWSTR Name);

  /* Slot order matters: the request table reaches the handlers by it. */
  virtual NTSTATUS DeviceIrpDispatch(KIrp I);
  virtual NTSTATUS Create(KIrp I);
  virtual NTSTATUS CreateClose(KIrp I);
  virtual NTSTATUS CreateNamedPipe(KIrp I);
  virtual NTSTATUS Close(KIrp I);
  virtual NTSTATUS Read(KIrp I);
  virtual NTSTATUS ReadWrite(KIrp I);
  virtual NTSTATUS Write(KIrp I);
  virtual NTSTATUS QueryInformation(KIrp I);
  virtual NTSTATUS SetInformation(KIrp I);
  virtual NTSTATUS QueryEa(KIrp I);
  virtual NTSTATUS SetEa(KIrp I);
  virtual NTSTATUS FlushBuffers(KIrp I);
  virtual NTSTATUS QueryVolumeInformation(KIrp I);
  virtual NTSTATUS SetVolumeInformation(KIrp I);
  virtual NTSTATUS DirectoryControl(KIrp I);
  virtual NTSTATUS FileSystemControl(KIrp I);
  virtual NTSTATUS DeviceControl(KIrp I);
  virtual NTSTATUS InternalDeviceControl(KIrp I);
  virtual NTSTATUS Shutdown(KIrp I);
  virtual NTSTATUS LockControl(KIrp I);
  virtual NTSTATUS CleanUp(KIrp I);
  virtual NTSTATUS CreateMailslot(KIrp I);
  virtual NTSTATUS QuerySecurity(KIrp I);
  virtual NTSTATUS SetSecurity(KIrp I);
  virtual NTSTATUS Power(KIrp I);
  virtual NTSTATUS SystemControl(KIrp I);
  virtual NTSTATUS DeviceChange(KIrp I);
  virtual NTSTATUS QueryQuota(KIrp I);
  virtual NTSTATUS SetQuota(KIrp I);
  virtual NTSTATUS Pnp(KIrp I);
  /* Reached by no request-table entry; a queue may call it directly. */
  virtual VOID StartIo(KIrp I);

  /* Indexed by major function code; read-only. */
  static const PKDEVICE_DISPATCH m_RequestTable[IRP_MJ_MAXIMUM_FUNCTION + 1];

 protected:
  NTSTATUS DefaultHandler(KIrp I);

  KCountedString m_DeviceName; /* "\Device\" + name; empty when unnamed */
  KCountedString m_LinkName;   /* link created with the device; empty when none */
  NTSTATUS m_ConstructorStatus;
  BOOLEAN m_IsPnpDevice;
};
