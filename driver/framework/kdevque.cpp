#include "kdevque.h"

#define KUNIT "kdevque"

KIRQL KCancelSpinLock::m_Irql = PASSIVE_LEVEL;

KIRQL KCancelSpinLock::Acquire() {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  m_Irql = irql;
  return irql;
}

VOID KCancelSpinLock::Release() { IoReleaseCancelSpinLock(m_Irql); }

VOID KCancelSpinLock::Release(KIRQL Irql) { IoReleaseCancelSpinLock(Irql); }

KIRQL KSpinLockHolder::Lock(BOOLEAN AtDispatchLevel) {
  if (AtDispatchLevel) {
    KeAcquireSpinLockAtDpcLevel(m_pLock);
    return DISPATCH_LEVEL;
  }
  return KeAcquireSpinLockRaiseToDpc(m_pLock);
}

VOID KSpinLockHolder::Unlock(KIRQL Irql) {
  if (Irql == DISPATCH_LEVEL)
    KeReleaseSpinLockFromDpcLevel(m_pLock);
  else
    KeReleaseSpinLock(m_pLock, Irql);
}

KDeviceQueue::~KDeviceQueue() {
  if (m_Owned) {
    KASSERT(m_pdq != NULL);
    if (m_pdq != NULL) KFree(m_pdq);
  }
  m_pdq = NULL;
}

KIRQL KDeviceQueue::Lock(BOOLEAN AtDispatchLevel) { return KSpinLockHolder(&m_pdq->Lock).Lock(AtDispatchLevel); }

VOID KDeviceQueue::Unlock(KIRQL Irql) { KSpinLockHolder(&m_pdq->Lock).Unlock(Irql); }

static PIRP IrpOfEntry(PLIST_ENTRY Entry) {
  return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.DeviceQueueEntry.DeviceListEntry);
}

PIRP KDeviceQueue::Head() {
  PLIST_ENTRY head = &m_pdq->DeviceListHead;
  return IsListEmpty(head) ? NULL : IrpOfEntry(head->Flink);
}

PIRP KDeviceQueue::Tail() {
  PLIST_ENTRY head = &m_pdq->DeviceListHead;
  return IsListEmpty(head) ? NULL : IrpOfEntry(head->Blink);
}

PIRP KDeviceQueue::Next(PIRP Irp) {
  if (Irp == NULL) return Head();
  PLIST_ENTRY next = Irp->Tail.Overlay.DeviceQueueEntry.DeviceListEntry.Flink;
  if (next == &m_pdq->DeviceListHead) return Head();
  return IrpOfEntry(next);
}

BOOLEAN KDeviceQueue::RemoveEntry(PIRP Irp) {
  return KeRemoveEntryDeviceQueue(m_pdq, &Irp->Tail.Overlay.DeviceQueueEntry);
}
