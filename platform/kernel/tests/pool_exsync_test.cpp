/* The executive's interlocked lists and fast mutexes, across real threads. */
#include <ntddk.h>
#include <nt/system.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class ExSync : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  }
  void TearDown() override { nt::Shutdown(); }
};

struct Item {
  LIST_ENTRY Link;
  int Producer;
  int Index;
};

TEST_F(ExSync, InterlockedListReturnsPreviousEnds) {
  LIST_ENTRY head;
  KSPIN_LOCK lock;
  InitializeListHead(&head);
  KeInitializeSpinLock(&lock);
  Item a{}, b{}, c{};
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a.Link, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b.Link, &lock), &a.Link);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c.Link, &lock), &a.Link);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c.Link);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a.Link);
  /* Above DISPATCH_LEVEL the lock is taken without changing IRQL. */
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b.Link);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);
  KeLowerIrql(old);

  SINGLE_LIST_ENTRY stack{nullptr}, s1, s2;
  EXPECT_EQ(ExInterlockedPushEntryList(&stack, &s1, &lock), nullptr);
  EXPECT_EQ(ExInterlockedPushEntryList(&stack, &s2, &lock), &s1);
  EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &s2);
  EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &s1);
  EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), nullptr);
}

TEST_F(ExSync, InterlockedListUnderContention) {
  constexpr int kProducers = 4, kItems = 2000;
  LIST_ENTRY head;
  KSPIN_LOCK lock;
  InitializeListHead(&head);
  KeInitializeSpinLock(&lock);
  std::vector<Item> items(kProducers * kItems);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kItems; ++i) {
        Item &it = items[(size_t)(p * kItems + i)];
        it.Producer = p;
        it.Index = i;
        ExInterlockedInsertTailList(&head, &it.Link, &lock);
      }
    });
  std::vector<int> next(kProducers, 0);
  int taken = 0;
  while (taken < kProducers * kItems) {
    PLIST_ENTRY e = ExInterlockedRemoveHeadList(&head, &lock);
    if (!e) {
      std::this_thread::yield();
      continue;
    }
    Item *it = CONTAINING_RECORD(e, Item, Link);
    EXPECT_EQ(it->Index, next[it->Producer]++) << "one producer's items stay in order";
    ++taken;
  }
  for (auto &t : threads) t.join();
  EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(ExSync, FastMutexExcludesAndRaisesToApc) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        ExAcquireFastMutex(&m);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ++counter;
        ExReleaseFastMutex(&m);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 20000);

  ASSERT_TRUE(ExTryToAcquireFastMutex(&m));
  bool other = true;
  std::thread([&] { other = ExTryToAcquireFastMutex(&m); }).join();
  EXPECT_FALSE(other);
  ExReleaseFastMutex(&m);
}

TEST_F(ExSync, FastMutexMisuseBugChecks) {
  EXPECT_DEATH(
      {
        FAST_MUTEX m;
        ExInitializeFastMutex(&m);
        ExAcquireFastMutex(&m);
        ExAcquireFastMutex(&m);
      },
      "fast mutex acquired twice by its owner");
  EXPECT_DEATH(
      {
        FAST_MUTEX m;
        ExInitializeFastMutex(&m);
        ExReleaseFastMutex(&m);
      },
      "fast mutex released by a thread that does not own it");
  EXPECT_DEATH(
      {
        FAST_MUTEX m;
        ExInitializeFastMutex(&m);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAcquireFastMutex(&m);
      },
      "ExAcquireFastMutex");
}

}  // namespace
