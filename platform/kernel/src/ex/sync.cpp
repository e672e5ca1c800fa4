/*
 * Interlocked lists over a spin lock and fast mutexes. The list routines may
 * be called at any IRQL: at or above DISPATCH_LEVEL the lock is taken without
 * raising, below it KeAcquireSpinLock raises to DISPATCH_LEVEL.
 */
#include "ki.h"

namespace {

class ListLock {
 public:
  explicit ListLock(PKSPIN_LOCK Lock) : m_Lock(Lock), m_Raised(KeGetCurrentIrql() < DISPATCH_LEVEL) {
    if (m_Raised)
      KeAcquireSpinLock(m_Lock, &m_OldIrql);
    else
      KeAcquireSpinLockAtDpcLevel(m_Lock);
  }
  ~ListLock() {
    if (m_Raised)
      KeReleaseSpinLock(m_Lock, m_OldIrql);
    else
      KeReleaseSpinLockFromDpcLevel(m_Lock);
  }
  ListLock(const ListLock &) = delete;
  ListLock &operator=(const ListLock &) = delete;

 private:
  PKSPIN_LOCK m_Lock;
  bool m_Raised;
  KIRQL m_OldIrql = PASSIVE_LEVEL;
};

}  // namespace

extern "C" {

/* Each insert returns the list's previous first (or last) entry, NULL when it was empty. */
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  ListLock guard(Lock);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? NULL : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  ListLock guard(Lock);
  PLIST_ENTRY last = IsListEmpty(ListHead) ? NULL : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  ListLock guard(Lock);
  if (IsListEmpty(ListHead)) return NULL;
  return RemoveHeadList(ListHead);
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
  ListLock guard(Lock);
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  PushEntryList(ListHead, ListEntry);
  return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  ListLock guard(Lock);
  return PopEntryList(ListHead);
}

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = NULL;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KiCheckIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
  PKTHREAD self = KeGetCurrentThread();
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == self)
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3F, (ULONG_PTR)FastMutex, (ULONG_PTR)self, 0,
               "fast mutex acquired twice by its owner");
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  if (InterlockedDecrement(&FastMutex->Count) != 0) {
    InterlockedIncrement((volatile LONG *)&FastMutex->Contention);
    KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, NULL);
  }
  __atomic_store_n(&FastMutex->Owner, (PVOID)self, __ATOMIC_RELAXED);
  FastMutex->OldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  KiCheckIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
    KeLowerIrql(old);
    return FALSE;
  }
  __atomic_store_n(&FastMutex->Owner, (PVOID)KeGetCurrentThread(), __ATOMIC_RELAXED);
  FastMutex->OldIrql = old;
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  PVOID owner = __atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED);
  if (owner != (PVOID)KeGetCurrentThread())
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x40, (ULONG_PTR)FastMutex, (ULONG_PTR)owner, 0,
               "fast mutex released by a thread that does not own it");
  KIRQL old = (KIRQL)FastMutex->OldIrql;
  __atomic_store_n(&FastMutex->Owner, (PVOID)NULL, __ATOMIC_RELAXED);
  if (InterlockedIncrement(&FastMutex->Count) != 1) KeSetEvent(&FastMutex->Event, 0, FALSE);
  KeLowerIrql(old);
}

}  // extern "C"
