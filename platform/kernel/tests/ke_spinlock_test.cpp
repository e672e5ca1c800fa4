/* IRQL, spin locks, lock-order checking and device queues. */
#include <gtest/gtest.h>
#include <nt/system.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "ki.h"

namespace {

class SpinLock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }
};

TEST_F(SpinLock, IrqlIsPerThreadAndRaisedByTheLock) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL other = 0xFF;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(KeTestSpinLock(&lock));

  /* Raising to the current level is allowed; so is each step back down. */
  KIRQL a, b;
  KeRaiseIrql(APC_LEVEL, &a);
  KeRaiseIrql(APC_LEVEL, &b);
  EXPECT_EQ(b, APC_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  KeLowerIrql(b);
  KeLowerIrql(a);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLock, ExcludesOtherThreads) {
  /* Every acquire form guards the same plain counter. */
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        switch ((t + i) % 3) {
          case 0: {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            counter++;
            KeReleaseSpinLock(&lock, old);
            break;
          }
          case 1: {
            KLOCK_QUEUE_HANDLE h;
            KeAcquireInStackQueuedSpinLock(&lock, &h);
            counter++;
            KeReleaseInStackQueuedSpinLock(&h);
            break;
          }
          default: {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            while (!KeTryToAcquireSpinLockAtDpcLevel(&lock)) std::this_thread::yield();
            counter++;
            KeReleaseSpinLockFromDpcLevel(&lock);
            KeLowerIrql(old);
            break;
          }
        }
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, (long)kThreads * kRounds);
  EXPECT_EQ(lock, 0u);
}

TEST_F(SpinLock, TryFailsWhileAnotherThreadHoldsIt) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  BOOLEAN got = TRUE;
  std::thread([&] {
    KIRQL o;
    KeRaiseIrql(DISPATCH_LEVEL, &o);
    got = KeTryToAcquireSpinLockAtDpcLevel(&lock);
    KeLowerIrql(o);
  }).join();
  EXPECT_FALSE(got);
  KeReleaseSpinLock(&lock, old);
}

TEST_F(SpinLock, ConsistentOrderAndForgottenHistoryAreAccepted) {
  KSPIN_LOCK a, b, c;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KeInitializeSpinLock(&c);
  auto nested = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
  };
  for (int i = 0; i < 3; ++i) nested(&a, &b);
  nested(&b, &c);
  nested(&a, &c);
  /* Re-initialized memory is a new lock: its old order no longer counts. */
  KeInitializeSpinLock(&a);
  nested(&b, &a);
  KiForgetLocksInRange(&c, sizeof c);
  nested(&c, &b);
}

/* ---- device queues ---- */

struct Item {
  KDEVICE_QUEUE_ENTRY Entry;
  int Id;
};

class DeviceQueue : public SpinLock {
 protected:
  void SetUp() override {
    SpinLock::SetUp();
    KeInitializeDeviceQueue(&queue);
    for (int i = 0; i < 6; ++i) items[i].Id = i;
  }
  int RemoveId() {
    PKDEVICE_QUEUE_ENTRY e = KeRemoveDeviceQueue(&queue);
    return e ? CONTAINING_RECORD(e, Item, Entry)->Id : -1;
  }
  KDEVICE_QUEUE queue;
  Item items[6];
};

TEST_F(DeviceQueue, IdleQueueHandsTheEntryBackAndTurnsBusy) {
  EXPECT_FALSE(queue.Busy);
  EXPECT_FALSE(KeInsertDeviceQueue(&queue, &items[0].Entry)) << "idle: the caller starts it";
  EXPECT_TRUE(queue.Busy);
  EXPECT_FALSE(items[0].Entry.Inserted);
  EXPECT_TRUE(KeInsertDeviceQueue(&queue, &items[1].Entry));
  EXPECT_TRUE(KeInsertDeviceQueue(&queue, &items[2].Entry));
  EXPECT_TRUE(items[1].Entry.Inserted);
  EXPECT_EQ(RemoveId(), 1);
  EXPECT_EQ(RemoveId(), 2);
  EXPECT_TRUE(queue.Busy) << "busy until a remove finds nothing";
  EXPECT_EQ(RemoveId(), -1);
  EXPECT_FALSE(queue.Busy);
  EXPECT_FALSE(KeInsertDeviceQueue(&queue, &items[3].Entry));
}

TEST_F(DeviceQueue, ByKeyKeepsKeyOrderAndArrivalOrderForEqualKeys) {
  ASSERT_FALSE(KeInsertByKeyDeviceQueue(&queue, &items[0].Entry, 0));
  const ULONG keys[] = {5, 1, 3, 3, 9};
  for (int i = 0; i < 5; ++i) KeInsertByKeyDeviceQueue(&queue, &items[i + 1].Entry, keys[i]);
  /* queue: 1(2) 3(3) 3(4) 5(1) 9(5) */
  struct {
    ULONG Key;
    int Expected;
  } cases[] = {
      {4, 1},  /* first with key >= 4 */
      {3, 3},  /* equal keys: first come */
      {10, 2}, /* none that high: the head */
      {0, 4},
  };
  for (auto &c : cases) {
    PKDEVICE_QUEUE_ENTRY e = KeRemoveByKeyDeviceQueue(&queue, c.Key);
    ASSERT_NE(e, nullptr) << "key " << c.Key;
    EXPECT_EQ(CONTAINING_RECORD(e, Item, Entry)->Id, c.Expected) << "key " << c.Key;
  }
  EXPECT_EQ(RemoveId(), 5);
  EXPECT_EQ(KeRemoveByKeyDeviceQueue(&queue, 0), nullptr);
  EXPECT_FALSE(queue.Busy);
}

TEST_F(DeviceQueue, RemoveEntryTakesOnlyQueuedEntries) {
  ASSERT_FALSE(KeInsertDeviceQueue(&queue, &items[0].Entry));
  KeInsertDeviceQueue(&queue, &items[1].Entry);
  KeInsertDeviceQueue(&queue, &items[2].Entry);
  EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &items[0].Entry)) << "the one being worked on is not queued";
  EXPECT_TRUE(KeRemoveEntryDeviceQueue(&queue, &items[1].Entry));
  EXPECT_FALSE(KeRemoveEntryDeviceQueue(&queue, &items[1].Entry));
  EXPECT_EQ(RemoveId(), 2);
}

TEST_F(DeviceQueue, WorksAtDispatchLevelAndRestoresTheCallersIrql) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_FALSE(KeInsertDeviceQueue(&queue, &items[0].Entry));
  EXPECT_TRUE(KeInsertDeviceQueue(&queue, &items[1].Entry));
  EXPECT_EQ(RemoveId(), 1);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(RemoveId(), -1);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DeviceQueue, EveryEntryIsStartedExactlyOnceUnderContention) {
  /* Producers insert; whoever finds the queue idle becomes the worker and
     drains it until a remove marks it idle again. */
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<Item> all(kThreads * kPerThread);
  std::vector<std::atomic<int>> started(all.size());
  for (size_t i = 0; i < all.size(); ++i) all[i].Id = (int)i;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Item &item = all[t * kPerThread + i];
        if (KeInsertDeviceQueue(&queue, &item.Entry)) continue;
        started[item.Id]++;
        while (PKDEVICE_QUEUE_ENTRY e = KeRemoveDeviceQueue(&queue)) started[CONTAINING_RECORD(e, Item, Entry)->Id]++;
      }
    });
  for (auto &t : threads) t.join();
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(started[i].load(), 1) << "entry " << i;
  EXPECT_FALSE(queue.Busy);
}

/* ---- verifier ---- */

class SpinLockDeath : public SpinLock {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SpinLock::SetUp();
  }
};

void BadDriverRaisesDown() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeRaiseIrql(APC_LEVEL, &old);
}

void BadDriverLowersUp() { KeLowerIrql(DISPATCH_LEVEL); }

void BadDriverReleasesUnheldLock() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
}

void BadDriverReleasesAnotherThreadsLock() {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::thread([] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    /* ends holding it: only the release below is at fault */
  }).join();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&lock);
}

void BadDriverAcquiresTwice() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
}

void BadDriverUsesDpcLevelFormAtPassive() {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLockAtDpcLevel(&lock);
}

void BadDriverLowersWhileHoldingALock() {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL oldA, oldB;
  KeAcquireSpinLock(&a, &oldA);
  KeAcquireSpinLock(&b, &oldB);
  KeReleaseSpinLock(&a, oldA); /* back to PASSIVE_LEVEL with b still held */
}

/* Takes a then b, later b then a: never deadlocks in one thread, but two
   threads doing this could. */
void BadDriverInvertsLockOrder() {
  static KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL old;
  KeAcquireSpinLock(&a, &old);
  KeAcquireSpinLockAtDpcLevel(&b);
  KeReleaseSpinLockFromDpcLevel(&b);
  KeReleaseSpinLock(&a, old);
  KeAcquireSpinLock(&b, &old);
  KeAcquireSpinLockAtDpcLevel(&a);
}

/* a -> b and b -> c on two threads, then c -> a: a cycle through three. */
void BadDriverClosesLongCycle() {
  static KSPIN_LOCK a, b, c;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KeInitializeSpinLock(&c);
  auto nested = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
    KLOCK_QUEUE_HANDLE h1, h2;
    KeAcquireInStackQueuedSpinLock(first, &h1);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(second, &h2);
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&h2);
    KeReleaseInStackQueuedSpinLock(&h1);
  };
  std::thread([&] { nested(&a, &b); }).join();
  std::thread([&] { nested(&b, &c); }).join();
  nested(&c, &a);
}

void BadDriverCallsPassiveRoutineAtDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KiCheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
}

TEST_F(SpinLockDeath, EachRuleStopsTheRun) {
  struct {
    const char *Name;
    void (*Bad)();
    const char *Rule;
  } cases[] = {
      {"raise to a lower IRQL", BadDriverRaisesDown, "KeRaiseIrql: new IRQL 1 is lower than the current IRQL 2"},
      {"lower to a higher IRQL", BadDriverLowersUp, "KeLowerIrql: new IRQL 2 is higher than the current IRQL 0"},
      {"release of a free lock", BadDriverReleasesUnheldLock, "released by a thread that does not hold it"},
      {"release of a lock another thread holds", BadDriverReleasesAnotherThreadsLock,
       "released by a thread that does not hold it"},
      {"acquire twice", BadDriverAcquiresTwice, "acquired by the thread that already holds it"},
      {"AtDpcLevel at PASSIVE_LEVEL", BadDriverUsesDpcLevelFormAtPassive,
       "KeAcquireSpinLockAtDpcLevel called at IRQL 0, below DISPATCH_LEVEL"},
      {"lowering with a lock held", BadDriverLowersWhileHoldingALock,
       "KeLowerIrql: IRQL lowered to 0 while spin lock .* is held"},
      {"inverted order", BadDriverInvertsLockOrder, "lock order cycle: potential deadlock between locks"},
      {"three-lock cycle", BadDriverClosesLongCycle, "lock order cycle: potential deadlock between locks"},
      {"PASSIVE_LEVEL routine at DISPATCH_LEVEL", BadDriverCallsPassiveRoutineAtDispatch,
       "ZwCreateKey called at IRQL 2, above the highest allowed IRQL 0"},
  };
  for (auto &c : cases) EXPECT_DEATH(c.Bad(), c.Rule) << c.Name;
}

}  // namespace
