/*
 * Device queues. Busy says that the owner is working on an entry; entries
 * are queued only while it is. Every operation holds the queue's own spin
 * lock, raising to DISPATCH_LEVEL if the caller is below it.
 */
#include "ki.h"

namespace {

class QueueLock {
 public:
  explicit QueueLock(PKDEVICE_QUEUE Queue) : m_Queue(Queue) { m_Old = KeAcquireSpinLockForDpc(&Queue->Lock); }
  ~QueueLock() { KeReleaseSpinLockForDpc(&m_Queue->Lock, m_Old); }
  QueueLock(const QueueLock &) = delete;
  QueueLock &operator=(const QueueLock &) = delete;

 private:
  PKDEVICE_QUEUE m_Queue;
  KIRQL m_Old;
};

PKDEVICE_QUEUE_ENTRY Entry(PLIST_ENTRY e) { return CONTAINING_RECORD(e, KDEVICE_QUEUE_ENTRY, DeviceListEntry); }

PKDEVICE_QUEUE_ENTRY Take(PLIST_ENTRY e) {
  RemoveEntryList(e);
  PKDEVICE_QUEUE_ENTRY entry = Entry(e);
  entry->Inserted = FALSE;
  return entry;
}

}  // namespace

void KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  DeviceQueue->Type = DeviceQueueObject;
  DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
  InitializeListHead(&DeviceQueue->DeviceListHead);
  KeInitializeSpinLock(&DeviceQueue->Lock);
  DeviceQueue->Busy = FALSE;
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeInsertDeviceQueue");
  QueueLock lock(DeviceQueue);
  if (!DeviceQueue->Busy) {
    DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = FALSE;
    return FALSE;
  }
  InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
  DeviceQueueEntry->Inserted = TRUE;
  return TRUE;
}

BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeInsertByKeyDeviceQueue");
  QueueLock lock(DeviceQueue);
  DeviceQueueEntry->SortKey = SortKey;
  if (!DeviceQueue->Busy) {
    DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = FALSE;
    return FALSE;
  }
  /* After every entry with a key not above this one: equal keys stay in
     arrival order. */
  PLIST_ENTRY head = &DeviceQueue->DeviceListHead;
  PLIST_ENTRY e = head->Flink;
  while (e != head && Entry(e)->SortKey <= SortKey) e = e->Flink;
  InsertTailList(e, &DeviceQueueEntry->DeviceListEntry);
  DeviceQueueEntry->Inserted = TRUE;
  return TRUE;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeRemoveDeviceQueue");
  QueueLock lock(DeviceQueue);
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
    return NULL;
  }
  return Take(DeviceQueue->DeviceListHead.Flink);
}

PKDEVICE_QUEUE_ENTRY KeRemoveByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, ULONG SortKey) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeRemoveByKeyDeviceQueue");
  QueueLock lock(DeviceQueue);
  PLIST_ENTRY head = &DeviceQueue->DeviceListHead;
  if (IsListEmpty(head)) {
    DeviceQueue->Busy = FALSE;
    return NULL;
  }
  /* The first entry whose key is at least SortKey; past the last, wrap to
     the front. */
  PLIST_ENTRY e = head->Flink;
  while (e != head && Entry(e)->SortKey < SortKey) e = e->Flink;
  if (e == head) e = head->Flink;
  return Take(e);
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeRemoveEntryDeviceQueue");
  QueueLock lock(DeviceQueue);
  if (!DeviceQueueEntry->Inserted) return FALSE;
  Take(&DeviceQueueEntry->DeviceListEntry);
  return TRUE;
}
