/* Pool accounting by tag and driver, leak lists, alignment, the freed-memory
 * pattern and every fault-injection mode. */
#include <ntddk.h>
#include <nt/pool.h>
#include <nt/system.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "ki.h"

namespace {

constexpr ULONG kTagNrvx = 'XVRN';
constexpr ULONG kTagSerl = 'lreS';
constexpr ULONG kTagRead = 'DAER';

/* Stand-ins for two drivers: only their addresses matter to the pool. */
alignas(16) char g_DriverA[64], g_DriverB[64];
struct _DRIVER_OBJECT *DriverA() { return reinterpret_cast<struct _DRIVER_OBJECT *>(g_DriverA); }
struct _DRIVER_OBJECT *DriverB() { return reinterpret_cast<struct _DRIVER_OBJECT *>(g_DriverB); }

class Pool : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  }
  void TearDown() override { nt::Shutdown(); }
};

TEST_F(Pool, TagsReadAsInMemory) {
  EXPECT_EQ(nt::pool::TagText(kTagNrvx), "NRVX");
  EXPECT_EQ(nt::pool::TagText(kTagSerl), "Serl");
  EXPECT_EQ(nt::pool::TagText(kTagNrvx | PROTECTED_POOL), "NRVX");
  PVOID p = ExAllocatePool(NonPagedPool, 8);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(nt::pool::OutstandingByTag('enoN').Blocks, 1u);
  EXPECT_EQ(nt::pool::TagText(nt::pool::ByTag().begin()->first), "None");
  ExFreePool(p);
}

TEST_F(Pool, OutstandingByTag) {
  auto base = nt::pool::Outstanding();
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagNrvx);
  PVOID b = ExAllocatePoolWithTag(PagedPool, 20, kTagNrvx);
  PVOID c = ExAllocatePoolWithTag(NonPagedPool, 30, kTagNrvx);
  PVOID d = ExAllocatePoolWithTag(NonPagedPool, 7, kTagSerl);
  ASSERT_TRUE(a && b && c && d);
  EXPECT_EQ(nt::pool::OutstandingByTag(kTagNrvx), (nt::pool::Usage{3, 60}));
  EXPECT_EQ(nt::pool::OutstandingByTag(kTagSerl), (nt::pool::Usage{1, 7}));
  EXPECT_EQ(nt::pool::Outstanding(), (nt::pool::Usage{base.Blocks + 4, base.Bytes + 67}));
  ExFreePoolWithTag(b, kTagNrvx);
  EXPECT_EQ(nt::pool::OutstandingByTag(kTagNrvx), (nt::pool::Usage{2, 40}));
  auto byTag = nt::pool::ByTag();
  EXPECT_EQ(byTag[kTagNrvx], (nt::pool::Usage{2, 40}));
  EXPECT_EQ(byTag[kTagSerl], (nt::pool::Usage{1, 7}));
  ExFreePoolWithTag(a, kTagNrvx);
  ExFreePoolWithTag(c, 0); /* tag 0: not checked */
  ExFreePool(d);
  EXPECT_EQ(nt::pool::OutstandingByTag(kTagNrvx), (nt::pool::Usage{}));
  EXPECT_EQ(nt::pool::Outstanding(), base);
}

TEST_F(Pool, ChargedToTheRunningDriverWithLeakList) {
  PVOID a1, a2, b1, system;
  {
    KiDriverScope scope(DriverA());
    a1 = ExAllocatePoolWithTag(NonPagedPool, 16, kTagNrvx);
    a2 = ExAllocatePoolWithTag(PagedPool, 32, kTagSerl);
  }
  {
    KiDriverScope scope(DriverB());
    b1 = ExAllocatePoolWithTag(NonPagedPool, 8, kTagNrvx);
  }
  system = ExAllocatePoolWithTag(NonPagedPool, 4, kTagRead);
  EXPECT_EQ(nt::pool::OutstandingByDriver(DriverA()), (nt::pool::Usage{2, 48}));
  EXPECT_EQ(nt::pool::OutstandingByDriver(DriverB()), (nt::pool::Usage{1, 8}));
  auto tags = nt::pool::TagsOfDriver(DriverA());
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[kTagSerl], (nt::pool::Usage{1, 32}));
  EXPECT_EQ(nt::pool::ByDriver()[DriverB()], (nt::pool::Usage{1, 8}));

  auto leaks = nt::pool::Leaks(DriverA());
  ASSERT_EQ(leaks.size(), 2u);
  EXPECT_EQ(leaks[0].Address, a1);
  EXPECT_EQ(leaks[0].Tag, kTagNrvx);
  EXPECT_EQ(leaks[0].Type, NonPagedPool);
  EXPECT_EQ(leaks[0].Size, 16u);
  EXPECT_EQ(leaks[1].Address, a2);
  EXPECT_EQ(leaks[1].Type, PagedPool);
  EXPECT_LT(leaks[0].Sequence, leaks[1].Sequence);

  /* A block is the allocator's: freeing from another context does not move it. */
  {
    KiDriverScope scope(DriverB());
    ExFreePoolWithTag(a1, kTagNrvx);
  }
  ASSERT_EQ(nt::pool::Leaks(DriverA()).size(), 1u);
  ExFreePool(a2);
  ExFreePool(b1);
  ExFreePool(system);
  EXPECT_TRUE(nt::pool::Leaks(DriverA()).empty());
}

TEST_F(Pool, AlignmentAndZeroing) {
  for (POOL_TYPE t : {NonPagedPool, PagedPool, NonPagedPoolNx}) {
    PVOID p = ExAllocatePoolWithTag(t, 3, kTagNrvx);
    EXPECT_EQ((ULONG_PTR)p % 16, 0u);
    ExFreePool(p);
  }
  for (POOL_TYPE t : {NonPagedPoolCacheAligned, PagedPoolCacheAligned, NonPagedPoolNxCacheAligned}) {
    PVOID p = ExAllocatePoolWithTag(t, 3, kTagNrvx);
    EXPECT_EQ((ULONG_PTR)p % 64, 0u);
    ExFreePool(p);
  }
  PUCHAR z = (PUCHAR)ExAllocatePoolZero(NonPagedPoolNx, 100, kTagNrvx);
  PUCHAR z2 = (PUCHAR)ExAllocatePool2(POOL_FLAG_PAGED, 100, kTagNrvx);
  ASSERT_TRUE(z && z2);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(z[i], 0);
    EXPECT_EQ(z2[i], 0);
  }
  EXPECT_EQ(nt::pool::Leaks(nullptr).back().Type, PagedPool);
  ExFreePool(z);
  ExFreePool(z2);
  /* Not exactly one kind of pool. */
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED, 8, kTagNrvx), nullptr);
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_UNINITIALIZED, 8, kTagNrvx), nullptr);
  /* A request no host can satisfy. */
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)-8, kTagNrvx), nullptr);
}

TEST_F(Pool, FreedMemoryShowsThePattern) {
  volatile UCHAR *p = (volatile UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 32, kTagNrvx);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 32; ++i) p[i] = 0x11;
  ExFreePool((PVOID)p);
  EXPECT_FALSE(nt::pool::IsPoolBlock((PVOID)p));
#if defined(__SANITIZE_ADDRESS__)
  /* The quarantine is poisoned: a use after free faults at once. */
  EXPECT_DEATH((void)p[5], "use-after-poison");
#else
  for (int i = 0; i < 32; ++i) EXPECT_EQ(p[i], 0xDF) << i;
#endif
}

TEST_F(Pool, BlocksHaveTheirExactSize) {
#if defined(__SANITIZE_ADDRESS__)
  volatile UCHAR *p = (volatile UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 13, kTagNrvx);
  p[12] = 1;
  EXPECT_DEATH(p[13] = 1, "heap-buffer-overflow");
  ExFreePool((PVOID)p);
#else
  GTEST_SKIP() << "an overrun is only caught under AddressSanitizer";
#endif
}

TEST_F(Pool, ShutdownReturnsEverythingAndStartsOver) {
  ExAllocatePoolWithTag(NonPagedPool, 16, kTagNrvx);
  nt::pool::FailTag(kTagSerl);
  nt::Shutdown();
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_EQ(nt::pool::Outstanding(), (nt::pool::Usage{}));
  EXPECT_EQ(nt::pool::AllocationCount(), 0u);
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 1, kTagSerl);
  EXPECT_NE(p, nullptr) << "fault injection does not survive a reboot";
  ExFreePool(p);
}

/* ---- fault injection ---- */

struct Request {
  POOL_TYPE Type;
  ULONG Tag;
  struct _DRIVER_OBJECT *Driver;
};

struct FaultCase {
  const char *Name;
  std::function<void()> Arm;
  std::vector<Request> Requests;
  std::vector<bool> Succeeds;
};

TEST_F(Pool, FaultInjectionModes) {
  const FaultCase cases[] = {
      {"third from now",
       [] { nt::pool::FailNth(3); },
       {{NonPagedPool, kTagNrvx, nullptr},
        {NonPagedPool, kTagNrvx, nullptr},
        {NonPagedPool, kTagNrvx, nullptr},
        {NonPagedPool, kTagNrvx, nullptr}},
       {true, true, false, true}},
      {"next one",
       [] { nt::pool::FailNth(1); },
       {{PagedPool, kTagSerl, nullptr}, {PagedPool, kTagSerl, nullptr}},
       {false, true}},
      {"cancelled",
       [] {
         nt::pool::FailNth(1);
         nt::pool::FailNth(0);
       },
       {{PagedPool, kTagSerl, nullptr}},
       {true}},
      {"by tag",
       [] { nt::pool::FailTag(kTagSerl); },
       {{NonPagedPool, kTagNrvx, nullptr},
        {NonPagedPool, kTagSerl, nullptr},
        {PagedPool, kTagSerl | PROTECTED_POOL, nullptr},
        {NonPagedPool, kTagSerl, nullptr}},
       {true, false, false, false}},
      {"by pool type",
       [] { nt::pool::FailPoolType(NonPagedPool); },
       {{NonPagedPool, kTagNrvx, nullptr},
        {NonPagedPoolNx, kTagNrvx, nullptr},
        {NonPagedPoolCacheAligned, kTagNrvx, nullptr},
        {PagedPool, kTagNrvx, nullptr}},
       {false, false, false, true}},
      {"paged only",
       [] { nt::pool::FailPoolType(PagedPool); },
       {{PagedPoolCacheAligned, kTagNrvx, nullptr}, {NonPagedPoolNx, kTagNrvx, nullptr}},
       {false, true}},
      {"restricted to one driver",
       [] {
         nt::pool::FailTag(kTagNrvx);
         nt::pool::RestrictFaultsTo(DriverA());
       },
       {{NonPagedPool, kTagNrvx, nullptr}, {NonPagedPool, kTagNrvx, DriverB()}, {NonPagedPool, kTagNrvx, DriverA()}},
       {true, true, false}},
      {"n-th counts only the restricted driver",
       [] {
         nt::pool::RestrictFaultsTo(DriverA());
         nt::pool::FailNth(2);
       },
       {{NonPagedPool, kTagNrvx, DriverA()},
        {NonPagedPool, kTagNrvx, nullptr},
        {NonPagedPool, kTagNrvx, DriverA()},
        {NonPagedPool, kTagNrvx, DriverA()}},
       {true, true, false, true}},
      {"cleared",
       [] {
         nt::pool::FailTag(kTagNrvx);
         nt::pool::FailPoolType(PagedPool);
         nt::pool::FailRandom(1, 1.0);
         nt::pool::ClearFaults();
       },
       {{NonPagedPool, kTagNrvx, nullptr}, {PagedPool, kTagSerl, nullptr}},
       {true, true}},
  };
  for (const FaultCase &c : cases) {
    SCOPED_TRACE(c.Name);
    nt::pool::ClearFaults();
    uint64_t injected = nt::pool::InjectedFailures();
    c.Arm();
    size_t failures = 0;
    for (size_t i = 0; i < c.Requests.size(); ++i) {
      const Request &r = c.Requests[i];
      KiDriverScope scope(r.Driver);
      PVOID p = ExAllocatePoolWithTag(r.Type, 24, r.Tag);
      EXPECT_EQ(p != nullptr, (bool)c.Succeeds[i]) << "request " << i;
      if (p) ExFreePool(p);
      failures += !p;
    }
    EXPECT_EQ(nt::pool::InjectedFailures() - injected, failures);
  }
  nt::pool::ClearFaults();
}

TEST_F(Pool, RandomFaultsRepeatWithTheSeed) {
  auto run = [](uint64_t seed) {
    nt::pool::ClearFaults();
    nt::pool::FailRandom(seed, 0.5);
    std::vector<bool> outcome;
    for (int i = 0; i < 200; ++i) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagNrvx);
      outcome.push_back(p != nullptr);
      if (p) ExFreePool(p);
    }
    nt::pool::ClearFaults();
    return outcome;
  };
  auto first = run(42);
  EXPECT_EQ(run(42), first);
  EXPECT_NE(run(43), first);
  size_t ok = std::count(first.begin(), first.end(), true);
  EXPECT_GT(ok, 0u);
  EXPECT_LT(ok, first.size());
  nt::pool::FailRandom(7, 0.0);
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagNrvx);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

TEST_F(Pool, ConcurrentAllocationsBalance) {
  auto base = nt::pool::Outstanding();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::vector<PVOID> mine;
      for (int i = 0; i < 2000; ++i) {
        mine.push_back(ExAllocatePoolWithTag(i % 2 ? PagedPool : NonPagedPool, 1 + (i % 64), kTagNrvx + t));
        if (i % 3 == 0) {
          ExFreePool(mine.front());
          mine.erase(mine.begin());
        }
      }
      for (PVOID p : mine) ExFreePoolWithTag(p, kTagNrvx + t);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(nt::pool::Outstanding(), base);
  EXPECT_EQ(nt::pool::AllocationCount() - nt::pool::FreeCount(), base.Blocks);
}

}  // namespace
