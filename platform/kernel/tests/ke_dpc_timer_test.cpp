/* DPCs and timers. */
#include <gtest/gtest.h>
#include <nt/ke.h>
#include <nt/system.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ki.h"

namespace {

constexpr LONGLONG kLimitMs = 10000; /* only a broken run gets this far */

LARGE_INTEGER Relative(LONGLONG Ms) {
  LARGE_INTEGER t;
  t.QuadPart = -Ms * 10000;
  return t;
}

NTSTATUS WaitMs(PVOID Object, LONGLONG Ms = kLimitMs) {
  LARGE_INTEGER t = Relative(Ms);
  return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &t);
}

/* What the DPC routines below saw, in the order they ran. */
struct Journal {
  std::mutex Lock;
  std::vector<std::string> Entries;
  KSEMAPHORE Ran; /* released once per run */
  Journal() { KeInitializeSemaphore(&Ran, 0, 1000); }
  void Add(const std::string &What) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Entries.push_back(What);
    }
    KeReleaseSemaphore(&Ran, 0, 1, FALSE);
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> g(Lock);
    return Entries;
  }
};

/* A DPC whose context is a Journal and whose name is argument 1. */
struct NamedDpc {
  KDPC Dpc;
  const char *Name;
  Journal *Log;
  std::atomic<int> Runs{0};
  std::atomic<int> Irql{-1};
  PVOID Arg1 = nullptr;
  _DRIVER_OBJECT *Driver = nullptr;
  NamedDpc(const char *N, Journal *J) : Name(N), Log(J) { KeInitializeDpc(&Dpc, Routine, this); }
  static void Routine(PKDPC, PVOID Context, PVOID A1, PVOID) {
    auto *self = (NamedDpc *)Context;
    self->Irql = KeGetCurrentIrql();
    self->Arg1 = A1;
    self->Driver = KiCurrentDriver();
    self->Runs++;
    self->Log->Add(self->Name);
  }
};

/* Holds the DPC thread inside a routine until Release(), so that what is
 * queued meanwhile stays queued. The routine spins, as code at
 * DISPATCH_LEVEL must; the spin gives up after the limit. */
struct DpcPlug {
  KDPC Dpc;
  KEVENT Entered;
  std::atomic<bool> Open{false};
  DpcPlug() {
    KeInitializeEvent(&Entered, NotificationEvent, FALSE);
    KeInitializeDpc(&Dpc, Routine, this);
    KeInsertQueueDpc(&Dpc, NULL, NULL);
  }
  ~DpcPlug() {
    Release();
    KeFlushQueuedDpcs();
  }
  bool WaitEntered() { return WaitMs(&Entered) == STATUS_WAIT_0; }
  void Release() { Open = true; }
  static void Routine(PKDPC, PVOID Context, PVOID, PVOID) {
    auto *self = (DpcPlug *)Context;
    KeSetEvent(&self->Entered, 0, FALSE);
    ULONGLONG end = KeQueryInterruptTime() + kLimitMs * 10000;
    while (!self->Open && KeQueryInterruptTime() < end) {
    }
  }
};

class DpcTimer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }
  Journal log;
};

TEST_F(DpcTimer, DpcRunsAtDispatchLevelChargedToItsDriver) {
  auto *driver = (_DRIVER_OBJECT *)0x5000;
  NamedDpc *dpc;
  {
    KiDriverScope scope(driver);
    dpc = new NamedDpc("a", &log);
  }
  EXPECT_TRUE(KeInsertQueueDpc(&dpc->Dpc, (PVOID)0x11, NULL));
  ASSERT_EQ(WaitMs(&log.Ran), STATUS_WAIT_0);
  EXPECT_EQ(dpc->Irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(dpc->Arg1, (PVOID)0x11);
  EXPECT_EQ(dpc->Driver, driver);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeFlushQueuedDpcs();
  delete dpc;
}

TEST_F(DpcTimer, DpcQueuedTwiceRunsOnceWithTheFirstArguments) {
  DpcPlug plug;
  ASSERT_TRUE(plug.WaitEntered());
  NamedDpc dpc("b", &log);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc.Dpc, (PVOID)1, NULL));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc.Dpc, (PVOID)2, NULL));
  EXPECT_TRUE(KiDpcQueuedInRange(&dpc, sizeof dpc));
  EXPECT_FALSE(KiDpcQueuedInRange(&log, sizeof log));
  plug.Release();
  KeFlushQueuedDpcs();
  EXPECT_EQ(dpc.Runs.load(), 1);
  EXPECT_EQ(dpc.Arg1, (PVOID)1);
  EXPECT_FALSE(KiDpcQueuedInRange(&dpc, sizeof dpc));
  /* Once it has run it can be queued again. */
  EXPECT_TRUE(KeInsertQueueDpc(&dpc.Dpc, NULL, NULL));
  KeFlushQueuedDpcs();
  EXPECT_EQ(dpc.Runs.load(), 2);
}

TEST_F(DpcTimer, RemovedDpcNeverRuns) {
  DpcPlug plug;
  ASSERT_TRUE(plug.WaitEntered());
  NamedDpc removed("removed", &log), kept("kept", &log);
  KeInsertQueueDpc(&removed.Dpc, NULL, NULL);
  KeInsertQueueDpc(&kept.Dpc, NULL, NULL);
  EXPECT_TRUE(KeRemoveQueueDpc(&removed.Dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&removed.Dpc));
  plug.Release();
  KeFlushQueuedDpcs();
  EXPECT_EQ(log.Get(), std::vector<std::string>{"kept"});
}

TEST_F(DpcTimer, HighImportanceDpcJumpsTheQueue) {
  DpcPlug plug;
  ASSERT_TRUE(plug.WaitEntered());
  NamedDpc first("medium1", &log), second("medium2", &log), urgent("high", &log);
  KeSetImportanceDpc(&urgent.Dpc, HighImportance);
  KeInsertQueueDpc(&first.Dpc, NULL, NULL);
  KeInsertQueueDpc(&second.Dpc, NULL, NULL);
  KeInsertQueueDpc(&urgent.Dpc, NULL, NULL);
  plug.Release();
  KeFlushQueuedDpcs();
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"high", "medium1", "medium2"}));
}

TEST_F(DpcTimer, DpcMayQueueItselfAgain) {
  struct Self {
    KDPC Dpc;
    std::atomic<int> Runs{0};
    KEVENT Done;
  } s;
  KeInitializeEvent(&s.Done, NotificationEvent, FALSE);
  KeInitializeDpc(
      &s.Dpc,
      [](PKDPC Dpc, PVOID Context, PVOID, PVOID) {
        auto *self = (Self *)Context;
        if (++self->Runs < 3)
          KeInsertQueueDpc(Dpc, NULL, NULL);
        else
          KeSetEvent(&self->Done, 0, FALSE);
      },
      &s);
  KeInsertQueueDpc(&s.Dpc, NULL, NULL);
  ASSERT_EQ(WaitMs(&s.Done), STATUS_WAIT_0);
  KeFlushQueuedDpcs();
  EXPECT_EQ(s.Runs.load(), 3);
}

TEST_F(DpcTimer, TimerSignalsAndQueuesItsDpc) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  NamedDpc dpc("timer", &log);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeSetTimer(&timer, Relative(5), &dpc.Dpc));
  EXPECT_TRUE(KiTimerSetInRange(&timer, sizeof timer));
  ASSERT_EQ(WaitMs(&timer), STATUS_WAIT_0);
  ASSERT_EQ(WaitMs(&log.Ran), STATUS_WAIT_0);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
  EXPECT_EQ(WaitMs(&timer), STATUS_WAIT_0);
  EXPECT_FALSE(KiTimerSetInRange(&timer, sizeof timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  /* Setting it again clears the signal. */
  KeSetTimer(&timer, Relative(kLimitMs), NULL);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST_F(DpcTimer, SynchronizationTimerReleasesOneWaitAndResets) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, Relative(5), NULL);
  ASSERT_EQ(WaitMs(&timer), STATUS_WAIT_0);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_EQ(WaitMs(&timer, 0), STATUS_TIMEOUT);
}

TEST_F(DpcTimer, TimerSetTwiceFiresOnceAtTheLaterTime) {
  /* The second KeSetTimer moves the due time past the marker's; an
     implementation that kept the first due time fires before the marker. */
  KTIMER timer, marker;
  KeInitializeTimer(&timer);
  KeInitializeTimer(&marker);
  NamedDpc timerDpc("timer", &log), markerDpc("marker", &log);
  ASSERT_FALSE(KeSetTimer(&timer, Relative(1000), &timerDpc.Dpc));
  KeSetTimer(&marker, Relative(1500), &markerDpc.Dpc);
  ASSERT_TRUE(KeSetTimer(&timer, Relative(2000), &timerDpc.Dpc)) << "restarting a set timer reports it was set";
  for (int i = 0; i < 2; ++i) ASSERT_EQ(WaitMs(&log.Ran), STATUS_WAIT_0);
  KeFlushQueuedDpcs();
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"marker", "timer"}));
  EXPECT_EQ(timerDpc.Runs.load(), 1);
  EXPECT_FALSE(KiTimerSetInRange(&timer, sizeof timer)) << "nothing left to fire";
}

TEST_F(DpcTimer, CancelledTimerNeverFires) {
  KTIMER timer, marker;
  KeInitializeTimer(&timer);
  KeInitializeTimer(&marker);
  NamedDpc timerDpc("timer", &log), markerDpc("marker", &log);
  KeSetTimer(&timer, Relative(50), &timerDpc.Dpc);
  KeSetTimer(&marker, Relative(100), &markerDpc.Dpc);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  ASSERT_EQ(WaitMs(&marker), STATUS_WAIT_0);
  ASSERT_EQ(WaitMs(&log.Ran), STATUS_WAIT_0);
  KeFlushQueuedDpcs();
  EXPECT_EQ(log.Get(), std::vector<std::string>{"marker"});
  EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(DpcTimer, PeriodicTimerKeepsFiringUntilCancelled) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  NamedDpc dpc("tick", &log);
  EXPECT_FALSE(KeSetTimerEx(&timer, Relative(1), 5, &dpc.Dpc));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitMs(&log.Ran), STATUS_WAIT_0);
  EXPECT_TRUE(KiTimerSetInRange(&timer, sizeof timer)) << "still set after firing";
  EXPECT_TRUE(KeCancelTimer(&timer));
  KeFlushQueuedDpcs();
  int runs = dpc.Runs.load();
  EXPECT_GE(runs, 3);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_FALSE(KiTimerSetInRange(&timer, sizeof timer));
}

TEST_F(DpcTimer, AbsoluteDueTimeIsASystemTime) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 20 * 10000;
  KeSetTimer(&timer, due, NULL);
  ASSERT_EQ(WaitMs(&timer), STATUS_WAIT_0);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_GE(now.QuadPart, due.QuadPart);
}

TEST_F(DpcTimer, DueTimesBeyondTheClockNeverArrive) {
  LARGE_INTEGER farAbsolute, farRelative;
  farAbsolute.QuadPart = MAXLONGLONG;
  farRelative.QuadPart = -MAXLONGLONG;
  KTIMER a, r, marker;
  KeInitializeTimer(&a);
  KeInitializeTimer(&r);
  KeInitializeTimer(&marker);
  KeSetTimer(&a, farAbsolute, NULL);
  KeSetTimer(&r, farRelative, NULL);
  KeSetTimer(&marker, Relative(20), NULL);
  ASSERT_EQ(WaitMs(&marker), STATUS_WAIT_0);
  EXPECT_FALSE(KeReadStateTimer(&a));
  EXPECT_FALSE(KeReadStateTimer(&r));
  EXPECT_TRUE(KeCancelTimer(&a));
  EXPECT_TRUE(KeCancelTimer(&r));
}

TEST_F(DpcTimer, ShutdownDropsWhatIsPending) {
  static KTIMER timer;
  static KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "ran after shutdown"; }, NULL);
  KeSetTimer(&timer, Relative(kLimitMs), &dpc);
  nt::Shutdown();
  EXPECT_FALSE(KiTimerSetInRange(&timer, sizeof timer));
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

/* ---- verifier ---- */

class DpcTimerDeath : public DpcTimer {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DpcTimer::SetUp();
  }
};

void BadDpcLowersIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

void BadDpcKeepsLock(PKDPC, PVOID Context, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel((PKSPIN_LOCK)Context); }

void QueueAndWait(PKDEFERRED_ROUTINE Routine, PVOID Context) {
  static KDPC dpc;
  KeInitializeDpc(&dpc, Routine, Context);
  KeInsertQueueDpc(&dpc, NULL, NULL);
  KeFlushQueuedDpcs();
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  WaitMs(&never); /* the bug check ends the run before this */
}

TEST_F(DpcTimerDeath, DpcReturnsAtAnotherIrql) {
  EXPECT_DEATH(QueueAndWait(BadDpcLowersIrql, NULL), "DPC routine .* returned at IRQL 0 instead of DISPATCH_LEVEL");
}

TEST_F(DpcTimerDeath, DpcReturnsHoldingASpinLock) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(QueueAndWait(BadDpcKeepsLock, &lock), "DPC routine .* returned holding a spin lock");
}

TEST_F(DpcTimerDeath, FlushAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeFlushQueuedDpcs();
      },
      "KeFlushQueuedDpcs called at IRQL 2, above the highest allowed IRQL 0");
}

}  // namespace
