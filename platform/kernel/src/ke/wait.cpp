/*
 * Dispatcher objects, waits and timers.
 *
 * One dispatcher lock guards the signal state and wait list of every
 * dispatcher object, every waiting thread's wait record, and the timer list.
 * A waiting thread links one KWAIT_BLOCK per object into the object's
 * WaitListHead and sleeps on its own condition variable. Whoever makes an
 * object signalled walks that object's wait list in order and satisfies the
 * waits it can on the spot (a synchronization event releases exactly one
 * waiter, a semaphore as many as its count allows), so the woken thread only
 * collects its result.
 */
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <nt/ke.h>

#include "ki.h"

namespace {

std::mutex g_Dispatcher;

struct WaitRecord {
  std::condition_variable Wake;
  PKTHREAD Thread = nullptr;     /* the waiter, for mutex ownership */
  WAIT_TYPE Type = WaitAny;
  ULONG Count = 0;
  PKWAIT_BLOCK Blocks = nullptr; /* linked into the objects' wait lists while waiting */
  bool Satisfied = false;
  NTSTATUS Status = STATUS_SUCCESS;
  KWAIT_BLOCK Builtin[THREAD_WAIT_OBJECTS];
};
thread_local WaitRecord t_Wait; /* fields guarded by g_Dispatcher while linked */

/* Timers that are set, by due time; guarded by g_Dispatcher. */
LIST_ENTRY g_Timers = {&g_Timers, &g_Timers};
std::condition_variable g_TimerWake;
std::condition_variable g_WaiterAdded; /* for nt::ke::WaitForWaiters */
bool g_TimerStop = false; /* guarded by g_Dispatcher */
std::thread g_TimerThread;

constexpr ULONGLONG kForever = (ULONGLONG)INT64_MAX / 100;

/* Interrupt times from kForever on are "never"; they are clamped so that
   the conversion cannot overflow. */
std::chrono::steady_clock::time_point TimePoint(ULONGLONG InterruptTime) {
  if (InterruptTime > kForever) InterruptTime = kForever;
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds((LONGLONG)InterruptTime * 100));
}

[[noreturn]] void BadObject(const char *Routine, PVOID Object, const char *What) {
  char rule[160];
  std::snprintf(rule, sizeof rule, "%s: object %p %s", Routine, Object, What);
  KiBugCheck(0xC4, KI_VERIFIER_BAD_WAIT_OBJECT, (ULONG_PTR)Object, 0, 0, rule);
}

bool IsWaitable(UCHAR Type) {
  switch (Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return true;
    default:
      return false;
  }
}

/* Caller holds g_Dispatcher (the wait list head changes under it). */
void CheckObject(const char *Routine, PVOID Object) {
  if (Object == NULL) BadObject(Routine, Object, "is NULL");
  auto *header = (PDISPATCHER_HEADER)Object;
  if (!IsWaitable(header->Type) || header->WaitListHead.Flink == NULL)
    BadObject(Routine, Object, "is not an initialized dispatcher object");
}

/* Caller holds g_Dispatcher. */
void CheckTimer(const char *Routine, PKTIMER Timer) {
  if (Timer == NULL || (Timer->Header.Type != TimerNotificationObject &&
                        Timer->Header.Type != TimerSynchronizationObject) ||
      Timer->Header.WaitListHead.Flink == NULL)
    BadObject(Routine, Timer, "is not an initialized timer");
}

/* ---- caller holds g_Dispatcher for everything below ---- */

bool IsSignalled(PDISPATCHER_HEADER Header, PKTHREAD Thread) {
  if (Header->Type == MutantObject)
    return Header->SignalState > 0 || ((PKMUTANT)Header)->OwnerThread == Thread;
  return Header->SignalState > 0;
}

/* The side effect of a satisfied wait. */
void Consume(PDISPATCHER_HEADER Header, PKTHREAD Thread) {
  switch (Header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      Header->SignalState = 0;
      break;
    case SemaphoreObject:
      Header->SignalState = Header->SignalState - 1;
      break;
    case MutantObject:
      Header->SignalState = Header->SignalState - 1;
      ((PKMUTANT)Header)->OwnerThread = Thread;
      break;
    default:
      break;
  }
}

void Finish(WaitRecord *Record, NTSTATUS Status) {
  for (ULONG i = 0; i < Record->Count; ++i) RemoveEntryList(&Record->Blocks[i].WaitListEntry);
  Record->Status = Status;
  Record->Satisfied = true;
  Record->Wake.notify_one();
}

bool AllSignalled(WaitRecord *Record) {
  for (ULONG i = 0; i < Record->Count; ++i)
    if (!IsSignalled((PDISPATCHER_HEADER)Record->Blocks[i].Object, Record->Thread)) return false;
  return true;
}

/* Header may have become signalled: satisfy the waits that it allows, in
 * the order the waiters came. */
void WakeWaiters(PDISPATCHER_HEADER Header) {
  bool progress = true;
  while (progress) {
    progress = false;
    PLIST_ENTRY head = &Header->WaitListHead;
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
      PKWAIT_BLOCK block = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
      auto *record = (WaitRecord *)block->Thread;
      if (!IsSignalled(Header, record->Thread)) continue;
      if (record->Type == WaitAny) {
        Consume(Header, record->Thread);
        Finish(record, STATUS_WAIT_0 + block->WaitKey);
      } else {
        if (!AllSignalled(record)) continue;
        for (ULONG i = 0; i < record->Count; ++i)
          Consume((PDISPATCHER_HEADER)record->Blocks[i].Object, record->Thread);
        Finish(record, STATUS_WAIT_0);
      }
      progress = true;
      break; /* the list changed under e */
    }
  }
}

void InsertTimer(PKTIMER Timer) {
  PLIST_ENTRY e = g_Timers.Flink;
  while (e != &g_Timers && CONTAINING_RECORD(e, KTIMER, TimerListEntry)->DueTime.QuadPart <= Timer->DueTime.QuadPart)
    e = e->Flink;
  InsertTailList(e, &Timer->TimerListEntry); /* before e */
  Timer->Header.Inserted = TRUE;
  if (g_Timers.Flink == &Timer->TimerListEntry) g_TimerWake.notify_one();
}

NTSTATUS Wait(const char *Routine, ULONG Count, PVOID Object[], WAIT_TYPE WaitType, PLARGE_INTEGER Timeout,
              PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL)) {
    char rule[160];
    std::snprintf(rule, sizeof rule, "%s: %u objects%s", Routine, Count,
                  Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL ? " without a wait block array" : "");
    KiBugCheck(0xC /* MAXIMUM_WAIT_OBJECTS_EXCEEDED */, Count, (ULONG_PTR)WaitBlockArray, 0, 0, rule);
  }
  bool poll = Timeout != NULL && Timeout->QuadPart == 0;
  KIRQL irql = KeGetCurrentIrql();
  if (!poll && irql >= DISPATCH_LEVEL) {
    char rule[160];
    std::snprintf(rule, sizeof rule, "%s: wait with a non-zero time-out at IRQL %u (DISPATCH_LEVEL or above)",
                  Routine, (unsigned)irql);
    KiBugCheck(0xC4, KI_VERIFIER_WAIT_AT_DISPATCH, irql, (ULONG_PTR)Object[0], 0, rule);
  }
  KiCheckIrqlAtMost(DISPATCH_LEVEL, Routine);
  ULONGLONG deadline = Timeout == NULL ? ~0ULL : KiDeadlineFromTimeout(Timeout->QuadPart);
  PKTHREAD self = KeGetCurrentThread(); /* outside the lock: may create the thread object */

  std::unique_lock<std::mutex> lock(g_Dispatcher);
  for (ULONG i = 0; i < Count; ++i) {
    CheckObject(Routine, Object[i]);
    if (WaitType == WaitAll)
      for (ULONG j = 0; j < i; ++j)
        if (Object[j] == Object[i]) BadObject(Routine, Object[i], "appears twice in one WaitAll wait");
  }
  if (WaitType == WaitAny) {
    for (ULONG i = 0; i < Count; ++i) {
      auto *header = (PDISPATCHER_HEADER)Object[i];
      if (IsSignalled(header, self)) {
        Consume(header, self);
        return STATUS_WAIT_0 + (NTSTATUS)i;
      }
    }
  } else {
    bool all = true;
    for (ULONG i = 0; i < Count && all; ++i) all = IsSignalled((PDISPATCHER_HEADER)Object[i], self);
    if (all) {
      for (ULONG i = 0; i < Count; ++i) Consume((PDISPATCHER_HEADER)Object[i], self);
      return STATUS_WAIT_0;
    }
  }
  if (poll) return STATUS_TIMEOUT;

  WaitRecord *record = &t_Wait;
  record->Thread = self;
  record->Type = WaitType;
  record->Count = Count;
  record->Blocks = Count <= THREAD_WAIT_OBJECTS ? record->Builtin : WaitBlockArray;
  record->Satisfied = false;
  for (ULONG i = 0; i < Count; ++i) {
    PKWAIT_BLOCK block = &record->Blocks[i];
    block->WaitType = (UCHAR)WaitType;
    block->BlockState = 0;
    block->WaitKey = (USHORT)i;
    block->Thread = record;
    block->Object = Object[i];
    InsertTailList(&((PDISPATCHER_HEADER)Object[i])->WaitListHead, &block->WaitListEntry);
  }
  g_WaiterAdded.notify_all();
  while (!record->Satisfied) {
    if (deadline >= kForever) {
      record->Wake.wait(lock);
    } else if (record->Wake.wait_until(lock, TimePoint(deadline)) == std::cv_status::timeout &&
               !record->Satisfied && KeQueryInterruptTime() >= deadline) {
      for (ULONG i = 0; i < Count; ++i) RemoveEntryList(&record->Blocks[i].WaitListEntry);
      record->Count = 0;
      return STATUS_TIMEOUT;
    }
  }
  record->Count = 0;
  return record->Status;
}

void TimerThread() {
  std::unique_lock<std::mutex> lock(g_Dispatcher);
  while (!g_TimerStop) {
    if (IsListEmpty(&g_Timers)) {
      g_TimerWake.wait(lock);
      continue;
    }
    PKTIMER timer = CONTAINING_RECORD(g_Timers.Flink, KTIMER, TimerListEntry);
    ULONGLONG now = KeQueryInterruptTime();
    if (timer->DueTime.QuadPart > now) {
      if (timer->DueTime.QuadPart >= kForever)
        g_TimerWake.wait(lock);
      else
        g_TimerWake.wait_until(lock, TimePoint(timer->DueTime.QuadPart));
      continue;
    }
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = FALSE;
    if (timer->Period != 0) {
      ULONGLONG period = (ULONGLONG)timer->Period * 10000;
      ULONGLONG next = timer->DueTime.QuadPart + period;
      timer->DueTime.QuadPart = next > now ? next : now + period;
      InsertTimer(timer);
    }
    timer->Header.SignalState = 1;
    WakeWaiters(&timer->Header);
    /* Queued under the lock: once KeCancelTimer has returned, the timer's
       DPC is either queued already or never will be. */
    if (timer->Dpc != NULL) {
      LARGE_INTEGER t;
      t.QuadPart = (LONGLONG)now;
      KeInsertQueueDpc(timer->Dpc, (PVOID)(ULONG_PTR)t.LowPart, (PVOID)(ULONG_PTR)(ULONG)t.HighPart);
    }
  }
}

}  // namespace

/* ---- events ---- */

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  /* Wait == TRUE promises that a wait follows at once; nothing needs to be
     held over to it here. */
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckObject("KeSetEvent", Event);
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  WakeWaiters(&Event->Header);
  return old;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KePulseEvent");
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckObject("KePulseEvent", Event);
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  WakeWaiters(&Event->Header);
  Event->Header.SignalState = 0;
  return old;
}

void KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return old;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  return Event->Header.SignalState;
}

/* ---- mutexes ----
 * SignalState is 1 when free and goes down by one per acquisition, so an
 * owner may acquire again and must release as often. */

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Signalling = 0;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.Inserted = 0;
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = NULL;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  PKTHREAD self = KeGetCurrentThread();
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckObject("KeReleaseMutex", Mutex);
  if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
    char rule[160];
    std::snprintf(rule, sizeof rule, "KeReleaseMutex: mutex %p released by a thread that does not own it",
                  (void *)Mutex);
    KiBugCheck(0x11 /* THREAD_NOT_MUTEX_OWNER */, (ULONG_PTR)self, (ULONG_PTR)Mutex,
               (ULONG_PTR)Mutex->OwnerThread, 0, rule);
  }
  LONG old = Mutex->Header.SignalState;
  Mutex->Header.SignalState = old + 1;
  if (old + 1 == 1) {
    Mutex->OwnerThread = NULL;
    WakeWaiters(&Mutex->Header);
  }
  return old;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  return Mutex->Header.SignalState;
}

/* ---- semaphores ---- */

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.Signalling = 0;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.Inserted = 0;
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckObject("KeReleaseSemaphore", Semaphore);
  LONG old = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || old > Semaphore->Limit - Adjustment) {
    char rule[160];
    if (Adjustment <= 0)
      std::snprintf(rule, sizeof rule, "KeReleaseSemaphore: adjustment %d for semaphore %p is not positive",
                    Adjustment, (void *)Semaphore);
    else
      std::snprintf(rule, sizeof rule, "KeReleaseSemaphore: releasing %d would take semaphore %p past its limit %d",
                    Adjustment, (void *)Semaphore, Semaphore->Limit);
    KiBugCheck(0xC4, KI_VERIFIER_SEMAPHORE_LIMIT, (ULONG_PTR)Semaphore, (ULONG_PTR)(LONG_PTR)Adjustment,
               (ULONG_PTR)(LONG_PTR)Semaphore->Limit, rule);
  }
  Semaphore->Header.SignalState = old + Adjustment;
  WakeWaiters(&Semaphore->Header);
  return old;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  return Semaphore->Header.SignalState;
}

/* ---- waits ---- */

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return Wait("KeWaitForSingleObject", 1, objects, WaitAny, Timeout, NULL);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  return Wait("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout, WaitBlockArray);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  if (Interval->QuadPart == 0) {
    KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeDelayExecutionThread");
    std::this_thread::yield();
    return STATUS_SUCCESS;
  }
  KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL) {
    char rule[160];
    std::snprintf(rule, sizeof rule,
                  "KeDelayExecutionThread: wait with a non-zero time-out at IRQL %u (DISPATCH_LEVEL or above)",
                  (unsigned)irql);
    KiBugCheck(0xC4, KI_VERIFIER_WAIT_AT_DISPATCH, irql, 0, 0, rule);
  }
  ULONGLONG deadline = KiDeadlineFromTimeout(Interval->QuadPart);
  std::unique_lock<std::mutex> lock(g_Dispatcher);
  while (KeQueryInterruptTime() < deadline) {
    if (deadline >= kForever)
      t_Wait.Wake.wait(lock);
    else
      t_Wait.Wake.wait_until(lock, TimePoint(deadline));
  }
  return STATUS_SUCCESS;
}

/* ---- timers ---- */

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Signalling = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = NULL;
  Timer->Processor = 0;
  Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
  ULONGLONG due = KiDeadlineFromTimeout(DueTime.QuadPart);
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckTimer("KeSetTimerEx", Timer);
  BOOLEAN wasSet = Timer->Header.Inserted;
  if (wasSet) RemoveEntryList(&Timer->TimerListEntry);
  Timer->DueTime.QuadPart = due;
  Timer->Period = Period > 0 ? (ULONG)Period : 0;
  Timer->Dpc = Dpc;
  Timer->Header.SignalState = 0;
  InsertTimer(Timer);
  return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckTimer("KeCancelTimer", Timer);
  BOOLEAN wasSet = Timer->Header.Inserted;
  if (wasSet) {
    RemoveEntryList(&Timer->TimerListEntry);
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Header.Inserted = FALSE;
  }
  return wasSet;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

BOOLEAN KiTimerSetInRange(const void *Base, SIZE_T Size) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  ULONG_PTR lo = (ULONG_PTR)Base, hi = lo + Size;
  for (PLIST_ENTRY e = g_Timers.Flink; e != &g_Timers; e = e->Flink) {
    ULONG_PTR t = (ULONG_PTR)CONTAINING_RECORD(e, KTIMER, TimerListEntry);
    if (t + sizeof(KTIMER) > lo && t < hi) return TRUE;
  }
  return FALSE;
}

void KiTimersInitialize() {
  {
    std::lock_guard<std::mutex> guard(g_Dispatcher);
    g_TimerStop = false;
  }
  g_TimerThread = std::thread(TimerThread);
}

void KiTimersShutdown() {
  {
    std::lock_guard<std::mutex> guard(g_Dispatcher);
    g_TimerStop = true;
    g_TimerWake.notify_all();
  }
  if (g_TimerThread.joinable()) g_TimerThread.join();
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  while (!IsListEmpty(&g_Timers)) {
    PKTIMER timer = CONTAINING_RECORD(RemoveHeadList(&g_Timers), KTIMER, TimerListEntry);
    InitializeListHead(&timer->TimerListEntry);
    timer->Header.Inserted = FALSE;
  }
}

/* ---- thread objects ---- */

void KiSignalThreadObject(PKTHREAD Thread, NTSTATUS ExitStatus) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  Thread->ExitStatus = ExitStatus;
  Thread->Header.SignalState = 1;
  WakeWaiters(&Thread->Header);
}

NTSTATUS PsGetThreadExitStatus(PETHREAD Thread) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  return Thread->ExitStatus;
}

/* ---- control hooks ---- */

namespace {
ULONG CountWaiters(PVOID Object) { /* caller holds g_Dispatcher */
  auto *header = (PDISPATCHER_HEADER)Object;
  ULONG n = 0;
  for (PLIST_ENTRY e = header->WaitListHead.Flink; e != &header->WaitListHead; e = e->Flink) ++n;
  return n;
}
}  // namespace

ULONG nt::ke::WaiterCount(PVOID Object) {
  std::lock_guard<std::mutex> guard(g_Dispatcher);
  CheckObject("nt::ke::WaiterCount", Object);
  return CountWaiters(Object);
}

bool nt::ke::WaitForWaiters(PVOID Object, ULONG Count, ULONG TimeoutMs) {
  std::unique_lock<std::mutex> lock(g_Dispatcher);
  CheckObject("nt::ke::WaitForWaiters", Object);
  return g_WaiterAdded.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                [&] { return CountWaiters(Object) >= Count; });
}
