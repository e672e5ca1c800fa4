/* The serial port base through the I/O manager: open and close, the control
   table, the read time-out modes with real timers, waits, receive limits,
   purges and the completion race. */
#include "port_fixture.h"

#include <nt/pool.h>

#include <atomic>
#include <cstring>

using namespace porttest;

namespace {

class KVirtualComTest : public PortTest {};

TEST_F(KVirtualComTest, SecondOpenIsBusyAndFirstKeepsWorking) {
  HANDLE second = nullptr;
  EXPECT_EQ(nt::io::Open("\\Device\\NvSerTest0", &second), STATUS_DEVICE_BUSY);
  SERIAL_BAUD_RATE baud{9600};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, baud), STATUS_SUCCESS);
  SERIAL_BAUD_RATE got{};
  ULONG_PTR info = 0;
  EXPECT_EQ(Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &got, sizeof(got), &info), STATUS_SUCCESS);
  EXPECT_EQ(got.BaudRate, 9600u);
  EXPECT_EQ(info, 4u);
}

TEST_F(KVirtualComTest, OpenResetsTheSettings) {
  SERIAL_BAUD_RATE baud{115200};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, baud), STATUS_SUCCESS);
  Timeouts(5, 6, 7);
  ASSERT_EQ(nt::io::Close(m_Handle), STATUS_SUCCESS);
  ASSERT_EQ(nt::io::Open("\\Device\\NvSerTest0", &m_Handle), STATUS_SUCCESS);
  SERIAL_BAUD_RATE got{};
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &got, sizeof(got)), STATUS_SUCCESS);
  EXPECT_EQ(got.BaudRate, 2400u);
  SERIAL_TIMEOUTS t{1, 1, 1, 1, 1};
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof(t)), STATUS_SUCCESS);
  EXPECT_EQ(t.ReadIntervalTimeout | t.ReadTotalTimeoutMultiplier | t.ReadTotalTimeoutConstant, 0u);
  SERIAL_CHARS c{};
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &c, sizeof(c)), STATUS_SUCCESS);
  EXPECT_EQ(c.XonChar, 0x11);
  EXPECT_EQ(c.XoffChar, 0x13);
  SERIAL_HANDFLOW h{};
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &h, sizeof(h)), STATUS_SUCCESS);
  EXPECT_EQ(h.ControlHandShake, 0x80000001u);
  EXPECT_EQ(h.FlowReplace, 0x80000040u);
  EXPECT_EQ(h.XonLimit, 80);
  EXPECT_EQ(h.XoffLimit, 200);
  SERIAL_LINE_CONTROL lc{};
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &lc, sizeof(lc)), STATUS_SUCCESS);
  EXPECT_EQ(lc.WordLength, 8);
  EXPECT_EQ(lc.Parity, NO_PARITY);
  EXPECT_EQ(lc.StopBits, STOP_BIT_1);
}

/* ---- the control table ---- */

struct ControlCase {
  const char *Name;
  ULONG Code;
  ULONG In, Out;
  NTSTATUS Expected;
  ULONG_PTR Information;
};

class ControlTable : public KVirtualComTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTable, LengthChecksAndResults) {
  const ControlCase &c = GetParam();
  std::vector<UCHAR> in(c.In + 1, 0), out(c.Out + 1, 0);
  /* Inputs that pass the value checks when the length is enough. */
  if (c.Code == IOCTL_SERIAL_SET_LINE_CONTROL && c.In >= 3) {
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    memcpy(in.data(), &lc, 3);
  }
  if (c.Code == IOCTL_SERIAL_PURGE && c.In >= 4) {
    ULONG m = SERIAL_PURGE_RXCLEAR;
    memcpy(in.data(), &m, 4);
  }
  ULONG_PTR info = 12345;
  NTSTATUS status = Control(c.Code, c.In ? in.data() : nullptr, c.In, c.Out ? out.data() : nullptr, c.Out, &info);
  EXPECT_EQ(status, c.Expected) << c.Name;
  if (NT_SUCCESS(c.Expected)) {
    EXPECT_EQ(info, c.Information) << c.Name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    KVirtualCom, ControlTable,
    ::testing::Values(
        ControlCase{"SetBaudShort", IOCTL_SERIAL_SET_BAUD_RATE, 3, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetBaud", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetQueueSizeShort", IOCTL_SERIAL_SET_QUEUE_SIZE, 7, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetQueueSize", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetLineShort", IOCTL_SERIAL_SET_LINE_CONTROL, 2, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetLine", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, STATUS_SUCCESS, 0},
        ControlCase{"BreakOn", IOCTL_SERIAL_SET_BREAK_ON, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"BreakOff", IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"ImmediateChar", IOCTL_SERIAL_IMMEDIATE_CHAR, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetTimeoutsShort", IOCTL_SERIAL_SET_TIMEOUTS, 19, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, STATUS_SUCCESS, 0},
        ControlCase{"GetTimeoutsShort", IOCTL_SERIAL_GET_TIMEOUTS, 0, 19, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"GetTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, STATUS_SUCCESS, 20},
        ControlCase{"SetDtr", IOCTL_SERIAL_SET_DTR, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"ClrDtr", IOCTL_SERIAL_CLR_DTR, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"Reset", IOCTL_SERIAL_RESET_DEVICE, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetRts", IOCTL_SERIAL_SET_RTS, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"ClrRts", IOCTL_SERIAL_CLR_RTS, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetXoff", IOCTL_SERIAL_SET_XOFF, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetXon", IOCTL_SERIAL_SET_XON, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"GetWaitMaskShort", IOCTL_SERIAL_GET_WAIT_MASK, 0, 3, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"GetWaitMask", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, STATUS_SUCCESS, 4},
        ControlCase{"SetWaitMaskShort", IOCTL_SERIAL_SET_WAIT_MASK, 3, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, STATUS_SUCCESS, 0},
        ControlCase{"WaitOnMaskShort", IOCTL_SERIAL_WAIT_ON_MASK, 0, 3, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"WaitOnMaskNoMask", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, STATUS_INVALID_PARAMETER, 0},
        ControlCase{"PurgeShort", IOCTL_SERIAL_PURGE, 3, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"Purge", IOCTL_SERIAL_PURGE, 4, 0, STATUS_SUCCESS, 0},
        ControlCase{"GetBaudShort", IOCTL_SERIAL_GET_BAUD_RATE, 0, 3, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"GetBaud", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, STATUS_SUCCESS, 4},
        ControlCase{"GetLineShort", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 2, STATUS_INVALID_PARAMETER, 0},
        ControlCase{"GetLine", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, STATUS_SUCCESS, 3},
        ControlCase{"GetCharsShort", IOCTL_SERIAL_GET_CHARS, 0, 5, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"GetChars", IOCTL_SERIAL_GET_CHARS, 0, 6, STATUS_SUCCESS, 6},
        ControlCase{"SetCharsShort", IOCTL_SERIAL_SET_CHARS, 5, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetChars", IOCTL_SERIAL_SET_CHARS, 6, 0, STATUS_SUCCESS, 0},
        ControlCase{"GetHandflowShort", IOCTL_SERIAL_GET_HANDFLOW, 0, 15, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"GetHandflow", IOCTL_SERIAL_GET_HANDFLOW, 0, 16, STATUS_SUCCESS, 16},
        ControlCase{"SetHandflowShort", IOCTL_SERIAL_SET_HANDFLOW, 15, 0, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"SetHandflow", IOCTL_SERIAL_SET_HANDFLOW, 16, 0, STATUS_SUCCESS, 0},
        ControlCase{"ModemStatusShort", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 3, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"ModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, STATUS_SUCCESS, 4},
        ControlCase{"CommStatusShort", IOCTL_SERIAL_GET_COMMSTATUS, 0, 19, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"CommStatus", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, STATUS_SUCCESS, 20},
        ControlCase{"XoffCounter", IOCTL_SERIAL_XOFF_COUNTER, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"PropertiesShort", IOCTL_SERIAL_GET_PROPERTIES, 0, 63, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"Properties", IOCTL_SERIAL_GET_PROPERTIES, 0, 64, STATUS_SUCCESS, 64},
        ControlCase{"DtrRts", IOCTL_SERIAL_GET_DTRRTS, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"LsrMst", IOCTL_SERIAL_LSRMST_INSERT, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"ConfigSizeShort", IOCTL_SERIAL_CONFIG_SIZE, 0, 3, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"ConfigSize", IOCTL_SERIAL_CONFIG_SIZE, 0, 4, STATUS_SUCCESS, 4},
        ControlCase{"GetCommConfig", IOCTL_SERIAL_GET_COMMCONFIG, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"SetCommConfig", IOCTL_SERIAL_SET_COMMCONFIG, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"StatsShort", IOCTL_SERIAL_GET_STATS, 0, 23, STATUS_BUFFER_TOO_SMALL, 0},
        ControlCase{"Stats", IOCTL_SERIAL_GET_STATS, 0, 24, STATUS_SUCCESS, 24},
        ControlCase{"ClearStats", IOCTL_SERIAL_CLEAR_STATS, 0, 0, STATUS_SUCCESS, 0},
        ControlCase{"ModemControlIsUnknown", IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, STATUS_INVALID_PARAMETER, 0}),
    [](const ::testing::TestParamInfo<ControlCase> &info) { return std::string(info.param.Name); });

TEST_F(KVirtualComTest, UnknownCodeIsReported) {
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_FIFO_CONTROL, nullptr, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
  char text[64];
  snprintf(text, sizeof text, "Unknown Ioctl code = 0x%X", (unsigned)IOCTL_SERIAL_SET_FIFO_CONTROL);
  EXPECT_TRUE(nt::debug::Contains(text));
}

TEST_F(KVirtualComTest, ValueChecksOfTheSettings) {
  ULONG mask = 0x1FFF;
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  mask = 0x2000;
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_INVALID_PARAMETER);
  ULONG purge = 0x10;
  EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, purge), STATUS_INVALID_PARAMETER);

  SERIAL_QUEUE_SIZE q{128, 0};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, q), STATUS_SUCCESS);
  q = {129, 0};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, q), STATUS_INSUFFICIENT_RESOURCES);
  q = {0, 1};
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, q), STATUS_INSUFFICIENT_RESOURCES);

  struct {
    SERIAL_HANDFLOW H;
    NTSTATUS Expected;
  } flows[] = {
      {{0x80000001, 0x80000040, 80, 200}, STATUS_SUCCESS},
      {{0x00000004, 0, 0, 0}, STATUS_INVALID_PARAMETER}, /* an invalid control bit */
      {{0, 0x00000020, 0, 0}, STATUS_INVALID_PARAMETER}, /* an invalid flow bit */
      {{SERIAL_DTR_MASK, 0, 0, 0}, STATUS_INVALID_PARAMETER},
      {{0, 0, -1, 0}, STATUS_INVALID_PARAMETER},
      {{0, 0, 0, -1}, STATUS_INVALID_PARAMETER},
  };
  for (auto &f : flows) EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, f.H), f.Expected) << std::hex << f.H.ControlHandShake;

  SERIAL_HANDFLOW dtrHandshake{SERIAL_DTR_HANDSHAKE, 0, 0, 0};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, dtrHandshake), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
}

TEST_F(KVirtualComTest, LineControlEncodingAndDecoding) {
  struct {
    UCHAR Word, Parity, Stop;
    bool Accepted;
  } cases[] = {
      {5, NO_PARITY, STOP_BITS_1_5, true}, {6, ODD_PARITY, STOP_BITS_2, true}, {7, EVEN_PARITY, STOP_BIT_1, true},
      {8, MARK_PARITY, STOP_BITS_2, true}, {8, SPACE_PARITY, STOP_BIT_1, true}, {8, NO_PARITY, STOP_BITS_1_5, false},
      {5, NO_PARITY, STOP_BITS_2, false},  {4, NO_PARITY, STOP_BIT_1, false},  {9, NO_PARITY, STOP_BIT_1, false},
      {8, 5, STOP_BIT_1, false},           {8, NO_PARITY, 3, false},
  };
  SERIAL_LINE_CONTROL last{STOP_BIT_1, NO_PARITY, 8};
  for (auto &c : cases) {
    SERIAL_LINE_CONTROL lc{c.Stop, c.Parity, c.Word};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, lc), c.Accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER)
        << (int)c.Word << "/" << (int)c.Parity << "/" << (int)c.Stop;
    if (c.Accepted) last = lc;
    SERIAL_LINE_CONTROL got{};
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &got, sizeof(got)), STATUS_SUCCESS);
    /* A refused setting leaves the last accepted one. */
    EXPECT_EQ(got.WordLength, last.WordLength);
    EXPECT_EQ(got.Parity, last.Parity);
    EXPECT_EQ(got.StopBits, last.StopBits);
  }
}

TEST_F(KVirtualComTest, CommStatusReportsErrorsOnce) {
  m_Port->AddErrors(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY);
  SERIAL_STATUS s{};
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof(s)), STATUS_SUCCESS);
  EXPECT_EQ(s.Errors, (ULONG)(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY));
  memset(&s, 0xFF, sizeof(s));
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof(s)), STATUS_SUCCESS);
  EXPECT_EQ(s.Errors, 0u);
  EXPECT_EQ(s.HoldReasons, 0u);
  EXPECT_EQ(s.AmountInOutQueue, 0u);
  EXPECT_FALSE(s.EofReceived);
  EXPECT_FALSE(s.WaitForImmediate);
}

TEST_F(KVirtualComTest, PropertiesHandBackNoStaleBytes) {
  /* The system buffer first carries a request that leaves a pattern in it. */
  UCHAR pattern[64];
  memset(pattern, 0xA5, sizeof pattern);
  ULONG_PTR info = 0;
  UCHAR out[64];
  memset(out, 0xCC, sizeof out);
  ASSERT_EQ(Control(IOCTL_SERIAL_GET_PROPERTIES, pattern, sizeof pattern, out, sizeof out, &info), STATUS_SUCCESS);
  ASSERT_EQ(info, 64u);
  SERIAL_COMMPROP p;
  memcpy(&p, out, sizeof p);
  EXPECT_EQ(p.PacketLength, 64);
  EXPECT_EQ(p.ServiceMask, SERIAL_SP_SERIALCOMM);
  EXPECT_EQ(p.MaxRxQueue, 128u);
  EXPECT_EQ(p.SettableData, SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8);
  EXPECT_EQ(p.ProvSpec1, 0u);
  EXPECT_EQ(p.ProvSpec2, 0u);
  EXPECT_EQ(p.ProvChar[0], 0);
  for (size_t i = 0; i < sizeof out; i++) EXPECT_NE(out[i], 0xA5) << "byte " << i;
}

/* ---- writes ---- */

TEST_F(KVirtualComTest, WritesReachTransmitBytesInOrder) {
  IO_STATUS_BLOCK io{};
  const char *a = "hello ", *b = "world";
  ASSERT_EQ(nt::io::Write(m_Handle, a, 6, &io), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 6u);
  ASSERT_EQ(nt::io::Write(m_Handle, b, 5, &io), STATUS_SUCCESS);
  auto sent = m_Port->Sent();
  EXPECT_EQ(std::string(sent.begin(), sent.end()), "hello world");
}

TEST_F(KVirtualComTest, EmptyWriteFailsAndSendsNothing) {
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(nt::io::Write(m_Handle, "x", 0, &io), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(m_Port->Sent().empty());
}

/* ---- reads ---- */

TEST_F(KVirtualComTest, EmptyReadIsRefused) {
  IO_STATUS_BLOCK io{};
  UCHAR b[1];
  EXPECT_EQ(nt::io::Read(m_Handle, b, 0, &io), STATUS_INVALID_PARAMETER);
}

TEST_F(KVirtualComTest, ImmediateReadReturnsWhatIsBuffered) {
  Timeouts(MAXULONG, 0, 0);
  IO_STATUS_BLOCK io{};
  UCHAR b[10] = {};
  EXPECT_EQ(nt::io::Read(m_Handle, b, sizeof b, &io), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 0u);
  ASSERT_EQ(m_Port->Receive({1, 2, 3}), STATUS_SUCCESS);
  EXPECT_EQ(nt::io::Read(m_Handle, b, sizeof b, &io), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 3u);
  EXPECT_EQ(b[0] + b[1] + b[2], 6);
  EXPECT_EQ(m_Port->Buffered(), 0u);
}

TEST_F(KVirtualComTest, ReadTakesBytesAcrossChunks) {
  Timeouts(0, 0, 0); /* no time-out: waits for the full count */
  ASSERT_EQ(m_Port->Receive({'a', 'b'}), STATUS_SUCCESS);
  Pending r;
  StartRead(&r, 5);
  ASSERT_EQ(r.Returned, STATUS_PENDING);
  ASSERT_EQ(m_Port->Receive({'c', 'd', 'e', 'f'}), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Io.Status, STATUS_SUCCESS);
  ASSERT_EQ(r.Io.Information, 5u);
  EXPECT_EQ(std::string((char *)r.Buffer, 5), "abcde");
  EXPECT_EQ(m_Port->Buffered(), 1u); /* 'f' stays for the next read */
}

TEST_F(KVirtualComTest, AnyDataReadEndsAtTheFirstBytes) {
  Timeouts(MAXULONG, 0, 10000);
  Pending r;
  StartRead(&r, 10);
  ASSERT_EQ(r.Returned, STATUS_PENDING);
  ASSERT_EQ(m_Port->ReceiveAtDispatch({7, 8}), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(r.Io.Information, 2u);
}

TEST_F(KVirtualComTest, AnyDataWithConstantEndsAtFirstByteOrTimesOut) {
  Timeouts(MAXULONG, MAXULONG, 10000);
  Pending first;
  StartRead(&first, 4);
  ASSERT_EQ(first.Returned, STATUS_PENDING);
  ASSERT_EQ(m_Port->Receive({9}), STATUS_SUCCESS);
  ASSERT_TRUE(first.Wait());
  EXPECT_EQ(first.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(first.Io.Information, 1u);

  Timeouts(MAXULONG, MAXULONG, 30);
  Pending second;
  StartRead(&second, 4);
  ASSERT_TRUE(second.Wait());
  EXPECT_EQ(second.Io.Status, STATUS_TIMEOUT);
  EXPECT_EQ(second.Io.Information, 0u);

  /* C = 0: the first timer expiry ends it. */
  Timeouts(MAXULONG, MAXULONG, 0);
  IO_STATUS_BLOCK io{};
  UCHAR b[4];
  EXPECT_EQ(nt::io::Read(m_Handle, b, sizeof b, &io), STATUS_TIMEOUT);
  EXPECT_EQ(io.Information, 0u);
}

TEST_F(KVirtualComTest, TotalTimeoutKeepsWhatWasDelivered) {
  Timeouts(0, 1, 20); /* 10 x 1 + 20 ms */
  Pending r;
  StartRead(&r, 10);
  ASSERT_EQ(m_Port->Receive({1, 2, 3}), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Io.Status, STATUS_TIMEOUT);
  EXPECT_EQ(r.Io.Information, 3u);

  Timeouts(0, 0, 10000);
  Pending full;
  StartRead(&full, 2);
  ASSERT_EQ(m_Port->Receive({4, 5}), STATUS_SUCCESS);
  ASSERT_TRUE(full.Wait());
  EXPECT_EQ(full.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(full.Io.Information, 2u);
}

/* L x M x 10,000 beyond 64 bits must not wrap into a time-out in the past. */
TEST_F(KVirtualComTest, HugeTotalTimeoutStaysPending) {
  /* 479,085 x 3,850,411,529 x 10,000 is 2^64 and 9.8 ms. */
  Timeouts(0, 3850411529u, 0);
  std::vector<UCHAR> buffer(479085);
  Pending r;
  r.Returned = nt::io::Read(m_Handle, buffer.data(), (ULONG)buffer.size(), &r.Io, &r.Event);
  ASSERT_EQ(r.Returned, STATUS_PENDING);
  EXPECT_FALSE(nt::io::Wait(&r.Event, 100));
  ASSERT_EQ(nt::io::CancelIoEx(m_Handle, &r.Io), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Io.Status, STATUS_CANCELLED);
}

TEST_F(KVirtualComTest, IntervalReadWaitsForTheFirstByteThenEndsAtAGap) {
  Timeouts(20, 0, 0);
  Pending r;
  StartRead(&r, 10);
  ASSERT_EQ(r.Returned, STATUS_PENDING);
  /* Many interval times pass without a byte: still pending. */
  EXPECT_FALSE(nt::io::Wait(&r.Event, 200));
  ASSERT_EQ(m_Port->Receive({'x', 'y'}), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(r.Io.Status, STATUS_TIMEOUT);
  ASSERT_EQ(r.Io.Information, 2u);
  EXPECT_EQ(std::string((char *)r.Buffer, 2), "xy");
}

TEST_F(KVirtualComTest, LongIntervalsTickOnceASecond) {
  struct {
    ULONG Interval;
    LONGLONG Period;
  } cases[] = {{19999, -1}, {20000, -10000000}, {60000, -10000000}, {1, -1}};
  for (auto &c : cases) {
    Timeouts(c.Interval, 0, 0);
    Pending r;
    StartRead(&r, 1 + 1);
    ASSERT_EQ(r.Returned, STATUS_PENDING);
    EXPECT_EQ(m_Port->IntervalPeriod(), c.Period) << c.Interval;
    ASSERT_EQ(nt::io::CancelIoEx(m_Handle, &r.Io), STATUS_SUCCESS);
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(r.Io.Status, STATUS_CANCELLED);
    EXPECT_EQ(r.Io.Information, 0u);
  }
}

TEST_F(KVirtualComTest, CancelledReadAndQueuedReadsBehindIt) {
  Timeouts(0, 0, 0);
  Pending a, b;
  StartRead(&a, 4);
  StartRead(&b, 2);
  ASSERT_EQ(a.Returned, STATUS_PENDING);
  ASSERT_EQ(b.Returned, STATUS_PENDING);
  ASSERT_EQ(m_Port->Receive({1}), STATUS_SUCCESS);
  ASSERT_EQ(nt::io::CancelIoEx(m_Handle, &a.Io), STATUS_SUCCESS);
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(a.Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(a.Io.Information, 0u);
  /* The next read is now current and takes new bytes. */
  ASSERT_EQ(m_Port->Receive({2, 3}), STATUS_SUCCESS);
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(b.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(b.Io.Information, 2u);
}

TEST_F(KVirtualComTest, PurgeRxAbortCancelsReadsAndRxClearDropsBytes) {
  Timeouts(0, 0, 0);
  Pending a, b;
  StartRead(&a, 4);
  StartRead(&b, 4);
  ULONG purge = SERIAL_PURGE_RXABORT;
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, purge), STATUS_SUCCESS);
  ASSERT_TRUE(a.Wait());
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(a.Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(b.Io.Status, STATUS_CANCELLED);

  nt::pool::Usage before = nt::pool::OutstandingByTag(NERAVOX_POOL_TAG);
  ASSERT_EQ(m_Port->Receive({1, 2, 3}), STATUS_SUCCESS);
  ASSERT_EQ(m_Port->Receive({4}), STATUS_SUCCESS);
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, before.Blocks + 2);
  purge = SERIAL_PURGE_RXCLEAR;
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, purge), STATUS_SUCCESS);
  EXPECT_EQ(m_Port->Buffered(), 0u);
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG), before);
}

/* ---- receiving ---- */

TEST_F(KVirtualComTest, ReceiveStopsAt128Bytes) {
  std::vector<UCHAR> big(100, 0x55), rest(28, 0x66);
  EXPECT_EQ(m_Port->Receive(big), STATUS_SUCCESS);
  EXPECT_EQ(m_Port->Receive({}), STATUS_SUCCESS);
  EXPECT_EQ(m_Port->Receive(std::vector<UCHAR>(29, 1)), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(m_Port->Buffered(), 100u);
  EXPECT_EQ(m_Port->Receive(rest), STATUS_SUCCESS);
  EXPECT_EQ(m_Port->Receive({1}), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(m_Port->Buffered(), 128u);
}

TEST_F(KVirtualComTest, ReceiveWithoutMemoryStoresNothing) {
  nt::pool::FailTag(NERAVOX_POOL_TAG);
  EXPECT_EQ(m_Port->Receive({1, 2}), STATUS_INSUFFICIENT_RESOURCES);
  nt::pool::ClearFaults();
  EXPECT_EQ(m_Port->Buffered(), 0u);
}

TEST_F(KVirtualComTest, CloseFreesChunksAndDropsLaterBytes) {
  nt::pool::Usage before = nt::pool::OutstandingByTag(NERAVOX_POOL_TAG);
  ASSERT_EQ(m_Port->Receive({1, 2, 3}), STATUS_SUCCESS);
  ASSERT_EQ(nt::io::Close(m_Handle), STATUS_SUCCESS);
  m_Handle = nullptr;
  EXPECT_FALSE(m_Port->Opened());
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG), before);
  EXPECT_EQ(m_Port->Receive(std::vector<UCHAR>(128, 7)), STATUS_SUCCESS);
  EXPECT_EQ(m_Port->Receive({8}), STATUS_SUCCESS);
  EXPECT_EQ(m_Port->Buffered(), 0u);
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG), before);
}

/* ---- waits ---- */

TEST_F(KVirtualComTest, SetWaitMaskCompletesTheHeldWaitWithNoData) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  Pending w;
  StartControl(&w, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(w.Returned, STATUS_PENDING);
  mask = SERIAL_EV_RXFLAG;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(w.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(w.Io.Information, 0u);
}

TEST_F(KVirtualComTest, WaitWithHistoryAndSecondWaitCompleteAtOnce) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  ASSERT_EQ(m_Port->Receive({1}), STATUS_SUCCESS);
  ULONG events = 0;
  ULONG_PTR info = 0;
  ASSERT_EQ(Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &info), STATUS_SUCCESS);
  EXPECT_EQ(events, (ULONG)SERIAL_EV_RXCHAR);
  EXPECT_EQ(info, 4u);

  /* The history is empty now: this one is held. */
  Pending held;
  StartControl(&held, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(held.Returned, STATUS_PENDING);
  events = 0xDEAD;
  ASSERT_EQ(Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 0u);
  EXPECT_FALSE(held.Done());

  /* Data completes the held one from the deferred call. */
  ASSERT_EQ(m_Port->ReceiveAtDispatch({2}), STATUS_SUCCESS);
  ASSERT_TRUE(held.Wait());
  EXPECT_EQ(held.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(held.Io.Information, 4u);
  ULONG got;
  memcpy(&got, held.Buffer, 4);
  EXPECT_EQ(got, (ULONG)SERIAL_EV_RXCHAR);
}

TEST_F(KVirtualComTest, RxFlagMasksBytesUpToTheEventCharacter) {
  SERIAL_LINE_CONTROL seven{STOP_BIT_1, NO_PARITY, 7};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, seven), STATUS_SUCCESS);
  SERIAL_CHARS chars{0, 0, 0, 'Z', 0x11, 0x13};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  ULONG mask = SERIAL_EV_RXFLAG;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  Pending w;
  StartControl(&w, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(w.Returned, STATUS_PENDING);

  ASSERT_EQ(m_Port->Receive({0xC1, 0xC2}), STATUS_SUCCESS); /* no event character */
  EXPECT_FALSE(w.Done());
  ASSERT_EQ(m_Port->Receive({0xC3, 'Z' | 0x80, 0xC4}), STATUS_SUCCESS);
  ASSERT_TRUE(w.Wait());
  ULONG got;
  memcpy(&got, w.Buffer, 4);
  EXPECT_EQ(got, (ULONG)SERIAL_EV_RXFLAG);

  Timeouts(MAXULONG, 0, 0);
  IO_STATUS_BLOCK io{};
  UCHAR b[8] = {};
  ASSERT_EQ(nt::io::Read(m_Handle, b, sizeof b, &io), STATUS_SUCCESS);
  ASSERT_EQ(io.Information, 5u);
  const UCHAR expected[] = {0x41, 0x42, 0x43, 'Z', 0xC4};
  EXPECT_EQ(memcmp(b, expected, 5), 0);
}

TEST_F(KVirtualComTest, CancelledAndClosedWaits) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  Pending w;
  StartControl(&w, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(w.Returned, STATUS_PENDING);
  ASSERT_EQ(nt::io::CancelIoEx(m_Handle, &w.Io), STATUS_SUCCESS);
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(w.Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(w.Io.Information, 0u);
  /* A new wait is held again after the cancelled one. */
  Pending again;
  StartControl(&again, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_EQ(again.Returned, STATUS_PENDING);
  ASSERT_EQ(m_Port->Receive({1}), STATUS_SUCCESS);
  ASSERT_TRUE(again.Wait());
  EXPECT_EQ(again.Io.Status, STATUS_SUCCESS);
}

/* Holds the DPC thread in a deferred call of its own until released. */
struct DpcBlocker {
  std::atomic<bool> Running{false}, Release{false};
  KDPC Dpc;
  DpcBlocker() {
    KeInitializeDpc(
        &Dpc,
        [](PKDPC, PVOID Context, PVOID, PVOID) {
          auto *self = (DpcBlocker *)Context;
          self->Running = true;
          while (!self->Release) std::this_thread::yield();
        },
        this);
    KeInsertQueueDpc(&Dpc, nullptr, nullptr);
  }
  ~DpcBlocker() {
    Release = true;
    KeFlushQueuedDpcs();
  }
  bool WaitRunning() {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Running)
      if (std::chrono::steady_clock::now() > end) return false;
    return true;
  }
};

/* Two waits satisfied before the deferred call runs both complete. */
TEST_F(KVirtualComTest, WaitsSatisfiedBeforeTheDeferredCallRunsBothComplete) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  Pending a, b;
  {
    DpcBlocker blocker;
    ASSERT_TRUE(blocker.WaitRunning());
    StartControl(&a, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    ASSERT_EQ(a.Returned, STATUS_PENDING);
    ASSERT_EQ(m_Port->Receive({1}), STATUS_SUCCESS);
    StartControl(&b, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    ASSERT_EQ(b.Returned, STATUS_PENDING);
    ASSERT_EQ(m_Port->Receive({2}), STATUS_SUCCESS);
    EXPECT_FALSE(a.Done());
    EXPECT_FALSE(b.Done());
  }
  ASSERT_TRUE(a.Wait());
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(a.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(b.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(a.Io.Information, 4u);
  EXPECT_EQ(b.Io.Information, 4u);
}

/* ---- the race of the four ending paths ---- */

TEST_F(KVirtualComTest, EveryReadEndsOnceWhateverPathWins) {
  constexpr ULONG kLength = 4;
  constexpr int kRounds = 600;
  int seen[4] = {};
  for (int round = 0; round < kRounds; round++) {
    /* Interval and total time-outs both a millisecond or two, so that the
       ticks, the time-out, the bytes and the cancel meet. */
    Timeouts(1, 0, 1 + round % 3);
    Pending r;
    StartRead(&r, kLength);
    ASSERT_EQ(r.Returned, STATUS_PENDING);
    /* Some rounds never get the full count, some are cancelled. */
    ULONG feed = (ULONG)round % (kLength + 1);
    std::atomic<int> fed{0};
    std::thread feeder([&] {
      for (UCHAR i = 0; i < feed; i++) {
        std::this_thread::yield();
        if (m_Port->ReceiveAtDispatch({(UCHAR)(0x30 + i)}) == STATUS_SUCCESS) fed++;
      }
    });
    std::thread canceller([&] {
      if (round % 3 == 1) nt::io::CancelIoEx(m_Handle, &r.Io);
    });
    feeder.join();
    canceller.join();
    ASSERT_TRUE(r.Wait()) << "round " << round;
    NTSTATUS s = r.Io.Status;
    ULONG_PTR n = r.Io.Information;
    if (s == STATUS_SUCCESS) {
      seen[0]++;
      EXPECT_EQ(n, kLength);
    } else if (s == STATUS_TIMEOUT) {
      seen[1]++;
      EXPECT_LE(n, kLength);
    } else if (s == STATUS_CANCELLED) {
      seen[2]++;
      EXPECT_EQ(n, 0u);
    } else {
      ADD_FAILURE() << "status " << std::hex << s;
    }
    if (s != STATUS_CANCELLED) {
      /* Nothing lost or doubled: what the read has and what is left are
         what was fed, in order. */
      EXPECT_EQ(n + m_Port->Buffered(), (ULONG_PTR)fed.load()) << "round " << round;
      for (ULONG_PTR i = 0; i < n; i++) EXPECT_EQ(r.Buffer[i], 0x30 + i);
    }
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, purge), STATUS_SUCCESS);
  }
  /* Each run reaches more than one path; none is required. */
  RecordProperty("success", seen[0]);
  RecordProperty("timeout", seen[1]);
  RecordProperty("cancelled", seen[2]);
}

}  // namespace
