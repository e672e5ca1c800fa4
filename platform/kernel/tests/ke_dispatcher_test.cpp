/* Events, mutexes, semaphores and waits, with real threads. */
#include <gtest/gtest.h>
#include <nt/ke.h>
#include <nt/system.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ki.h"

namespace {

constexpr ULONG kLimitMs = 10000; /* only a broken run gets this far */

LARGE_INTEGER Relative(LONGLONG Ms) {
  LARGE_INTEGER t;
  t.QuadPart = -Ms * 10000;
  return t;
}

LARGE_INTEGER Zero() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

NTSTATUS WaitMs(PVOID Object, LONGLONG Ms = kLimitMs) {
  LARGE_INTEGER t = Relative(Ms);
  return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &t);
}

NTSTATUS Poll(PVOID Object) {
  LARGE_INTEGER t = Zero();
  return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &t);
}

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }
};

/* N threads block on Event; each reports through Done when released. */
struct Waiters {
  std::vector<std::thread> Threads;
  KSEMAPHORE Done;
  std::atomic<int> Released{0};

  Waiters(PVOID Object, int N) {
    KeInitializeSemaphore(&Done, 0, N);
    for (int i = 0; i < N; ++i)
      Threads.emplace_back([this, Object] {
        if (WaitMs(Object) == STATUS_WAIT_0) {
          Released++;
          KeReleaseSemaphore(&Done, 0, 1, FALSE);
        }
      });
  }
  ~Waiters() {
    for (auto &t : Threads) t.join();
  }
};

TEST_F(Dispatcher, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Waiters waiters(&event, 3);
  ASSERT_TRUE(nt::ke::WaitForWaiters(&event, 3, kLimitMs));

  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(nt::ke::WaiterCount(&event), 0u); /* released by the set itself */
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitMs(&waiters.Done), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
  EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
}

TEST_F(Dispatcher, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  Waiters waiters(&event, 3);
  ASSERT_TRUE(nt::ke::WaitForWaiters(&event, 3, kLimitMs));

  for (ULONG left : {2u, 1u, 0u}) {
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(nt::ke::WaiterCount(&event), left);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter consumed the signal";
    ASSERT_EQ(WaitMs(&waiters.Done), STATUS_WAIT_0);
  }
  EXPECT_EQ(waiters.Released.load(), 3);

  /* With nobody waiting the signal stays until one wait consumes it. */
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
  EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(Dispatcher, EventStateCalls) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(Dispatcher, PulseReleasesTheWaitersAndLeavesTheEventClear) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Waiters waiters(&event, 2);
  ASSERT_TRUE(nt::ke::WaitForWaiters(&event, 2, kLimitMs));
  EXPECT_EQ(KePulseEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(WaitMs(&waiters.Done), STATUS_WAIT_0);
}

TEST_F(Dispatcher, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  ASSERT_EQ(Poll(&mutex), STATUS_WAIT_0);
  ASSERT_EQ(Poll(&mutex), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateMutex(&mutex), -1);

  auto otherPolls = [&] {
    NTSTATUS s;
    std::thread([&] { s = Poll(&mutex); }).join();
    return s;
  };
  EXPECT_EQ(otherPolls(), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
  EXPECT_EQ(otherPolls(), STATUS_TIMEOUT) << "still owned once";

  /* A blocked waiter gets the mutex when the last release frees it. */
  KEVENT acquired, release;
  KeInitializeEvent(&acquired, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::thread other([&] {
    ASSERT_EQ(WaitMs(&mutex), STATUS_WAIT_0);
    KeSetEvent(&acquired, 0, FALSE);
    ASSERT_EQ(WaitMs(&release), STATUS_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
  });
  ASSERT_TRUE(nt::ke::WaitForWaiters(&mutex, 1, kLimitMs));
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
  ASSERT_EQ(WaitMs(&acquired), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 0);
  EXPECT_EQ(Poll(&mutex), STATUS_TIMEOUT);
  KeSetEvent(&release, 0, FALSE);
  other.join();
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_EQ(Poll(&mutex), STATUS_WAIT_0);
  KeReleaseMutex(&mutex, FALSE);
}

TEST_F(Dispatcher, SemaphoreCountsAcquisitionsAndReleases) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 2, 3);
  EXPECT_EQ(Poll(&sem), STATUS_WAIT_0);
  EXPECT_EQ(Poll(&sem), STATUS_WAIT_0);
  EXPECT_EQ(Poll(&sem), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 3, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 3);

  /* A release of two lets two blocked waiters through, not a third. */
  KSEMAPHORE gate;
  KeInitializeSemaphore(&gate, 0, 10);
  Waiters waiters(&gate, 3);
  ASSERT_TRUE(nt::ke::WaitForWaiters(&gate, 3, kLimitMs));
  EXPECT_EQ(KeReleaseSemaphore(&gate, 0, 2, FALSE), 0);
  EXPECT_EQ(nt::ke::WaiterCount(&gate), 1u);
  EXPECT_EQ(KeReadStateSemaphore(&gate), 0);
  KeReleaseSemaphore(&gate, 0, 1, FALSE);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitMs(&waiters.Done), STATUS_WAIT_0);
}

TEST_F(Dispatcher, WaitAnyReportsTheLowestSignalledIndex) {
  KEVENT e[3];
  for (auto &ev : e) KeInitializeEvent(&ev, SynchronizationEvent, FALSE);
  PVOID objects[3] = {&e[0], &e[1], &e[2]};
  LARGE_INTEGER limit = Relative(kLimitMs);

  std::thread setter([&] {
    ASSERT_TRUE(nt::ke::WaitForWaiters(&e[2], 1, kLimitMs));
    KeSetEvent(&e[2], 0, FALSE);
  });
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &limit, NULL),
            STATUS_WAIT_2);
  setter.join();
  for (auto &ev : e) EXPECT_EQ(nt::ke::WaiterCount(&ev), 0u) << "every wait block unlinked";

  KeSetEvent(&e[1], 0, FALSE);
  KeSetEvent(&e[2], 0, FALSE);
  LARGE_INTEGER zero = Zero();
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, NULL),
            STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&e[2]), 1) << "only the object that satisfied the wait is consumed";
}

TEST_F(Dispatcher, WaitAllTakesEveryObjectAtOnceOrNone) {
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, TRUE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};

  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER limit = Relative(kLimitMs);
    result = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &limit, NULL);
  });
  ASSERT_TRUE(nt::ke::WaitForWaiters(&b, 1, kLimitMs));
  /* The blocked WaitAll holds nothing: a is still there for others. */
  EXPECT_EQ(Poll(&a), STATUS_WAIT_0);
  KeSetEvent(&b, 0, FALSE);
  EXPECT_EQ(nt::ke::WaiterCount(&b), 1u) << "b alone does not satisfy it";
  EXPECT_EQ(KeReadStateEvent(&b), 1);
  KeSetEvent(&a, 0, FALSE);
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&a), 0);
  EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST_F(Dispatcher, WaitAllTimesOutWithoutConsumingAnything) {
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, TRUE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};
  LARGE_INTEGER t = Relative(20);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &t, NULL), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&a), 1);
  EXPECT_EQ(nt::ke::WaiterCount(&a), 0u);
  EXPECT_EQ(nt::ke::WaiterCount(&b), 0u);
}

TEST_F(Dispatcher, ManyObjectsNeedAndUseAWaitBlockArray) {
  constexpr ULONG n = 8;
  KEVENT e[n];
  PVOID objects[n];
  for (ULONG i = 0; i < n; ++i) {
    KeInitializeEvent(&e[i], NotificationEvent, FALSE);
    objects[i] = &e[i];
  }
  KWAIT_BLOCK blocks[n];
  std::thread setter([&] {
    for (ULONG i = 0; i < n; ++i) {
      ASSERT_TRUE(nt::ke::WaitForWaiters(&e[i], 1, kLimitMs));
      KeSetEvent(&e[i], 0, FALSE);
    }
  });
  LARGE_INTEGER limit = Relative(kLimitMs);
  EXPECT_EQ(KeWaitForMultipleObjects(n, objects, WaitAll, Executive, KernelMode, FALSE, &limit, blocks),
            STATUS_WAIT_0);
  setter.join();
}

TEST_F(Dispatcher, ZeroTimeoutNeverBlocksEvenAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeLowerIrql(old);
  EXPECT_EQ(nt::ke::WaiterCount(&event), 0u);
}

TEST_F(Dispatcher, RelativeTimeoutEndsTheWaitNoEarlierThanAsked) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(WaitMs(&event, 30), STATUS_TIMEOUT);
  EXPECT_GE(KeQueryInterruptTime() - start, 30u * 10000);
}

TEST_F(Dispatcher, AbsoluteTimeoutIsASystemTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER now, due;
  KeQuerySystemTime(&now);
  due.QuadPart = now.QuadPart + 30 * 10000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
  LARGE_INTEGER after;
  KeQuerySystemTime(&after);
  EXPECT_GE(after.QuadPart, due.QuadPart);

  /* A time already past ends the wait at once, signalled or not. */
  due.QuadPart = now.QuadPart - 10000000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due), STATUS_WAIT_0);
}

TEST_F(Dispatcher, InfiniteWaitEndsWhenSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread setter([&] {
    ASSERT_TRUE(nt::ke::WaitForWaiters(&event, 1, kLimitMs));
    KeSetEvent(&event, 0, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL), STATUS_WAIT_0);
  setter.join();
}

TEST_F(Dispatcher, DelayExecutionWaitsAtLeastTheInterval) {
  LARGE_INTEGER interval = Relative(20);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_GE(KeQueryInterruptTime() - start, 20u * 10000);
}

TEST_F(Dispatcher, ClocksMoveForwardInTheirUnits) {
  LARGE_INTEGER sys;
  KeQuerySystemTime(&sys);
  /* 2020-01-01 and 2200-01-01 in 100 ns units since 1601. */
  EXPECT_GT(sys.QuadPart, 132223104000000000LL);
  EXPECT_LT(sys.QuadPart, 189028800000000000LL);
  ULONGLONG a = KeQueryInterruptTime();
  KeStallExecutionProcessor(100);
  EXPECT_GE(KeQueryInterruptTime() - a, 1000u);
  LARGE_INTEGER freq;
  LARGE_INTEGER c = KeQueryPerformanceCounter(&freq);
  EXPECT_EQ(freq.QuadPart, 10000000);
  EXPECT_GE(KeQueryPerformanceCounter(NULL).QuadPart, c.QuadPart);
}

/* ---- verifier ---- */

class DispatcherDeath : public Dispatcher {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Dispatcher::SetUp();
  }
};

void BadDriverWaitsAtDispatch(PKEVENT Event) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER t = Relative(10);
  KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &t);
}

TEST_F(DispatcherDeath, WaitWithTimeoutAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_DEATH(BadDriverWaitsAtDispatch(&event),
               "KeWaitForSingleObject: wait with a non-zero time-out at IRQL 2");
}

void BadDriverReleasesForeignMutex(PKMUTEX Mutex) {
  std::thread([Mutex] { Poll(Mutex); }).join();
  KeReleaseMutex(Mutex, FALSE);
}

TEST_F(DispatcherDeath, MutexReleasedByANonOwner) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_DEATH(BadDriverReleasesForeignMutex(&mutex), "KeReleaseMutex: mutex .* not own it");
}

TEST_F(DispatcherDeath, SemaphoreReleasedPastItsLimit) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 1, 2);
  EXPECT_DEATH(KeReleaseSemaphore(&sem, 0, 2, FALSE), "past its limit 2");
}

TEST_F(DispatcherDeath, TooManyObjectsWithoutWaitBlocks) {
  KEVENT e[4];
  PVOID objects[4];
  for (int i = 0; i < 4; ++i) {
    KeInitializeEvent(&e[i], NotificationEvent, TRUE);
    objects[i] = &e[i];
  }
  EXPECT_DEATH(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL),
               "4 objects without a wait block array");
}

TEST_F(DispatcherDeath, WaitOnSomethingThatIsNotADispatcherObject) {
  static KDPC notWaitable;
  KeInitializeDpc(&notWaitable, [](PKDPC, PVOID, PVOID, PVOID) {}, NULL);
  EXPECT_DEATH(Poll(&notWaitable), "is not an initialized dispatcher object");
}

}  // namespace
