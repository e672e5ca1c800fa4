/* Request wrapper, unit names, and the synchronisation and deferred-work
   wrappers, against the kernel layer. */
#include "fwtest.h"

#include <kdevque.h>
#include <kevent.h>
#include <kirp.h>
#include <kmutex.h>
#include <kunitnam.h>
#include <kworkitm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;

/* ---------------------------------------------------------------- KIrp */

class KIrpTest : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    m_Irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(m_Irp, nullptr);
    IoSetNextIrpStackLocation(m_Irp); /* location 2 is current, 1 is next */
  }
  void TearDown() override {
    if (m_Irp != nullptr) IoFreeIrp(m_Irp);
    SystemTest::TearDown();
  }
  PIRP m_Irp = nullptr;
};

TEST_F(KIrpTest, LengthWordsAreOneField) {
  KIrp I(m_Irp);
  I.ReadSize(CURRENT) = 0x10;
  EXPECT_EQ(I.WriteSize(CURRENT), 0x10u);
  EXPECT_EQ(I.IoctlOutputBufferSize(CURRENT), 0x10u);
  I.IoctlOutputBufferSize(CURRENT) = 0x20;
  EXPECT_EQ(I.ReadSize(CURRENT), 0x20u);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(m_Irp)->Parameters.Read.Length, 0x20u);
}

TEST_F(KIrpTest, PowerParametersReadAsControlWords) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(m_Irp);
  s->MajorFunction = IRP_MJ_POWER;
  s->MinorFunction = IRP_MN_SET_POWER;
  s->Parameters.Power.Type = DevicePowerState;
  s->Parameters.Power.State.DeviceState = PowerDeviceD3;
  KIrp I(m_Irp);
  EXPECT_EQ(I.MajorFunction(CURRENT), IRP_MJ_POWER);
  EXPECT_EQ(I.MinorFunction(CURRENT), IRP_MN_SET_POWER);
  EXPECT_EQ(I.IoctlInputBufferSize(CURRENT), (ULONG)DevicePowerState);
  EXPECT_EQ(I.IoctlCode(CURRENT), (ULONG)PowerDeviceD3);
  EXPECT_EQ(I.FileObject(CURRENT), nullptr);
  EXPECT_TRUE(nt::debug::Assertions().empty());
}

TEST_F(KIrpTest, NullCompletionRoutineClearsEveryInvokeFlag) {
  KIrp I(m_Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_Irp);
  next->Control = 0xFF;
  I.SetCompletionRoutine(nullptr, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(next->Control, 0);
  EXPECT_EQ(next->CompletionRoutine, nullptr);
  EXPECT_TRUE(nt::debug::Assertions().empty());

  static auto routine = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
  int context = 0;
  I.SetCompletionRoutine(routine, &context, TRUE, FALSE, TRUE);
  EXPECT_EQ(next->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL);
  EXPECT_EQ(next->Context, &context);
}

TEST_F(KIrpTest, CopyParametersDownKeepsTheLowerCompletionRoutine) {
  static auto routine = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
  KIrp I(m_Irp);
  I.SetCompletionRoutine(routine, m_Irp, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(m_Irp);
  current->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  current->Parameters.DeviceIoControl.IoControlCode = 0x1B0004;
  current->Parameters.DeviceIoControl.InputBufferLength = 7;
  current->Control = SL_PENDING_RETURNED;
  I.CopyParametersDown();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_Irp);
  EXPECT_EQ(I.MajorFunction(NEXT), IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(I.IoctlCode(NEXT), 0x1B0004u);
  EXPECT_EQ(I.IoctlInputBufferSize(NEXT), 7u);
  EXPECT_EQ(next->Control, 0);
  EXPECT_EQ(next->CompletionRoutine, routine);
  EXPECT_EQ(next->Context, m_Irp);
}

TEST_F(KIrpTest, PositionChecksReportAndContinue) {
  /* One location, current: there is no lower one. */
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);
  KIrp I(irp);
  (void)I.MajorFunction(NEXT);
  EXPECT_TRUE(HasAssertion("m_Irp->CurrentLocation > 1"));
  IoSkipCurrentIrpStackLocation(irp); /* now beyond the stack */
  (void)I.MinorFunction(CURRENT);
  EXPECT_TRUE(HasAssertion("m_Irp->CurrentLocation <= m_Irp->StackCount"));
  IoFreeIrp(irp);
}

TEST_F(KIrpTest, PendingCancelRoutineAndCancelFlag) {
  KIrp I(m_Irp);
  I.MarkPending(STATUS_PENDING);
  EXPECT_EQ(m_Irp->IoStatus.Status, STATUS_PENDING);
  EXPECT_TRUE(IoGetCurrentIrpStackLocation(m_Irp)->Control & SL_PENDING_RETURNED);

  static auto cancel = [](PDEVICE_OBJECT, PIRP) {};
  EXPECT_EQ(I.SetCancelRoutine(cancel), nullptr);
  EXPECT_EQ(I.SetCancelRoutine(nullptr), (PDRIVER_CANCEL)cancel);

  EXPECT_FALSE(I.WasCanceled(TRUE));
  m_Irp->Cancel = TRUE;
  EXPECT_TRUE(I.WasCanceled(FALSE));
  EXPECT_TRUE(I.WasCanceled(TRUE));
  m_Irp->Cancel = FALSE;
}

TEST_F(SystemTest, CompleteReturnsTheStatusItStored) {
  struct Seen {
    NTSTATUS Status = 0;
    bool Called = false;
  } seen;
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP Irp, PVOID Context) -> NTSTATUS {
        auto *s = (Seen *)Context;
        s->Called = true;
        s->Status = Irp->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  KIrp I(irp);
  EXPECT_FALSE(I.IsNull());
  EXPECT_EQ(I.Complete(STATUS_DEVICE_BUSY, IO_NO_INCREMENT), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(seen.Called);
  EXPECT_EQ(seen.Status, STATUS_DEVICE_BUSY);
  IoFreeIrp(irp);
  EXPECT_TRUE(KIrp(nullptr).IsNull());
}

/* ---------------------------------------------------------------- pool */

struct Small {
  ULONG Value = 7;
};

TEST_F(SystemTest, PoolOperatorsUseTheTagAndNeverAskForNothing) {
  uint64_t before = nt::pool::AllocationCount();
  uint64_t injected = nt::pool::InjectedFailures();
  nt::pool::FailNth(1); /* would show if the pool were asked */
  EXPECT_EQ(KAllocate(NonPagedPool, 0), nullptr);
  EXPECT_EQ(nt::pool::InjectedFailures(), injected);
  nt::pool::ClearFaults();
  EXPECT_EQ(nt::pool::AllocationCount(), before);

  Small *small = new (NonPagedPool) Small;
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->Value, 7u);
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 1u);
  EXPECT_EQ(nt::pool::TagText(NERAVOX_POOL_TAG), "NRVX");
  small->~Small();
  KFree(small);

  nt::pool::FailTag(NERAVOX_POOL_TAG);
  EXPECT_EQ(new (PagedPool) Small, nullptr) << "no memory: no object, no constructor";
  nt::pool::ClearFaults();
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 0u);
}

/* ----------------------------------------------------------- KUnitName */

struct UnitCase {
  ULONG Unit;
  ULONG Radix;
  const char *Name;      /* expected name; "" when none is built */
  const char *Assertion; /* expected report, or nullptr */
};

class KUnitNameTest : public SystemTest, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(KUnitNameTest, BuildsNameOrReports) {
  const UnitCase &c = GetParam();
  {
    KUnitName name(L"NERAVOXDevice", c.Unit, c.Radix);
    if (c.Name[0] != 0) {
      ASSERT_NE(name.Buffer(), nullptr);
      EXPECT_EQ(Narrow(name.Buffer()), c.Name);
      EXPECT_EQ(Narrow(name.Name()), c.Name);
      EXPECT_EQ(NT_SUCCESS(name.Status()), true);
      /* base + three digits + NUL, whatever the digits */
      EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Bytes, (13u + 4u) * sizeof(WCHAR));
    } else {
      EXPECT_EQ(name.Buffer(), nullptr);
      EXPECT_EQ(name.Name()->Length, 0);
      EXPECT_FALSE(NT_SUCCESS(name.Status()));
    }
    if (c.Assertion != nullptr)
      EXPECT_TRUE(HasAssertion(c.Assertion)) << c.Assertion;
    else
      EXPECT_TRUE(nt::debug::Assertions().empty());
  }
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 0u);
}

INSTANTIATE_TEST_SUITE_P(Units, KUnitNameTest,
                         ::testing::Values(UnitCase{0, 10, "NERAVOXDevice0", nullptr},
                                           UnitCase{999, 10, "NERAVOXDevice999", nullptr},
                                           UnitCase{0xABC, 16, "NERAVOXDeviceABC", nullptr},
                                           UnitCase{1000, 10, "", "m_unit < 1000"},
                                           UnitCase{0x1000, 16, "", "m_unit < 0x1000"},
                                           UnitCase{7, 8, "", "(m_radix == 10) || (m_radix == 16)"}));

TEST_F(SystemTest, UnitNameWithoutMemory) {
  nt::pool::FailTag(NERAVOX_POOL_TAG);
  KUnitName name(L"NERAVOXDevice", 3);
  EXPECT_EQ(name.Buffer(), nullptr);
  EXPECT_EQ(name.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 0u);
}

/* ------------------------------------------------- events, mutex, timers */

TEST_F(SystemTest, EventAndMutexBuiltAtDispatchLevelReport) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  {
    KEvent event(NotificationEvent, FALSE);
    KMutex mutex(1);
    KeLowerIrql(old);
    EXPECT_EQ(AssertionTexts(), (std::vector<std::string>{"KeGetCurrentIrql() < DISPATCH_LEVEL",
                                                          "KeGetCurrentIrql() < DISPATCH_LEVEL"}));
    /* Both still work. */
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(event.Wait(KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    event.Set();
    EXPECT_EQ(event.Wait(KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(mutex.Wait(), STATUS_SUCCESS);
    mutex.Release();
  }
}

TEST_F(SystemTest, EventWakesAWaiterOnAnotherThread) {
  KEvent event(SynchronizationEvent, FALSE);
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER limit;
    limit.QuadPart = -10LL * 1000 * 1000 * 10; /* 10 s */
    result = event.Wait(KernelMode, FALSE, &limit);
  });
  event.Set(IO_NO_INCREMENT, FALSE);
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_SUCCESS);
}

TEST_F(SystemTest, TimerSetTwiceRestartsAndCancelTellsWhetherSet) {
  KTimer timer;
  EXPECT_FALSE(timer.Cancel());
  EXPECT_FALSE(timer.Set(-10LL * 1000 * 1000 * 60));
  LARGE_INTEGER due;
  due.QuadPart = -10LL * 1000 * 1000 * 60;
  EXPECT_TRUE(timer.Set(due));
  EXPECT_TRUE(timer.Cancel());
  EXPECT_FALSE(timer.Cancel());
  /* A short one expires and signals. */
  EXPECT_FALSE(timer.SetPeriodic(-1LL, 0));
  LARGE_INTEGER limit;
  limit.QuadPart = -10LL * 1000 * 1000 * 10;
  EXPECT_EQ(timer.Wait(KernelMode, FALSE, &limit), STATUS_SUCCESS);
}

/* Holds the single DPC thread inside a deferred routine, so that what is
   queued behind it runs only when released. */
class DpcGate {
 public:
  DpcGate() { KeInitializeDpc(&m_Dpc, Routine, this); }
  void Close() {
    ASSERT_TRUE(KeInsertQueueDpc(&m_Dpc, nullptr, nullptr));
    std::unique_lock<std::mutex> lock(m_Lock);
    ASSERT_TRUE(m_Changed.wait_for(lock, kLimit, [&] { return m_Inside; }));
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Open = true;
    m_Changed.notify_all();
  }
  /* Returns once every deferred call queued before it has run. */
  static bool Drain() {
    struct Sentinel {
      KDPC Dpc;
      std::mutex Lock;
      std::condition_variable Ran;
      bool Done = false;
    } s;
    KeInitializeDpc(
        &s.Dpc,
        [](PKDPC, PVOID Context, PVOID, PVOID) {
          auto *t = (Sentinel *)Context;
          std::lock_guard<std::mutex> lock(t->Lock);
          t->Done = true;
          t->Ran.notify_all();
        },
        &s);
    KeInsertQueueDpc(&s.Dpc, nullptr, nullptr);
    std::unique_lock<std::mutex> lock(s.Lock);
    return s.Ran.wait_for(lock, kLimit, [&] { return s.Done; });
  }

 private:
  static void Routine(PKDPC, PVOID Context, PVOID, PVOID) {
    auto *self = (DpcGate *)Context;
    std::unique_lock<std::mutex> lock(self->m_Lock);
    self->m_Inside = true;
    self->m_Changed.notify_all();
    self->m_Changed.wait_for(lock, kLimit, [&] { return self->m_Open; });
  }
  KDPC m_Dpc;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_Inside = false;
  bool m_Open = false;
};

TEST_F(SystemTest, DeferredCallQueuedTwiceRunsOnce) {
  static std::atomic<int> runs;
  static std::atomic<PVOID> argument;
  runs = 0;
  KDeferredCall call;
  call.Initialize(
      [](PKDPC, PVOID Context, PVOID Argument1, PVOID) {
        runs++;
        argument = Argument1;
      },
      nullptr);
  DpcGate gate;
  gate.Close();
  int first = 1, second = 2;
  EXPECT_TRUE(call.Queue(&first, nullptr));
  EXPECT_FALSE(call.Queue(&second, nullptr));
  gate.Open();
  ASSERT_TRUE(DpcGate::Drain());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(argument.load(), &first);
}

/* A timed callback in pool: the verifier stops the run if the pool is freed
   while the timer is set or its deferred call is queued. */
class PooledCallback : public KTimedCallback {
 public:
  static PooledCallback *Create() {
    PVOID memory = KAllocate(NonPagedPool, sizeof(PooledCallback));
    return memory ? new (memory) PooledCallback : nullptr;
  }
  static void Destroy(PooledCallback *p) {
    p->~PooledCallback();
    KFree(p);
  }
  static void *operator new(size_t, void *Memory) noexcept { return Memory; }
  bool DpcQueued() const { return m_Dpc.DpcData != nullptr; }
};

static std::atomic<int> s_CallbackRuns;
static void CountRun(PKDPC, PVOID, PVOID, PVOID) { s_CallbackRuns++; }

TEST_F(SystemTest, TimedCallbackDestroyedWhileSetNeverRuns) {
  s_CallbackRuns = 0;
  PooledCallback *callback = PooledCallback::Create();
  ASSERT_NE(callback, nullptr);
  EXPECT_FALSE(callback->Set(-10LL * 1000 * 1000 * 60, CountRun, nullptr));
  PooledCallback::Destroy(callback);
  ASSERT_TRUE(DpcGate::Drain());
  EXPECT_EQ(s_CallbackRuns.load(), 0);
}

TEST_F(SystemTest, TimedCallbackDestroyedWithItsCallQueuedNeverRuns) {
  s_CallbackRuns = 0;
  DpcGate gate;
  gate.Close();
  PooledCallback *callback = PooledCallback::Create();
  ASSERT_NE(callback, nullptr);
  LARGE_INTEGER soon;
  soon.QuadPart = -1;
  callback->Set(soon, CountRun, nullptr);
  /* The timer expires at once and queues the call behind the gate. */
  LARGE_INTEGER limit;
  limit.QuadPart = -10LL * 1000 * 1000 * 10;
  ASSERT_EQ(callback->Wait(KernelMode, FALSE, &limit), STATUS_SUCCESS);
  auto until = std::chrono::steady_clock::now() + kLimit;
  while (!callback->DpcQueued() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(callback->DpcQueued());
  PooledCallback::Destroy(callback);
  gate.Open();
  ASSERT_TRUE(DpcGate::Drain());
  EXPECT_EQ(s_CallbackRuns.load(), 0);
}

/* ---------------------------------------------------------- work items */

static PDEVICE_OBJECT s_Device;
static NTSTATUS DeviceDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  Driver->DriverUnload = [](PDRIVER_OBJECT D) {
    while (D->DeviceObject != nullptr) IoDeleteDevice(D->DeviceObject);
  };
  return IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &s_Device);
}

class KWorkItemTest : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    ASSERT_EQ(nt::LoadDriver("NvWorkTest", DeviceDriverEntry), STATUS_SUCCESS);
  }
  void TearDown() override {
    nt::UnloadReport report;
    EXPECT_EQ(nt::UnloadDriver("NvWorkTest", &report), STATUS_SUCCESS);
    EXPECT_TRUE(report.Empty()) << report.Text();
    SystemTest::TearDown();
  }
};

TEST_F(KWorkItemTest, RoutineRunsAtPassiveLevelWithItsContext) {
  struct Ran {
    KEvent Done{NotificationEvent, FALSE};
    KIRQL Irql = HIGH_LEVEL;
  } ran;
  {
    KWorkItem item;
    ASSERT_EQ(item.Initialize(s_Device), STATUS_SUCCESS);
    item.Queue(
        [](PDEVICE_OBJECT, PVOID Context) {
          auto *r = (Ran *)Context;
          r->Irql = KeGetCurrentIrql();
          r->Done.Set();
        },
        &ran, DelayedWorkQueue);
    LARGE_INTEGER limit;
    limit.QuadPart = -10LL * 1000 * 1000 * 10;
    ASSERT_EQ(ran.Done.Wait(KernelMode, FALSE, &limit), STATUS_SUCCESS);
    EXPECT_EQ(ran.Irql, PASSIVE_LEVEL);
    /* The item may still be on its way out of the worker; it is freed by
       the destructor once the routine has returned. */
    nt::pool::Usage before = nt::pool::Outstanding();
    ASSERT_EQ(item.Initialize(s_Device), STATUS_SUCCESS);
    EXPECT_TRUE(HasAssertion("!m_pItem"));
    EXPECT_EQ(nt::pool::Outstanding(), before) << "the replaced item leaks";
  }
}

TEST_F(KWorkItemTest, WithoutMemoryNothingIsQueued) {
  KWorkItem item;
  nt::pool::FailNth(1);
  EXPECT_EQ(item.Initialize(s_Device), STATUS_INSUFFICIENT_RESOURCES);
  nt::pool::ClearFaults();
  item.Queue([](PDEVICE_OBJECT, PVOID) { ADD_FAILURE() << "queued without an item"; }, nullptr,
             DelayedWorkQueue);
  EXPECT_TRUE(HasAssertion("m_pItem"));
}

/* --------------------------------------------------------- device queue */

TEST_F(SystemTest, DeviceQueueWalkAndRemove) {
  KDEVICE_QUEUE queue;
  KeInitializeDeviceQueue(&queue);
  PIRP irps[4];
  for (auto &irp : irps) {
    irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
  }
  KDeviceQueue dq(&queue);
  KIRQL irql = dq.Lock(FALSE);
  EXPECT_EQ(dq.Head(), nullptr);
  EXPECT_EQ(dq.Tail(), nullptr);
  dq.Unlock(irql);

  /* The first insert finds the queue idle and only marks it busy. */
  EXPECT_FALSE(KeInsertDeviceQueue(&queue, &irps[0]->Tail.Overlay.DeviceQueueEntry));
  for (int i = 1; i < 4; i++) EXPECT_TRUE(KeInsertDeviceQueue(&queue, &irps[i]->Tail.Overlay.DeviceQueueEntry));

  irql = dq.Lock(FALSE);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(dq.Head(), irps[1]);
  EXPECT_EQ(dq.Tail(), irps[3]);
  EXPECT_EQ(dq.Next(irps[1]), irps[2]);
  EXPECT_EQ(dq.Next(irps[3]), irps[1]) << "the walk wraps to the head";
  EXPECT_EQ(dq.Next(nullptr), irps[1]);
  dq.Unlock(irql);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  EXPECT_TRUE(dq.RemoveEntry(irps[2]));
  EXPECT_FALSE(dq.RemoveEntry(irps[2]));
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  KIRQL held = dq.Lock(TRUE);
  EXPECT_EQ(held, DISPATCH_LEVEL);
  EXPECT_EQ(dq.Next(irps[1]), irps[3]);
  dq.Unlock(held);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(irql);

  EXPECT_TRUE(dq.RemoveEntry(irps[1]));
  EXPECT_TRUE(dq.RemoveEntry(irps[3]));
  for (auto irp : irps) IoFreeIrp(irp);
}

TEST_F(SystemTest, CancelSpinLockKeepsTheCallersIrql) {
  KIRQL irql = KCancelSpinLock::Acquire();
  EXPECT_EQ(irql, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KCancelSpinLock::Release();
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  irql = KCancelSpinLock::Acquire();
  KCancelSpinLock::Release(irql);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
