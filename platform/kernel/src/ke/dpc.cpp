/*
 * DPCs and system worker threads.
 *
 * DPCs: one queue and one DPC thread that runs them at DISPATCH_LEVEL. A
 * queued DPC has DpcData pointing at the queue; it is cleared just before
 * the routine runs, so the routine may queue its own DPC again. The driver
 * that was current at KeInitializeDpc is kept in ProcessorHistory (unused
 * otherwise on this one-queue system) and charged while the routine runs.
 *
 * Workers: a small pool at PASSIVE_LEVEL, grown when every worker is busy,
 * so that a work item that waits for another one cannot starve the pool.
 */
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ki.h"

namespace {

/* ---- DPC queue ---- */
std::mutex g_DpcLock;
std::condition_variable g_DpcWake;  /* work for the DPC thread */
std::condition_variable g_DpcIdle;  /* a DPC finished (KeFlushQueuedDpcs) */
std::deque<PKDPC> g_DpcQueue;       /* guarded by g_DpcLock */
bool g_DpcRunning = false;          /* a routine is running; guarded by g_DpcLock */
ULONGLONG g_DpcCompleted = 0;       /* guarded by g_DpcLock */
bool g_DpcStop = false;             /* guarded by g_DpcLock */
std::thread g_DpcThread;

void DpcThread() {
  std::unique_lock<std::mutex> lock(g_DpcLock);
  for (;;) {
    g_DpcWake.wait(lock, [] { return g_DpcStop || !g_DpcQueue.empty(); });
    if (g_DpcStop) break;
    PKDPC dpc = g_DpcQueue.front();
    g_DpcQueue.pop_front();
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    auto *driver = (struct _DRIVER_OBJECT *)dpc->ProcessorHistory;
    dpc->DpcData = NULL;
    g_DpcRunning = true;
    lock.unlock();

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    {
      KiDriverScope scope(driver);
      routine(dpc, context, arg1, arg2);
    }
    KIRQL after = KeGetCurrentIrql();
    if (after != DISPATCH_LEVEL || KiHeldSpinLockCount() != 0) {
      char rule[160];
      if (after != DISPATCH_LEVEL)
        std::snprintf(rule, sizeof rule, "DPC routine %p returned at IRQL %u instead of DISPATCH_LEVEL",
                      (void *)routine, (unsigned)after);
      else
        std::snprintf(rule, sizeof rule, "DPC routine %p returned holding a spin lock", (void *)routine);
      KiBugCheck(0xC4, KI_VERIFIER_DPC_IRQL_CHANGED, (ULONG_PTR)routine, after, KiHeldSpinLockCount(), rule);
    }
    KeLowerIrql(old);

    lock.lock();
    g_DpcRunning = false;
    ++g_DpcCompleted;
    g_DpcIdle.notify_all();
  }
}

/* ---- workers ---- */
struct WorkItem {
  void (*Routine)(PVOID);
  PVOID Context;
  struct _DRIVER_OBJECT *Driver;
};

constexpr size_t kMinWorkers = 2;
constexpr size_t kMaxWorkers = 16;

std::mutex g_WorkLock;
std::condition_variable g_WorkWake;
std::deque<WorkItem> g_Work;          /* guarded by g_WorkLock */
std::vector<std::thread> g_Workers;   /* guarded by g_WorkLock */
size_t g_IdleWorkers = 0;             /* guarded by g_WorkLock */
bool g_WorkStop = false;              /* guarded by g_WorkLock */
bool g_WorkRunning = false;           /* pool started; guarded by g_WorkLock */

void WorkerThread() {
  std::unique_lock<std::mutex> lock(g_WorkLock);
  for (;;) {
    ++g_IdleWorkers;
    g_WorkWake.wait(lock, [] { return g_WorkStop || !g_Work.empty(); });
    --g_IdleWorkers;
    /* Shut-down drains the queue first: a work item holds references that
       only its routine gives back. */
    if (g_Work.empty()) break;
    WorkItem item = g_Work.front();
    g_Work.pop_front();
    lock.unlock();
    {
      KiDriverScope scope(item.Driver);
      item.Routine(item.Context);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || KiHeldSpinLockCount() != 0) {
      char rule[160];
      std::snprintf(rule, sizeof rule, "work item routine %p returned at IRQL %u%s", (void *)item.Routine,
                    (unsigned)KeGetCurrentIrql(), KiHeldSpinLockCount() ? " holding a spin lock" : "");
      KiBugCheck(0xC4, KI_VERIFIER_THREAD_IRQL, (ULONG_PTR)item.Routine, KeGetCurrentIrql(),
                 KiHeldSpinLockCount(), rule);
    }
    lock.lock();
  }
}

}  // namespace

/* ---- DPCs ---- */

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->TargetInfoAsUlong = 0;
  Dpc->Type = DpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Next = NULL;
  Dpc->ProcessorHistory = (KAFFINITY)KiCurrentDriver();
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = NULL;
  Dpc->SystemArgument2 = NULL;
  Dpc->DpcData = NULL;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  std::lock_guard<std::mutex> guard(g_DpcLock);
  if (Dpc->DpcData != NULL) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Dpc->DpcData = &g_DpcQueue;
  if (Dpc->Importance == HighImportance)
    g_DpcQueue.push_front(Dpc);
  else
    g_DpcQueue.push_back(Dpc);
  g_DpcWake.notify_one();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> guard(g_DpcLock);
  if (Dpc->DpcData == NULL) return FALSE;
  for (auto it = g_DpcQueue.begin(); it != g_DpcQueue.end(); ++it) {
    if (*it == Dpc) {
      g_DpcQueue.erase(it);
      break;
    }
  }
  Dpc->DpcData = NULL;
  g_DpcIdle.notify_all();
  return TRUE;
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }

void KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) { /* one DPC queue for all */ }

void KeFlushQueuedDpcs(void) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
  std::unique_lock<std::mutex> lock(g_DpcLock);
  /* Everything queued or running now has finished once this many more
     routines have completed, or the queue has drained, whichever is first
     (DPCs removed from the queue never complete). */
  ULONGLONG target = g_DpcCompleted + g_DpcQueue.size() + (g_DpcRunning ? 1 : 0);
  g_DpcIdle.wait(lock, [&] {
    return g_DpcStop || g_DpcCompleted >= target || (g_DpcQueue.empty() && !g_DpcRunning);
  });
}

BOOLEAN KiDpcQueuedInRange(const void *Base, SIZE_T Size) {
  std::lock_guard<std::mutex> guard(g_DpcLock);
  ULONG_PTR lo = (ULONG_PTR)Base, hi = lo + Size;
  for (PKDPC dpc : g_DpcQueue)
    if ((ULONG_PTR)dpc + sizeof(KDPC) > lo && (ULONG_PTR)dpc < hi) return TRUE;
  return FALSE;
}

void KiDpcInitialize() {
  {
    std::lock_guard<std::mutex> guard(g_DpcLock);
    g_DpcStop = false;
  }
  g_DpcThread = std::thread(DpcThread);
}

void KiDpcShutdown() {
  {
    std::lock_guard<std::mutex> guard(g_DpcLock);
    g_DpcStop = true;
    g_DpcWake.notify_all();
    g_DpcIdle.notify_all();
  }
  if (g_DpcThread.joinable()) g_DpcThread.join();
  std::lock_guard<std::mutex> guard(g_DpcLock);
  for (PKDPC dpc : g_DpcQueue) dpc->DpcData = NULL;
  g_DpcQueue.clear();
  g_DpcRunning = false;
}

/* ---- workers ---- */

void KiQueueWorker(void (*Routine)(PVOID Context), PVOID Context, struct _DRIVER_OBJECT *Driver) {
  std::lock_guard<std::mutex> guard(g_WorkLock);
  if (!g_WorkRunning)
    KiBugCheck(0xC4, KI_VERIFIER_KERNEL_LIMIT, (ULONG_PTR)Routine, 0, 0,
               "work item queued while the system is not running");
  g_Work.push_back(WorkItem{Routine, Context, Driver});
  if (g_IdleWorkers < g_Work.size() && g_Workers.size() < kMaxWorkers) g_Workers.emplace_back(WorkerThread);
  g_WorkWake.notify_one();
}

void KiWorkersInitialize() {
  std::lock_guard<std::mutex> guard(g_WorkLock);
  g_WorkStop = false;
  g_WorkRunning = true;
  for (size_t i = 0; i < kMinWorkers; ++i) g_Workers.emplace_back(WorkerThread);
}

void KiWorkersShutdown() {
  std::unique_lock<std::mutex> lock(g_WorkLock);
  g_WorkStop = true;
  g_WorkWake.notify_all();
  /* A draining work item may queue another one, and so add a worker. */
  while (!g_Workers.empty()) {
    std::thread worker = std::move(g_Workers.back());
    g_Workers.pop_back();
    lock.unlock();
    worker.join();
    lock.lock();
  }
  g_Work.clear();
  g_WorkRunning = false;
  g_IdleWorkers = 0;
}
