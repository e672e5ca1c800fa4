/*
 * Thread objects and system threads.
 *
 * A system thread runs its start routine on a host thread; the thread
 * object's own reference is held by the running thread and dropped after
 * the object is signalled. PsTerminateSystemThread leaves the start routine
 * by throwing a private exception type that only the thread's entry catches:
 * the host thread then ends through a normal return, its C++ frames unwound
 * (driver frames have unwind tables on this target even when compiled
 * without exceptions), rather than being cut off with pthread_exit.
 *
 * Host threads the kernel did not create get a thread object the first time
 * they ask for one; it is signalled when the host thread ends.
 */
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "ki.h"

const OBP_OBJECT_TYPE KiThreadObjectType = {"Thread", NULL};

namespace {

POBJECT_TYPE g_ThreadType = (POBJECT_TYPE)&KiThreadObjectType;

constexpr KPRIORITY kDefaultPriority = 8;
std::atomic<ULONG_PTR> g_NextThreadId{0x100};

struct ThreadExit {
  NTSTATUS Status;
};

struct ThreadSlot {
  PKTHREAD Thread = nullptr; /* holds the thread's own reference */
  bool System = false;
  ~ThreadSlot() {
    if (Thread != nullptr && !System) {
      KiSignalThreadObject(Thread, STATUS_SUCCESS);
      ObfDereferenceObject(Thread);
    }
  }
};
thread_local ThreadSlot t_Slot;

struct SystemThread {
  std::thread Host;
  PKTHREAD Thread = nullptr; /* only for the shut-down report; not referenced */
  PKSTART_ROUTINE StartRoutine = nullptr;
  bool Done = false;         /* guarded by g_ThreadsLock */
};
std::mutex g_ThreadsLock;
std::condition_variable g_ThreadDone;
std::list<std::shared_ptr<SystemThread>> g_Threads; /* guarded by g_ThreadsLock */

PKTHREAD NewThreadObject() {
  auto *thread = (PKTHREAD)ObpCreateObject(&KiThreadObjectType, sizeof(struct _KTHREAD));
  if (thread == NULL) return NULL;
  thread->Header.Type = ThreadObject;
  thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->Priority = kDefaultPriority;
  thread->ExitStatus = STATUS_PENDING;
  thread->Cid.UniqueProcess = (HANDLE)(ULONG_PTR)4; /* the system process */
  thread->Cid.UniqueThread = (HANDLE)(g_NextThreadId.fetch_add(4));
  return thread;
}

void ThreadEntry(PKTHREAD Thread, std::shared_ptr<SystemThread> Record) {
  t_Slot.Thread = Thread;
  t_Slot.System = true;
  NTSTATUS status = STATUS_SUCCESS;
  try {
    KiDriverScope scope(Thread->Driver);
    Thread->StartRoutine(Thread->StartContext);
  } catch (const ThreadExit &exit) {
    status = exit.Status;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL || KiHeldSpinLockCount() != 0) {
    char rule[160];
    std::snprintf(rule, sizeof rule, "system thread start routine %p ended at IRQL %u%s",
                  (void *)Thread->StartRoutine, (unsigned)KeGetCurrentIrql(),
                  KiHeldSpinLockCount() ? " holding a spin lock" : "");
    KiBugCheck(0xC4, KI_VERIFIER_THREAD_IRQL, (ULONG_PTR)Thread->StartRoutine, KeGetCurrentIrql(),
               KiHeldSpinLockCount(), rule);
  }
  KiSignalThreadObject(Thread, status);
  t_Slot.Thread = nullptr;
  ObfDereferenceObject(Thread);
  std::lock_guard<std::mutex> guard(g_ThreadsLock);
  Record->Done = true;
  g_ThreadDone.notify_all();
}

/* Joins the threads that have ended. Caller holds g_ThreadsLock. */
void Reap() {
  for (auto it = g_Threads.begin(); it != g_Threads.end();) {
    if ((*it)->Done) {
      (*it)->Host.join();
      it = g_Threads.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

POBJECT_TYPE *PsThreadType = &g_ThreadType;

PKTHREAD KeGetCurrentThread(void) {
  if (t_Slot.Thread == nullptr) {
    t_Slot.Thread = NewThreadObject();
    if (t_Slot.Thread == nullptr)
      KiBugCheck(0xC4, KI_VERIFIER_KERNEL_LIMIT, 0, 0, 0, "no memory for the thread object of a host thread");
  }
  return t_Slot.Thread;
}

PETHREAD PsGetCurrentThread(void) { return KeGetCurrentThread(); }

HANDLE PsGetCurrentThreadId(void) { return KeGetCurrentThread()->Cid.UniqueThread; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
  return __atomic_exchange_n(&Thread->Priority, Priority, __ATOMIC_RELAXED);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return __atomic_load_n(&Thread->Priority, __ATOMIC_RELAXED); }

ULONG KeGetCurrentProcessorNumber(void) { return 0; }

/* No APCs are delivered on this system: nothing to hold off. */
void KeEnterCriticalRegion(void) {}
void KeLeaveCriticalRegion(void) {}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (ThreadHandle == NULL || StartRoutine == NULL) return STATUS_INVALID_PARAMETER;
  PKTHREAD thread = NewThreadObject();
  if (thread == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  thread->SystemThread = TRUE;
  thread->StartRoutine = StartRoutine;
  thread->StartContext = StartContext;
  thread->Driver = KiCurrentDriver();
  HANDLE handle;
  NTSTATUS status = ObpCreateHandle(thread, &handle);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(thread);
    return status;
  }
  auto record = std::make_shared<SystemThread>();
  record->Thread = thread;
  record->StartRoutine = StartRoutine;
  {
    std::lock_guard<std::mutex> guard(g_ThreadsLock);
    Reap();
    try {
      record->Host = std::thread(ThreadEntry, thread, record);
    } catch (const std::system_error &) {
      ZwClose(handle);
      ObfDereferenceObject(thread);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_Threads.push_back(record);
  }
  if (ClientId != NULL) *ClientId = thread->Cid;
  *ThreadHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  if (!t_Slot.System) return STATUS_INVALID_PARAMETER;
  throw ThreadExit{ExitStatus};
}

void KiThreadsShutdown() {
  std::unique_lock<std::mutex> lock(g_ThreadsLock);
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto &record : g_Threads) {
    if (!g_ThreadDone.wait_until(lock, limit, [&] { return record->Done; })) {
      char rule[160];
      std::snprintf(rule, sizeof rule, "system thread %p (start routine %p) still running at shutdown",
                    (void *)record->Thread, (void *)record->StartRoutine);
      KiBugCheck(0xC4, KI_VERIFIER_THREAD_AT_SHUTDOWN, (ULONG_PTR)record->Thread,
                 (ULONG_PTR)record->StartRoutine, 0, rule);
    }
  }
  Reap();
}
