#include <gtest/gtest.h>
#include <ntddk.h>
#include <nt/io.h>
#include <nt/system.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace io = nt::io;

#define IOCTL_TEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_FAIL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_PEND CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* The device under test: \Device\IoTest0, linked as \??\IOTEST. */
struct TestDevice {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::string> Log;     /* CREATE, CLEANUP, CLOSE */
  std::vector<PIRP> Held;           /* pended requests; under the cancel spin lock and Lock */
  bool PendReads = false;
  bool CompleteHeldOnCleanup = true;
  ULONG EchoInformation = 0;        /* what an echo reports */
  /* what the last control request looked like to the driver */
  ULONG SeenIn = 0, SeenOut = 0;
  std::vector<UCHAR> SeenInput;
  std::vector<UCHAR> Written;
  bool Exclusive = false;
  bool LeaveInitializing = false;

  void Note(const char *what) {
    std::lock_guard<std::mutex> lock(Lock);
    Log.push_back(what);
    Changed.notify_all();
  }
  bool WaitHeld(size_t n) {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::seconds(10), [&] { return Held.size() >= n; });
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(Lock);
    return Log;
  }
};
TestDevice *g_Dev;

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  {
    std::lock_guard<std::mutex> lock(g_Dev->Lock);
    std::erase(g_Dev->Held, irp);
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Hold(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, CancelHeld);
  {
    std::lock_guard<std::mutex> lock(g_Dev->Lock);
    g_Dev->Held.push_back(irp);
    g_Dev->Changed.notify_all();
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

/* Completes the oldest held request: reads get Data. */
bool CompleteOldest(NTSTATUS status, const std::string &data = "") {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_Dev->Lock);
    if (!g_Dev->Held.empty()) {
      irp = g_Dev->Held.front();
      g_Dev->Held.erase(g_Dev->Held.begin());
    }
  }
  if (irp) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  if (!irp) return false;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ULONG n = 0;
  if (sp->MajorFunction == IRP_MJ_READ) {
    n = std::min<ULONG>(sp->Parameters.Read.Length, (ULONG)data.size());
    memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), n);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = n;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  return true;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR info) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
      g_Dev->Note("CREATE");
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
      g_Dev->Note("CLEANUP");
      if (g_Dev->CompleteHeldOnCleanup)
        while (CompleteOldest(STATUS_CANCELLED)) {
        }
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
      g_Dev->Note("CLOSE");
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ: {
      if (g_Dev->PendReads) return Hold(irp);
      static const char fill[] = "abcde";
      ULONG n = std::min<ULONG>(sp->Parameters.Read.Length, 5);
      memcpy(irp->AssociatedIrp.SystemBuffer, fill, n);
      return Complete(irp, STATUS_SUCCESS, n);
    }
    case IRP_MJ_WRITE: {
      auto *p = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
      g_Dev->Written.assign(p, p + sp->Parameters.Write.Length);
      return Complete(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
    }
    case IRP_MJ_DEVICE_CONTROL: {
      auto &c = sp->Parameters.DeviceIoControl;
      switch (c.IoControlCode) {
        case IOCTL_TEST_ECHO: {
          auto *buf = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
          g_Dev->SeenIn = c.InputBufferLength;
          g_Dev->SeenOut = c.OutputBufferLength;
          g_Dev->SeenInput.assign(buf, buf + c.InputBufferLength);
          /* the whole system buffer, max(in, out), is the driver's to write */
          ULONG size = std::max(c.InputBufferLength, c.OutputBufferLength);
          for (ULONG i = 0; i < size; ++i) buf[i] = UCHAR(0xA0 + i);
          return Complete(irp, STATUS_SUCCESS, g_Dev->EchoInformation);
        }
        case IOCTL_TEST_FAIL:
          return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        case IOCTL_TEST_PEND:
          return Hold(irp);
      }
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID Unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\??\\IOTEST");
  IoDeleteSymbolicLink(&link);
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR m : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL})
    driver->MajorFunction[m] = Dispatch;
  driver->DriverUnload = Unload;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\IoTest0");
  RtlInitUnicodeString(&link, L"\\??\\IOTEST");
  PDEVICE_OBJECT device;
  NTSTATUS s = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, g_Dev->Exclusive, &device);
  if (!NT_SUCCESS(s)) return s;
  device->Flags |= DO_BUFFERED_IO;
  if (!g_Dev->LeaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

class Io : public ::testing::Test {
 protected:
  void SetUp() override {
    g_Dev = &m_Device;
    Configure();
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
    ASSERT_EQ(nt::LoadDriver("IoTest", Entry), STATUS_SUCCESS);
  }
  void TearDown() override {
    nt::Shutdown();
    g_Dev = nullptr;
  }
  virtual void Configure() {}
  HANDLE OpenDevice() {
    HANDLE h = nullptr;
    EXPECT_EQ(io::Open("\\\\.\\IOTEST", &h), STATUS_SUCCESS);
    return h;
  }

  TestDevice m_Device;
};

TEST_F(Io, OpenFollowsTheLinkInEveryNameForm) {
  for (const char *name : {"\\\\.\\IOTEST", "\\??\\IOTEST", "\\DosDevices\\iotest", "IOTEST", "\\Device\\IoTest0"}) {
    HANDLE h = nullptr;
    ASSERT_EQ(io::Open(name, &h), STATUS_SUCCESS) << name;
    PFILE_OBJECT file = io::FileObject(h);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(file->DeviceObject->DeviceObjectExtension->DeviceName.Buffer),
                             file->DeviceObject->DeviceObjectExtension->DeviceName.Length / 2),
              u"\\Device\\IoTest0");
    EXPECT_EQ(io::Close(h), STATUS_SUCCESS);
  }
  HANDLE h = nullptr;
  EXPECT_EQ(io::Open("\\\\.\\NOSUCH", &h), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(io::Open(L"\\\\.\\IOTEST", &h), STATUS_SUCCESS);
  EXPECT_EQ(io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(io::Close(h), STATUS_INVALID_HANDLE);
  IO_STATUS_BLOCK iosb;
  char b[4];
  EXPECT_EQ(io::Read(h, b, 4, &iosb), STATUS_INVALID_HANDLE);
}

class ExclusiveIo : public Io {
  void Configure() override { m_Device.Exclusive = true; }
};

TEST_F(ExclusiveIo, SecondOpenIsRefusedUntilTheFirstCloses) {
  HANDLE first = OpenDevice(), second = nullptr;
  EXPECT_EQ(io::Open("\\\\.\\IOTEST", &second), STATUS_ACCESS_DENIED);
  /* another handle to the same open is not a second open */
  HANDLE dup = nullptr;
  EXPECT_EQ(io::Duplicate(first, &dup), STATUS_SUCCESS);
  EXPECT_EQ(io::Close(first), STATUS_SUCCESS);
  EXPECT_EQ(io::Open("\\\\.\\IOTEST", &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(io::Close(dup), STATUS_SUCCESS);
  EXPECT_EQ(io::Open("\\\\.\\IOTEST", &second), STATUS_SUCCESS);
  EXPECT_EQ(m_Device.Events(), (std::vector<std::string>{"CREATE", "CLEANUP", "CLOSE", "CREATE"}));
}

class InitializingIo : public Io {
  void Configure() override { m_Device.LeaveInitializing = true; }
};

TEST_F(InitializingIo, DeviceStillInitialisingCannotBeOpened) {
  HANDLE h = nullptr;
  EXPECT_EQ(io::Open("\\\\.\\IOTEST", &h), STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(m_Device.Events().empty());
}

struct CopyCase {
  ULONG In, Out, Reported;
};

class BufferedControl : public Io, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(BufferedControl, InputGoesInAndReportedBytesComeOut) {
  const auto &c = GetParam();
  m_Device.EchoInformation = c.Reported;
  HANDLE h = OpenDevice();
  std::vector<UCHAR> in(c.In), out(c.Out + 4, 0x55);
  for (ULONG i = 0; i < c.In; ++i) in[i] = UCHAR(i + 1);
  IO_STATUS_BLOCK iosb{};
  ASSERT_EQ(io::DeviceIoControl(h, IOCTL_TEST_ECHO, in.data(), c.In, out.data(), c.Out, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(m_Device.SeenIn, c.In);
  EXPECT_EQ(m_Device.SeenOut, c.Out);
  EXPECT_EQ(m_Device.SeenInput, in);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, c.Reported);
  ULONG copied = std::min(c.Reported, c.Out);
  for (ULONG i = 0; i < copied; ++i) EXPECT_EQ(out[i], UCHAR(0xA0 + i)) << i;
  for (ULONG i = copied; i < out.size(); ++i) EXPECT_EQ(out[i], 0x55) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferedControl,
                         ::testing::Values(CopyCase{4, 4, 4}, CopyCase{16, 4, 4}, CopyCase{4, 16, 16},
                                           CopyCase{4, 16, 6}, CopyCase{0, 8, 8}, CopyCase{8, 0, 0},
                                           CopyCase{0, 0, 0}));

TEST_F(Io, BufferedReadAndWriteCopyWhatTheDriverReports) {
  HANDLE h = OpenDevice();
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  IO_STATUS_BLOCK iosb{};
  ASSERT_EQ(io::Read(h, buffer, sizeof buffer, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(std::string(buffer, 8), "abcdexxx");
  const char data[] = "hello";
  ASSERT_EQ(io::Write(h, data, 5, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(std::string(m_Device.Written.begin(), m_Device.Written.end()), "hello");
}

TEST_F(Io, OverlappedRequestCompletesLaterWithItsEvent) {
  m_Device.PendReads = true;
  HANDLE h = OpenDevice();
  char buffer[8] = {};
  IO_STATUS_BLOCK iosb;
  iosb.Status = (NTSTATUS)0x12345678;
  iosb.Information = 77;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE); /* the call resets it */
  ASSERT_EQ(io::Read(h, buffer, sizeof buffer, &iosb, &event), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(iosb.Status, (NTSTATUS)0x12345678);
  EXPECT_EQ(io::PendingRequests(h), 1u);
  ASSERT_TRUE(CompleteOldest(STATUS_SUCCESS, "xyz"));
  ASSERT_TRUE(io::Wait(&event));
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(std::string(buffer, 3), "xyz");
  EXPECT_EQ(io::PendingRequests(h), 0u);
}

TEST_F(Io, SynchronousCallWaitsForAPendedRequest) {
  m_Device.PendReads = true;
  HANDLE h = OpenDevice();
  std::thread completer([&] {
    if (m_Device.WaitHeld(1)) CompleteOldest(STATUS_SUCCESS, "late");
  });
  char buffer[8] = {};
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(io::Read(h, buffer, sizeof buffer, &iosb), STATUS_SUCCESS);
  completer.join();
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(std::string(buffer, 4), "late");
}

TEST_F(Io, FailureWithoutPendingWritesNoStatusAndSignalsNothing) {
  HANDLE h = OpenDevice();
  IO_STATUS_BLOCK iosb;
  iosb.Status = (NTSTATUS)0x12345678;
  iosb.Information = 77;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(io::DeviceIoControl(h, IOCTL_TEST_FAIL, nullptr, 0, nullptr, 0, &iosb, &event),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(iosb.Status, (NTSTATUS)0x12345678);
  EXPECT_EQ(iosb.Information, 77u);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  /* the synchronous form reports nothing either */
  EXPECT_EQ(io::DeviceIoControl(h, IOCTL_TEST_FAIL, nullptr, 0, nullptr, 0, &iosb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(iosb.Status, (NTSTATUS)0x12345678);

  /* the same failure after pending is reported in full */
  EXPECT_EQ(io::DeviceIoControl(h, IOCTL_TEST_PEND, nullptr, 0, nullptr, 0, &iosb, &event), STATUS_PENDING);
  ASSERT_TRUE(CompleteOldest(STATUS_DEVICE_BUSY));
  ASSERT_TRUE(io::Wait(&event));
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(iosb.Information, 0u);
}

TEST_F(Io, CancelIoTakesOnlyTheCallingThreadsRequests) {
  m_Device.PendReads = true;
  HANDLE h = OpenDevice();
  char mine[4], theirs[4];
  IO_STATUS_BLOCK mineIosb{}, theirsIosb{};
  KEVENT mineEvent, theirsEvent;
  KeInitializeEvent(&mineEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&theirsEvent, NotificationEvent, FALSE);
  std::thread other([&] { EXPECT_EQ(io::Read(h, theirs, 4, &theirsIosb, &theirsEvent), STATUS_PENDING); });
  other.join();
  ASSERT_EQ(io::Read(h, mine, 4, &mineIosb, &mineEvent), STATUS_PENDING);
  ASSERT_EQ(io::PendingRequests(h), 2u);

  EXPECT_EQ(io::CancelIo(h), STATUS_SUCCESS);
  ASSERT_TRUE(io::Wait(&mineEvent));
  EXPECT_EQ(mineIosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(KeReadStateEvent(&theirsEvent), 0);
  EXPECT_EQ(io::PendingRequests(h), 1u);

  EXPECT_EQ(io::CancelIoEx(h, &theirsIosb), STATUS_SUCCESS);
  ASSERT_TRUE(io::Wait(&theirsEvent));
  EXPECT_EQ(theirsIosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(io::CancelIoEx(h), STATUS_NOT_FOUND);
}

TEST_F(Io, CancelRacingCompletionIsSafe) {
  m_Device.PendReads = true;
  HANDLE h = OpenDevice();
  for (int round = 0; round < 200; ++round) {
    char buffer[4];
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ASSERT_EQ(io::Read(h, buffer, 4, &iosb, &event), STATUS_PENDING);
    std::thread completer([&] { CompleteOldest(STATUS_SUCCESS, "ok"); });
    io::CancelIoEx(h);
    completer.join();
    ASSERT_TRUE(io::Wait(&event));
    ASSERT_TRUE(iosb.Status == STATUS_SUCCESS || iosb.Status == STATUS_CANCELLED) << std::hex << iosb.Status;
  }
  EXPECT_EQ(io::PendingRequests(h), 0u);
}

TEST_F(Io, CleanupComesWithTheLastHandleAndCloseWithTheLastReference) {
  m_Device.PendReads = true;
  m_Device.CompleteHeldOnCleanup = false;
  HANDLE h = OpenDevice(), dup = nullptr;
  ASSERT_EQ(io::Duplicate(h, &dup), STATUS_SUCCESS);
  char buffer[4];
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ASSERT_EQ(io::Read(dup, buffer, 4, &iosb, &event), STATUS_PENDING);

  EXPECT_EQ(io::Close(h), STATUS_SUCCESS);
  EXPECT_EQ(m_Device.Events(), (std::vector<std::string>{"CREATE"}));
  EXPECT_EQ(io::Close(dup), STATUS_SUCCESS);
  /* the read in progress still holds the file object */
  EXPECT_EQ(m_Device.Events(), (std::vector<std::string>{"CREATE", "CLEANUP"}));
  ASSERT_TRUE(CompleteOldest(STATUS_SUCCESS, "end"));
  ASSERT_TRUE(io::Wait(&event));
  EXPECT_EQ(m_Device.Events(), (std::vector<std::string>{"CREATE", "CLEANUP", "CLOSE"}));
}

TEST_F(Io, HandlesLeftOpenAreClosedAtShutdown) {
  HANDLE h = OpenDevice();
  (void)h;
  nt::Shutdown();
  EXPECT_EQ(m_Device.Events(), (std::vector<std::string>{"CREATE", "CLEANUP", "CLOSE"}));
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
}

}  // namespace
