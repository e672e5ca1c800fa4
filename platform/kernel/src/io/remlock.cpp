/*
 * Remove locks (the free-build form): IoCount starts at 1, a bias that only
 * IoReleaseRemoveLockAndWait takes away; the count reaching 0 means removal
 * has begun and nothing is held any more, and sets RemoveEvent.
 */
#include "io/iop.h"

namespace {

void CheckSize(PIO_REMOVE_LOCK Lock, ULONG RemlockSize, const char *Routine) {
  if (RemlockSize != sizeof(IO_REMOVE_LOCK))
    KiBugCheck(0xC9, IOP_VERIFIER_REMOVE_LOCK, (ULONG_PTR)Lock, RemlockSize, sizeof(IO_REMOVE_LOCK), Routine);
}

void Release(PIO_REMOVE_LOCK RemoveLock) {
  LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (left < 0)
    KiBugCheck(0xC9, IOP_VERIFIER_REMOVE_LOCK, (ULONG_PTR)RemoveLock, (ULONG_PTR)left, 0,
               "remove lock released more often than it was acquired");
  if (left == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize) {
  CheckSize(Lock, RemlockSize, "IoInitializeRemoveLockEx: the remove lock is not of the free-build size");
  Lock->Common.Removed = FALSE;
  Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  CheckSize(RemoveLock, RemlockSize, "IoAcquireRemoveLockEx: the remove lock is not of the free-build size");
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_ACQUIRE)) {
    Release(RemoveLock);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockEx: the remove lock is not of the free-build size");
  Release(RemoveLock);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
  CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockAndWaitEx: the remove lock is not of the free-build size");
  __atomic_store_n(&RemoveLock->Common.Removed, (BOOLEAN)TRUE, __ATOMIC_RELEASE);
  Release(RemoveLock); /* the caller's own hold */
  Release(RemoveLock); /* the bias */
  KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
}
