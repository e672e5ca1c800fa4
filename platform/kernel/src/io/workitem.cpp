/*
 * Work items: a routine run on a system worker thread at PASSIVE_LEVEL for
 * a device (or a driver object), which stays referenced from IoQueueWorkItem
 * until the routine has returned. The routine may free its own item or queue
 * it again.
 */
#include "io/iop.h"

struct _IO_WORKITEM {
  PVOID IoObject; /* a device object, or a driver object (IoInitializeWorkItem) */
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  volatile LONG Queued;
  BOOLEAN Allocated; /* by IoAllocateWorkItem, freed by IoFreeWorkItem */
};

namespace {

constexpr ULONG kWorkItemTag = 0x6b774f49; /* "IOwk" */

PDRIVER_OBJECT DriverOf(PVOID IoObject) {
  if (ObpTypeOf(IoObject) == &IopDeviceObjectType) return ((PDEVICE_OBJECT)IoObject)->DriverObject;
  if (ObpTypeOf(IoObject) == &IopDriverObjectType) return (PDRIVER_OBJECT)IoObject;
  return NULL;
}

void RunWorkItem(PVOID Context) {
  auto *item = (PIO_WORKITEM)Context;
  PVOID object = item->IoObject;
  PIO_WORKITEM_ROUTINE routine = item->Routine;
  PVOID context = item->Context;
  InterlockedExchange(&item->Queued, 0);
  /* From here the item belongs to the routine: it may be freed or requeued. */
  routine((PDEVICE_OBJECT)object, context);
  ObDereferenceObject(object);
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto *item = (PIO_WORKITEM)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(struct _IO_WORKITEM), kWorkItemTag);
  if (item == NULL) return NULL;
  IoInitializeWorkItem(DeviceObject, item);
  item->Allocated = TRUE;
  return item;
}

VOID IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem) {
  memset(IoWorkItem, 0, sizeof *IoWorkItem);
  IoWorkItem->IoObject = IoObject;
}

VOID IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (__atomic_load_n(&IoWorkItem->Queued, __ATOMIC_ACQUIRE))
    KiBugCheck(0xC9, IOP_VERIFIER_WORK_ITEM, (ULONG_PTR)IoWorkItem, 1, 0,
               "work item uninitialized or freed while it is still queued");
}

ULONG IoSizeofWorkItem(void) { return sizeof(struct _IO_WORKITEM); }

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  IoUninitializeWorkItem(IoWorkItem);
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
  if (InterlockedExchange(&IoWorkItem->Queued, 1) != 0)
    KiBugCheck(0xC9, IOP_VERIFIER_WORK_ITEM, (ULONG_PTR)IoWorkItem, 0, 0,
               "work item queued again before its routine started");
  IoWorkItem->Routine = WorkerRoutine;
  IoWorkItem->Context = Context;
  ObReferenceObject(IoWorkItem->IoObject);
  KiQueueWorker(RunWorkItem, IoWorkItem, DriverOf(IoWorkItem->IoObject));
}
