/* IRPs through device stacks: completion routines, buffers, cancel. */
#include <nt/pool.h>

#include <atomic>
#include <string>
#include <thread>

#include "io_test_driver.h"

using namespace iotest;

namespace {

class Irps : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    m_Blocks = nt::pool::Outstanding().Blocks;
  }
  uint64_t m_Blocks = 0;
};

/* Completes IRPs on a thread of its own, as hardware would. */
class Completer {
 public:
  void Later(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    m_Threads.emplace_back([=] { TestDriver::Complete(Irp, Status, Information); });
  }
  ~Completer() {
    for (auto &t : m_Threads) t.join();
  }

 private:
  std::vector<std::thread> m_Threads;
};

/* ---- three devices, completion routines that take the IRP back ---- */

struct Trail {
  std::mutex Lock;
  std::vector<std::string> Steps;
  void Add(const std::string &s) {
    std::lock_guard<std::mutex> guard(Lock);
    Steps.push_back(s);
  }
};

struct StackCase {
  const char *Name;
  bool BottomPends; /* completes from another thread after returning STATUS_PENDING */
};

class ThreeDeviceStack : public IoTest, public ::testing::WithParamInterface<StackCase> {};

struct RoutineContext {
  struct Trail *Steps;
  PDEVICE_OBJECT Expected;
  KEVENT Event;
  bool SawPendingReturned = false;
};

NTSTATUS MiddleDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  auto *c = (RoutineContext *)Context;
  EXPECT_EQ(Device, c->Expected);
  c->SawPendingReturned = Irp->PendingReturned;
  c->Steps->Add("middle routine");
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  return STATUS_SUCCESS; /* completion goes on */
}

NTSTATUS TopDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  auto *c = (RoutineContext *)Context;
  EXPECT_EQ(Device, c->Expected);
  c->SawPendingReturned = Irp->PendingReturned;
  c->Steps->Add("top routine");
  KeSetEvent(&c->Event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED; /* the top dispatch routine takes it back */
}

NTSTATUS AllocatorDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
  auto *c = (RoutineContext *)Context;
  EXPECT_EQ(Device, nullptr); /* no stack location of its own above */
  c->Steps->Add("allocator routine");
  KeSetEvent(&c->Event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_P(ThreeDeviceStack, CompletionRoutinesRunBottomUpAndReclaimTheIrp) {
  const StackCase &param = GetParam();
  Trail trail;
  TestDriver driver;
  Completer completer;
  PDEVICE_OBJECT middle = NULL, top = NULL;
  RoutineContext middleContext{&trail, NULL, {}}, topContext{&trail, NULL, {}}, allocatorContext{&trail, NULL, {}};
  KeInitializeEvent(&topContext.Event, NotificationEvent, FALSE);
  KeInitializeEvent(&allocatorContext.Event, NotificationEvent, FALSE);

  PDEVICE_OBJECT bottom = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    trail.Add("bottom dispatch");
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1, (PVOID)0x77);
    if (!param.BottomPends) return TestDriver::Complete(Irp, STATUS_SUCCESS, 5);
    IoMarkIrpPending(Irp);
    completer.Later(Irp, STATUS_SUCCESS, 5);
    return STATUS_PENDING;
  });
  middle = driver.Create(NULL, [&](PDEVICE_OBJECT Device, PIRP Irp) {
    trail.Add("middle dispatch");
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, MiddleDone, &middleContext, TRUE, TRUE, TRUE);
    return IoCallDriver(bottom, Irp);
  });
  top = driver.Create(NULL, [&](PDEVICE_OBJECT Device, PIRP Irp) {
    trail.Add("top dispatch");
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, TopDone, &topContext, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(middle, Irp);
    if (status == STATUS_PENDING) EXPECT_EQ(WaitLimit(&topContext.Event), STATUS_WAIT_0);
    /* Ours again: finish it with a status of our own. */
    EXPECT_EQ(Irp->IoStatus.Information, 5u);
    return TestDriver::Complete(Irp, STATUS_SUCCESS, 9);
  });
  IoAttachDeviceToDeviceStack(middle, bottom);
  IoAttachDeviceToDeviceStack(top, middle);
  middleContext.Expected = middle;
  topContext.Expected = top;
  ASSERT_EQ(top->StackSize, 3);

  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.Others.Argument1 = (PVOID)0x77;
  IoSetCompletionRoutine(irp, AllocatorDone, &allocatorContext, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(top, irp);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(WaitLimit(&allocatorContext.Event), STATUS_WAIT_0);
  EXPECT_EQ(irp->IoStatus.Information, 9u);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1); /* reclaimed at the top */
  EXPECT_EQ(middleContext.SawPendingReturned, param.BottomPends);
  EXPECT_EQ(topContext.SawPendingReturned, param.BottomPends); /* propagated by the middle routine */
  EXPECT_TRUE(IopOutstandingIrps(driver.Driver).empty());
  IoFreeIrp(irp);

  std::vector<std::string> expected = {"top dispatch", "middle dispatch", "bottom dispatch",
                                       "middle routine", "top routine", "allocator routine"};
  EXPECT_EQ(trail.Steps, expected);
}

INSTANTIATE_TEST_SUITE_P(Io, ThreeDeviceStack,
                         ::testing::Values(StackCase{"CompletedInline", false}, StackCase{"CompletedLater", true}),
                         [](const auto &info) { return std::string(info.param.Name); });

/* A driver's own IRP, sent, reclaimed, reused and sent again. */
TEST_F(Irps, ReusedIrpStartsAfresh) {
  TestDriver driver;
  int dispatched = 0;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    dispatched++;
    EXPECT_EQ(Irp->IoStatus.Status, STATUS_NOT_SUPPORTED); /* as IoReuseIrp left it */
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED, 0);
    IoMarkIrpPending(Irp);
    TestDriver::Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)dispatched);
    return STATUS_PENDING;
  });
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  auto reclaim = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; };
  for (int round = 1; round <= 2; ++round) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(irp, reclaim, NULL, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(irp->IoStatus.Information, (ULONG_PTR)round);
    EXPECT_TRUE(irp->PendingReturned);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_FALSE(irp->PendingReturned);
  }
  IoFreeIrp(irp);
  EXPECT_EQ(nt::pool::Outstanding().Blocks, m_Blocks);
}

/* ---- which completion routines run ---- */

TEST_F(Irps, CompletionRoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  struct Case {
    NTSTATUS Status;
    bool Cancel;
    BOOLEAN OnSuccess, OnError, OnCancel;
    bool Runs;
  } cases[] = {
      {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
      {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
      {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true}, /* a warning is no success */
      {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
      {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, TRUE, false},
      {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
      {STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
      {STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
  };
  TestDriver driver;
  NTSTATUS status = STATUS_SUCCESS;
  PDEVICE_OBJECT lower = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) { return TestDriver::Complete(Irp, status); });
  for (const Case &c : cases) {
    status = c.Status;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp); /* a location of our own, so that the routine below is the lower's */
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = lower;
    bool ran = false;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID Context) -> NTSTATUS {
          *(bool *)Context = true;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &ran, c.OnSuccess, c.OnError, c.OnCancel);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    irp->Cancel = c.Cancel;
    IoCallDriver(lower, irp);
    EXPECT_EQ(ran, c.Runs) << std::hex << c.Status << " cancel " << c.Cancel;
    if (!ran) {
      /* Completion went on past our own location to the top. */
      EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 2);
    }
    IoFreeIrp(irp);
  }
}

/* ---- the I/O manager's buffers ---- */

TEST_F(Irps, BufferedControlCopiesInputInAndAtMostTheOutputBufferOut) {
  struct Case {
    ULONG In, Out;
    NTSTATUS Status;
    ULONG_PTR Information;
    ULONG Copied;
  } cases[] = {
      {4, 8, STATUS_SUCCESS, 8, 8},
      {8, 4, STATUS_SUCCESS, 3, 3},
      {4, 8, STATUS_SUCCESS, 100, 8},       /* a driver claiming more than fits */
      {4, 8, STATUS_BUFFER_OVERFLOW, 8, 8}, /* warnings copy, errors do not */
      {4, 8, STATUS_INVALID_PARAMETER, 8, 0},
      {4, 0, STATUS_SUCCESS, 4, 0},
  };
  TestDriver driver;
  const Case *current = NULL;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, current->In);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, current->Out);
    auto *system = (UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    EXPECT_TRUE(nt::pool::IsPoolBlock(system));
    ULONG size = current->In > current->Out ? current->In : current->Out;
    for (ULONG i = 0; i < current->In; ++i) EXPECT_EQ(system[i], 0xA0 + i);
    for (ULONG i = current->In; i < size; ++i) EXPECT_EQ(system[i], 0) << "rest of the system buffer is zeroed";
    for (ULONG i = 0; i < size; ++i) system[i] = (UCHAR)(0x10 + i);
    return TestDriver::Complete(Irp, current->Status, current->Information);
  });
  ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
  for (const Case &c : cases) {
    current = &c;
    UCHAR in[16], out[16];
    for (int i = 0; i < 16; ++i) in[i] = (UCHAR)(0xA0 + i);
    memset(out, 0xEE, sizeof out);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, c.In, c.Out ? out : NULL, c.Out, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), c.Status);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, c.Status);
    EXPECT_EQ(iosb.Information, c.Information);
    for (ULONG i = 0; i < c.Copied; ++i) EXPECT_EQ(out[i], 0x10 + i) << i;
    for (ULONG i = c.Copied; i < 16; ++i) EXPECT_EQ(out[i], 0xEE) << "byte " << i << " beyond what was copied";
  }
  EXPECT_EQ(nt::pool::Outstanding().Blocks, m_Blocks); /* IRPs and system buffers all freed */
}

TEST_F(Irps, NeitherAndDirectControlsHandTheCallersBuffers) {
  TestDriver driver;
  UCHAR in[4] = {1, 2, 3, 4}, out[8] = {};
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    ULONG method = METHOD_FROM_CTL_CODE(sp->Parameters.DeviceIoControl.IoControlCode);
    if (method == METHOD_NEITHER) {
      EXPECT_EQ(sp->Parameters.DeviceIoControl.Type3InputBuffer, (PVOID)in);
      EXPECT_EQ(Irp->UserBuffer, (PVOID)out);
      EXPECT_EQ(Irp->AssociatedIrp.SystemBuffer, nullptr);
    } else {
      EXPECT_EQ(memcmp(Irp->AssociatedIrp.SystemBuffer, in, 4), 0);
      EXPECT_NE(Irp->AssociatedIrp.SystemBuffer, (PVOID)in);
      EXPECT_EQ(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority), (PVOID)out);
      EXPECT_EQ(MmGetMdlByteCount(Irp->MdlAddress), 8u);
      memset(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority), 0x5A, 8);
    }
    return TestDriver::Complete(Irp, STATUS_SUCCESS, 8);
  });
  for (ULONG method : {METHOD_NEITHER, METHOD_OUT_DIRECT}) {
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, method, FILE_ANY_ACCESS), device,
                                             in, 4, out, 8, TRUE, NULL, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 8u);
  }
  EXPECT_EQ(out[7], 0x5A);
  EXPECT_EQ(nt::pool::Outstanding().Blocks, m_Blocks);
}

TEST_F(Irps, SynchronousRequestCompletedLaterSignalsItsEvent) {
  TestDriver driver;
  Completer completer;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp)->MajorFunction, IRP_MJ_PNP);
    EXPECT_EQ(Irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    IoMarkIrpPending(Irp);
    completer.Later(Irp, STATUS_SUCCESS, 42);
    return STATUS_PENDING;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, NULL, 0, NULL, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_INTERFACE;
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  ASSERT_EQ(WaitLimit(&event), STATUS_WAIT_0);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 42u);
}

TEST_F(Irps, BufferedReadCopiesBackAndWriteCopiesIn) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    auto *system = (char *)Irp->AssociatedIrp.SystemBuffer;
    if (sp->MajorFunction == IRP_MJ_WRITE) {
      EXPECT_EQ(std::string(system, sp->Parameters.Write.Length), "hello");
      EXPECT_EQ(sp->Parameters.Write.ByteOffset.QuadPart, 7);
      return TestDriver::Complete(Irp, STATUS_SUCCESS, 5);
    }
    memcpy(system, "abc", 3);
    return TestDriver::Complete(Irp, STATUS_SUCCESS, 3);
  }, DO_BUFFERED_IO);
  char data[] = "hello";
  LARGE_INTEGER offset;
  offset.QuadPart = 7;
  IO_STATUS_BLOCK iosb = {};
  PIRP write = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, device, data, 5, &offset, &iosb);
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(IoCallDriver(device, write), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  char buffer[8] = "-------";
  PIRP read = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, device, buffer, 7, NULL, &iosb);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(IoCallDriver(device, read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer), "abc----");
}

TEST_F(Irps, UserRequestThatFailsWithoutPendingReportsNothing) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_INVALID_PARAMETER));
  for (BOOLEAN user : {FALSE, TRUE}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x1234;
    iosb.Information = 99;
    bool finalRan = false;
    IOP_REQUEST r;
    r.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    r.DeviceObject = device;
    r.UserRequest = user;
    r.Event = &event;
    r.Iosb = &iosb;
    r.FinalRoutine = [](PIRP, PVOID Context) { *(bool *)Context = true; };
    r.FinalContext = &finalRan;
    PIRP irp = IopBuildRequest(r);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(finalRan);
    EXPECT_EQ(iosb.Status, user ? 0x1234 : STATUS_INVALID_PARAMETER) << (int)user;
    EXPECT_EQ(KeReadStateEvent(&event), user ? 0 : 1) << (int)user;
  }
}

TEST_F(Irps, NoMemoryForTheIrpOrItsBufferBuildsNothing) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_SUCCESS), DO_BUFFERED_IO);
  UCHAR buffer[8];
  IO_STATUS_BLOCK iosb;
  for (uint64_t n : {1, 2}) { /* the IRP, then its system buffer */
    nt::pool::FailNth(n);
    EXPECT_EQ(IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, device, buffer, 8, NULL, &iosb), nullptr) << n;
    nt::pool::ClearFaults();
  }
  EXPECT_EQ(nt::pool::Outstanding().Blocks, m_Blocks);
  nt::pool::FailNth(1);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  nt::pool::ClearFaults();
}

/* ---- cancel ---- */

TEST_F(Irps, CancelCallsTheRoutineUnderTheCancelSpinLock) {
  TestDriver driver;
  std::atomic<PIRP> pending{nullptr};
  KEVENT queued;
  KeInitializeEvent(&queued, NotificationEvent, FALSE);
  struct Seen {
    BOOLEAN Cancel = FALSE;
    KIRQL Irql = 0, CancelIrql = 0xFF;
    ULONG LocksHeld = 0;
    PDEVICE_OBJECT Device = NULL;
  };
  static Seen seen;
  seen = Seen();
  PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(Irp, [](PDEVICE_OBJECT Device, PIRP Irp) {
      seen.Cancel = Irp->Cancel;
      seen.Irql = KeGetCurrentIrql();
      seen.CancelIrql = Irp->CancelIrql;
      seen.LocksHeld = KiHeldSpinLockCount();
      seen.Device = Device;
      IoReleaseCancelSpinLock(Irp->CancelIrql);
      TestDriver::Complete(Irp, STATUS_CANCELLED);
    });
    IoMarkIrpPending(Irp);
    IoReleaseCancelSpinLock(irql);
    pending = Irp;
    KeSetEvent(&queued, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
  });
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), device,
                                           NULL, 0, NULL, 0, FALSE, &done, &iosb);
  IopReferenceIrp(irp); /* keep it in memory for the second cancel */
  std::thread requester([&] { EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING); });
  ASSERT_EQ(WaitLimit(&queued), STATUS_WAIT_0);
  EXPECT_EQ(IopOutstandingIrps(driver.Driver).size(), 1u);
  std::thread canceller([&] { EXPECT_TRUE(IoCancelIrp(pending)); });
  canceller.join();
  requester.join();
  ASSERT_EQ(WaitLimit(&done), STATUS_WAIT_0);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_TRUE(seen.Cancel);
  EXPECT_EQ(seen.Irql, DISPATCH_LEVEL);
  EXPECT_EQ(seen.CancelIrql, PASSIVE_LEVEL); /* the canceller's IRQL */
  EXPECT_EQ(seen.LocksHeld, 1u);
  EXPECT_EQ(seen.Device, device);
  EXPECT_TRUE(IopOutstandingIrps(driver.Driver).empty());
  EXPECT_FALSE(IoCancelIrp(irp)); /* completed: no routine to call */
  IopDereferenceIrp(irp);
}

TEST_F(Irps, CompletionRoutineExHoldsTheDeviceUntilItHasRun) {
  TestDriver driver;
  PDEVICE_OBJECT lower = driver.Create(NULL, CompleteWith(STATUS_UNSUCCESSFUL));
  PDEVICE_OBJECT upper = driver.Create(NULL, CompleteWith(STATUS_SUCCESS));
  LONG before = ObpReferenceCount(upper);
  for (BOOLEAN onError : {TRUE, FALSE}) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = upper;
    struct Context {
      PDEVICE_OBJECT Upper;
      LONG Refs = 0;
    } c{upper};
    ASSERT_EQ(IoSetCompletionRoutineEx(
                  upper, irp,
                  [](PDEVICE_OBJECT, PIRP, PVOID Context) -> NTSTATUS {
                    auto *c = (struct Context *)Context;
                    c->Refs = ObpReferenceCount(c->Upper);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                  },
                  &c, TRUE, onError, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(ObpReferenceCount(upper), before + 1);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(lower, irp);
    EXPECT_EQ(c.Refs, onError ? before + 1 : 0); /* ran only when asked to */
    EXPECT_EQ(ObpReferenceCount(upper), before); /* given back either way */
    IoFreeIrp(irp);
  }
  EXPECT_EQ(nt::pool::Outstanding().Blocks, m_Blocks);
}

}  // namespace
