/*
 * Cancel-safe queues. The driver keeps the queue and its lock; these
 * routines keep the cancel routine of every queued IRP consistent with it.
 *
 * Who takes an IRP out is decided by IoSetCancelRoutine(Irp, NULL): the
 * remover that gets the queue's cancel routine back owns the IRP; the one
 * that gets NULL knows that IoCancelIrp got there first, and the queue's
 * cancel routine will take the IRP out and hand it to
 * CsqCompleteCanceledIrp. While an IRP is queued, DriverContext[3] holds its
 * IO_CSQ_IRP_CONTEXT if it was inserted with one, the IO_CSQ otherwise (both
 * start with their type).
 */
#include "io/iop.h"

namespace {

PIO_CSQ CsqOf(PIRP Irp, PIO_CSQ_IRP_CONTEXT *Context) {
  PVOID owner = Irp->Tail.Overlay.DriverContext[3];
  *Context = NULL;
  if (owner == NULL) return NULL;
  if (*(ULONG *)owner == IO_TYPE_CSQ_IRP_CONTEXT) {
    *Context = (PIO_CSQ_IRP_CONTEXT)owner;
    return (*Context)->Csq;
  }
  return (PIO_CSQ)owner;
}

/* Called by IoCancelIrp with the cancel spin lock held. */
VOID CsqCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PIO_CSQ_IRP_CONTEXT context;
  PIO_CSQ csq = CsqOf(Irp, &context);
  KIRQL irql;
  csq->CsqAcquireLock(csq, &irql);
  csq->CsqRemoveIrp(csq, Irp);
  if (context != NULL) context->Irp = NULL;
  Irp->Tail.Overlay.DriverContext[3] = NULL;
  csq->CsqReleaseLock(csq, irql);
  csq->CsqCompleteCanceledIrp(csq, Irp);
}

/* Caller holds the queue's lock; Irp is in the queue. Returns TRUE if the
 * caller now owns it, FALSE if its cancellation has begun. */
BOOLEAN TakeIrp(PIO_CSQ Csq, PIRP Irp) {
  if (IoSetCancelRoutine(Irp, NULL) == NULL) return FALSE;
  PIO_CSQ_IRP_CONTEXT context;
  CsqOf(Irp, &context);
  Csq->CsqRemoveIrp(Csq, Irp);
  if (context != NULL) context->Irp = NULL;
  Irp->Tail.Overlay.DriverContext[3] = NULL;
  return TRUE;
}

}  // namespace

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  Csq->Type = IO_TYPE_CSQ;
  Csq->CsqInsertIrp = CsqInsertIrp;
  Csq->CsqRemoveIrp = CsqRemoveIrp;
  Csq->CsqPeekNextIrp = CsqPeekNextIrp;
  Csq->CsqAcquireLock = CsqAcquireLock;
  Csq->CsqReleaseLock = CsqReleaseLock;
  Csq->CsqCompleteCanceledIrp = CsqCompleteCanceledIrp;
  Csq->ReservePointer = NULL;
  return STATUS_SUCCESS;
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                           PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp) {
  IoCsqInitialize(Csq, (PIO_CSQ_INSERT_IRP)(PVOID)CsqInsertIrp, CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock,
                  CsqReleaseLock, CsqCompleteCanceledIrp);
  Csq->Type = IO_TYPE_CSQ_EX;
  return STATUS_SUCCESS;
}

VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context) { IoCsqInsertIrpEx(Csq, Irp, Context, NULL); }

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  if (Csq->Type == IO_TYPE_CSQ_EX) {
    status = ((PIO_CSQ_INSERT_IRP_EX)(PVOID)Csq->CsqInsertIrp)(Csq, Irp, InsertContext);
    if (!NT_SUCCESS(status)) {
      Csq->CsqReleaseLock(Csq, irql);
      return status;
    }
  } else {
    Csq->CsqInsertIrp(Csq, Irp);
  }
  /* Everything the cancel routine reads is in place before it is armed. */
  if (Context != NULL) {
    Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
    Context->Irp = Irp;
    Context->Csq = Csq;
    Irp->Tail.Overlay.DriverContext[3] = Context;
  } else {
    Irp->Tail.Overlay.DriverContext[3] = Csq;
  }
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, CsqCancelRoutine);
  if (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE)) {
    /* Cancelled before the routine was armed, or just after: whoever takes
       the routine back completes the IRP. */
    if (TakeIrp(Csq, Irp)) {
      Csq->CsqReleaseLock(Csq, irql);
      Csq->CsqCompleteCanceledIrp(Csq, Irp);
      return status;
    }
  }
  Csq->CsqReleaseLock(Csq, irql);
  return status;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Context->Irp;
  if (irp != NULL && !TakeIrp(Csq, irp)) irp = NULL;
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext) {
  KIRQL irql;
  Csq->CsqAcquireLock(Csq, &irql);
  PIRP irp = Csq->CsqPeekNextIrp(Csq, NULL, PeekContext);
  while (irp != NULL && !TakeIrp(Csq, irp)) irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
  Csq->CsqReleaseLock(Csq, irql);
  return irp;
}
