/*
 * Driver, device and file objects: creation and deletion, device stacks,
 * and the kernel side of opening, cleaning up and closing a device.
 *
 * The device database lock guards every device's AttachedDevice, its
 * extension's AttachedTo and ExtensionFlags, and every driver's device list.
 * An attachment holds a reference on the lower device, so a device deleted
 * while another is still attached above it stays in memory until that one
 * detaches.
 */
#include <atomic>
#include <cstdio>
#include <mutex>

#include "io/iop.h"

namespace {

/* Private part of a file object, right after it in the same body. */
struct FilePrivate {
  volatile LONG Handles; /* open handles; the last one's close sends IRP_MJ_CLEANUP */
  BOOLEAN Opened;        /* IRP_MJ_CREATE succeeded: IRP_MJ_CLOSE is owed */
};

FilePrivate *PrivateOf(PFILE_OBJECT File) { return (FilePrivate *)(File + 1); }

std::mutex g_DbLock;
std::atomic<ULONG> g_AutoNameCounter{0};
UNICODE_STRING g_HardwareDatabase = RTL_CONSTANT_STRING(L"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM");

constexpr ULONG kUnusableFlags = DOE_DELETE_PENDING | DOE_UNLOAD_PENDING | DOE_REMOVE_PENDING | DOE_REMOVE_PROCESSED;

void DeleteDevice(PVOID Object) {
  auto *device = (PDEVICE_OBJECT)Object;
  PDEVOBJ_EXTENSION x = device->DeviceObjectExtension;
  delete[] x->InstancePath.Buffer;
  x->InstancePath.Buffer = NULL;
}

void DeleteDriver(PVOID Object) {}

bool IsDevice(PVOID Object) { return Object != NULL && ObpTypeOf(Object) == &IopDeviceObjectType; }

PDEVICE_OBJECT TopLocked(PDEVICE_OBJECT Device) {
  while (Device->AttachedDevice != NULL) Device = Device->AttachedDevice;
  return Device;
}

/* Sends an IRP without buffers to the top of File's stack and waits. */
NTSTATUS SendFileRequest(PFILE_OBJECT File, UCHAR Major, ULONG Flags) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(File->DeviceObject);
  IOP_REQUEST r;
  r.MajorFunction = Major;
  r.DeviceObject = top;
  PIRP irp = IopBuildRequest(r);
  if (irp == NULL) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  /* Not referenced by the IRP: the close of a file object is sent while its
     last reference is going. */
  irp->Tail.Overlay.OriginalFileObject = File;
  IoGetNextIrpStackLocation(irp)->FileObject = File;
  irp->Flags |= Flags | IRP_SYNCHRONOUS_API;
  NTSTATUS status;
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    IO_STATUS_BLOCK iosb;
    status = IopCallDriverAndWait(top, irp, &iosb);
  } else {
    /* A last reference dropped above PASSIVE_LEVEL: sent, not waited for. */
    status = IofCallDriver(top, irp);
  }
  ObDereferenceObject(top);
  return status;
}

void DeleteFile(PVOID Object) {
  auto *file = (PFILE_OBJECT)Object;
  PDEVICE_OBJECT device = file->DeviceObject;
  if (PrivateOf(file)->Opened) SendFileRequest(file, IRP_MJ_CLOSE, IRP_CLOSE_OPERATION);
  delete[] file->FileName.Buffer;
  file->FileName.Buffer = NULL;
  {
    std::lock_guard<std::mutex> guard(g_DbLock);
    device->ReferenceCount--;
  }
  PnpFileObjectClosed(device);
  ObDereferenceObject(device);
}

PWCH CopyString(const std::u16string &s) {
  auto *buffer = new WCHAR[s.size() + 1];
  memcpy(buffer, s.data(), s.size() * sizeof(WCHAR));
  buffer[s.size()] = 0;
  return buffer;
}

}  // namespace

const OBP_OBJECT_TYPE IopDeviceObjectType = {"Device", DeleteDevice};
const OBP_OBJECT_TYPE IopDriverObjectType = {"Driver", DeleteDriver};
const OBP_OBJECT_TYPE IopFileObjectType = {"File", DeleteFile};

/* ---- driver objects ---- */

NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS IopCreateDriverObject(PCUNICODE_STRING Name, PCUNICODE_STRING ServiceKeyName, PDRIVER_OBJECT *DriverObject) {
  *DriverObject = NULL;
  std::u16string name = IopString(Name), service = IopString(ServiceKeyName);
  SIZE_T size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + (name.size() + 1 + service.size() + 1) * sizeof(WCHAR);
  auto *driver = (PDRIVER_OBJECT)ObpCreateObject(&IopDriverObjectType, size);
  if (driver == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  auto *extension = (PDRIVER_EXTENSION)(driver + 1);
  auto *nameBuffer = (PWCH)(extension + 1);
  PWCH serviceBuffer = nameBuffer + name.size() + 1;
  memcpy(nameBuffer, name.data(), name.size() * sizeof(WCHAR));
  memcpy(serviceBuffer, service.data(), service.size() * sizeof(WCHAR));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  driver->DriverName.Buffer = nameBuffer;
  driver->DriverName.Length = (USHORT)(name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = (USHORT)(driver->DriverName.Length + sizeof(WCHAR));
  driver->HardwareDatabase = &g_HardwareDatabase;
  for (auto &entry : driver->MajorFunction) entry = IopInvalidDeviceRequest;
  extension->DriverObject = driver;
  extension->ServiceKeyName.Buffer = serviceBuffer;
  extension->ServiceKeyName.Length = (USHORT)(service.size() * sizeof(WCHAR));
  extension->ServiceKeyName.MaximumLength = (USHORT)(extension->ServiceKeyName.Length + sizeof(WCHAR));
  if (!name.empty()) {
    NTSTATUS status = ObpInsertName(&driver->DriverName, driver);
    if (!NT_SUCCESS(status)) {
      ObDereferenceObject(driver);
      return status;
    }
  }
  *DriverObject = driver;
  return STATUS_SUCCESS;
}

void IopDeleteDriverObject(PDRIVER_OBJECT DriverObject) {
  if (DriverObject->DriverName.Length != 0) ObpRemoveName(&DriverObject->DriverName);
  ObDereferenceObject(DriverObject);
}

/* ---- devices ---- */

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  if (DeviceObject == NULL) return STATUS_INVALID_PARAMETER;
  *DeviceObject = NULL;
  if (DriverObject == NULL) return STATUS_INVALID_PARAMETER_1;

  std::u16string name;
  if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char text[32];
    std::snprintf(text, sizeof text, "\\Device\\%08x", (unsigned)++g_AutoNameCounter);
    for (const char *p = text; *p; ++p) name += (char16_t)*p;
  } else if (DeviceName != NULL && DeviceName->Buffer != NULL && DeviceName->Length != 0) {
    name = IopString(DeviceName);
  }

  SIZE_T extensionSpace = ((SIZE_T)DeviceExtensionSize + 15) & ~(SIZE_T)15;
  SIZE_T size = sizeof(DEVICE_OBJECT) + extensionSpace + sizeof(DEVOBJ_EXTENSION) + (name.size() + 1) * sizeof(WCHAR);
  auto *device = (PDEVICE_OBJECT)ObpCreateObject(&IopDeviceObjectType, size);
  if (device == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  auto *x = (PDEVOBJ_EXTENSION)((PUCHAR)(device + 1) + extensionSpace);
  auto *nameBuffer = (PWCH)(x + 1);

  device->Type = IO_TYPE_DEVICE;
  device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize != 0 ? (PVOID)(device + 1) : NULL;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  KeInitializeDeviceQueue(&device->DeviceQueue);
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  device->DeviceObjectExtension = x;
  x->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  x->Size = sizeof(DEVOBJ_EXTENSION);
  x->DeviceObject = device;
  x->ChargedDriver = KiCurrentDriver() != NULL ? KiCurrentDriver() : DriverObject;
  x->SystemPowerState = PowerSystemWorking;
  x->DevicePowerState = PowerDeviceUnspecified;
  memcpy(nameBuffer, name.data(), name.size() * sizeof(WCHAR));
  x->DeviceName.Buffer = nameBuffer;
  x->DeviceName.Length = (USHORT)(name.size() * sizeof(WCHAR));
  x->DeviceName.MaximumLength = (USHORT)(x->DeviceName.Length + sizeof(WCHAR));

  if (!name.empty()) {
    NTSTATUS status = ObpInsertName(&x->DeviceName, device);
    if (!NT_SUCCESS(status)) {
      ObDereferenceObject(device);
      return status;
    }
  }
  {
    std::lock_guard<std::mutex> guard(g_DbLock);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  if (!IsDevice(DeviceObject))
    KiBugCheck(0xC9, IOP_VERIFIER_CALL_BAD_DEVICE, (ULONG_PTR)DeviceObject, 0, 0,
               "IoDeleteDevice called with something that is no device object");
  PDEVOBJ_EXTENSION x = DeviceObject->DeviceObjectExtension;
  {
    std::unique_lock<std::mutex> lock(g_DbLock);
    if (x->ExtensionFlags & DOE_DELETE_PENDING) {
      lock.unlock();
      KiBugCheck(0xC9, IOP_VERIFIER_CALL_BAD_DEVICE, (ULONG_PTR)DeviceObject, 1, 0,
                 "IoDeleteDevice called twice for the same device object");
    }
    if (x->AttachedTo != NULL) {
      PDEVICE_OBJECT lower = x->AttachedTo;
      lock.unlock();
      KiBugCheck(0xC9, IOP_VERIFIER_DELETE_ATTACHED, (ULONG_PTR)DeviceObject, (ULONG_PTR)lower, 0,
                 "IoDeleteDevice of a device still attached to a lower device (IoDetachDevice first)");
    }
    x->ExtensionFlags |= DOE_DELETE_PENDING;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != NULL; link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
    DeviceObject->NextDevice = NULL;
  }
  IopRemoveDeviceInterfaces(DeviceObject);
  if (x->DeviceName.Length != 0) ObpRemoveName(&x->DeviceName);
  ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  PDEVICE_OBJECT attachedTo = NULL;
  NTSTATUS status = IoAttachDeviceToDeviceStackSafe(SourceDevice, TargetDevice, &attachedTo);
  return NT_SUCCESS(status) ? attachedTo : NULL;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT *AttachedToDeviceObject) {
  if (!IsDevice(SourceDevice) || !IsDevice(TargetDevice)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(g_DbLock);
  *AttachedToDeviceObject = NULL;
  PDEVICE_OBJECT top = TopLocked(TargetDevice);
  if (top->DeviceObjectExtension->ExtensionFlags & kUnusableFlags) return STATUS_NO_SUCH_DEVICE;
  if (top == SourceDevice || SourceDevice->DeviceObjectExtension->AttachedTo != NULL) return STATUS_INVALID_PARAMETER;
  ObReferenceObject(top);
  *AttachedToDeviceObject = top;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
  if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement)
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  top->AttachedDevice = SourceDevice;
  return STATUS_SUCCESS;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  {
    std::lock_guard<std::mutex> guard(g_DbLock);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == NULL) return;
    upper->DeviceObjectExtension->AttachedTo = NULL;
    TargetDevice->AttachedDevice = NULL;
  }
  ObDereferenceObject(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(g_DbLock);
  return TopLocked(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(g_DbLock);
  PDEVICE_OBJECT top = TopLocked(DeviceObject);
  ObReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(g_DbLock);
  PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
  if (lower != NULL) ObReferenceObject(lower);
  return lower;
}

PDEVICE_OBJECT IopGetDeviceAttachmentBase(PDEVICE_OBJECT Device) {
  std::lock_guard<std::mutex> guard(g_DbLock);
  while (Device->DeviceObjectExtension->AttachedTo != NULL) Device = Device->DeviceObjectExtension->AttachedTo;
  ObReferenceObject(Device);
  return Device;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { return IoGetAttachedDevice(FileObject->DeviceObject); }

NTSTATUS IopSetDeviceInstancePath(PDEVICE_OBJECT PhysicalDeviceObject, PCUNICODE_STRING InstancePath) {
  if (!IsDevice(PhysicalDeviceObject)) return STATUS_INVALID_PARAMETER;
  std::u16string path = IopString(InstancePath);
  PWCH buffer = CopyString(path);
  PWCH old;
  {
    std::lock_guard<std::mutex> guard(g_DbLock);
    PDEVOBJ_EXTENSION x = PhysicalDeviceObject->DeviceObjectExtension;
    old = x->InstancePath.Buffer;
    x->InstancePath.Buffer = buffer;
    x->InstancePath.Length = (USHORT)(path.size() * sizeof(WCHAR));
    x->InstancePath.MaximumLength = (USHORT)(x->InstancePath.Length + sizeof(WCHAR));
  }
  delete[] old;
  return STATUS_SUCCESS;
}

/* ---- opening and closing ---- */

NTSTATUS IopOpenDevice(PDEVICE_OBJECT Device, PCUNICODE_STRING RemainingName, ACCESS_MASK DesiredAccess,
                       KPROCESSOR_MODE RequestorMode, PFILE_OBJECT *FileObject) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IopOpenDevice");
  *FileObject = NULL;
  if (!IsDevice(Device)) return STATUS_OBJECT_TYPE_MISMATCH;
  {
    std::lock_guard<std::mutex> guard(g_DbLock);
    if ((Device->Flags & DO_DEVICE_INITIALIZING) || (Device->DeviceObjectExtension->ExtensionFlags & kUnusableFlags))
      return STATUS_NO_SUCH_DEVICE;
    if ((Device->Flags & DO_EXCLUSIVE) && Device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
    Device->ReferenceCount++;
  }
  auto *file = (PFILE_OBJECT)ObpCreateObject(&IopFileObjectType, sizeof(FILE_OBJECT) + sizeof(FilePrivate));
  if (file == NULL) {
    std::lock_guard<std::mutex> guard(g_DbLock);
    Device->ReferenceCount--;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ObReferenceObject(Device);
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = Device;
  file->ReadAccess = (DesiredAccess & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
  file->WriteAccess =
      (DesiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  KeInitializeSpinLock(&file->IrpListLock);
  InitializeListHead(&file->IrpList);
  std::u16string remaining = IopString(RemainingName);
  if (!remaining.empty()) {
    file->FileName.Buffer = CopyString(remaining);
    file->FileName.Length = (USHORT)(remaining.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = (USHORT)(file->FileName.Length + sizeof(WCHAR));
  }
  /* From here the file object's deletion gives the device's open count back. */

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
  IOP_REQUEST r;
  r.MajorFunction = IRP_MJ_CREATE;
  r.DeviceObject = top;
  r.FileObject = file;
  r.RequestorMode = RequestorMode;
  PIRP irp = IopBuildRequest(r);
  if (irp == NULL) {
    ObDereferenceObject(top);
    ObDereferenceObject(file);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_SECURITY_CONTEXT security = {NULL, NULL, DesiredAccess, 0};
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Create.SecurityContext = &security;
  sp->Parameters.Create.Options = 1u << 24; /* FILE_OPEN */
  irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = IopCallDriverAndWait(top, irp, &iosb);
  ObDereferenceObject(top);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(file);
    return status;
  }
  PrivateOf(file)->Handles = 1;
  PrivateOf(file)->Opened = TRUE;
  file->Flags |= FO_HANDLE_CREATED;
  *FileObject = file;
  return status;
}

NTSTATUS IopOpenByName(PCUNICODE_STRING Path, ACCESS_MASK DesiredAccess, KPROCESSOR_MODE RequestorMode,
                       PFILE_OBJECT *FileObject) {
  *FileObject = NULL;
  PVOID object = NULL;
  NTSTATUS status = ObpLookupName(Path, &object);
  if (!NT_SUCCESS(status)) return status;
  if (!IsDevice(object)) {
    ObDereferenceObject(object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  status = IopOpenDevice((PDEVICE_OBJECT)object, NULL, DesiredAccess, RequestorMode, FileObject);
  ObDereferenceObject(object);
  return status;
}

void IopReferenceFileHandle(PFILE_OBJECT FileObject) { InterlockedIncrement(&PrivateOf(FileObject)->Handles); }

LONG IopFileHandleCount(PFILE_OBJECT FileObject) { return PrivateOf(FileObject)->Handles; }

LONG IopDeviceOpenCount(PDEVICE_OBJECT Device) {
  std::lock_guard<std::mutex> guard(g_DbLock);
  return (LONG)Device->ReferenceCount;
}

void IopCloseFileHandle(PFILE_OBJECT FileObject) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IopCloseFileHandle");
  LONG left = InterlockedDecrement(&PrivateOf(FileObject)->Handles);
  if (left < 0)
    KiBugCheck(0xC9, IOP_VERIFIER_CALL_BAD_DEVICE, (ULONG_PTR)FileObject, 0, 0,
               "a file object handle closed more often than it was opened");
  if (left == 0 && PrivateOf(FileObject)->Opened) {
    SendFileRequest(FileObject, IRP_MJ_CLEANUP, 0);
    FileObject->Flags |= FO_CLEANUP_COMPLETE;
  }
  ObDereferenceObject(FileObject);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT *FileObject,
                                  PDEVICE_OBJECT *DeviceObject) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
  PFILE_OBJECT file = NULL;
  NTSTATUS status = IopOpenByName(ObjectName, DesiredAccess, KernelMode, &file);
  if (!NT_SUCCESS(status)) return status;
  /* The open's handle goes at once, as it does on Windows: the driver sees
     IRP_MJ_CLEANUP now and IRP_MJ_CLOSE when the caller lets go of the file
     object. */
  ObReferenceObject(file);
  IopCloseFileHandle(file);
  *DeviceObject = IoGetRelatedDeviceObject(file);
  *FileObject = file;
  return STATUS_SUCCESS;
}
