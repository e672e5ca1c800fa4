#include "klower.h"
#include "kdebugdev.h"

#define KUNIT "klower"

KLowerDevice::KLowerDevice() : m_ConstructorStatus(STATUS_SUCCESS), m_pDeviceObject(NULL), m_pFileObject(NULL) {}

NTSTATUS KLowerDevice::Initialize(PCWSTR Name, ACCESS_MASK Access) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  PFILE_OBJECT file = NULL;
  PDEVICE_OBJECT device = NULL;
  m_ConstructorStatus = IoGetDeviceObjectPointer(&name, Access, &file, &device);
  if (NT_SUCCESS(m_ConstructorStatus)) {
    m_pFileObject = file;
    m_pDeviceObject = device;
  } else {
    m_pFileObject = NULL;
    m_pDeviceObject = NULL;
  }
  KDebugReport(KDEBUG_EVENT_LOWER_OPENED, (ULONG_PTR)this, (ULONG_PTR)m_pDeviceObject,
               (ULONG_PTR)(LONG_PTR)m_ConstructorStatus);
  return m_ConstructorStatus;
}

VOID KLowerDevice::Release() {
  KDebugReport(KDEBUG_EVENT_LOWER_RELEASED, (ULONG_PTR)this);
  if (m_pFileObject != NULL) {
    ObfDereferenceObject(m_pFileObject);
    m_pFileObject = NULL;
  }
  m_pDeviceObject = NULL;
}

NTSTATUS KLowerDevice::Call(KIrp I) {
  /* Unbound (the binding or attachment failed): nobody below can finish the
     request, so it is finished here. */
  if (m_pDeviceObject == NULL) return I.Complete(STATUS_NO_SUCH_DEVICE, IO_NO_INCREMENT);
  /* Before the call: the request may be gone once it returns. */
  KDebugReport(KDEBUG_EVENT_LOWER_CALL, (ULONG_PTR)this, (ULONG_PTR)(PIRP)I);
  return IofCallDriver(m_pDeviceObject, I);
}

EXTERN_C NTSTATUS KLowerDeviceCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  KLowerCallFrame *frame = (KLowerCallFrame *)Context;
  NTSTATUS result;
  if (frame->m_SavedRoutine != NULL) {
    result = frame->m_SavedRoutine(DeviceObject, Irp, frame->m_SavedContext);
  } else if (frame->m_Reclaim) {
    result = STATUS_MORE_PROCESSING_REQUIRED;
  } else {
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    result = STATUS_SUCCESS;
  }
  frame->m_Information = Irp->IoStatus.Information;
  frame->m_Status = Irp->IoStatus.Status;
  /* The waiter may return and take the frame with it as soon as the event
     is set: nothing here touches the frame afterwards. */
  frame->m_Done.Set(IO_NO_INCREMENT, FALSE);
  return result;
}

NTSTATUS KLowerDevice::CallWaitComplete(KIrp I, BOOLEAN Reclaim, ULONG_PTR *pInformation) {
  KASSERT_AT(KeGetCurrentIrql() < DISPATCH_LEVEL, 112);
  if (m_pDeviceObject == NULL) {
    /* As if the lower driver had failed it: a reclaimed request goes back
       to the caller untouched, any other is completed. */
    if (pInformation != NULL) *pInformation = 0;
    if (!Reclaim) I.Complete(STATUS_NO_SUCH_DEVICE, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  KLowerCallFrame frame;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation((PIRP)I);
  frame.m_SavedRoutine = next->CompletionRoutine;
  frame.m_SavedContext = next->Context;
  frame.m_Status = STATUS_SUCCESS;
  frame.m_Information = 0;
  frame.m_Reclaim = Reclaim;
  I.SetCompletionRoutine(KLowerDeviceCompletion, &frame, TRUE, TRUE, TRUE);
  IofCallDriver(m_pDeviceObject, I);
  frame.m_Done.Wait(KernelMode, FALSE, NULL, Executive);
  if (pInformation != NULL) *pInformation = frame.m_Information;
  KDebugReport(KDEBUG_EVENT_LOWER_CALL_DONE, (ULONG_PTR)this, (ULONG_PTR)(LONG_PTR)frame.m_Status,
               frame.m_Information);
  return frame.m_Status;
}

NTSTATUS KLowerDevice::DeviceIoControl(ULONG Code, PVOID In, ULONG InLength, PVOID Out, ULONG OutLength,
                                       BOOLEAN Internal, ULONG_PTR *pInformation) {
  if (m_pDeviceObject == NULL) {
    if (pInformation != NULL) *pInformation = 0;
    return STATUS_NO_SUCH_DEVICE;
  }
  KEvent done(NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(Code, m_pDeviceObject, In, InLength, Out, OutLength, Internal,
                                           done.EventObject(), &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IofCallDriver(m_pDeviceObject, irp);
  if (status == STATUS_PENDING) {
    done.Wait(KernelMode, FALSE, NULL, Executive);
    status = ioStatus.Status;
  }
  if (pInformation != NULL) *pInformation = ioStatus.Information;
  KDebugReport(KDEBUG_EVENT_LOWER_CALL_DONE, (ULONG_PTR)this, (ULONG_PTR)(LONG_PTR)status, ioStatus.Information);
  return status;
}
