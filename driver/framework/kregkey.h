/*
 * KRegistryKey: one open registry key, by path under a well-known root or
 * as a device's own key, and string values read from it. PASSIVE_LEVEL only;
 * not shared between threads.
 */
#pragma once

#include "kplatform.h"

/* Size of the header of KEY_VALUE_PARTIAL_INFORMATION (title index, type,
   data length) in front of the data. */
#define KREGISTRY_PARTIAL_HEADER 12

class KRegistryKey {
 public:
  KRegistryKey() : m_Disposition(0), m_hKey(NULL), m_Status(STATUS_SUCCESS) {}
  KRegistryKey(ULONG RelativeTo, PCWSTR Path, BOOLEAN Create = FALSE, ULONG CreateOptions = REG_OPTION_NON_VOLATILE,
               ACCESS_MASK Access = KEY_READ, ULONG Attributes = OBJ_CASE_INSENSITIVE);
  ~KRegistryKey();

  /* Opens (or creates) the key by path; the outcome is in Status(). */
  NTSTATUS Reconstruct(ULONG RelativeTo, PCWSTR Path, BOOLEAN Create = FALSE,
                       ULONG CreateOptions = REG_OPTION_NON_VOLATILE, ACCESS_MASK Access = KEY_READ,
                       ULONG Attributes = OBJ_CASE_INSENSITIVE);
  /* Opens a device's own key (IoOpenDeviceRegistryKey). */
  NTSTATUS Initialize(PDEVICE_OBJECT Pdo, ULONG KeyType, ACCESS_MASK Access);

  /* Reads a REG_SZ value. With *pSize 0 the buffer is allocated from Pool
     with the value's size, and the caller owns it even when a later step
     fails. The data is copied as stored; no terminator is added. */
  NTSTATUS QueryValue(PCWSTR Name, PVOID *pBuffer, ULONG *pSize, POOL_TYPE Pool);

  NTSTATUS Status() const { return m_Status; }
  HANDLE Handle() const { return m_hKey; }
  ULONG Disposition() const { return m_Disposition; }

 private:
  KRegistryKey(const KRegistryKey &) = delete;
  KRegistryKey &operator=(const KRegistryKey &) = delete;

  VOID Close();
  NTSTATUS QueryValueData(PCWSTR Name, PVOID *pBuffer, ULONG *pSize, POOL_TYPE Pool, ULONG *pType,
                          BOOLEAN *pAllocated);

  ULONG m_Disposition;
  HANDLE m_hKey;
  NTSTATUS m_Status;
};

/* The root path of an RTL_REGISTRY_ index, or NULL for an index outside
   0 to 5 (the absolute root is the empty string). */
PCWSTR KRegistryRoot(ULONG RelativeTo);
