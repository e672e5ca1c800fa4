/* KLowerDevice against a small lower driver: binding by name, synchronous
   calls that complete at once or later on another thread, the caller's own
   completion routine, and built device-control requests. */
#include "fwtest.h"

#include <klower.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;
#define IOCTL_TEST_BUFFERED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

std::function<NTSTATUS(PIRP)> g_OnIrp;
int g_Seen[IRP_MJ_MAXIMUM_FUNCTION + 1];
PDEVICE_OBJECT g_Lower;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP Irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
  g_Seen[major]++;
  if (g_OnIrp && major != IRP_MJ_CREATE && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) return g_OnIrp(Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS LowerEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = LowerDispatch;
  Driver->DriverUnload = [](PDRIVER_OBJECT D) {
    while (D->DeviceObject != nullptr) IoDeleteDevice(D->DeviceObject);
  };
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\NvLower");
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Lower);
  if (NT_SUCCESS(status)) g_Lower->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

/* A request the lower driver keeps and completes later, on another thread. */
class LaterCompleter {
 public:
  NTSTATUS Keep(PIRP Irp) {
    IoMarkIrpPending(Irp);
    std::lock_guard<std::mutex> l(m_Lock);
    m_Irp = Irp;
    m_Changed.notify_all();
    return STATUS_PENDING;
  }
  void CompleteLater(NTSTATUS Status, ULONG_PTR Information) {
    m_Thread = std::thread([this, Status, Information] {
      PIRP irp;
      {
        std::unique_lock<std::mutex> l(m_Lock);
        if (!m_Changed.wait_for(l, kLimit, [&] { return m_Irp != nullptr; })) return;
        irp = m_Irp;
      }
      irp->IoStatus.Status = Status;
      irp->IoStatus.Information = Information;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
  }
  ~LaterCompleter() {
    if (m_Thread.joinable()) m_Thread.join();
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  PIRP m_Irp = nullptr;
  std::thread m_Thread;
};

class LowerTest : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    m_TopDone = std::make_unique<KEvent>(NotificationEvent, FALSE);
    g_OnIrp = nullptr;
    for (auto &n : g_Seen) n = 0;
    ASSERT_EQ(nt::LoadDriver("NvLower", LowerEntry), STATUS_SUCCESS);
    ASSERT_EQ(m_Lower.Initialize(L"\\Device\\NvLower", FILE_ALL_ACCESS), STATUS_SUCCESS);
  }
  void TearDown() override {
    m_Lower.Release();
    g_OnIrp = nullptr;
    nt::UnloadReport report;
    EXPECT_EQ(nt::UnloadDriver("NvLower", &report), STATUS_SUCCESS);
    EXPECT_TRUE(report.Empty()) << report.Text();
    SystemTest::TearDown();
  }

  /* A request as the driver above would hold it: its own location current,
     the lower driver's next. A completion routine at the top catches a
     request that completes all the way up. */
  PIRP NewRequest(UCHAR Major) {
    PIRP irp = IoAllocateIrp((CCHAR)(m_Lower.DeviceObject()->StackSize + 1), FALSE);
    if (irp == nullptr) return nullptr;
    IoSetCompletionRoutine(irp, TopCompletion, this, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    return irp;
  }
  static NTSTATUS TopCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    ((LowerTest *)Context)->m_CompletedToTop++;
    ((LowerTest *)Context)->m_TopSawPending = Irp->PendingReturned;
    ((LowerTest *)Context)->m_TopDone->Set();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  KLowerDevice m_Lower;
  int m_CompletedToTop = 0;
  BOOLEAN m_TopSawPending = FALSE;
  std::unique_ptr<KEvent> m_TopDone; /* made once the system is up */
};

TEST_F(LowerTest, BindsByNameAndReleasesTheFileObject) {
  EXPECT_EQ(m_Lower.DeviceObject(), g_Lower);
  EXPECT_NE(m_Lower.FileObject(), nullptr);
  EXPECT_EQ(m_Lower.ConstructorStatus(), STATUS_SUCCESS);
  EXPECT_EQ(g_Seen[IRP_MJ_CREATE], 1);
  EXPECT_EQ(g_Seen[IRP_MJ_CLOSE], 0);
  m_Lower.Release();
  EXPECT_EQ(m_Lower.DeviceObject(), nullptr);
  EXPECT_EQ(m_Lower.FileObject(), nullptr);
  EXPECT_EQ(g_Seen[IRP_MJ_CLOSE], 1) << "the reference was the last one";
  m_Lower.Release();
  EXPECT_EQ(g_Seen[IRP_MJ_CLOSE], 1);

  KLowerDevice missing;
  EXPECT_EQ(missing.Initialize(L"\\Device\\NvNoSuchDevice", FILE_ALL_ACCESS), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing.ConstructorStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing.DeviceObject(), nullptr);
  EXPECT_EQ(missing.FileObject(), nullptr);
}

TEST_F(LowerTest, UnboundLowerDeviceSendsNothing) {
  KLowerDevice unbound;
  ASSERT_EQ(unbound.Initialize(L"\\Device\\NvNoSuchDevice", FILE_ALL_ACCESS), STATUS_OBJECT_NAME_NOT_FOUND);
  int calls = 0;
  g_OnIrp = [&](PIRP Irp) {
    calls++;
    return STATUS_SUCCESS;
  };
  ULONG_PTR information = 0x77;
  ULONG out = 0;
  EXPECT_EQ(unbound.DeviceIoControl(IOCTL_TEST_BUFFERED, nullptr, 0, &out, sizeof(out), FALSE, &information),
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(information, 0u);

  PIRP irp = NewRequest(IRP_MJ_READ);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(unbound.CallWaitComplete(KIrp(irp), TRUE, &information), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(m_CompletedToTop, 0) << "a reclaimed request comes back untouched";
  EXPECT_EQ(unbound.Call(KIrp(irp)), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(m_CompletedToTop, 1) << "a passed-down request is finished";
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(calls, 0);
  IoFreeIrp(irp);
}

struct CallCase {
  const char *Title;
  bool Later;    /* completed from another thread after returning STATUS_PENDING */
  NTSTATUS Status;
  ULONG_PTR Information;
};

class CallWaitCompleteTest : public LowerTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(CallWaitCompleteTest, ReturnsTheRecordedResultWithTheRequestBack) {
  const CallCase &c = GetParam();
  LaterCompleter later;
  g_OnIrp = [&](PIRP Irp) -> NTSTATUS {
    if (c.Later) return later.Keep(Irp);
    Irp->IoStatus.Status = c.Status;
    Irp->IoStatus.Information = c.Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return c.Status;
  };
  if (c.Later) later.CompleteLater(c.Status, c.Information);
  PIRP irp = NewRequest(IRP_MJ_INTERNAL_DEVICE_CONTROL);
  ASSERT_NE(irp, nullptr);
  ULONG_PTR information = 0;
  NTSTATUS status = m_Lower.CallWaitComplete(KIrp(irp), TRUE, &information);
  EXPECT_EQ(status, c.Status);
  EXPECT_EQ(information, c.Information);
  EXPECT_EQ(g_Seen[IRP_MJ_INTERNAL_DEVICE_CONTROL], 1);
  EXPECT_EQ(m_CompletedToTop, 0) << "reclaimed: completion stopped below the caller";
  EXPECT_TRUE(nt::debug::Assertions().empty());
  /* The caller owns the request again and finishes it. */
  EXPECT_EQ(KIrp(irp).Complete(status), c.Status);
  EXPECT_EQ(m_CompletedToTop, 1);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Lower, CallWaitCompleteTest,
                         ::testing::Values(CallCase{"AtOnce", false, STATUS_SUCCESS, 7},
                                           CallCase{"AtOnceFailed", false, STATUS_DEVICE_BUSY, 3},
                                           CallCase{"Later", true, STATUS_SUCCESS, 11},
                                           CallCase{"LaterFailed", true, STATUS_CANCELLED, 0}),
                         [](const ::testing::TestParamInfo<CallCase> &info) { return std::string(info.param.Title); });

TEST_F(LowerTest, WithoutReclaimTheRequestCompletesUpwards) {
  LaterCompleter later;
  g_OnIrp = [&](PIRP Irp) { return later.Keep(Irp); };
  later.CompleteLater(STATUS_SUCCESS, 5);
  PIRP irp = NewRequest(IRP_MJ_DEVICE_CONTROL);
  ASSERT_NE(irp, nullptr);
  ULONG_PTR information = 0;
  EXPECT_EQ(m_Lower.CallWaitComplete(KIrp(irp), FALSE, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 5u);
  /* The request went on completing on the lower driver's thread; the
     caller may have woken before it reached the top. */
  LARGE_INTEGER limit;
  limit.QuadPart = -10LL * 1000 * 1000 * 10;
  ASSERT_EQ(m_TopDone->Wait(KernelMode, FALSE, &limit), STATUS_SUCCESS);
  EXPECT_EQ(m_CompletedToTop, 1);
  EXPECT_TRUE(m_TopSawPending) << "a pended request is marked pending on its way up";
  IoFreeIrp(irp);
}

TEST_F(LowerTest, CallersCompletionRoutineGetsItsContextAndDecides) {
  struct Mine {
    int Calls = 0;
    PVOID Context = nullptr;
    NTSTATUS Status = 0;
  } mine;
  LaterCompleter later;
  g_OnIrp = [&](PIRP Irp) { return later.Keep(Irp); };
  later.CompleteLater(STATUS_DEVICE_NOT_READY, 9);
  PIRP irp = NewRequest(IRP_MJ_READ);
  ASSERT_NE(irp, nullptr);
  KIrp I(irp);
  I.SetCompletionRoutine(
      [](PDEVICE_OBJECT, PIRP Irp, PVOID Context) -> NTSTATUS {
        auto *m = (Mine *)Context;
        m->Calls++;
        m->Context = Context;
        m->Status = Irp->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &mine, TRUE, TRUE, TRUE);
  ULONG_PTR information = 0;
  /* Without reclaim: the caller's own routine keeps the request anyway. */
  EXPECT_EQ(m_Lower.CallWaitComplete(I, FALSE, &information), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(information, 9u);
  EXPECT_EQ(mine.Calls, 1);
  EXPECT_EQ(mine.Context, &mine);
  EXPECT_EQ(mine.Status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(m_CompletedToTop, 0);
  IoFreeIrp(irp);
}

/* The rule is reported (unit and line) before the wait, which the verifier
   then stops. */
TEST_F(LowerTest, CallWaitCompleteAtDispatchLevelReportsThenStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  g_OnIrp = [](PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(
      {
        PIRP irp = NewRequest(IRP_MJ_READ);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        m_Lower.CallWaitComplete(KIrp(irp), TRUE, nullptr);
      },
      "KeGetCurrentIrql\\(\\) < DISPATCH_LEVEL(.|\n)*klower, line 112");
}

class DeviceIoControlTest : public LowerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeviceIoControlTest, BuildsSendsAndWaits) {
  bool later = GetParam();
  LaterCompleter completer;
  g_OnIrp = [&](PIRP Irp) -> NTSTATUS {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
    EXPECT_EQ(s->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, (ULONG)IOCTL_TEST_BUFFERED);
    EXPECT_EQ(s->Parameters.DeviceIoControl.InputBufferLength, 4u);
    ULONG *buffer = (ULONG *)Irp->AssociatedIrp.SystemBuffer;
    buffer[0] = ~buffer[0];
    if (later) return completer.Keep(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 4;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  if (later) completer.CompleteLater(STATUS_SUCCESS, 4);
  ULONG in = 0x0F0F0F0F, out = 0;
  ULONG_PTR information = 0;
  EXPECT_EQ(m_Lower.DeviceIoControl(IOCTL_TEST_BUFFERED, &in, sizeof(in), &out, sizeof(out), TRUE, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, 4u);
  EXPECT_EQ(out, 0xF0F0F0F0u);
}

INSTANTIATE_TEST_SUITE_P(Lower, DeviceIoControlTest, ::testing::Values(false, true));

TEST_F(LowerTest, DeviceIoControlWithoutMemorySendsNothing) {
  int calls = 0;
  g_OnIrp = [&](PIRP Irp) {
    calls++;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  ULONG in = 1, out = 0;
  ULONG_PTR information = 0x77;
  nt::pool::FailNth(1);
  EXPECT_EQ(m_Lower.DeviceIoControl(IOCTL_TEST_BUFFERED, &in, sizeof(in), &out, sizeof(out), FALSE, &information),
            STATUS_INSUFFICIENT_RESOURCES);
  nt::pool::ClearFaults();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(nt::pool::InjectedFailures(), 1u);
}

}  // namespace
