/*
 * Data into the ports: the receive ring while nobody reads, and the read
 * time-outs with bytes injected by the probe at chosen moments.
 */
#include "port_system.h"

#include <atomic>
#include <future>

using namespace systest;

namespace {

class RingWhileNotReading : public PortSystem {
 protected:
  sim::controller::Config Config() override { return DefaultWith(sim::controller::UartTiming::BaudAccurate); }
};

TEST_F(RingWhileNotReading, KeepsBytesForTheNextReadAndCountsWhatDoesNotFit) {
  HANDLE tx = MustOpen("COM5"), rx = MustOpen("COM6");
  for (HANDLE h : {tx, rx}) ASSERT_EQ(SetBaud(h, 115200), STATUS_SUCCESS);

  const std::string first = Pattern(1000, 7);
  ASSERT_EQ(Write(tx, first), STATUS_SUCCESS);
  ASSERT_TRUE(WaitInQueue(rx, 1000));
  std::string got;
  ASSERT_EQ(Read(rx, 1000, &got), STATUS_SUCCESS); /* all time-outs 0: what the ring holds */
  EXPECT_TRUE(got == first);
  EXPECT_EQ(CommStatus(rx).Errors, 0u);

  const std::string more = Pattern(5000, 8);
  ULONG_PTR written = 0;
  ASSERT_EQ(Write(tx, more, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 5000u);
  ASSERT_TRUE(WaitInQueue(rx, 4095));
  /* An RS-232 write returns with its last characters still in the UART:
     wait until the line is quiet and the receiver has been emptied. */
  ASSERT_TRUE(WaitLineQuiet(0, 0, 1));
  SERIAL_STATUS s = CommStatus(rx);
  EXPECT_EQ(s.AmountInInQueue, 4095u);
  EXPECT_NE(s.Errors & SERIAL_ERROR_OVERRUN, 0u);
  /* (A character still on its way when the line looked quiet lands once
     the read makes room: only the ring's 4095 are asked for.) */
  ASSERT_EQ(Read(rx, 4095, &got), STATUS_SUCCESS);
  ASSERT_EQ(got.size(), 4095u);
  EXPECT_TRUE(got == more.substr(0, 4095));
  /* Reported again: the port never clears the counter. */
  EXPECT_NE(CommStatus(rx).Errors & SERIAL_ERROR_OVERRUN, 0u);
}

/* Characters the UART had to drop (nobody served it while the port was
 * closed) are reported like those the ring refuses. */
TEST_F(RingWhileNotReading, UartOverrunIsReportedToo) {
  HANDLE h = MustOpen("COM8");
  EXPECT_EQ(CommStatus(h).Errors, 0u);
  Close(h);
  sim::line::ProbeLine *probe = Hw().Probe(0, 3);
  probe->Inject(Pattern(100, 4)); /* into a FIFO of 64, with no interrupt served */
  h = MustOpen("COM8");
  ASSERT_TRUE(WaitInQueue(h, 64));
  const SERIAL_STATUS s = CommStatus(h);
  EXPECT_EQ(s.AmountInInQueue, 64u);
  EXPECT_NE(s.Errors & SERIAL_ERROR_OVERRUN, 0u);
  std::string got;
  ASSERT_EQ(Read(h, 64, &got), STATUS_SUCCESS);
  EXPECT_TRUE(got == Pattern(100, 4).substr(0, 64));
}

/* ---- read time-outs, on COM8 (the probe) ---- */

class ReadTimeouts : public PortSystem {
 protected:
  void SetUp() override {
    PortSystem::SetUp();
    if (HasFatalFailure()) return;
    m_Port = MustOpen("COM8");
    m_Probe = Hw().Probe(0, 3);
    ASSERT_NE(m_Probe, nullptr);
  }
  /* Starts a read of Length on its own thread; returns once the port is
   * inside it. */
  std::future<std::pair<NTSTATUS, std::string>> StartRead(ULONG Length) {
    const uint64_t from = nt::debug::NextLineNumber();
    auto f = std::async(std::launch::async, [this, Length] {
      std::string got;
      NTSTATUS status = Read(m_Port, Length, &got);
      return std::make_pair(status, got);
    });
    EXPECT_TRUE(nt::debug::WaitForLine("Length : " + std::to_string(Length), std::chrono::milliseconds(kLimitMs), from));
    return f;
  }
  void Inject(const std::string &Bytes) { m_Probe->Inject(Bytes); }
  HANDLE m_Port = nullptr;
  sim::line::ProbeLine *m_Probe = nullptr;
};

TEST_F(ReadTimeouts, AllZeroReturnsWhatTheRingHolds) {
  ASSERT_EQ(SetTimeouts(m_Port, 0, 0, 0), STATUS_SUCCESS);
  std::string got;
  EXPECT_EQ(Read(m_Port, 10, &got), STATUS_TIMEOUT);
  EXPECT_EQ(got, "");
  m_Probe->Inject("abcde");
  ASSERT_TRUE(WaitInQueue(m_Port, 5));
  EXPECT_EQ(Read(m_Port, 10, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, "abcde");
}

TEST_F(ReadTimeouts, IntervalOnlyAlsoReturnsAtOnce) {
  ASSERT_EQ(SetTimeouts(m_Port, 50, 0, 0), STATUS_SUCCESS);
  m_Probe->Inject("xyz");
  ASSERT_TRUE(WaitInQueue(m_Port, 3));
  std::string got;
  EXPECT_EQ(Read(m_Port, 10, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, "xyz");
}

TEST_F(ReadTimeouts, MaxIntervalZeroTotalsIsImmediate) {
  ASSERT_EQ(SetTimeouts(m_Port, MAXULONG, 0, 0), STATUS_SUCCESS);
  std::string got;
  EXPECT_EQ(Read(m_Port, 4, &got), STATUS_TIMEOUT);
  m_Probe->Inject("12");
  ASSERT_TRUE(WaitInQueue(m_Port, 2));
  EXPECT_EQ(Read(m_Port, 4, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, "12");
}

/* RM and RC as a total for the whole read, with or without RI. */
class TotalTimeout : public ReadTimeouts, public ::testing::WithParamInterface<ULONG> {};

TEST_P(TotalTimeout, EndsAfterTheTotalWithWhatCame) {
  const ULONG ri = GetParam();
  ASSERT_EQ(SetTimeouts(m_Port, ri, 10, 100), STATUS_SUCCESS);
  const uint64_t from = nt::debug::NextLineNumber();
  auto read = StartRead(5);
  Inject("abc");
  auto [status, got] = read.get();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(got, "abc");
  /* 100 + 10 x 5 ms, as the port printed it (relative, so negative). */
  EXPECT_TRUE(nt::debug::Contains("[Total] [-150] Timeout when reading bytes", from));
}

TEST_P(TotalTimeout, FullLengthEndsTheReadBeforeTheTotal) {
  ASSERT_EQ(SetTimeouts(m_Port, GetParam(), 1000, 60000), STATUS_SUCCESS);
  auto read = StartRead(4);
  Inject("wxyz");
  auto [status, got] = read.get();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(got, "wxyz");
}

TEST_P(TotalTimeout, NothingInTimeIsATimeout) {
  ASSERT_EQ(SetTimeouts(m_Port, GetParam(), 0, 50), STATUS_SUCCESS);
  std::string got;
  EXPECT_EQ(Read(m_Port, 3, &got), STATUS_TIMEOUT);
  EXPECT_EQ(got, "");
}

INSTANTIATE_TEST_SUITE_P(Interval, TotalTimeout, ::testing::Values(MAXULONG, 0u, 20u));

TEST_F(ReadTimeouts, WaitForFirstByteThenTakeWhatIsThere) {
  ASSERT_EQ(SetTimeouts(m_Port, MAXULONG, MAXULONG, 60000), STATUS_SUCCESS);
  auto read = StartRead(10);
  Inject("Q");
  auto [status, got] = read.get();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(got, "Q");

  ASSERT_EQ(SetTimeouts(m_Port, MAXULONG, MAXULONG, 100), STATUS_SUCCESS);
  std::string none;
  EXPECT_EQ(Read(m_Port, 10, &none), STATUS_TIMEOUT);
}

TEST_F(ReadTimeouts, WholeLengthWaitsUntilEveryByteCame) {
  ASSERT_EQ(SetTimeouts(m_Port, MAXULONG, 0, MAXULONG), STATUS_SUCCESS);
  auto read = StartRead(6);
  Inject("1234");
  ASSERT_TRUE(nt::debug::WaitForLine("R: H[0x34]", std::chrono::milliseconds(kLimitMs)));
  EXPECT_EQ(read.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  Inject("56");
  auto [status, got] = read.get();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(got, "123456");
}

/* A read that waits for its whole length ends when it is cancelled, when
 * its handle is cleaned up and when its port goes away. */
TEST_F(ReadTimeouts, EndlessReadEndsWhenCancelled) {
  ASSERT_EQ(SetTimeouts(m_Port, MAXULONG, 0, MAXULONG), STATUS_SUCCESS);
  auto read = StartRead(6);
  EXPECT_EQ(nt::io::CancelIoEx(m_Port), STATUS_SUCCESS);
  auto [status, got] = read.get();
  EXPECT_EQ(status, STATUS_CANCELLED);
  /* The port still works afterwards. */
  ASSERT_EQ(SetTimeouts(m_Port, 0, 0, 0), STATUS_SUCCESS);
  m_Probe->Inject("ok");
  ASSERT_TRUE(WaitInQueue(m_Port, 2));
  std::string after;
  EXPECT_EQ(Read(m_Port, 2, &after), STATUS_SUCCESS);
  EXPECT_EQ(after, "ok");
}

TEST_F(ReadTimeouts, EndlessReadEndsAtCleanup) {
  ASSERT_EQ(SetTimeouts(m_Port, MAXULONG, 0, MAXULONG), STATUS_SUCCESS);
  auto read = StartRead(6);
  Close(m_Port);
  auto [status, got] = read.get();
  EXPECT_EQ(status, STATUS_CANCELLED);
  /* Reopened, reads work again. */
  HANDLE h = MustOpen("COM8");
  ASSERT_EQ(SetTimeouts(h, 0, 0, 0), STATUS_SUCCESS);
  m_Probe->Inject("z");
  ASSERT_TRUE(WaitInQueue(h, 1));
  std::string after;
  EXPECT_EQ(Read(h, 1, &after), STATUS_SUCCESS);
  EXPECT_EQ(after, "z");
}

TEST_F(ReadTimeouts, ZeroLengthReadTouchesNothing) {
  m_Probe->Inject("k");
  ASSERT_TRUE(WaitInQueue(m_Port, 1));
  IO_STATUS_BLOCK iosb{};
  char byte = 0;
  EXPECT_EQ(nt::io::Read(m_Port, &byte, 0, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 0u);
  EXPECT_EQ(CommStatus(m_Port).AmountInInQueue, 1u);
}

/* Requests with a byte offset, sent as a kernel-mode client would. */
TEST_F(ReadTimeouts, ByteOffsetIsRefused) {
  m_Probe->Inject("k");
  ASSERT_TRUE(WaitInQueue(m_Port, 1));
  PFILE_OBJECT file = nt::io::FileObject(m_Port);
  ASSERT_NE(file, nullptr);
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
  for (ULONG major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    LARGE_INTEGER offset;
    offset.QuadPart = 1;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(major, device, buffer, sizeof buffer, &offset, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << major;
    EXPECT_EQ(iosb.Information, 0u);
  }
  EXPECT_EQ(CommStatus(m_Port).AmountInInQueue, 1u);
}

}  // namespace
