/*
 * What the I/O component offers the rest of the kernel layer (the PnP
 * manager, driver loading, the user-mode I/O manager) and the layer's own
 * tests: object types, driver objects, opening and closing devices, building
 * and tracking IRPs, and queries of what the verifier and the power and
 * interface code recorded. Host C++; drivers never see it.
 */
#pragma once

#include <string>
#include <vector>

#include "ki.h"

/* ---- object types ---- */
extern const OBP_OBJECT_TYPE IopDeviceObjectType;
extern const OBP_OBJECT_TYPE IopDriverObjectType;
extern const OBP_OBJECT_TYPE IopFileObjectType;
extern const OBP_OBJECT_TYPE IopSymbolicLinkObjectType;

/* ---- strings ---- */
inline std::u16string IopString(PCUNICODE_STRING s) {
  if (s == NULL || s->Buffer == NULL) return std::u16string();
  return std::u16string((const char16_t *)s->Buffer, s->Length / sizeof(WCHAR));
}
/* A counted view of s; s must outlive it. */
inline UNICODE_STRING IopView(const std::u16string &s) {
  UNICODE_STRING u;
  u.Length = (USHORT)(s.size() * sizeof(WCHAR));
  u.MaximumLength = u.Length;
  u.Buffer = (PWCH)s.data();
  return u;
}

/* ---- namespace ----
 * The target a link names (links to an object rather than a path give an
 * empty string and STATUS_SUCCESS). */
NTSTATUS IopQuerySymbolicLink(PCUNICODE_STRING LinkName, std::u16string *Target);
/* A link that names Object itself rather than a path (interfaces of
 * unnamed PDOs). */
NTSTATUS IopCreateLinkToObject(PCUNICODE_STRING LinkName, PVOID Object);
/* Names in a directory (links followed on the way there), in name order. */
std::vector<std::u16string> IopListDirectory(PCUNICODE_STRING DirectoryPath);

/* ---- driver objects ----
 * Creates a driver object named Name ("\Driver\X") with its extension,
 * DriverName = Name, DriverExtension->ServiceKeyName = ServiceKeyName (may be
 * NULL), every MajorFunction set to IopInvalidDeviceRequest. The caller owns
 * the creation reference; IopDeleteDriverObject removes the name and drops
 * it. STATUS_OBJECT_NAME_COLLISION when the name is taken. */
NTSTATUS IopCreateDriverObject(PCUNICODE_STRING Name, PCUNICODE_STRING ServiceKeyName, PDRIVER_OBJECT *DriverObject);
void IopDeleteDriverObject(PDRIVER_OBJECT DriverObject);
/* Completes the IRP with STATUS_INVALID_DEVICE_REQUEST. */
NTSTATUS IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* ---- devices ----
 * The instance path of a PDO ("ROOT\NERAVOX\0000"), copied into storage the
 * kernel owns; IoRegisterDeviceInterface and the registry build names from
 * it. */
NTSTATUS IopSetDeviceInstancePath(PDEVICE_OBJECT PhysicalDeviceObject, PCUNICODE_STRING InstancePath);
inline PDEVOBJ_EXTENSION IopDeviceExtension(PDEVICE_OBJECT Device) { return Device->DeviceObjectExtension; }
/* The bottom of the stack Device belongs to, referenced. */
PDEVICE_OBJECT IopGetDeviceAttachmentBase(PDEVICE_OBJECT Device);

/* ---- opening devices ----
 * Open of Device (the object a name resolved to): refused with
 * STATUS_NO_SUCH_DEVICE while it has DO_DEVICE_INITIALIZING set or is being
 * deleted, and with STATUS_ACCESS_DENIED when it has DO_EXCLUSIVE set and is
 * open already, as Windows does. Otherwise a file object is created for it
 * and IRP_MJ_CREATE sent to the top of its stack, synchronously. On success
 * the file object holds one handle and one reference for the caller. */
NTSTATUS IopOpenDevice(PDEVICE_OBJECT Device, PCUNICODE_STRING RemainingName, ACCESS_MASK DesiredAccess,
                       KPROCESSOR_MODE RequestorMode, PFILE_OBJECT *FileObject);
/* The same by name: "\??\COM5" -> link -> "\Device\X" -> the device. A
 * name that is no device gives STATUS_OBJECT_TYPE_MISMATCH. */
NTSTATUS IopOpenByName(PCUNICODE_STRING Path, ACCESS_MASK DesiredAccess, KPROCESSOR_MODE RequestorMode,
                       PFILE_OBJECT *FileObject);
/* Another handle to an open file object (the caller adds its own reference
 * with ObReferenceObject if the handle keeps one). */
void IopReferenceFileHandle(PFILE_OBJECT FileObject);
/* Closes one handle: the last one sends IRP_MJ_CLEANUP (synchronously),
 * then the handle's reference is dropped. IRP_MJ_CLOSE goes when the last
 * reference to the file object goes. PASSIVE_LEVEL. */
void IopCloseFileHandle(PFILE_OBJECT FileObject);
/* Number of open handles. */
LONG IopFileHandleCount(PFILE_OBJECT FileObject);
/* File objects that name Device (opened on it) and are not yet deleted. */
LONG IopDeviceOpenCount(PDEVICE_OBJECT Device);
/* Told by the I/O manager when a file object on Device has been deleted
 * (after its IRP_MJ_CLOSE; any thread, any IRQL up to DISPATCH_LEVEL).
 * Implemented by the PnP manager. */
void PnpFileObjectClosed(PDEVICE_OBJECT Device);

/* ---- building IRPs ----
 * One request as the I/O manager builds it for Major (READ, WRITE,
 * DEVICE_CONTROL, INTERNAL_DEVICE_CONTROL, or any other with no buffer):
 *   READ/WRITE: DO_BUFFERED_IO devices get a system buffer (copied in for
 *     writes, out for reads), DO_DIRECT_IO devices an MDL, others the
 *     buffer itself as UserBuffer;
 *   controls: METHOD_BUFFERED a system buffer of max(in, out) with the input
 *     copied in and Information bytes (at most OutputLength) copied out;
 *     METHOD_IN/OUT_DIRECT the input buffered, an MDL for the output;
 *     METHOD_NEITHER Type3InputBuffer and UserBuffer as given.
 * The next stack location is filled in; the IRP is not sent. When completion
 * reaches the top the I/O manager copies back, frees the system buffer and
 * MDLs, writes *Iosb, sets Event, calls FinalRoutine and frees the IRP.
 * UserRequest: the Windows rule for user-mode requests, a failure that was
 * not pended writes no status block and sets no event (FinalRoutine still
 * runs). FileObject (may be NULL) is referenced by the IRP until then.
 * NULL when no memory. */
struct IOP_REQUEST {
  UCHAR MajorFunction = 0;
  UCHAR MinorFunction = 0;
  PDEVICE_OBJECT DeviceObject = NULL; /* the device it goes to: top of the stack */
  PFILE_OBJECT FileObject = NULL;
  PVOID InputBuffer = NULL;  /* write data; control input */
  ULONG InputLength = 0;
  PVOID OutputBuffer = NULL; /* read buffer; control output */
  ULONG OutputLength = 0;
  ULONG IoControlCode = 0;
  LARGE_INTEGER ByteOffset = {};
  KPROCESSOR_MODE RequestorMode = KernelMode;
  BOOLEAN UserRequest = FALSE;
  PKEVENT Event = NULL;
  PIO_STATUS_BLOCK Iosb = NULL;
  void (*FinalRoutine)(PIRP Irp, PVOID Context) = NULL;
  PVOID FinalContext = NULL;
};
PIRP IopBuildRequest(const IOP_REQUEST &Request);

/* Keeps an IRP's memory (not its ownership) while another thread may still
 * call IoCancelIrp on it; the IRP is freed when its completion has run and
 * the last such reference is gone. Only for IRPs built by IopBuildRequest or
 * the IoBuild* routines. */
void IopReferenceIrp(PIRP Irp);
void IopDereferenceIrp(PIRP Irp);

/* Sends Irp to Device and waits (PASSIVE_LEVEL) for its completion; returns
 * the final status. The IRP must have been built with Event == NULL and
 * Iosb == NULL: this routine supplies them. */
NTSTATUS IopCallDriverAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STATUS_BLOCK IoStatus);

/* ---- verifier records ----
 * IRPs that a driver has been handed (dispatched to one of its devices) and
 * that have not been completed back past it: the unload report's "IRPs
 * never completed". */
std::vector<PIRP> IopOutstandingIrps(PDRIVER_OBJECT DriverObject);

/* Sub-codes (parameter 1) of DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9).
 * 0x6 and 0x7 are Windows' own; the others are numbered for this layer. */
#define IOP_VERIFIER_FREE_NOT_IRP 0x01          /* IoFreeIrp of something that is no IRP */
#define IOP_VERIFIER_CALL_NOT_IRP 0x03          /* IofCallDriver with something that is no IRP */
#define IOP_VERIFIER_CALL_BAD_DEVICE 0x04       /* IofCallDriver with something that is no device */
#define IOP_VERIFIER_COMPLETE_PENDING 0x06      /* IoCompleteRequest with STATUS_PENDING */
#define IOP_VERIFIER_COMPLETE_CANCEL_SET 0x07   /* IoCompleteRequest with a cancel routine set */
#define IOP_VERIFIER_DISPATCH_IRQL 0x101        /* dispatch routine returned at another IRQL */
#define IOP_VERIFIER_PENDING_NOT_MARKED 0x102   /* STATUS_PENDING returned, IRP not marked pending */
#define IOP_VERIFIER_COMPLETE_UNSENT 0x103      /* IoCompleteRequest of an IRP no driver was given */
#define IOP_VERIFIER_IRP_FREED 0x104            /* an IRP routine called with an IRP already freed */
#define IOP_VERIFIER_DELETE_ATTACHED 0x105      /* IoDeleteDevice of a device still attached below */
#define IOP_VERIFIER_REMOVE_LOCK 0x106          /* remove lock released more often than acquired */
#define IOP_VERIFIER_WORK_ITEM 0x107            /* work item queued twice, or freed while queued */

/* ---- power ----
 * Every PoStartNextPowerIrp and PoCallDriver in order, for tests that check
 * the order a driver used them in. */
struct IOP_POWER_EVENT {
  enum KindOf { StartNextPowerIrp, CallDriver };
  KindOf Kind;
  PIRP Irp;
  PDEVICE_OBJECT DeviceObject; /* PoCallDriver's target; NULL for StartNextPowerIrp */
  UCHAR MinorFunction;
};
std::vector<IOP_POWER_EVENT> IopPowerEvents();
void IopClearPowerEvents();

/* ---- device interfaces ---- */
struct IOP_INTERFACE_INFO {
  std::u16string SymbolicLinkName;
  GUID InterfaceClass;
  PDEVICE_OBJECT PhysicalDeviceObject;
  bool Enabled;
};
/* Registered interfaces, of one class (NULL: all), optionally only enabled ones. */
std::vector<IOP_INTERFACE_INFO> IopDeviceInterfaces(const GUID *InterfaceClass, bool EnabledOnly);

/* ---- start-up of the parts of io/ (called by IopInitialize / IopShutdown) ---- */
void IopNamespaceInitialize();
void IopIrpInitialize();
void IopNamespaceShutdown();
void IopIrpShutdown();
void IopInterfacesShutdown();
void IopPowerShutdown();
/* Drops the interfaces registered for Pdo (IoDeleteDevice of a PDO). */
void IopRemoveDeviceInterfaces(PDEVICE_OBJECT Pdo);
