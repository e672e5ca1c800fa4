/* System threads, thread objects and worker threads. */
#include <gtest/gtest.h>
#include <nt/ke.h>
#include <nt/system.h>

#include <atomic>
#include <thread>

#include "ki.h"

namespace {

constexpr LONGLONG kLimitMs = 10000; /* only a broken run gets this far */

NTSTATUS WaitMs(PVOID Object, LONGLONG Ms = kLimitMs) {
  LARGE_INTEGER t;
  t.QuadPart = -Ms * 10000;
  return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &t);
}

class Threads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }

  /* Starts Routine(Context) and returns its referenced thread object. */
  PKTHREAD Start(PKSTART_ROUTINE Routine, PVOID Context, HANDLE *Handle = nullptr) {
    HANDLE h = NULL;
    CLIENT_ID cid{};
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, NULL, NULL, &cid, Routine, Context), STATUS_SUCCESS);
    EXPECT_NE(cid.UniqueThread, nullptr);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &object, NULL), STATUS_SUCCESS);
    if (Handle)
      *Handle = h;
    else
      EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    return (PKTHREAD)object;
  }
};

struct Seen {
  std::atomic<PKTHREAD> Self{nullptr};
  std::atomic<int> Irql{-1};
  std::atomic<_DRIVER_OBJECT *> Driver{nullptr};
  KEVENT Go;
  std::atomic<bool> PastTerminate{false};
  std::atomic<bool> Unwound{false};
  Seen() { KeInitializeEvent(&Go, NotificationEvent, FALSE); }
};

void RecordingThread(PVOID Context) {
  auto *seen = (Seen *)Context;
  seen->Self = KeGetCurrentThread();
  seen->Irql = KeGetCurrentIrql();
  seen->Driver = KiCurrentDriver();
  WaitMs(&seen->Go);
}

TEST_F(Threads, SystemThreadIsWaitedOnThroughItsObject) {
  Seen seen;
  auto *driver = (_DRIVER_OBJECT *)0x7000;
  PKTHREAD thread;
  {
    KiDriverScope scope(driver);
    thread = Start(RecordingThread, &seen);
  }
  EXPECT_EQ(WaitMs(thread, 0), STATUS_TIMEOUT) << "still running";
  EXPECT_EQ(PsGetThreadExitStatus(thread), STATUS_PENDING);
  KeSetEvent(&seen.Go, 0, FALSE);
  ASSERT_EQ(WaitMs(thread), STATUS_WAIT_0);
  EXPECT_EQ(seen.Self.load(), thread);
  EXPECT_EQ(seen.Irql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(seen.Driver.load(), driver);
  EXPECT_EQ(PsGetThreadExitStatus(thread), STATUS_SUCCESS);
  EXPECT_EQ(WaitMs(thread), STATUS_WAIT_0) << "stays signalled";
  ObDereferenceObject(thread);
}

struct Unwinds {
  Seen *S;
  ~Unwinds() { S->Unwound = true; }
};

void Deep(Seen *seen) {
  PsTerminateSystemThread((NTSTATUS)0xC0001234);
  seen->PastTerminate = true;
}

void TerminatingThread(PVOID Context) {
  auto *seen = (Seen *)Context;
  Unwinds guard{seen};
  Deep(seen);
  seen->PastTerminate = true;
}

TEST_F(Threads, TerminateEndsTheThreadWithItsStatus) {
  Seen seen;
  PKTHREAD thread = Start(TerminatingThread, &seen);
  ASSERT_EQ(WaitMs(thread), STATUS_WAIT_0);
  EXPECT_EQ(PsGetThreadExitStatus(thread), (NTSTATUS)0xC0001234);
  EXPECT_FALSE(seen.PastTerminate.load());
  EXPECT_TRUE(seen.Unwound.load()) << "frames between the start routine and the call are unwound";
  ObDereferenceObject(thread);
}

TEST_F(Threads, TerminateOutsideASystemThreadIsRefused) {
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
}

TEST_F(Threads, ThreadObjectOutlivesItsHandleAndItsThread) {
  Seen seen;
  HANDLE handle;
  PKTHREAD thread = Start(RecordingThread, &seen, &handle);
  EXPECT_EQ(ObpTypeOf(thread), &KiThreadObjectType);
  EXPECT_EQ(ObpReferenceCount(thread), 3) << "the thread, the handle, the test";
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  KeSetEvent(&seen.Go, 0, FALSE);
  ASSERT_EQ(WaitMs(thread), STATUS_WAIT_0);
  /* The thread drops its own reference just after signalling; shut-down
     joins it. */
  nt::Shutdown();
  EXPECT_EQ(ObpReferenceCount(thread), 1);
  ObDereferenceObject(thread);
  EXPECT_EQ(ObpTypeOf(thread), nullptr);
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
}

TEST_F(Threads, WaitAnyOverSeveralThreads) {
  Seen a, b;
  PKTHREAD ta = Start(RecordingThread, &a), tb = Start(RecordingThread, &b);
  PVOID objects[2] = {ta, tb};
  LARGE_INTEGER limit;
  limit.QuadPart = -kLimitMs * 10000;
  KeSetEvent(&b.Go, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &limit, NULL),
            STATUS_WAIT_1);
  KeSetEvent(&a.Go, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &limit, NULL),
            STATUS_WAIT_0);
  ObDereferenceObject(ta);
  ObDereferenceObject(tb);
}

TEST_F(Threads, HostThreadsGetAThreadObjectSignalledWhenTheyEnd) {
  PKTHREAD mine = KeGetCurrentThread();
  EXPECT_EQ(KeGetCurrentThread(), mine);
  EXPECT_EQ(PsGetCurrentThread(), mine);
  PKTHREAD other = nullptr;
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::thread host([&] {
    other = KeGetCurrentThread();
    ObReferenceObject(other);
    WaitMs(&go);
  });
  ASSERT_TRUE(nt::ke::WaitForWaiters(&go, 1, kLimitMs));
  EXPECT_NE(other, mine);
  EXPECT_EQ(WaitMs(other, 0), STATUS_TIMEOUT);
  KeSetEvent(&go, 0, FALSE);
  host.join();
  EXPECT_EQ(WaitMs(other, 0), STATUS_WAIT_0);
  ObDereferenceObject(other);

  PVOID self = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(NtCurrentThread(), 0, *PsThreadType, KernelMode, &self, NULL), STATUS_SUCCESS);
  EXPECT_EQ(self, mine);
  ObDereferenceObject(self);
}

TEST_F(Threads, PriorityIsRecordedAndTheOldOneReturned) {
  PKTHREAD self = KeGetCurrentThread();
  KPRIORITY first = KeQueryPriorityThread(self);
  EXPECT_EQ(KeSetPriorityThread(self, 16), first);
  EXPECT_EQ(KeGetPriorityThread(self), 16);
  EXPECT_EQ(KeSetPriorityThread(self, first), 16);
}

TEST_F(Threads, CreateRejectsMissingArguments) {
  HANDLE h;
  EXPECT_EQ(PsCreateSystemThread(NULL, 0, NULL, NULL, NULL, RecordingThread, NULL), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PsCreateSystemThread(&h, 0, NULL, NULL, NULL, NULL, NULL), STATUS_INVALID_PARAMETER);
}

/* ---- worker threads ---- */

struct Work {
  KEVENT Done;
  std::atomic<int> Irql{-1};
  std::atomic<_DRIVER_OBJECT *> Driver{nullptr};
  Work *Inner = nullptr; /* queued by this item, which then waits for it */
  Work() { KeInitializeEvent(&Done, NotificationEvent, FALSE); }
};

void WorkRoutine(PVOID Context) {
  auto *w = (Work *)Context;
  w->Irql = KeGetCurrentIrql();
  w->Driver = KiCurrentDriver();
  if (w->Inner) {
    KiQueueWorker(WorkRoutine, w->Inner, NULL);
    WaitMs(&w->Inner->Done);
  }
  KeSetEvent(&w->Done, 0, FALSE);
}

TEST_F(Threads, WorkItemsRunAtPassiveLevelChargedToTheirDriver) {
  Work w;
  auto *driver = (_DRIVER_OBJECT *)0x9000;
  KiQueueWorker(WorkRoutine, &w, driver);
  ASSERT_EQ(WaitMs(&w.Done), STATUS_WAIT_0);
  EXPECT_EQ(w.Irql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(w.Driver.load(), driver);
}

TEST_F(Threads, WorkItemsWaitingForEachOtherDoNotStarveThePool) {
  /* A chain deeper than the pool's starting size, each link blocking its
     worker until the next one has run. */
  Work chain[6];
  for (int i = 0; i < 5; ++i) chain[i].Inner = &chain[i + 1];
  KiQueueWorker(WorkRoutine, &chain[0], NULL);
  ASSERT_EQ(WaitMs(&chain[0].Done), STATUS_WAIT_0);
}

/* ---- verifier ---- */

class ThreadsDeath : public Threads {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Threads::SetUp();
  }
};

void BadThreadKeepsIrqlRaised(PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void BadWorkItemKeepsALock(PVOID Context) {
  KIRQL old;
  KeAcquireSpinLock((PKSPIN_LOCK)Context, &old);
}

TEST_F(ThreadsDeath, SystemThreadEndsAtRaisedIrql) {
  EXPECT_DEATH(
      {
        PKTHREAD t = Start(BadThreadKeepsIrqlRaised, NULL);
        WaitMs(t);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        WaitMs(&never);
      },
      "system thread start routine .* ended at IRQL 2");
}

TEST_F(ThreadsDeath, WorkItemReturnsHoldingASpinLock) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KiQueueWorker(BadWorkItemKeepsALock, &lock, NULL);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        WaitMs(&never);
      },
      "work item routine .* returned at IRQL 2 holding a spin lock");
}

TEST_F(ThreadsDeath, CreateAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        HANDLE h;
        PsCreateSystemThread(&h, 0, NULL, NULL, NULL, RecordingThread, NULL);
      },
      "PsCreateSystemThread called at IRQL 2");
}

}  // namespace
