#include "kpnpdev.h"
#include "kdebugdev.h"
#include "kdevque.h"
#include "ktrace.h"

#define KUNIT "kpnpdev"

static PIRP IrpOfListEntry(PLIST_ENTRY Entry) { return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry); }

/* ---- KPnpRequestList ---- */

VOID KPnpRequestList::InsertTail(PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  InsertTailList(&m_Head, &Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&m_Lock, irql);
}

VOID KPnpRequestList::Remove(PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  /* Unlinked entries point at themselves, so a second removal is harmless. */
  InitializeListHead(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&m_Lock, irql);
}

PIRP KPnpRequestList::RemoveHead() {
  KIRQL irql;
  PIRP irp = NULL;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (!IsListEmpty(&m_Head)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_Head);
    InitializeListHead(entry);
    irp = IrpOfListEntry(entry);
  }
  KeReleaseSpinLock(&m_Lock, irql);
  return irp;
}

BOOLEAN KPnpRequestList::IsEmpty() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  BOOLEAN empty = IsListEmpty(&m_Head);
  KeReleaseSpinLock(&m_Lock, irql);
  return empty;
}

/* ---- construction and destruction ---- */

KPnpDevice::KPnpDevice(PDEVICE_OBJECT Pdo, const GUID *ClassGuid)
    : m_TopOfStackDevice(NULL),
      m_pPhysicalDeviceObject(Pdo),
      m_OutstandingRequests(0),
      m_OpenHandles(0),
      m_PnpMutex(1),
      m_RequestsDrained(SynchronizationEvent, FALSE),
      m_NoRequests(SynchronizationEvent, FALSE),
      m_PnpState(0),
      m_Holders(1) {
  InitializeListHead(&m_Interfaces);
  RtlZeroMemory(&m_Policies, sizeof(m_Policies));
  if (NT_SUCCESS(m_ConstructorStatus)) {
    m_IsPnpDevice = TRUE;
    InterlockedExchange(&m_OutstandingRequests, 1);
  }
  if (ClassGuid != NULL && NT_SUCCESS(m_ConstructorStatus)) {
    if (RegisterInterface(ClassGuid, NULL) == NULL) m_ConstructorStatus = STATUS_INSUFFICIENT_RESOURCES;
  }
}

KPnpDevice::~KPnpDevice() {
  while (!IsListEmpty(&m_Interfaces)) {
    KPnpInterface *entry = CONTAINING_RECORD(RemoveHeadList(&m_Interfaces), KPnpInterface, Link);
    if (entry->SymbolicLinkName.Buffer != NULL) RtlFreeUnicodeString(&entry->SymbolicLinkName);
    KFree(entry);
  }
}

VOID KPnpDevice::SetDefaultPnpPolicy() {
  m_Policies.General = KPNP_FAIL_IF_REMOVED | KPNP_FAIL_IF_NOT_STARTED | KPNP_DELETE_ON_REMOVE | KPNP_WAIT_ON_REMOVE |
                       KPNP_DETACH_ON_REMOVE | KPNP_KEEP_DEVICE_OBJECT | KPNP_MANAGE_INTERFACES;
  m_Policies.RemoveTimeout = 0;
  m_Policies.QueryStop = KPNP_QS_BUSY_IF_OPEN | KPNP_QS_BUSY_IF_ACTIVE;
  m_Policies.QueryStopTimeout = 0;
  m_Policies.QueryRemove = KPNP_QR_BUSY_IF_OPEN | KPNP_QR_CANCEL_DEVICE_QUEUE | KPNP_QR_WAIT_FOR_REQUESTS;
  m_Policies.QueryRemoveTimeout = 0;
  m_Policies.Hold = KPNP_HOLD_IF_REMOVE_PENDING | KPNP_HOLD_IF_STOP_PENDING | KPNP_HOLD_IF_NOT_STARTED |
                    KPNP_CANCEL_ON_CLEANUP | KPNP_FAIL_ON_REMOVE | KPNP_RELEASE_ON_CANCEL_STOP |
                    KPNP_RELEASE_ON_CANCEL_REMOVE;
  m_Policies.PassDown = 0x1FF;
  m_Policies.Complete = 0x1FF;
}

/* Drops one holder; the last one destroys the object. TRUE when the object
   is gone: the caller must not touch it any more. After a drop that was not
   the last the caller must not touch it either, since the one who drops
   the last may destroy it at once. */
BOOLEAN KPnpDevice::DropHolder() {
  if (InterlockedDecrement(&m_Holders) != 0) return FALSE;
  if (m_Policies.General & KPNP_DELETE_ON_REMOVE) {
    Destroy();
    return TRUE;
  }
  return FALSE;
}

/* ---- the request count ---- */

LONG KPnpDevice::IncrementOutstandingRequestCount() {
  LONG n = InterlockedIncrement(&m_OutstandingRequests);
  if (n == 2) m_RequestsDrained.Clear();
  KDebugReport(KDEBUG_EVENT_COUNT_RAISED, (ULONG_PTR)this, (ULONG_PTR)n);
  return n;
}

LONG KPnpDevice::DecrementOutstandingRequestCount() {
  LONG n = InterlockedDecrement(&m_OutstandingRequests);
  if (n == 1)
    m_RequestsDrained.Set(IO_NO_INCREMENT, FALSE);
  else if (n == 0)
    m_NoRequests.Set(IO_NO_INCREMENT, FALSE);
  KDebugReport(KDEBUG_EVENT_COUNT_LOWERED, (ULONG_PTR)this, (ULONG_PTR)n);
  return n;
}

/* A release racing with a new request can leave the event set while that
   request still holds its count (it rose to 2 and cleared the event before
   the older release set it). Without a limit the wait therefore goes on
   until the count itself says the requests are gone. */
static NTSTATUS WaitForCount(KEvent &Event, LONG volatile *Count, LONG Target, LONGLONG Timeout) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -Timeout;
  for (;;) {
    NTSTATUS status = Event.Wait(KernelMode, FALSE, Timeout != 0 ? &timeout : NULL, Executive);
    if (status != STATUS_SUCCESS || Timeout != 0) return status;
    if (InterlockedCompareExchange(Count, 0, 0) <= Target) return status;
  }
}

NTSTATUS KPnpDevice::WaitForRequestsDrained(LONGLONG Timeout) {
  KDebugReport(KDEBUG_EVENT_WAIT_DRAINED, (ULONG_PTR)this, (ULONG_PTR)Timeout);
  NTSTATUS status = WaitForCount(m_RequestsDrained, &m_OutstandingRequests, 1, Timeout);
  KDebugReport(KDEBUG_EVENT_WAIT_DRAINED_DONE, (ULONG_PTR)this, (ULONG_PTR)(LONG_PTR)status);
  return status;
}

NTSTATUS KPnpDevice::WaitForNoRequests(LONGLONG Timeout) {
  KDebugReport(KDEBUG_EVENT_WAIT_NO_REQUESTS, (ULONG_PTR)this, (ULONG_PTR)Timeout);
  NTSTATUS status = WaitForCount(m_NoRequests, &m_OutstandingRequests, 0, Timeout);
  KDebugReport(KDEBUG_EVENT_WAIT_NO_REQUESTS_DONE, (ULONG_PTR)this, (ULONG_PTR)(LONG_PTR)status);
  return status;
}

/* ---- completion and pass-down that release the count ---- */

NTSTATUS KIrp::PnpComplete(KPnpDevice *Device, NTSTATUS Status, CCHAR Boost) {
  Device->DecrementOutstandingRequestCount();
  m_Irp->IoStatus.Status = Status;
  IoCompleteRequest(m_Irp, Boost);
  return Status;
}

NTSTATUS KIrp::PnpComplete(NTSTATUS Status, CCHAR Boost) {
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(m_Irp)->DeviceObject;
  return PnpComplete(static_cast<KPnpDevice *>((KDevice *)device->DeviceExtension), Status, Boost);
}

NTSTATUS KPnpLowerDevice::PnpCall(KPnpDevice *Device, KIrp I) {
  Device->DecrementOutstandingRequestCount();
  KDebugReport(KDEBUG_EVENT_LOWER_CALL, (ULONG_PTR)this, (ULONG_PTR)(PIRP)I);
  return IofCallDriver(m_pDeviceObject, I);
}

NTSTATUS KPnpLowerDevice::PnpPowerCall(KPnpDevice *Device, KIrp I) {
  KASSERT_TEXT(I.MajorFunction(NEXT) == IRP_MJ_POWER, "I.MajorFunction(NEXT) == IRP_MJ_POWER", 591);
  Device->DecrementOutstandingRequestCount();
  KDebugReport(KDEBUG_EVENT_LOWER_POWER_CALL, (ULONG_PTR)this, (ULONG_PTR)(PIRP)I);
  return PoCallDriver(m_pDeviceObject, I);
}

/* ---- the gate ---- */

NTSTATUS KPnpDevice::GateComplete(KIrp I, NTSTATUS Status) {
  DecrementOutstandingRequestCount();
  return I.Complete(Status, IO_NO_INCREMENT);
}

NTSTATUS KPnpDevice::DeviceIrpDispatch(KIrp I) {
  UCHAR major = I.MajorFunction(CURRENT);
  KASSERT_TEXT(major <= UCHAR(IRP_MJ_MAXIMUM_FUNCTION), "Major <= UCHAR(IRP_MJ_MAXIMUM_FUNCTION)", 369);
  if (major > IRP_MJ_MAXIMUM_FUNCTION) return I.Complete(STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
  PKDEVICE_DISPATCH handler = m_RequestTable[major];

  IncrementOutstandingRequestCount();

  switch (major) {
    case IRP_MJ_CREATE: {
      /* The holder comes before the look at the state: a removal that
         starts later then sees it when it drops its own. */
      InterlockedIncrement(&m_Holders);
      if (PnpState() & (KPNP_REMOVED | KPNP_SURPRISE_REMOVED)) {
        NTSTATUS status = GateComplete(I, STATUS_DELETE_PENDING);
        DropHolder();
        return status;
      }
      NTSTATUS status = handler(this, I);
      if (NT_SUCCESS(status))
        InterlockedIncrement(&m_OpenHandles); /* the holder stays with the handle */
      else
        DropHolder();
      return status;
    }

    case IRP_MJ_CLOSE: {
      NTSTATUS status = handler(this, I);
      if (NT_SUCCESS(status)) {
        InterlockedDecrement(&m_OpenHandles);
        DropHolder();
      }
      return status;
    }

    case IRP_MJ_CLEANUP:
    case IRP_MJ_SHUTDOWN:
      if (m_Policies.Hold & KPNP_CANCEL_ON_CLEANUP) CancelHeldRequests(I.FileObject(CURRENT));
      return handler(this, I);

    case IRP_MJ_POWER:
    case IRP_MJ_SYSTEM_CONTROL:
    case IRP_MJ_PNP: {
      ULONG state = PnpState();
      if (!(state & (KPNP_REMOVED | KPNP_SURPRISE_REMOVED))) return handler(this, I);
      /* Only the removal that follows a surprise removal comes through; a
         second removal after it would wait for ever for a count that is
         already gone. */
      if ((state & KPNP_SURPRISE_REMOVED) && !(state & KPNP_REMOVED) && major == IRP_MJ_PNP &&
          I.MinorFunction(CURRENT) == IRP_MN_REMOVE_DEVICE)
        return handler(this, I);
      return GateComplete(I, STATUS_DELETE_PENDING);
    }

    default: {
      ULONG state = PnpState();
      if ((state & (KPNP_REMOVED | KPNP_SURPRISE_REMOVED)) && (m_Policies.General & KPNP_FAIL_IF_REMOVED))
        return GateComplete(I, STATUS_DELETE_PENDING);
      BOOLEAN hold = FALSE;
      if ((state & KPNP_STOP_PENDING) && (m_Policies.Hold & KPNP_HOLD_IF_STOP_PENDING))
        hold = TRUE;
      else if ((state & KPNP_REMOVE_PENDING) && (m_Policies.Hold & KPNP_HOLD_IF_REMOVE_PENDING))
        hold = TRUE;
      else if (!(state & KPNP_STARTED) && (m_Policies.Hold & KPNP_HOLD_IF_NOT_STARTED))
        hold = TRUE;
      else if (!(state & KPNP_STARTED) && (m_Policies.General & KPNP_FAIL_IF_NOT_STARTED))
        return GateComplete(I, STATUS_UNSUCCESSFUL);
      if (hold) {
        DecrementOutstandingRequestCount();
        return HoldRequest(I);
      }
      return handler(this, I);
    }
  }
}

/* ---- held requests ---- */

NTSTATUS KPnpDevice::HoldRequest(KIrp I) {
  PIRP irp = I;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (!irp->Cancel) {
    m_HeldRequests.InsertTail(irp);
    IoSetCancelRoutine(irp, KPnpHeldRequestCancel);
    IoMarkIrpPending(irp);
    IoReleaseCancelSpinLock(irql);
    KDebugReport(KDEBUG_EVENT_HOLD, (ULONG_PTR)this, (ULONG_PTR)irp, (ULONG_PTR)(LONG_PTR)STATUS_PENDING);
    return STATUS_PENDING;
  }
  KDebugReport(KDEBUG_EVENT_HOLD, (ULONG_PTR)this, (ULONG_PTR)irp, (ULONG_PTR)(LONG_PTR)STATUS_CANCELLED);
  if (irp->CancelRoutine == NULL) {
    irp->IoStatus.Information = 0;
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  } else {
    IoReleaseCancelSpinLock(irql); /* that routine finishes it */
  }
  return STATUS_CANCELLED;
}

VOID KPnpHeldRequestCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KPnpDevice *device = static_cast<KPnpDevice *>((KDevice *)DeviceObject->DeviceExtension);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  device->m_HeldRequests.Remove(Irp);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID KPnpDevice::ReleaseHeldRequests(BOOLEAN Fail) {
  /* One pass over the requests held now. Those the gate holds again go to
     the list, not to this pass, which therefore ends. The pass list is
     changed only under the cancel spin lock, as the held list is, so the
     cancel routine can take a request off it as it would off the held
     list. */
  LIST_ENTRY pass;
  InitializeListHead(&pass);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  for (PIRP irp = m_HeldRequests.RemoveHead(); irp != NULL; irp = m_HeldRequests.RemoveHead())
    InsertTailList(&pass, &irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irql);

  for (;;) {
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(&pass)) {
      IoReleaseCancelSpinLock(irql);
      break;
    }
    PLIST_ENTRY entry = RemoveHeadList(&pass);
    InitializeListHead(entry);
    PIRP irp = IrpOfListEntry(entry);
    BOOLEAN cancelled = irp->Cancel;
    IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(irql);
    if (!cancelled && !Fail) {
      KDebugReport(KDEBUG_EVENT_RELEASE_DISPATCH, (ULONG_PTR)this, (ULONG_PTR)irp);
      DeviceIrpDispatch(KIrp(irp));
      continue;
    }
    NTSTATUS status = cancelled ? STATUS_CANCELLED : STATUS_DELETE_PENDING;
    KDebugReport(KDEBUG_EVENT_RELEASE_COMPLETE, (ULONG_PTR)this, (ULONG_PTR)irp, (ULONG_PTR)(LONG_PTR)status);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

VOID KPnpDevice::CancelHeldRequests(PFILE_OBJECT File) {
  LIST_ENTRY cancel, keep;
  InitializeListHead(&cancel);
  InitializeListHead(&keep);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  for (PIRP irp = m_HeldRequests.RemoveHead(); irp != NULL; irp = m_HeldRequests.RemoveHead()) {
    if (IoGetCurrentIrpStackLocation(irp)->FileObject == File) {
      IoSetCancelRoutine(irp, NULL);
      InsertTailList(&cancel, &irp->Tail.Overlay.ListEntry);
    } else {
      InsertTailList(&keep, &irp->Tail.Overlay.ListEntry);
    }
  }
  while (!IsListEmpty(&keep)) m_HeldRequests.InsertTail(IrpOfListEntry(RemoveHeadList(&keep)));
  IoReleaseCancelSpinLock(irql);

  while (!IsListEmpty(&cancel)) {
    PIRP irp = IrpOfListEntry(RemoveHeadList(&cancel));
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

/* ---- the device queue ---- */

VOID KDeviceQueue::CleanUp(KPnpDevice *Device, PFILE_OBJECT File) {
  KIRQL irql = Lock(FALSE);
  PIRP irp = Head();
  while (irp != NULL) {
    if (File != NULL) {
      BOOLEAN match =
          irp->CurrentLocation <= irp->StackCount && IoGetCurrentIrpStackLocation(irp)->FileObject == File;
      if (!match) {
        irp = Next(irp);
        if (irp == Head()) break;
        continue;
      }
    }
    Unlock(irql);
    if (RemoveEntry(irp)) {
      KIRQL cancelIrql;
      IoAcquireCancelSpinLock(&cancelIrql);
      IoSetCancelRoutine(irp, NULL);
      IoReleaseCancelSpinLock(cancelIrql);
      irp->IoStatus.Information = 0;
      KIrp(irp).PnpComplete(Device, STATUS_CANCELLED, IO_NO_INCREMENT);
    }
    irql = Lock(FALSE);
    irp = Head();
  }
  Unlock(irql);
}

VOID KPnpDevice::CleanUpDeviceQueue() {
  KDeviceQueue queue(&DeviceObject()->DeviceQueue);
  queue.CleanUp(this, NULL);
}

/* ---- device interfaces ---- */

PUNICODE_STRING KPnpDevice::RegisterInterface(const GUID *ClassGuid, PCUNICODE_STRING ReferenceString) {
  KASSERT_TEXT(ClassGuid != NULL, "ClassGuid != NULL", 2416);
  if (ClassGuid == NULL) return NULL;
  KPnpInterface *entry = (KPnpInterface *)KAllocate(PagedPool, sizeof(KPnpInterface));
  if (entry == NULL) return NULL;
  entry->ClassGuid = ClassGuid;
  entry->SymbolicLinkName.Length = 0;
  entry->SymbolicLinkName.MaximumLength = 0;
  entry->SymbolicLinkName.Buffer = NULL;
  NTSTATUS status = IoRegisterDeviceInterface(m_pPhysicalDeviceObject, ClassGuid, (PUNICODE_STRING)ReferenceString,
                                              &entry->SymbolicLinkName);
  if (!NT_SUCCESS(status)) {
    if (entry->SymbolicLinkName.Buffer != NULL) RtlFreeUnicodeString(&entry->SymbolicLinkName);
    KFree(entry);
    return NULL;
  }
  InsertTailList(&m_Interfaces, &entry->Link);
  return &entry->SymbolicLinkName;
}

KPnpInterface *KPnpDevice::FirstInterface() {
  return IsListEmpty(&m_Interfaces) ? NULL : CONTAINING_RECORD(m_Interfaces.Flink, KPnpInterface, Link);
}

KPnpInterface *KPnpDevice::NextInterface(KPnpInterface *Entry) {
  PLIST_ENTRY next = Entry->Link.Flink;
  return next == &m_Interfaces ? NULL : CONTAINING_RECORD(next, KPnpInterface, Link);
}

VOID KPnpDevice::EnableInterfaces(PUNICODE_STRING Name) {
  if (Name != NULL) {
    IoSetDeviceInterfaceState(Name, TRUE);
    return;
  }
  for (KPnpInterface *entry = FirstInterface(); entry != NULL; entry = NextInterface(entry))
    IoSetDeviceInterfaceState(&entry->SymbolicLinkName, TRUE);
}

VOID KPnpDevice::DisableInterfaces(PUNICODE_STRING Name) {
  if (Name != NULL) {
    IoSetDeviceInterfaceState(Name, FALSE);
    return;
  }
  for (KPnpInterface *entry = FirstInterface(); entry != NULL; entry = NextInterface(entry))
    IoSetDeviceInterfaceState(&entry->SymbolicLinkName, FALSE);
}

/* ---- power ---- */

NTSTATUS KPnpDevice::Power(KIrp I) {
  PIRP irp = I;
  if (g_Trace != NULL) g_Trace->Trace(1, "KPnpDevice::Power++.  IRP %p\n", irp);
  NTSTATUS status = DefaultPower(I);
  if (g_Trace != NULL) g_Trace->Trace(1, "KPnpDevice::Power--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

/* ---- default hooks ---- */

NTSTATUS KPnpDevice::OnStartDevice(KIrp I) {
  return (m_Policies.Complete & KPNP_C_START) ? STATUS_SUCCESS : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnStopDevice(KIrp I) {
  return ((m_Policies.Complete & KPNP_C_STOP) || (m_Policies.PassDown & KPNP_PD_STOP)) ? STATUS_SUCCESS
                                                                                        : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnQueryRemoveDevice(KIrp I) {
  return ((m_Policies.Complete & KPNP_C_QUERY_REMOVE) || (m_Policies.PassDown & KPNP_PD_QUERY_REMOVE))
             ? STATUS_SUCCESS
             : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnRemoveDevice(KIrp I) {
  return ((m_Policies.Complete & KPNP_C_REMOVE) || (m_Policies.PassDown & KPNP_PD_REMOVE)) ? STATUS_SUCCESS
                                                                                          : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnCancelRemoveDevice(KIrp I) {
  return (m_Policies.Complete & KPNP_C_CANCEL_REMOVE) ? STATUS_SUCCESS : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnQueryStopDevice(KIrp I) {
  return ((m_Policies.Complete & KPNP_C_QUERY_STOP) || (m_Policies.PassDown & KPNP_PD_QUERY_STOP)) ? STATUS_SUCCESS
                                                                                                  : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnCancelStopDevice(KIrp I) {
  return (m_Policies.Complete & KPNP_C_CANCEL_STOP) ? STATUS_SUCCESS : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnQueryPnpDeviceState(KIrp I) {
  return ((m_Policies.Complete & KPNP_C_QUERY_STATE) || (m_Policies.PassDown & KPNP_PD_QUERY_STATE))
             ? STATUS_SUCCESS
             : DefaultPnp(I);
}
NTSTATUS KPnpDevice::OnSurpriseRemoval(KIrp I) {
  return ((m_Policies.Complete & KPNP_C_SURPRISE) || (m_Policies.PassDown & KPNP_PD_SURPRISE)) ? STATUS_SUCCESS
                                                                                              : DefaultPnp(I);
}

#define DEFAULT_PNP_HOOK(Name) \
  NTSTATUS KPnpDevice::Name(KIrp I) { return DefaultPnp(I); }
DEFAULT_PNP_HOOK(OnQueryDeviceRelations)
DEFAULT_PNP_HOOK(OnQueryInterface)
DEFAULT_PNP_HOOK(OnQueryCapabilities)
DEFAULT_PNP_HOOK(OnQueryResources)
DEFAULT_PNP_HOOK(OnQueryResourceRequirements)
DEFAULT_PNP_HOOK(OnReadConfig)
DEFAULT_PNP_HOOK(OnWriteConfig)
DEFAULT_PNP_HOOK(OnEject)
DEFAULT_PNP_HOOK(OnSetLock)
DEFAULT_PNP_HOOK(OnQueryId)
DEFAULT_PNP_HOOK(OnQueryBusInformation)
DEFAULT_PNP_HOOK(OnQueryDeviceText)
DEFAULT_PNP_HOOK(OnFilterResourceRequirements)
DEFAULT_PNP_HOOK(OnDeviceUsageNotification)
DEFAULT_PNP_HOOK(OnPnpMinor87)

/* ---- the PnP dispatcher ---- */

/* A lower device requests can actually go to. */
#define HAS_LOWER() (m_TopOfStackDevice != NULL && m_TopOfStackDevice->DeviceObject() != NULL)

NTSTATUS KPnpDevice::PassDownSkipping(KIrp I) {
  I.SkipLocation();
  return m_TopOfStackDevice->PnpCall(this, I);
}

NTSTATUS KPnpDevice::PassDownAndWait(KIrp I) {
  ULONG_PTR information = 0;
  I.CopyParametersDown();
  return m_TopOfStackDevice->CallWaitComplete(I, TRUE, &information);
}

NTSTATUS KPnpDevice::PnpStart(KIrp I) {
  NTSTATUS status;
  if ((m_Policies.PassDown & KPNP_PD_START) && HAS_LOWER()) {
    status = PassDownAndWait(I);
    if (!NT_SUCCESS(status)) return I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  status = OnStartDevice(I);
  if (NT_SUCCESS(status))
    SetState(KPNP_STARTED);
  else
    ClearState(KPNP_STARTED);
  if (m_Policies.Complete & KPNP_C_START) I.PnpComplete(this, status, IO_NO_INCREMENT);
  if ((PnpState() & KPNP_STARTED) && (m_Policies.General & KPNP_MANAGE_INTERFACES)) EnableInterfaces(NULL);
  return status;
}

NTSTATUS KPnpDevice::PnpQueryRemove(KIrp I) {
  if ((m_Policies.QueryRemove & KPNP_QR_BUSY_IF_OPEN) && OpenHandles() != 0)
    return I.PnpComplete(this, STATUS_DEVICE_BUSY, IO_NO_INCREMENT);
  NTSTATUS status = OnQueryRemoveDevice(I);
  if (NT_SUCCESS(status))
    SetState(KPNP_REMOVE_PENDING);
  else
    ClearState(KPNP_REMOVE_PENDING);

  BOOLEAN released = FALSE;
  if (PnpState() & KPNP_REMOVE_PENDING) {
    if (m_Policies.QueryRemove & KPNP_QR_CANCEL_DEVICE_QUEUE) CleanUpDeviceQueue();
    if ((m_Policies.QueryRemove & KPNP_QR_WAIT_FOR_REQUESTS) && (PnpState() & KPNP_STARTED)) {
      released = TRUE;
      DecrementOutstandingRequestCount();
      WaitForRequestsDrained(m_Policies.QueryRemoveTimeout);
    }
  }

  if ((m_Policies.PassDown & KPNP_PD_QUERY_REMOVE) || (m_Policies.Complete & KPNP_C_QUERY_REMOVE)) {
    if ((PnpState() & KPNP_REMOVE_PENDING) && HAS_LOWER()) {
      I.Status() = STATUS_SUCCESS;
      I.SkipLocation();
      return released ? m_TopOfStackDevice->Call(I) : m_TopOfStackDevice->PnpCall(this, I);
    }
    /* The count may already be released for the wait. */
    if (released) return I.Complete(status, IO_NO_INCREMENT);
    I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  return status;
}

NTSTATUS KPnpDevice::PnpRemove(KIrp I) {
  PIRP irp = I;
  KDebugReport(KDEBUG_EVENT_WAIT_PNP_MUTEX, (ULONG_PTR)this, 0);
  NTSTATUS wait = m_PnpMutex.Wait(KernelMode, FALSE, NULL, Executive);
  KDebugReport(KDEBUG_EVENT_WAIT_PNP_MUTEX_DONE, (ULONG_PTR)this, (ULONG_PTR)(LONG_PTR)wait);

  SetState(KPNP_REMOVING);
  SetState(KPNP_REMOVED);
  if (m_Policies.Hold & KPNP_FAIL_ON_REMOVE) ReleaseHeldRequests(TRUE);
  if (m_Policies.General & KPNP_MANAGE_INTERFACES) DisableInterfaces(NULL);
  NTSTATUS status = OnRemoveDevice(I);

  BOOLEAN finish = (m_Policies.PassDown & KPNP_PD_REMOVE) || (m_Policies.Complete & KPNP_C_REMOVE);
  if (finish) DecrementOutstandingRequestCount();
  if (m_Policies.General & KPNP_WAIT_ON_REMOVE) WaitForRequestsDrained(m_Policies.RemoveTimeout);
  if (finish) {
    if (HAS_LOWER()) {
      I.Status() = STATUS_SUCCESS;
      I.SkipLocation();
      status = m_TopOfStackDevice->Call(I);
    } else {
      /* Nobody below: finished here, its count already released. */
      I.Complete(status, IO_NO_INCREMENT);
    }
  }
  if ((m_Policies.General & KPNP_DETACH_ON_REMOVE) && HAS_LOWER()) {
    KDebugReport(KDEBUG_EVENT_DETACHED, (ULONG_PTR)this, (ULONG_PTR)m_TopOfStackDevice);
    IoDetachDevice(m_TopOfStackDevice->DeviceObject());
    m_TopOfStackDevice = NULL;
  }

  DecrementOutstandingRequestCount(); /* the device's own */
  if (m_Policies.General & KPNP_WAIT_ON_REMOVE) WaitForNoRequests(m_Policies.RemoveTimeout);

  if (!m_LinkName.IsEmpty()) {
    KDebugReport(KDEBUG_EVENT_LINK_DELETED, (ULONG_PTR)this, (ULONG_PTR)m_LinkName.String());
    IoDeleteSymbolicLink(m_LinkName.String());
    m_LinkName.Destroy();
  }

  ClearState(KPNP_STARTED | KPNP_REMOVE_PENDING | KPNP_STOP_PENDING | KPNP_REMOVING);
  KDebugReport(KDEBUG_EVENT_PNP_REMOVE, (ULONG_PTR)this, (ULONG_PTR)irp, (ULONG_PTR)(LONG_PTR)status);
  m_PnpMutex.Release();
  /* With no handle open this destroys the object; otherwise the last close
     does. */
  DropHolder();
  return status;
}

NTSTATUS KPnpDevice::PnpCancelRemove(KIrp I) {
  NTSTATUS status;
  if ((m_Policies.PassDown & KPNP_PD_CANCEL_REMOVE) && HAS_LOWER()) {
    status = PassDownAndWait(I);
    if (!NT_SUCCESS(status)) return I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  status = OnCancelRemoveDevice(I);
  ClearState(KPNP_REMOVE_PENDING);
  if (m_Policies.Hold & KPNP_RELEASE_ON_CANCEL_REMOVE) ReleaseHeldRequests(FALSE);
  if (m_Policies.Complete & KPNP_C_CANCEL_REMOVE) I.PnpComplete(this, status, IO_NO_INCREMENT);
  return status;
}

NTSTATUS KPnpDevice::PnpStop(KIrp I) {
  NTSTATUS status = OnStopDevice(I);
  if ((m_Policies.PassDown & KPNP_PD_STOP) || (m_Policies.Complete & KPNP_C_STOP)) {
    if ((PnpState() & KPNP_STARTED) && HAS_LOWER()) {
      ClearState(KPNP_STARTED);
      status = PassDownSkipping(I);
    } else {
      I.PnpComplete(this, STATUS_SUCCESS, IO_NO_INCREMENT);
    }
  }
  ClearState(KPNP_STARTED | KPNP_STOP_PENDING);
  if (m_Policies.General & KPNP_MANAGE_INTERFACES) DisableInterfaces(NULL);
  return status;
}

NTSTATUS KPnpDevice::PnpQueryStop(KIrp I) {
  if ((m_Policies.QueryStop & KPNP_QS_BUSY_IF_OPEN) && OpenHandles() != 0)
    return I.PnpComplete(this, STATUS_DEVICE_BUSY, IO_NO_INCREMENT);
  if ((m_Policies.QueryStop & KPNP_QS_BUSY_IF_ACTIVE) && OutstandingRequests() > 2)
    return I.PnpComplete(this, STATUS_DEVICE_BUSY, IO_NO_INCREMENT);
  NTSTATUS status = OnQueryStopDevice(I);
  if (NT_SUCCESS(status))
    SetState(KPNP_STOP_PENDING);
  else
    ClearState(KPNP_STOP_PENDING);
  if ((m_Policies.PassDown & KPNP_PD_QUERY_STOP) || (m_Policies.Complete & KPNP_C_QUERY_STOP)) {
    ULONG state = PnpState();
    if ((state & KPNP_STOP_PENDING) && (state & KPNP_STARTED) && HAS_LOWER()) return PassDownSkipping(I);
    I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  return status;
}

NTSTATUS KPnpDevice::PnpCancelStop(KIrp I) {
  NTSTATUS status;
  if ((m_Policies.PassDown & KPNP_PD_CANCEL_STOP) && HAS_LOWER()) {
    status = PassDownAndWait(I);
    if (!NT_SUCCESS(status)) return I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  status = OnCancelStopDevice(I);
  ClearState(KPNP_STOP_PENDING);
  if (m_Policies.Hold & KPNP_RELEASE_ON_CANCEL_STOP) ReleaseHeldRequests(FALSE);
  if (m_Policies.Complete & KPNP_C_CANCEL_STOP) I.PnpComplete(this, status, IO_NO_INCREMENT);
  return status;
}

NTSTATUS KPnpDevice::PnpQueryState(KIrp I) {
  NTSTATUS status = OnQueryPnpDeviceState(I);
  if (!NT_SUCCESS(status)) return status; /* the hook has finished the request */
  if ((m_Policies.PassDown & KPNP_PD_QUERY_STATE) || (m_Policies.Complete & KPNP_C_QUERY_STATE)) {
    ULONG state = PnpState();
    if (!(state & KPNP_STOP_PENDING) && (state & KPNP_STARTED) && HAS_LOWER()) return PassDownSkipping(I);
    I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  return status;
}

NTSTATUS KPnpDevice::PnpSurpriseRemoval(KIrp I) {
  SetState(KPNP_SURPRISE_REMOVED);
  if (m_Policies.Hold & KPNP_FAIL_ON_REMOVE) ReleaseHeldRequests(TRUE);
  NTSTATUS status = OnSurpriseRemoval(I);
  if ((m_Policies.PassDown & KPNP_PD_SURPRISE) || (m_Policies.Complete & KPNP_C_SURPRISE)) {
    if (HAS_LOWER())
      status = PassDownSkipping(I);
    else
      I.PnpComplete(this, status, IO_NO_INCREMENT); /* nobody below: finished here */
  }
  ClearState(KPNP_REMOVE_PENDING | KPNP_STOP_PENDING | KPNP_STARTED);
  return status;
}

NTSTATUS KPnpDevice::Pnp(KIrp I) {
  PIRP irp = I;
  UCHAR Minor = I.MinorFunction(CURRENT);
  if (g_Trace != NULL) g_Trace->Trace(1, "KPnpDevice::Pnp++.  IRP %p\n", irp);
  NTSTATUS status;
  ULONG event = KDEBUG_EVENT_PNP_HOOK;
  switch (Minor) {
    case IRP_MN_START_DEVICE: status = PnpStart(I); event = KDEBUG_EVENT_PNP_START; break;
    case IRP_MN_QUERY_REMOVE_DEVICE: status = PnpQueryRemove(I); event = KDEBUG_EVENT_PNP_QUERY_REMOVE; break;
    case IRP_MN_REMOVE_DEVICE:
      /* Reports its step itself: the object may be gone when it returns. */
      status = PnpRemove(I);
      if (g_Trace != NULL) g_Trace->Trace(1, "KPnpDevice::Pnp--.  IRP %p, STATUS %x\n", irp, status);
      return status;
    case IRP_MN_CANCEL_REMOVE_DEVICE: status = PnpCancelRemove(I); event = KDEBUG_EVENT_PNP_CANCEL_REMOVE; break;
    case IRP_MN_STOP_DEVICE: status = PnpStop(I); event = KDEBUG_EVENT_PNP_STOP; break;
    case IRP_MN_QUERY_STOP_DEVICE: status = PnpQueryStop(I); event = KDEBUG_EVENT_PNP_QUERY_STOP; break;
    case IRP_MN_CANCEL_STOP_DEVICE: status = PnpCancelStop(I); event = KDEBUG_EVENT_PNP_CANCEL_STOP; break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE: status = PnpQueryState(I); event = KDEBUG_EVENT_PNP_QUERY_STATE; break;
    case IRP_MN_SURPRISE_REMOVAL: status = PnpSurpriseRemoval(I); event = KDEBUG_EVENT_PNP_SURPRISE_REMOVAL; break;
    case IRP_MN_QUERY_DEVICE_RELATIONS: status = OnQueryDeviceRelations(I); break;
    case IRP_MN_QUERY_INTERFACE: status = OnQueryInterface(I); break;
    case IRP_MN_QUERY_CAPABILITIES: status = OnQueryCapabilities(I); break;
    case IRP_MN_QUERY_RESOURCES: status = OnQueryResources(I); break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: status = OnQueryResourceRequirements(I); break;
    case IRP_MN_QUERY_DEVICE_TEXT: status = OnQueryDeviceText(I); break;
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: status = OnFilterResourceRequirements(I); break;
    case IRP_MN_READ_CONFIG: status = OnReadConfig(I); break;
    case IRP_MN_WRITE_CONFIG: status = OnWriteConfig(I); break;
    case IRP_MN_EJECT: status = OnEject(I); break;
    case IRP_MN_SET_LOCK: status = OnSetLock(I); break;
    case IRP_MN_QUERY_ID: status = OnQueryId(I); break;
    case IRP_MN_QUERY_BUS_INFORMATION: status = OnQueryBusInformation(I); break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: status = OnDeviceUsageNotification(I); break;
    case 0x87: status = OnPnpMinor87(I); break;
    default:
      KASSERT_TEXT((Minor == 0xFF) || (Minor == 0x18), "(Minor==0xFF) || (Minor==0x18)", 1048);
      status = DefaultPnp(I);
      event = KDEBUG_EVENT_PNP_DEFAULT;
      break;
  }
  KDebugReport(event, (ULONG_PTR)this, (ULONG_PTR)irp, (ULONG_PTR)(LONG_PTR)status);
  if (g_Trace != NULL) g_Trace->Trace(1, "KPnpDevice::Pnp--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}
