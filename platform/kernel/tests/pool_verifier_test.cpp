/* Each pool verifier check stops the run with its bug check. */
#include <ntddk.h>
#include <nt/system.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {

constexpr ULONG kTag = 'XVRN';

class PoolVerifier : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  }
  void TearDown() override { nt::Shutdown(); }
};

struct Violation {
  const char *Name;
  std::function<void()> Act;
  const char *Report; /* regular expression the report must match */
};

TEST_F(PoolVerifier, BadCallsBugCheck) {
  const Violation cases[] = {
      {"double free",
       [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
         ExFreePoolWithTag(p, kTag);
         ExFreePoolWithTag(p, kTag);
       },
       "BAD_POOL_CALLER.*\n.*Rule: pool block freed twice"},
      {"not a pool block",
       [] {
         static char notPool[16];
         ExFreePool(notPool);
       },
       "0x000000C2 \\(0x0000000000000046.*\n.*\n.*freed address is not a pool block"},
      {"inside a block",
       [] {
         PUCHAR p = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
         ExFreePool(p + 8);
       },
       "freed address is not a pool block"},
      {"NULL", [] { ExFreePool(nullptr); }, "freed address is not a pool block"},
      {"wrong tag",
       [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
         ExFreePoolWithTag(p, 'lreS');
       },
       "0x000000C2 \\(0x000000000000000A.*\n.*\n.*freed with a tag other than its own"},
      {"protected block without its tag",
       [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag | PROTECTED_POOL);
         ExFreePool(p);
       },
       "freed with a tag other than its own"},
      {"paged pool at DISPATCH_LEVEL",
       [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExAllocatePoolWithTag(PagedPool, 16, kTag);
       },
       "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*paged pool allocated above APC_LEVEL"},
      {"non-paged pool above DISPATCH_LEVEL",
       [] {
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
         ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
       },
       "pool allocated above DISPATCH_LEVEL"},
      {"paged free at DISPATCH_LEVEL",
       [] {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 16, kTag);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         ExFreePool(p);
       },
       "paged pool freed above APC_LEVEL"},
      {"zero bytes", [] { ExAllocatePoolWithTag(NonPagedPool, 0, kTag); }, "zero-byte pool allocation"},
      {"tag 0", [] { ExAllocatePoolWithTag(NonPagedPool, 8, 0); }, "pool allocated with tag 0"},
  };
  for (const Violation &v : cases) {
    SCOPED_TRACE(v.Name);
    EXPECT_DEATH(v.Act(), v.Report);
  }
}

/* Non-paged pool may be freed at DISPATCH_LEVEL. */
TEST_F(PoolVerifier, NonPagedFreeAtDispatchIsFine) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePoolWithTag(p, kTag);
  PVOID q = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  ExFreePool(q);
  KeLowerIrql(old);
}

TEST_F(PoolVerifier, FreeingASetTimer) {
  EXPECT_DEATH(
      {
        PKTIMER timer = (PKTIMER)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), kTag);
        KeInitializeTimer(timer);
        LARGE_INTEGER due;
        due.QuadPart = -600LL * 10 * 1000 * 1000; /* ten minutes */
        KeSetTimer(timer, due, nullptr);
        ExFreePool(timer);
      },
      "TIMER_OR_DPC_INVALID.*\n.*Rule: freed pool holds a timer that is still set");
}

std::atomic<bool> g_Release{false};
std::atomic<bool> g_BlockerRunning{false};

void Blocker(PKDPC, PVOID, PVOID, PVOID) {
  /* Keeps the DPC thread busy so the next DPC stays queued. */
  g_BlockerRunning = true;
  while (!g_Release) {
  }
}

void Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(PoolVerifier, FreeingAQueuedDpc) {
  EXPECT_DEATH(
      {
        static KDPC blocker;
        KeInitializeDpc(&blocker, Blocker, nullptr);
        KeInsertQueueDpc(&blocker, nullptr, nullptr);
        while (!g_BlockerRunning) {
        }
        struct Holder {
          ULONG Before;
          KDPC Dpc;
        };
        Holder *h = (Holder *)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Holder), kTag);
        KeInitializeDpc(&h->Dpc, Nothing, nullptr);
        KeInsertQueueDpc(&h->Dpc, nullptr, nullptr);
        ExFreePool(h);
      },
      "0x000000C7 \\(0x0000000000000001.*\n.*\n.*freed pool holds a DPC that is still queued");
}

/* Pool that held a timer or DPC may be freed once they are done with. */
TEST_F(PoolVerifier, CancelledTimerMayBeFreed) {
  PKTIMER timer = (PKTIMER)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), kTag);
  KeInitializeTimer(timer);
  LARGE_INTEGER due;
  due.QuadPart = -600LL * 10 * 1000 * 1000;
  KeSetTimer(timer, due, nullptr);
  EXPECT_TRUE(KeCancelTimer(timer));
  ExFreePool(timer);
}

}  // namespace
