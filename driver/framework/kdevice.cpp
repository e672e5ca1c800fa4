#include "kdevice.h"
#include "kdriver.h"
#include "kdebugdev.h"

#define KUNIT "kdevice"

#define DEVICE_PREFIX L"\\Device\\"
#define DOSDEVICES_PREFIX L"\\DosDevices\\"
#define GLOBAL_PREFIX L"\\??\\"

static ULONG WideLength(PCWSTR s) {
  ULONG n = 0;
  while (s[n] != 0) n++;
  return n;
}

/* Bytes a prefixed name needs from an empty string, with its terminator. */
static ULONG PrefixedSize(PCWSTR Prefix, PCWSTR Name) {
  return (WideLength(Prefix) + WideLength(Name) + 1) * sizeof(WCHAR);
}

static VOID ReportNoMemory(NTSTATUS Status, PVOID Object, PCSTR Operation, ULONG Size) {
  if (Status == STATUS_INSUFFICIENT_RESOURCES)
    KDebugReport(KDEBUG_EVENT_NO_MEMORY, (ULONG_PTR)Object, (ULONG_PTR)Operation, Size);
}

/* ---- KCountedString ---- */

NTSTATUS KCountedString::Grow(ULONG Characters, POOL_TYPE Pool) {
  ULONG size = (ULONG)m_String.MaximumLength + 2 * Characters;
  if (Characters > MAXUSHORT || size > MAXUSHORT - 1) return STATUS_INVALID_PARAMETER;
  PWCH buffer = (PWCH)KAllocate(Pool, size);
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  if (m_String.Buffer != NULL && m_String.Length != 0) RtlCopyMemory(buffer, m_String.Buffer, m_String.Length);
  if (m_Owned && m_String.Buffer != NULL) KFree(m_String.Buffer);
  m_String.Buffer = buffer;
  m_String.MaximumLength = (USHORT)size;
  m_Owned = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS KCountedString::Assign(PCUNICODE_STRING Source) {
  if (Source->Length > m_String.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  if (Source->Length != 0) RtlMoveMemory(m_String.Buffer, Source->Buffer, Source->Length);
  m_String.Length = Source->Length;
  return STATUS_SUCCESS;
}

NTSTATUS KCountedString::Assign(PCWSTR Source) {
  ULONG length = WideLength(Source) * sizeof(WCHAR);
  if (length > m_String.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  if (length != 0) RtlMoveMemory(m_String.Buffer, Source, length);
  m_String.Length = (USHORT)length;
  return STATUS_SUCCESS;
}

NTSTATUS KCountedString::Append(PCUNICODE_STRING Source) {
  return RtlAppendUnicodeStringToString(&m_String, Source);
}

NTSTATUS KCountedString::Append(PCWSTR Source) {
  ULONG length = WideLength(Source) * sizeof(WCHAR);
  if (length > MAXUSHORT - 2) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING source;
  source.Buffer = (PWCH)Source;
  source.Length = (USHORT)length;
  source.MaximumLength = (USHORT)length;
  return RtlAppendUnicodeStringToString(&m_String, &source);
}

NTSTATUS KCountedString::SetPrefixed(PCWSTR Prefix, PCWSTR Name, POOL_TYPE Pool) {
  ULONG needed = WideLength(Prefix) + WideLength(Name) + 1; /* characters */
  if (needed > MAXUSHORT / sizeof(WCHAR) - 1) return STATUS_INVALID_PARAMETER;
  ULONG have = m_String.MaximumLength / sizeof(WCHAR);
  if (needed > have) {
    NTSTATUS status = Grow(needed - have, Pool);
    if (!NT_SUCCESS(status)) return status;
  }
  NTSTATUS status = Assign(Prefix);
  if (!NT_SUCCESS(status)) return status;
  return Append(Name);
}

VOID KCountedString::Destroy() {
  if (m_Owned && m_String.Buffer != NULL) KFree(m_String.Buffer);
  Initialize();
}

/* ---- KDeviceBase ---- */

KDeviceBase::KDeviceBase() {
  /* The framework's allocation has already stored the device object and set
     the marker; anything else starts without a device object. */
  if (!IsFrameworkCreated()) m_pDeviceObject = NULL;
}

VOID KDeviceBase::Destroy() { delete this; }

KDeviceBase::~KDeviceBase() {
  if (m_pDeviceObject != NULL && !IsFrameworkCreated()) {
    IoDeleteDevice(m_pDeviceObject);
    m_pDeviceObject = NULL;
  }
  /* A framework-created device object is deleted by operator delete, which
     still needs the pointer and the marker. */
}

/* ---- KDevice ---- */

KDevice::KDevice() {
  if (!IsFrameworkCreated()) {
    m_DeviceName.Initialize();
    m_LinkName.Initialize();
    m_ConstructorStatus = STATUS_SUCCESS;
  }
  m_IsPnpDevice = FALSE;
}

KDevice::~KDevice() {
  if (m_pDeviceObject != NULL) {
    if (!m_LinkName.IsEmpty()) {
      KDebugReport(KDEBUG_EVENT_LINK_DELETED, (ULONG_PTR)this, (ULONG_PTR)m_LinkName.String());
      IoDeleteSymbolicLink(m_LinkName.String());
      m_LinkName.Destroy();
    }
    /* The extension pointer was redirected to this object's memory when the
       object does not live in the device object's own extension. */
    if (!IsFrameworkCreated()) m_pDeviceObject->DeviceExtension = NULL;
  }
  m_LinkName.Destroy();
  m_DeviceName.Destroy();
}

PVOID KDevice::__construct(PVOID Memory, ULONG ExtensionSize, PCWSTR DeviceName, DEVICE_TYPE Type,
                           PCWSTR LinkName, ULONG Characteristics, ULONG DeviceFlags, NTSTATUS *pStatus) {
  KCountedString name;
  name.Initialize();
  NTSTATUS status = STATUS_SUCCESS;

  if (DeviceName != NULL) {
    status = name.SetPrefixed(DEVICE_PREFIX, DeviceName, PagedPool);
    if (!NT_SUCCESS(status)) {
      ReportNoMemory(status, Memory, "KDevice::__construct", PrefixedSize(DEVICE_PREFIX, DeviceName));
      name.Destroy();
      *pStatus = status;
      return NULL;
    }
  }

  PDEVICE_OBJECT deviceObject = NULL;
  status = IoCreateDevice(KDriver::m_TheDriver->DriverObject(), ExtensionSize,
                          DeviceName != NULL ? name.String() : NULL, Type, Characteristics,
                          (DeviceFlags & DO_EXCLUSIVE) ? TRUE : FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    KDebugReport(KDEBUG_EVENT_DEVICE_CREATED, (ULONG_PTR)Memory, (ULONG_PTR)DeviceName, (ULONG_PTR)(LONG_PTR)status);
    name.Destroy();
    *pStatus = status;
    return NULL;
  }

  KDevice *device;
  if (Memory != NULL) {
    device = (KDevice *)Memory;
    deviceObject->DeviceExtension = Memory;
  } else {
    device = (KDevice *)deviceObject->DeviceExtension;
  }
  KDebugReport(KDEBUG_EVENT_DEVICE_CREATED, (ULONG_PTR)device, (ULONG_PTR)DeviceName, (ULONG_PTR)(LONG_PTR)status);
  device->m_pDeviceObject = deviceObject;
  device->m_DeviceName.Initialize();
  device->m_LinkName.Initialize();

  if (DeviceName != NULL) {
    status = device->m_DeviceName.Grow(name.String()->Length / sizeof(WCHAR), PagedPool);
    if (NT_SUCCESS(status)) status = device->m_DeviceName.Assign(name.String());
    if (!NT_SUCCESS(status)) {
      ReportNoMemory(status, device, "KDevice::__construct", name.String()->Length);
      device->m_DeviceName.Destroy();
      name.Destroy();
      IoDeleteDevice(deviceObject);
      *pStatus = status;
      return NULL;
    }
  }
  name.Destroy();

  if (DeviceName != NULL && LinkName != NULL) {
    status = device->m_LinkName.SetPrefixed(g_OlderFamily ? DOSDEVICES_PREFIX : GLOBAL_PREFIX, LinkName, PagedPool);
    if (NT_SUCCESS(status)) {
      status = IoCreateSymbolicLink(device->m_LinkName.String(), device->m_DeviceName.String());
      KDebugReport(KDEBUG_EVENT_LINK_CREATED, (ULONG_PTR)device, (ULONG_PTR)device->m_LinkName.String(),
                   (ULONG_PTR)(LONG_PTR)status);
      if (!NT_SUCCESS(status)) device->m_pDeviceObject = NULL;
    } else {
      ReportNoMemory(status, device, "Creating link",
                     PrefixedSize(g_OlderFamily ? DOSDEVICES_PREFIX : GLOBAL_PREFIX, LinkName));
    }
    if (!NT_SUCCESS(status)) {
      device->m_LinkName.Destroy();
      device->m_DeviceName.Destroy();
      IoDeleteDevice(deviceObject);
      *pStatus = status;
      return NULL;
    }
  }

  deviceObject->Flags |= DeviceFlags;
  device->m_ConstructorStatus = status;
  device->m_IsPnpDevice = FALSE;
  *pStatus = status;
  return device;
}

void *KDevice::operator new(size_t Size, PCWSTR DeviceName, DEVICE_TYPE Type, PCWSTR LinkName,
                            ULONG Characteristics, ULONG DeviceFlags) noexcept {
  NTSTATUS status;
  if (Size > MAXULONG) return NULL;
  PVOID memory = __construct(NULL, (ULONG)Size, DeviceName, Type, LinkName, Characteristics, DeviceFlags, &status);
  if (memory != NULL) ((KDevice *)memory)->m_Marker = KDEVICE_MARKER | KDEVICE_FRAMEWORK_CREATED;
  return memory;
}

void KDeviceBase::operator delete(void *Memory) {
  /* The destructors have run; the device object pointer and the marker are
     left in place for this last step. */
  KDeviceBase *device = (KDeviceBase *)Memory;
  PDEVICE_OBJECT deviceObject = device->m_pDeviceObject;
  if (deviceObject != NULL && device->IsFrameworkCreated()) IoDeleteDevice(deviceObject);
}

NTSTATUS KDevice::CreateLink(PCWSTR Name, BOOLEAN Protected) {
  if (Name == NULL) return STATUS_INVALID_PARAMETER;
  KCountedString link;
  link.Initialize();
  NTSTATUS status = link.SetPrefixed(DOSDEVICES_PREFIX, Name, PagedPool);
  if (!NT_SUCCESS(status)) {
    ReportNoMemory(status, this, "Creating link", PrefixedSize(DOSDEVICES_PREFIX, Name));
    link.Destroy();
    return status;
  }
  status = Protected ? IoCreateSymbolicLink(link.String(), m_DeviceName.String())
                     : IoCreateUnprotectedSymbolicLink(link.String(), m_DeviceName.String());
  KDebugReport(KDEBUG_EVENT_LINK_CREATED, (ULONG_PTR)this, (ULONG_PTR)link.String(), (ULONG_PTR)(LONG_PTR)status);
  link.Destroy();
  return status;
}

NTSTATUS KDevice::DestroyLink(PCWSTR Name) {
  if (Name == NULL) {
    if (m_LinkName.IsEmpty()) return STATUS_INVALID_PARAMETER;
    KDebugReport(KDEBUG_EVENT_LINK_DELETED, (ULONG_PTR)this, (ULONG_PTR)m_LinkName.String());
    IoDeleteSymbolicLink(m_LinkName.String());
    m_LinkName.Destroy();
    return STATUS_SUCCESS;
  }
  KCountedString link;
  link.Initialize();
  NTSTATUS status = link.SetPrefixed(g_OlderFamily ? GLOBAL_PREFIX : DOSDEVICES_PREFIX, Name, PagedPool);
  if (!NT_SUCCESS(status)) {
    ReportNoMemory(status, this, "Destroying link",
                   PrefixedSize(g_OlderFamily ? GLOBAL_PREFIX : DOSDEVICES_PREFIX, Name));
    link.Destroy();
    return status;
  }
  KDebugReport(KDEBUG_EVENT_LINK_DELETED, (ULONG_PTR)this, (ULONG_PTR)link.String());
  status = IoDeleteSymbolicLink(link.String());
  link.Destroy();
  return status;
}

NTSTATUS KDevice::DeviceIrpDispatch(KIrp I) {
  ULONG major = I.MajorFunction(CURRENT);
  KASSERT_TEXT(major <= IRP_MJ_MAXIMUM_FUNCTION, "Major <= IRP_MJ_MAXIMUM_FUNCTION", __LINE__);
  /* The table has exactly one entry per code; a larger code has no
     handler to go to. */
  if (major > IRP_MJ_MAXIMUM_FUNCTION) return I.Complete(STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  return m_RequestTable[major](this, I);
}

NTSTATUS KDevice::DefaultHandler(KIrp I) {
  KASSERT(FALSE);
  return I.Complete(STATUS_NOT_IMPLEMENTED, IO_NO_INCREMENT);
}

#define DEFAULT_HANDLER(Name) \
  NTSTATUS KDevice::Name(KIrp I) { return DefaultHandler(I); }
DEFAULT_HANDLER(Create)
DEFAULT_HANDLER(CreateClose)
DEFAULT_HANDLER(CreateNamedPipe)
DEFAULT_HANDLER(Close)
DEFAULT_HANDLER(Read)
DEFAULT_HANDLER(ReadWrite)
DEFAULT_HANDLER(Write)
DEFAULT_HANDLER(QueryInformation)
DEFAULT_HANDLER(SetInformation)
DEFAULT_HANDLER(QueryEa)
DEFAULT_HANDLER(SetEa)
DEFAULT_HANDLER(FlushBuffers)
DEFAULT_HANDLER(QueryVolumeInformation)
DEFAULT_HANDLER(SetVolumeInformation)
DEFAULT_HANDLER(DirectoryControl)
DEFAULT_HANDLER(FileSystemControl)
DEFAULT_HANDLER(DeviceControl)
DEFAULT_HANDLER(InternalDeviceControl)
DEFAULT_HANDLER(Shutdown)
DEFAULT_HANDLER(LockControl)
DEFAULT_HANDLER(CleanUp)
DEFAULT_HANDLER(CreateMailslot)
DEFAULT_HANDLER(QuerySecurity)
DEFAULT_HANDLER(SetSecurity)
DEFAULT_HANDLER(Power)
DEFAULT_HANDLER(SystemControl)
DEFAULT_HANDLER(DeviceChange)
DEFAULT_HANDLER(QueryQuota)
DEFAULT_HANDLER(SetQuota)
DEFAULT_HANDLER(Pnp)

VOID KDevice::StartIo(KIrp I) {}

/* ---- the request table: one adapter per major code ---- */

#define ENTRY(Name) \
  static NTSTATUS Dispatch##Name(KDevice *Device, KIrp I) { return Device->Name(I); }
ENTRY(Create)
ENTRY(CreateNamedPipe)
ENTRY(Close)
ENTRY(Read)
ENTRY(Write)
ENTRY(QueryInformation)
ENTRY(SetInformation)
ENTRY(QueryEa)
ENTRY(SetEa)
ENTRY(FlushBuffers)
ENTRY(QueryVolumeInformation)
ENTRY(SetVolumeInformation)
ENTRY(DirectoryControl)
ENTRY(FileSystemControl)
ENTRY(DeviceControl)
ENTRY(InternalDeviceControl)
ENTRY(Shutdown)
ENTRY(LockControl)
ENTRY(CleanUp)
ENTRY(CreateMailslot)
ENTRY(QuerySecurity)
ENTRY(SetSecurity)
ENTRY(Power)
ENTRY(SystemControl)
ENTRY(DeviceChange)
ENTRY(QueryQuota)
ENTRY(SetQuota)
ENTRY(Pnp)

const PKDEVICE_DISPATCH KDevice::m_RequestTable[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
    DispatchCreate,                 /* IRP_MJ_CREATE */
    DispatchCreateNamedPipe,        /* IRP_MJ_CREATE_NAMED_PIPE */
    DispatchClose,                  /* IRP_MJ_CLOSE */
    DispatchRead,                   /* IRP_MJ_READ */
    DispatchWrite,                  /* IRP_MJ_WRITE */
    DispatchQueryInformation,       /* IRP_MJ_QUERY_INFORMATION */
    DispatchSetInformation,         /* IRP_MJ_SET_INFORMATION */
    DispatchQueryEa,                /* IRP_MJ_QUERY_EA */
    DispatchSetEa,                  /* IRP_MJ_SET_EA */
    DispatchFlushBuffers,           /* IRP_MJ_FLUSH_BUFFERS */
    DispatchQueryVolumeInformation, /* IRP_MJ_QUERY_VOLUME_INFORMATION */
    DispatchSetVolumeInformation,   /* IRP_MJ_SET_VOLUME_INFORMATION */
    DispatchDirectoryControl,       /* IRP_MJ_DIRECTORY_CONTROL */
    DispatchFileSystemControl,      /* IRP_MJ_FILE_SYSTEM_CONTROL */
    DispatchDeviceControl,          /* IRP_MJ_DEVICE_CONTROL */
    DispatchInternalDeviceControl,  /* IRP_MJ_INTERNAL_DEVICE_CONTROL */
    DispatchShutdown,               /* IRP_MJ_SHUTDOWN */
    DispatchLockControl,            /* IRP_MJ_LOCK_CONTROL */
    DispatchCleanUp,                /* IRP_MJ_CLEANUP */
    DispatchCreateMailslot,         /* IRP_MJ_CREATE_MAILSLOT */
    DispatchQuerySecurity,          /* IRP_MJ_QUERY_SECURITY */
    DispatchSetSecurity,            /* IRP_MJ_SET_SECURITY */
    DispatchPower,                  /* IRP_MJ_POWER */
    DispatchSystemControl,          /* IRP_MJ_SYSTEM_CONTROL */
    DispatchDeviceChange,           /* IRP_MJ_DEVICE_CHANGE */
    DispatchQueryQuota,             /* IRP_MJ_QUERY_QUOTA */
    DispatchSetQuota,               /* IRP_MJ_SET_QUOTA */
    DispatchPnp,                    /* IRP_MJ_PNP */
};
