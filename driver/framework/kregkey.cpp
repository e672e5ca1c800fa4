#include "kregkey.h"
#include "kdebugdev.h"

#define KUNIT "kregkey"

static PCWSTR const s_Roots[] = {
    L"",                                                           /* RTL_REGISTRY_ABSOLUTE */
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services",   /* RTL_REGISTRY_SERVICES */
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control",    /* RTL_REGISTRY_CONTROL */
    L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion", /* RTL_REGISTRY_WINDOWS_NT */
    L"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP",                   /* RTL_REGISTRY_DEVICEMAP */
    L"\\Registry\\User",                                           /* RTL_REGISTRY_USER */
};

static ULONG WideLength(PCWSTR s) {
  ULONG n = 0;
  while (s[n] != 0) n++;
  return n;
}

PCWSTR KRegistryRoot(ULONG RelativeTo) {
  KASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
  if (RelativeTo >= RTL_NUMBER_OF(s_Roots)) return NULL;
  return s_Roots[RelativeTo];
}

KRegistryKey::KRegistryKey(ULONG RelativeTo, PCWSTR Path, BOOLEAN Create, ULONG CreateOptions, ACCESS_MASK Access,
                           ULONG Attributes)
    : m_Disposition(0), m_hKey(NULL), m_Status(STATUS_SUCCESS) {
  Reconstruct(RelativeTo, Path, Create, CreateOptions, Access, Attributes);
}

KRegistryKey::~KRegistryKey() { Close(); }

VOID KRegistryKey::Close() {
  if (m_hKey != NULL) ZwClose(m_hKey);
  m_hKey = NULL;
}

NTSTATUS KRegistryKey::Reconstruct(ULONG RelativeTo, PCWSTR Path, BOOLEAN Create, ULONG CreateOptions,
                                   ACCESS_MASK Access, ULONG Attributes) {
  KASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  Close();
  m_Disposition = 0;

  PCWSTR root = KRegistryRoot(RelativeTo);
  if (root == NULL) {
    m_Status = STATUS_INVALID_PARAMETER;
    return m_Status;
  }
  ULONG rootLength = WideLength(root);
  ULONG subLength = Path != NULL ? WideLength(Path) : 0;

  /* Root, one backslash unless one side brings it, subkey. */
  BOOLEAN separator = rootLength != 0 && subLength != 0 && root[rootLength - 1] != L'\\' && Path[0] != L'\\';
  ULONG length = rootLength + (separator ? 1 : 0) + subLength;
  if ((length + 1) * sizeof(WCHAR) > MAXUSHORT) {
    m_Status = STATUS_INVALID_PARAMETER;
    return m_Status;
  }
  PWCH joined = (PWCH)KAllocate(PagedPool, (length + 1) * sizeof(WCHAR));
  if (joined == NULL) {
    KDebugReport(KDEBUG_EVENT_NO_MEMORY, (ULONG_PTR)this, (ULONG_PTR) "KRegistryKey::Reconstruct",
                 (length + 1) * sizeof(WCHAR));
    m_Status = STATUS_INSUFFICIENT_RESOURCES;
    return m_Status;
  }
  ULONG at = 0;
  RtlCopyMemory(joined, root, rootLength * sizeof(WCHAR));
  at += rootLength;
  if (separator) joined[at++] = L'\\';
  if (subLength != 0) RtlCopyMemory(joined + at, Path, subLength * sizeof(WCHAR));
  at += subLength;
  joined[at] = 0;

  UNICODE_STRING path;
  path.Buffer = joined;
  path.Length = (USHORT)(at * sizeof(WCHAR));
  path.MaximumLength = (USHORT)((at + 1) * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, Attributes, NULL, NULL);

  HANDLE key = NULL;
  if (Create)
    m_Status = ZwCreateKey(&key, Access, &attributes, 0, NULL, CreateOptions, &m_Disposition);
  else
    m_Status = ZwOpenKey(&key, Access, &attributes);
  m_hKey = NT_SUCCESS(m_Status) ? key : NULL;
  KDebugReport(KDEBUG_EVENT_KEY_OPENED, (ULONG_PTR)this, (ULONG_PTR)&path, (ULONG_PTR)(LONG_PTR)m_Status);

  KFree(joined);
  return m_Status;
}

NTSTATUS KRegistryKey::Initialize(PDEVICE_OBJECT Pdo, ULONG KeyType, ACCESS_MASK Access) {
  KASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  Close();
  m_Disposition = 0;
  HANDLE key = NULL;
  m_Status = IoOpenDeviceRegistryKey(Pdo, KeyType, Access, &key);
  m_hKey = NT_SUCCESS(m_Status) ? key : NULL;
  /* A device's key has no path of ours. */
  KDebugReport(KDEBUG_EVENT_KEY_OPENED, (ULONG_PTR)this, 0, (ULONG_PTR)(LONG_PTR)m_Status);
  return m_Status;
}

NTSTATUS KRegistryKey::QueryValue(PCWSTR Name, PVOID *pBuffer, ULONG *pSize, POOL_TYPE Pool) {
  KASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  BOOLEAN hadBuffer = *pSize != 0;
  ULONG type = REG_NONE;
  BOOLEAN allocated = FALSE;
  NTSTATUS status = QueryValueData(Name, pBuffer, pSize, Pool, &type, &allocated);
  /* An unmeasured buffer pointer is the caller's and may hold anything. */
  PVOID buffer = hadBuffer || allocated ? *pBuffer : NULL;
  KDebugReport(KDEBUG_EVENT_VALUE_QUERIED, (ULONG_PTR)this, (ULONG_PTR)Name, type, (ULONG_PTR)buffer, *pSize,
               (ULONG_PTR)(LONG_PTR)status);
  return status;
}

NTSTATUS KRegistryKey::QueryValueData(PCWSTR Name, PVOID *pBuffer, ULONG *pSize, POOL_TYPE Pool, ULONG *pType,
                                      BOOLEAN *pAllocated) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);

  if (*pSize == 0) {
    /* Measure: a header-only record reports the full size. */
    ULONG header[KREGISTRY_PARTIAL_HEADER / sizeof(ULONG)] = {0, 0, 0};
    ULONG resultLength = 0;
    NTSTATUS status =
        ZwQueryValueKey(m_hKey, &name, KeyValuePartialInformation, header, sizeof(header), &resultLength);
    ULONG size = 0;
    if ((status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) &&
        resultLength > KREGISTRY_PARTIAL_HEADER)
      size = resultLength - KREGISTRY_PARTIAL_HEADER;
    *pSize = size;
    *pType = header[1];
    if (size == 0) return STATUS_INSUFFICIENT_RESOURCES;
    *pBuffer = KAllocate(Pool, size);
    if (*pBuffer == NULL) {
      KDebugReport(KDEBUG_EVENT_NO_MEMORY, (ULONG_PTR)this, (ULONG_PTR) "KRegistryKey::QueryValue", size);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    *pAllocated = TRUE;
  }

  ULONG size = *pSize;
  if (size > MAXULONG - KREGISTRY_PARTIAL_HEADER) return STATUS_INVALID_PARAMETER;
  PKEY_VALUE_PARTIAL_INFORMATION record =
      (PKEY_VALUE_PARTIAL_INFORMATION)KAllocate(PagedPool, size + KREGISTRY_PARTIAL_HEADER);
  if (record == NULL) {
    KDebugReport(KDEBUG_EVENT_NO_MEMORY, (ULONG_PTR)this, (ULONG_PTR) "KRegistryKey::QueryValue",
                 size + KREGISTRY_PARTIAL_HEADER);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(m_hKey, &name, KeyValuePartialInformation, record,
                                    size + KREGISTRY_PARTIAL_HEADER, &resultLength);
  if (NT_SUCCESS(status)) {
    /* The caller's buffer holds size bytes: never copy more. */
    ULONG length = record->DataLength;
    if (length > size) {
      status = STATUS_BUFFER_OVERFLOW;
    } else {
      RtlCopyMemory(*pBuffer, record->Data, length);
      *pSize = length;
    }
  }
  ULONG type = record->Type;
  /* The record's header is filled in only by these outcomes. */
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) *pType = type;
  KFree(record);
  if (NT_SUCCESS(status) && type != REG_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
  return status;
}
