#include "kirp.h"

#define KUNIT "kirp"

/* Position check of the stack location, then the platform's own lookup. */
PIO_STACK_LOCATION KIrp::Location(EStackLocation Where) {
  if (Where == CURRENT) {
    KASSERT(m_Irp->CurrentLocation <= m_Irp->StackCount);
    return IoGetCurrentIrpStackLocation(m_Irp);
  }
  KASSERT(m_Irp->CurrentLocation > 1);
  return IoGetNextIrpStackLocation(m_Irp);
}

UCHAR &KIrp::MajorFunction(EStackLocation Where) { return Location(Where)->MajorFunction; }
UCHAR &KIrp::MinorFunction(EStackLocation Where) { return Location(Where)->MinorFunction; }
ULONG &KIrp::ReadSize(EStackLocation Where) { return Location(Where)->Parameters.Read.Length; }
ULONG &KIrp::WriteSize(EStackLocation Where) { return Location(Where)->Parameters.Write.Length; }
ULONG &KIrp::IoctlOutputBufferSize(EStackLocation Where) {
  return Location(Where)->Parameters.DeviceIoControl.OutputBufferLength;
}
ULONG &KIrp::IoctlInputBufferSize(EStackLocation Where) {
  return Location(Where)->Parameters.DeviceIoControl.InputBufferLength;
}
ULONG &KIrp::IoctlCode(EStackLocation Where) { return Location(Where)->Parameters.DeviceIoControl.IoControlCode; }
PDEVICE_OBJECT &KIrp::DeviceObject(EStackLocation Where) { return Location(Where)->DeviceObject; }
PFILE_OBJECT &KIrp::FileObject(EStackLocation Where) { return Location(Where)->FileObject; }

VOID KIrp::MarkPending() {
  Location(CURRENT)->Control |= SL_PENDING_RETURNED;
}

VOID KIrp::MarkPending(NTSTATUS Status) {
  m_Irp->IoStatus.Status = Status;
  IoGetCurrentIrpStackLocation(m_Irp)->Control |= SL_PENDING_RETURNED;
}

PDRIVER_CANCEL KIrp::SetCancelRoutine(PDRIVER_CANCEL Routine) {
  return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile *)&m_Irp->CancelRoutine, (PVOID)Routine);
}

BOOLEAN KIrp::WasCanceled(BOOLEAN TakeCancelLock) {
  /* Set by IoCancelIrp on another processor: read it as the flag it is. */
  if (!TakeCancelLock) return __atomic_load_n(&m_Irp->Cancel, __ATOMIC_ACQUIRE);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN cancelled = m_Irp->Cancel;
  IoReleaseCancelSpinLock(irql);
  return cancelled;
}

VOID KIrp::CopyParametersDown() {
  PIO_STACK_LOCATION current = Location(CURRENT);
  PIO_STACK_LOCATION next = Location(NEXT);
  /* Everything up to the completion routine, which stays the lower
     location's own. */
  RtlCopyMemory(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

VOID KIrp::SkipLocation() {
  Location(CURRENT);
  IoSkipCurrentIrpStackLocation(m_Irp);
}

VOID KIrp::SetCompletionRoutine(PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN InvokeOnSuccess,
                                BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  if (Routine == NULL) InvokeOnSuccess = InvokeOnError = InvokeOnCancel = FALSE;
  KASSERT_TEXT((InvokeOnSuccess || InvokeOnError || InvokeOnCancel) ? (Routine != NULL) : TRUE,
               "(InvokeOnSuccess || InvokeOnError || InvokeOnCancel) ? (CompletionRoutine != NULL) : TRUE",
               __LINE__);
  PIO_STACK_LOCATION next = Location(NEXT);
  next->CompletionRoutine = Routine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS KIrp::Complete(NTSTATUS Status, CCHAR Boost) {
  m_Irp->IoStatus.Status = Status;
  IoCompleteRequest(m_Irp, Boost);
  return Status;
}

VOID KIrp::StartNextPowerIrp() { PoStartNextPowerIrp(m_Irp); }
