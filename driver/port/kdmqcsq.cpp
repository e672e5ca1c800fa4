#include "kdmqcsq.h"
#include "kdevice.h"
#include "kpnpdev.h"

#define KUNIT "kdmqcsq"

static KQueueCsq *QueueOf(PIO_CSQ Csq) { return CONTAINING_RECORD(Csq, KQueueCsq, Csq); }
static PIRP IrpOf(PLIST_ENTRY Entry) { return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry); }

/* ---- the IO_CSQ callbacks ---- */

static VOID CsqInsert(PIO_CSQ Csq, PIRP Irp) { InsertTailList(&QueueOf(Csq)->List, &Irp->Tail.Overlay.ListEntry); }

static VOID CsqRemove(PIO_CSQ Csq, PIRP Irp) {
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  InitializeListHead(&Irp->Tail.Overlay.ListEntry);
}

/* The first request after Irp (from the head when Irp is NULL) whose current
   location has the file object PeekContext; any request when it is NULL. */
static PIRP CsqPeekNext(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext) {
  KQueueCsq *q = QueueOf(Csq);
  PLIST_ENTRY e = Irp != NULL ? Irp->Tail.Overlay.ListEntry.Flink : q->List.Flink;
  for (; e != &q->List; e = e->Flink) {
    PIRP irp = IrpOf(e);
    if (PeekContext == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == (PFILE_OBJECT)PeekContext) return irp;
  }
  return NULL;
}

static VOID CsqAcquireLock(PIO_CSQ Csq, PKIRQL Irql) { KeAcquireSpinLock(&QueueOf(Csq)->Lock, Irql); }

static VOID CsqReleaseLock(PIO_CSQ Csq, KIRQL Irql) { KeReleaseSpinLock(&QueueOf(Csq)->Lock, Irql); }

VOID KDriverManagedQueueCsq::CsqCompleteCanceled(PIO_CSQ Csq, PIRP Irp) {
  QueueOf(Csq)->Owner->CompleteRemoved(NULL, KIrp(Irp));
}

/* ---- the queue ---- */

KDriverManagedQueueCsq::KDriverManagedQueueCsq(BOOLEAN DirectStart, KQUEUE_COMPLETE_HOOK CompleteHook)
    : m_CurrentIrp(NULL), m_bBusy(FALSE), m_DirectStart(DirectStart), m_CompleteHook(CompleteHook) {
  KeInitializeSpinLock(&m_Csq.Lock);
  InitializeListHead(&m_Csq.List);
  m_Csq.Owner = this;
  KeInitializeSpinLock(&m_StateLock);
  IoCsqInitialize(&m_Csq.Csq, CsqInsert, CsqRemove, CsqPeekNext, CsqAcquireLock, CsqReleaseLock,
                  CsqCompleteCanceled);
}

NTSTATUS KDriverManagedQueueCsq::Initialize(PDEVICE_OBJECT DeviceObject) {
  return m_WorkItem.Initialize(DeviceObject);
}

KPnpDevice *KDriverManagedQueueCsq::PnpDeviceOf(KIrp I) {
  PDEVICE_OBJECT device = I.DeviceObject(CURRENT);
  if (device == NULL || device->DeviceExtension == NULL) return NULL;
  KDevice *k = (KDevice *)device->DeviceExtension;
  return k->IsPnpDevice() ? static_cast<KPnpDevice *>(k) : NULL;
}

VOID KDriverManagedQueueCsq::StartWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  KDriverManagedQueueCsq *queue = (KDriverManagedQueueCsq *)Context;
  KIRQL irql;
  KeAcquireSpinLock(&queue->m_StateLock, &irql);
  KIrp current = queue->m_CurrentIrp;
  KeReleaseSpinLock(&queue->m_StateLock, irql);
  if (!current.IsNull()) queue->StartIo(current);
}

VOID KDriverManagedQueueCsq::Start(PIRP Irp) {
  if (m_DirectStart || KeGetCurrentIrql() < DISPATCH_LEVEL)
    StartIo(KIrp(Irp));
  else
    m_WorkItem.Queue(StartWorker, this, DelayedWorkQueue);
}

NTSTATUS KDriverManagedQueueCsq::QueueIrp(KIrp I) {
  KIRQL irql;
  KeAcquireSpinLock(&m_StateLock, &irql);
  if (m_bBusy) {
    /* Marks the request pending, or completes it at once when it is
       already cancelled. */
    IoCsqInsertIrp(&m_Csq.Csq, I, NULL);
    KeReleaseSpinLock(&m_StateLock, irql);
    return STATUS_PENDING;
  }
  m_CurrentIrp = I;
  m_bBusy = TRUE;
  I.MarkPending();
  KeReleaseSpinLock(&m_StateLock, irql);
  Start(I);
  return STATUS_PENDING;
}

VOID KDriverManagedQueueCsq::NextIrp(KIrp Finished, CCHAR Boost) {
  KIRQL irql;
  KeAcquireSpinLock(&m_StateLock, &irql);
  KASSERT_TEXT(m_bBusy == TRUE, "m_bBusy == TRUE", __LINE__);
  PIRP next = IoCsqRemoveNextIrp(&m_Csq.Csq, NULL);
  m_CurrentIrp = next;
  if (next == NULL) m_bBusy = FALSE;
  KeReleaseSpinLock(&m_StateLock, irql);
  if (next != NULL) Start(next);
  if (!Finished.IsNull()) Finished.Complete(Finished.Status(), Boost);
}

VOID KDriverManagedQueueCsq::PnpNextIrp(KIrp Finished, CCHAR Boost) { PnpNextIrp(NULL, Finished, Boost); }

VOID KDriverManagedQueueCsq::PnpNextIrp(KPnpDevice *Device, KIrp Finished, CCHAR Boost) {
  if (Finished.IsNull()) {
    NextIrp(Finished, Boost);
    return;
  }
  /* The request is gone once NextIrp has completed it. */
  PDEVICE_OBJECT deviceObject = Finished.DeviceObject(CURRENT);
  if (m_CompleteHook == NULL && Device == NULL) Device = PnpDeviceOf(Finished);
  NextIrp(Finished, Boost);
  if (m_CompleteHook != NULL)
    m_CompleteHook(deviceObject);
  else if (Device != NULL)
    Device->DecrementOutstandingRequestCount();
}

KIrp KDriverManagedQueueCsq::CurrentIrp() {
  KIRQL irql;
  KeAcquireSpinLock(&m_StateLock, &irql);
  KIrp current = m_CurrentIrp;
  KeReleaseSpinLock(&m_StateLock, irql);
  return current;
}

/* Completes a request taken out of the list with STATUS_CANCELLED. */
VOID KDriverManagedQueueCsq::CompleteRemoved(KPnpDevice *Device, KIrp I) {
  PDEVICE_OBJECT deviceObject = I.DeviceObject(CURRENT);
  I.Information() = 0;
  if (m_CompleteHook != NULL) {
    I.Complete(STATUS_CANCELLED, IO_NO_INCREMENT);
    m_CompleteHook(deviceObject);
    return;
  }
  if (Device == NULL) Device = PnpDeviceOf(I);
  if (Device != NULL)
    I.PnpComplete(Device, STATUS_CANCELLED, IO_NO_INCREMENT);
  else
    I.Complete(STATUS_CANCELLED, IO_NO_INCREMENT);
}

VOID KDriverManagedQueueCsq::CancelAll(KPnpDevice *Device, PFILE_OBJECT File) {
  for (;;) {
    PIRP irp = IoCsqRemoveNextIrp(&m_Csq.Csq, File);
    if (irp == NULL) break;
    CompleteRemoved(Device, KIrp(irp));
  }
}

VOID KDriverManagedQueueCsq::CancelIrp(KIrp I) {
  PDEVICE_OBJECT deviceObject = I.DeviceObject(CURRENT);
  KPnpDevice *pnp = m_CompleteHook == NULL ? PnpDeviceOf(I) : NULL;

  KIRQL irql;
  KeAcquireSpinLock(&m_StateLock, &irql);
  BOOLEAN current = m_bBusy && (PIRP)m_CurrentIrp == (PIRP)I;
  if (current) m_CurrentIrp = NULL;
  KeReleaseSpinLock(&m_StateLock, irql);

  if (current) {
    I.Information() = 0;
    I.Status() = STATUS_CANCELLED;
    if (m_CompleteHook != NULL) {
      NextIrp(I, IO_NO_INCREMENT);
      m_CompleteHook(deviceObject);
    } else if (pnp == NULL) {
      NextIrp(I, IO_NO_INCREMENT);
    } else {
      PnpNextIrp(pnp, I, IO_NO_INCREMENT);
    }
    return;
  }

  /* A waiting request: whoever takes its cancel routine back owns it. When
     IoCancelIrp got there first, the queue's cancel routine completes it. */
  BOOLEAN taken = FALSE;
  KeAcquireSpinLock(&m_Csq.Lock, &irql);
  for (PLIST_ENTRY e = m_Csq.List.Flink; e != &m_Csq.List; e = e->Flink) {
    if (IrpOf(e) != (PIRP)I) continue;
    if (IoSetCancelRoutine((PIRP)I, NULL) != NULL) {
      CsqRemove(&m_Csq.Csq, I);
      taken = TRUE;
    }
    break;
  }
  KeReleaseSpinLock(&m_Csq.Lock, irql);
  if (taken) CompleteRemoved(pnp, I);
}
