#include "kdriver.h"
#include "kdebugdev.h"
#include "ktrace.h"

#define KUNIT "kdriver"

KDriver *KDriver::m_TheDriver = NULL;
BOOLEAN g_OlderFamily = FALSE;

/* ---- the driver's global objects ---- */

alignas(KTrace) static UCHAR s_TraceStorage[sizeof(KTrace)];

static NTSTATUS ConstructGlobals() {
  g_Trace = new (s_TraceStorage) KTrace("NERAVOX", KTRACE_CHANNEL | KTRACE_DBGPRINT | KTRACE_DOUBLE_PERCENT, 0, 5,
                                        NULL, NULL);
  return STATUS_SUCCESS;
}

/* The last constructed first. */
static VOID DestroyGlobals() {
  if (g_Trace != NULL) {
    g_Trace->~KTrace();
    g_Trace = NULL;
  }
}

/* ---- KDriver ---- */

void *KDriver::operator new(size_t Size, POOL_TYPE Pool) noexcept { return KAllocate(Pool, Size); }
void KDriver::operator delete(void *Memory) { KFree(Memory); }

KDriver::KDriver() : m_pDriverObject(NULL), m_HasDevices(FALSE) {
  m_RegistryPath.Length = 0;
  m_RegistryPath.MaximumLength = 0;
  m_RegistryPath.Buffer = NULL;
  KASSERT(m_TheDriver == NULL);
  if (m_TheDriver == NULL) m_TheDriver = this;
}

KDriver::~KDriver() {
  if (m_RegistryPath.Buffer != NULL) KFree(m_RegistryPath.Buffer);
  m_RegistryPath.Buffer = NULL;
  m_RegistryPath.Length = m_RegistryPath.MaximumLength = 0;
}

NTSTATUS KDriver::DriverEntry(PUNICODE_STRING RegistryPath) {
  KASSERT(FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS KDriver::AddDevice(PDEVICE_OBJECT Pdo) {
  KASSERT(FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS KDriver::DispatchFilter(KDevice *Device, KIrp I, PKDEVICE_DISPATCH Handler) {
  return Device->DeviceIrpDispatch(I);
}

/* Successors first, so devices go in the order they were created (the
   list has the newest at its head). */
VOID KDriver::DestroyDevices(PDEVICE_OBJECT Device) {
  if (Device == NULL) return;
  DestroyDevices(Device->NextDevice);
  KDevice *device = (KDevice *)Device->DeviceExtension;
  if (device != NULL) device->Destroy();
}

VOID KDriver::Unload() {
  if (m_HasDevices) DestroyDevices(m_pDriverObject->DeviceObject);
}

/* ---- routines installed in the system's driver object ---- */

static NTSTATUS KDriverDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KDebugReport(KDEBUG_EVENT_DISPATCH, (ULONG_PTR)KDriver::m_TheDriver, (ULONG_PTR)Irp);
  KDevice *device = (KDevice *)DeviceObject->DeviceExtension;
  if (device == NULL) {
    /* The device's object is already gone; nothing can handle the request. */
    Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  return device->DeviceIrpDispatch(KIrp(Irp));
}

static NTSTATUS KDriverAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  NTSTATUS status = KDriver::m_TheDriver->AddDevice(Pdo);
  if (NT_SUCCESS(status)) {
    for (PDEVICE_OBJECT device = DriverObject->DeviceObject; device != NULL; device = device->NextDevice)
      device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return status;
}

static VOID KDriverUnload(PDRIVER_OBJECT pDrvObj) {
  KDriver *driver = KDriver::m_TheDriver;
  if (driver != NULL) {
    KASSERT_TEXT(pDrvObj == driver->DriverObject(), "pDrvObj == m_TheDriver->DriverObject()", __LINE__);
    driver->Unload();
    /* While the instance still exists. */
    KDebugReport(KDEBUG_EVENT_DRIVER_UNLOADED, (ULONG_PTR)driver);
    delete driver;
    KDriver::m_TheDriver = NULL;
  }
  DestroyGlobals();
  KDebugHookTerminate();
}

static NTSTATUS OpenClassKey(PCWSTR Path, PHANDLE Key) {
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attributes;
  RtlInitUnicodeString(&path, Path);
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
  *Key = NULL;
  NTSTATUS status = ZwOpenKey(Key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) *Key = NULL;
  return status;
}

NTSTATUS KDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  /* A debugging tool, when one is present, hears about the whole load. */
  KDebugHookInitialize(DriverObject);
  KTraceForgetChannel();
  if (!NT_SUCCESS(ConstructGlobals())) {
    DestroyGlobals();
    KDebugHookTerminate();
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  HANDLE controlClass, servicesClass;
  NTSTATUS controlStatus =
      OpenClassKey(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class", &controlClass);
  NTSTATUS servicesStatus =
      OpenClassKey(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class", &servicesClass);
  PCSTR family;
  if (NT_SUCCESS(controlStatus)) {
    g_OlderFamily = FALSE;
    family = "NT";
  } else if (NT_SUCCESS(servicesStatus)) {
    g_OlderFamily = TRUE;
    family = "Win9x";
  } else {
    KASSERT(FALSE);
    g_OlderFamily = FALSE;
    family = "<unknown>";
  }
  KDebugReport(KDEBUG_EVENT_PLATFORM_FAMILY, (ULONG_PTR)DriverObject, (ULONG_PTR)family);

  NTSTATUS status = STATUS_SUCCESS;
  KDriver *driver = KDriverCreateInstance();
  if (driver == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    driver->m_pDriverObject = DriverObject;
    /* The copy gets a terminator, so it must stay within a counted
       string's limit. */
    if (RegistryPath->Length > MAXUSHORT - 3) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      USHORT characters = (USHORT)(RegistryPath->Length / sizeof(WCHAR) + 1);
      PWCH buffer = (PWCH)KAllocate(PagedPool, characters * sizeof(WCHAR));
      if (buffer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        RtlCopyMemory(buffer, RegistryPath->Buffer, RegistryPath->Length);
        buffer[RegistryPath->Length / sizeof(WCHAR)] = 0;
        driver->m_RegistryPath.Buffer = buffer;
        driver->m_RegistryPath.Length = RegistryPath->Length & ~1;
        driver->m_RegistryPath.MaximumLength = (USHORT)(characters * sizeof(WCHAR));
      }
    }

    if (NT_SUCCESS(status)) {
      DriverObject->MajorFunction[IRP_MJ_CREATE] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_CLOSE] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_READ] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_WRITE] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_CLEANUP] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_PNP] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_POWER] = KDriverDispatch;
      DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = KDriverDispatch;
      DriverObject->DriverUnload = KDriverUnload;
      DriverObject->DriverExtension->AddDevice = KDriverAddDevice;

      status = driver->DriverEntry(&driver->m_RegistryPath);
      driver->m_HasDevices = DriverObject->DeviceObject != NULL;
    }
  }
  /* Before a failed entry takes the instance and the hook away again. */
  KDebugReport(KDEBUG_EVENT_DRIVER_INITIALIZED, (ULONG_PTR)driver, (ULONG_PTR)RegistryPath,
               (ULONG_PTR)(LONG_PTR)status);

  /* A failed entry is never unloaded, so nothing it built may stay
     behind: not the instance, not the global objects. */
  if (!NT_SUCCESS(status)) {
    if (driver != NULL) {
      if (KDriver::m_TheDriver == driver) KDriver::m_TheDriver = NULL;
      delete driver;
    }
    DestroyGlobals();
    KDebugHookTerminate();
  }

  if (controlClass != NULL) ZwClose(controlClass);
  if (servicesClass != NULL) ZwClose(servicesClass);
  return status;
}
