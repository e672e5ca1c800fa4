/*
 * The serial control requests of a port, table-driven through the I/O
 * manager: buffer checks, what each code answers and prints, the divisors
 * that reach the UART for each product class, the line settings and the
 * settings a fresh port reports.
 */
#include "port_system.h"

using namespace systest;

namespace {

/* DevID 0: the default KV502 (COM5..COM8); DevID 1: a 0x4E58 (COM9..COM12). */
class Control : public PortSystem {
 protected:
  sim::controller::Config Config() override {
    sim::controller::Config c = sim::controller::DefaultConfig();
    c.Controllers.push_back(ProbeController(0x4E58, 1, 4, 9, 0, 4));
    return c;
  }
  void SetUp() override {
    PortSystem::SetUp();
    if (HasFatalFailure()) return;
    m_Port = MustOpen("COM8");
  }
  HANDLE m_Port = nullptr;
};

struct LengthCase {
  const char *Name;
  ULONG Code;
  ULONG In;   /* smallest accepted input */
  ULONG Out;  /* smallest accepted output */
  NTSTATUS Short; /* status with one byte less */
  const char *Message; /* printed on entry, checked or not; nullptr: none */
};

/* Inputs that every code accepts once the length is right. */
std::vector<uint8_t> GoodInput(ULONG Code) {
  std::vector<uint8_t> in(32, 0);
  switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
      ULONG rate = 19200;
      memcpy(in.data(), &rate, 4);
      break;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      in[0] = STOP_BIT_1;
      in[1] = NO_PARITY;
      in[2] = 8;
      break;
    case IOCTL_SERIAL_SET_WAIT_MASK: {
      ULONG mask = SERIAL_EV_RXCHAR;
      memcpy(in.data(), &mask, 4);
      break;
    }
    case IOCTL_SERIAL_PURGE: {
      ULONG mask = SERIAL_PURGE_RXCLEAR;
      memcpy(in.data(), &mask, 4);
      break;
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
      SERIAL_HANDFLOW h{};
      h.ControlHandShake = SERIAL_DTR_CONTROL;
      h.FlowReplace = SERIAL_RTS_CONTROL;
      h.XonLimit = 10;
      h.XoffLimit = 10;
      memcpy(in.data(), &h, sizeof h);
      break;
    }
    default:
      break;
  }
  return in;
}

class Lengths : public Control, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(Lengths, TooShortIsRefusedAndLongEnoughIsServed) {
  const LengthCase &c = GetParam();
  std::vector<uint8_t> in = GoodInput(c.Code), out(64, 0xCC);
  if (c.In > 0) {
    const uint64_t from = nt::debug::NextLineNumber();
    EXPECT_EQ(Ioctl(m_Port, c.Code, in.data(), c.In - 1, out.data(), c.Out), c.Short);
    if (c.Message != nullptr) EXPECT_TRUE(nt::debug::Contains(c.Message, from)) << c.Message;
  }
  if (c.Out > 0) EXPECT_EQ(Ioctl(m_Port, c.Code, in.data(), c.In, out.data(), c.Out - 1), c.Short);
  const uint64_t from = nt::debug::NextLineNumber();
  ULONG_PTR returned = 99;
  EXPECT_EQ(Ioctl(m_Port, c.Code, in.data(), c.In, out.data(), c.Out, &returned), STATUS_SUCCESS);
  if (c.Code == IOCTL_SERIAL_PURGE) {
    EXPECT_EQ(returned, 4u); /* the mask's size, with no output buffer */
  } else {
    EXPECT_LE(returned, c.Out);
  }
  if (c.Message != nullptr) EXPECT_TRUE(nt::debug::Contains(c.Message, from)) << c.Message;
}

const LengthCase kLengths[] = {
    {"SetBaudRate", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_SET_BAUD_RATE"},
    {"SetLineControl", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, STATUS_BUFFER_TOO_SMALL,
     "PN : [03], IOCTL_SERIAL_SET_LINE_CONTROL"},
    {"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_SET_TIMEOUTS"},
    {"GetTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, STATUS_BUFFER_TOO_SMALL, nullptr},
    {"GetWaitMask", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, STATUS_BUFFER_TOO_SMALL, nullptr},
    {"SetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_SET_WAIT_MASK"},
    {"Purge", IOCTL_SERIAL_PURGE, 4, 0, STATUS_BUFFER_TOO_SMALL, nullptr},
    {"GetBaudRate", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_GET_BAUD_RATE"},
    {"GetLineControl", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, STATUS_INVALID_PARAMETER,
     "PN : [03], IOCTL_SERIAL_GET_LINE_CONTROL"},
    {"GetChars", IOCTL_SERIAL_GET_CHARS, 0, 6, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_GET_CHARS"},
    {"SetChars", IOCTL_SERIAL_SET_CHARS, 6, 0, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_SET_CHARS"},
    {"GetHandflow", IOCTL_SERIAL_GET_HANDFLOW, 0, 16, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_GET_HANDFLOW"},
    {"SetHandflow", IOCTL_SERIAL_SET_HANDFLOW, 16, 0, STATUS_BUFFER_TOO_SMALL, "PN : [03], IOCTL_SERIAL_SET_HANDFLOW"},
    {"GetModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, STATUS_BUFFER_TOO_SMALL,
     "IoCtlGetModemStatus : Device does not support GetModemStatus func. "},
    {"GetCommStatus", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, STATUS_BUFFER_TOO_SMALL, nullptr},
    {"ConfigSize", IOCTL_SERIAL_CONFIG_SIZE, 0, 4, STATUS_BUFFER_TOO_SMALL, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Codes, Lengths, ::testing::ValuesIn(kLengths),
                         [](const ::testing::TestParamInfo<LengthCase> &i) { return std::string(i.param.Name); });

/* Codes that take no buffer: what they answer and print. */
struct PlainCase {
  const char *Name;
  ULONG Code;
  const char *Messages[2];
};

class Plain : public Control, public ::testing::WithParamInterface<PlainCase> {};

TEST_P(Plain, SucceedsAndSaysWhatItDoes) {
  const PlainCase &c = GetParam();
  const uint64_t from = nt::debug::NextLineNumber();
  ULONG_PTR returned = 99;
  EXPECT_EQ(Ioctl(m_Port, c.Code, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
  for (const char *m : c.Messages)
    if (m != nullptr) EXPECT_TRUE(nt::debug::Contains(m, from)) << m;
}

const PlainCase kPlain[] = {
    {"SetDtr", IOCTL_SERIAL_SET_DTR,
     {"PN : [03], IOCTL_SERIAL_SET_DTR", "PN : [03], IoCtlSetDTR : Device does not support DTR Control. "}},
    {"ClrDtr", IOCTL_SERIAL_CLR_DTR,
     {"PN : [03], IOCTL_SERIAL_CLR_DTR", "PN : [03], IoCtlSetDTR : Device does not support DTR Control. "}},
    {"SetRts", IOCTL_SERIAL_SET_RTS,
     {"PN : [03], IOCTL_SERIAL_SET_RTS", "PN : [03], IoCtlSetRTS : Device does not support RTS Control. "}},
    {"ClrRts", IOCTL_SERIAL_CLR_RTS,
     {"PN : [03], IOCTL_SERIAL_CLR_RTS", "PN : [03], IoCtlSetRTS : Device does not support RTS Control. "}},
    {"SetQueueSize", IOCTL_SERIAL_SET_QUEUE_SIZE, {nullptr, nullptr}},
    {"GetProperties", IOCTL_SERIAL_GET_PROPERTIES, {nullptr, nullptr}},
};

INSTANTIATE_TEST_SUITE_P(Codes, Plain, ::testing::ValuesIn(kPlain),
                         [](const ::testing::TestParamInfo<PlainCase> &i) { return std::string(i.param.Name); });

TEST_F(Control, EveryOtherCodeIsNotSupported) {
  const ULONG refused[] = {IOCTL_SERIAL_SET_BREAK_ON,     IOCTL_SERIAL_SET_BREAK_OFF,     IOCTL_SERIAL_IMMEDIATE_CHAR,
                           IOCTL_SERIAL_RESET_DEVICE,     IOCTL_SERIAL_SET_XOFF,          IOCTL_SERIAL_SET_XON,
                           IOCTL_SERIAL_XOFF_COUNTER,     IOCTL_SERIAL_GET_DTRRTS,        IOCTL_SERIAL_LSRMST_INSERT,
                           IOCTL_SERIAL_GET_COMMCONFIG,   IOCTL_SERIAL_SET_COMMCONFIG,    IOCTL_SERIAL_GET_STATS,
                           IOCTL_SERIAL_CLEAR_STATS,      IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
                           IOCTL_SERIAL_SET_FIFO_CONTROL, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, 0)};
  std::vector<uint8_t> buffer(256, 0);
  for (ULONG code : refused)
    EXPECT_EQ(Ioctl(m_Port, code, buffer.data(), 128, buffer.data(), 128), STATUS_NOT_SUPPORTED) << std::hex << code;
}

TEST_F(Control, FreshPortReportsItsDefaults) {
  SERIAL_BAUD_RATE b{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &b, sizeof b), STATUS_SUCCESS);
  EXPECT_EQ(b.BaudRate, 9600u);
  SERIAL_LINE_CONTROL l{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &l, sizeof l), STATUS_SUCCESS);
  EXPECT_EQ(l.WordLength, 8);
  EXPECT_EQ(l.Parity, NO_PARITY);
  EXPECT_EQ(l.StopBits, STOP_BIT_1);
  SERIAL_HANDFLOW h{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &h, sizeof h), STATUS_SUCCESS);
  EXPECT_EQ(h.ControlHandShake, 0x80000001u);
  EXPECT_EQ(h.FlowReplace, 0x80000040u);
  EXPECT_EQ(h.XonLimit, 80);
  EXPECT_EQ(h.XoffLimit, 200);
  SERIAL_TIMEOUTS t{1, 1, 1, 1, 1};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t), STATUS_SUCCESS);
  EXPECT_EQ(t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                t.WriteTotalTimeoutMultiplier + t.WriteTotalTimeoutConstant,
            0u);
  EXPECT_EQ(GetWaitMask(m_Port), 0u);
  SERIAL_STATUS s = CommStatus(m_Port);
  EXPECT_EQ(s.Errors, 0u);
  EXPECT_EQ(s.AmountInInQueue, 0u);
  EXPECT_EQ(s.AmountInOutQueue, 0u);
}

TEST_F(Control, SpecialCharactersAreAcceptedButNeverStored) {
  SERIAL_CHARS mine{};
  mine.EofChar = 'e';
  mine.XonChar = 'a';
  mine.XoffChar = 'b';
  EXPECT_EQ(Ioctl(m_Port, IOCTL_SERIAL_SET_CHARS, &mine, sizeof mine), STATUS_SUCCESS);
  SERIAL_CHARS got{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &got, sizeof got), STATUS_SUCCESS);
  EXPECT_EQ(got.XonChar, 0x11);
  EXPECT_EQ(got.XoffChar, 0x13);
  EXPECT_EQ(got.EofChar, 0);
  EXPECT_EQ(got.ErrorChar, 0);
  EXPECT_EQ(got.BreakChar, 0);
  EXPECT_EQ(got.EventChar, 0);
}

TEST_F(Control, HandflowIsStoredAndDtrHandshakeRefusesSetDtr) {
  SERIAL_HANDFLOW h{};
  h.ControlHandShake = SERIAL_DTR_HANDSHAKE;
  h.XonLimit = 1;
  h.XoffLimit = 2;
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(m_Port, IOCTL_SERIAL_SET_DTR), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ioctl(m_Port, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  SERIAL_HANDFLOW got{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &got, sizeof got), STATUS_SUCCESS);
  EXPECT_EQ(got.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_HANDSHAKE));
  /* An invalid flow setting changes nothing. */
  SERIAL_HANDFLOW bad = h;
  bad.ControlHandShake = SERIAL_DTR_MASK;
  EXPECT_EQ(Ioctl(m_Port, IOCTL_SERIAL_SET_HANDFLOW, &bad, sizeof bad), STATUS_INVALID_PARAMETER);
}

TEST_F(Control, TimeoutsAreStoredAndPrinted) {
  const uint64_t from = nt::debug::NextLineNumber();
  SERIAL_TIMEOUTS t{7, 8, 9, 10, 11};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t), STATUS_SUCCESS);
  for (const char *m : {"ReadIntervalTimeout        == [0007]", "ReadTotalTimeoutMultiplier == [0008]",
                        "ReadTotalTimeoutConstant   == [0009]", "WriteTotalTimeoutMultiplier == [0010]",
                        "WriteTotalTimeoutConstant   == [0011]"})
    EXPECT_TRUE(nt::debug::Contains(m, from)) << m;
  SERIAL_TIMEOUTS got{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &got, sizeof got), STATUS_SUCCESS);
  EXPECT_EQ(got.ReadTotalTimeoutConstant, 9u);
  EXPECT_EQ(got.WriteTotalTimeoutConstant, 11u);
}

TEST_F(Control, ReceivePurgeEmptiesTheRing) {
  Hw().Probe(0, 3)->Inject("purge me");
  ASSERT_TRUE(WaitInQueue(m_Port, 8));
  EXPECT_EQ(Purge(m_Port, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(CommStatus(m_Port).AmountInInQueue, 0u);
  Hw().Probe(0, 3)->Inject("k");
  ASSERT_TRUE(WaitInQueue(m_Port, 1));
  std::string got;
  EXPECT_EQ(Read(m_Port, 10, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, "k");
}

/* ---- what reaches the UART ---- */

struct DivisorCase {
  ULONG Rate;
  ULONG Kv50x; /* 0x2B71/0x2B72 */
  ULONG Other;
};

const DivisorCase kDivisors[] = {{110, 12567, 8378}, {300, 4608, 3072},   {1200, 1152, 768},  {2400, 576, 384},
                                 {4800, 288, 192},   {9600, 144, 96},     {14400, 96, 64},    {19200, 72, 48},
                                 {38400, 36, 24},    {57600, 24, 16},     {115200, 12, 8},    {230400, 6, 4},
                                 {460800, 3, 2},     {921600, 1, 1}};

class Divisors : public Control, public ::testing::WithParamInterface<DivisorCase> {};

TEST_P(Divisors, EachRateProgramsItsClassDivisor) {
  const DivisorCase &c = GetParam();
  HANDLE other = MustOpen("COM11");
  const uint64_t from = nt::debug::NextLineNumber();
  ASSERT_EQ(SetBaud(m_Port, c.Rate), STATUS_SUCCESS);
  ASSERT_EQ(SetBaud(other, c.Rate), STATUS_SUCCESS);
  char trace[64];
  snprintf(trace, sizeof trace, "#IOCTL_SERIAL_SET_BAUD_RATE#0x%08x", static_cast<unsigned>(c.Rate));
  EXPECT_TRUE(nt::debug::Contains(trace, from)) << trace;
  auto divisor = [&](uint32_t dev, uint32_t unit) {
    sim::uart::UartRegisters r = Hw().Board(dev)->Port(unit).Registers();
    return static_cast<ULONG>(r.Dll) | (static_cast<ULONG>(r.Dlm) << 8);
  };
  EXPECT_EQ(divisor(0, 3), c.Kv50x);
  EXPECT_EQ(divisor(1, 2), c.Other);
  SERIAL_BAUD_RATE b{};
  ASSERT_EQ(Ioctl(other, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &b, sizeof b), STATUS_SUCCESS);
  EXPECT_EQ(b.BaudRate, c.Rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, Divisors, ::testing::ValuesIn(kDivisors),
                         [](const ::testing::TestParamInfo<DivisorCase> &i) { return std::to_string(i.param.Rate); });

TEST_F(Control, RateOutsideTheTableIsRefusedAndChangesNothing) {
  ASSERT_EQ(SetBaud(m_Port, 19200), STATUS_SUCCESS);
  const sim::uart::UartRegisters before = Hw().Board(0)->Port(3).Registers();
  for (ULONG rate : {0u, 9601u, 1000000u, 56000u}) EXPECT_EQ(SetBaud(m_Port, rate), STATUS_INVALID_PARAMETER) << rate;
  const sim::uart::UartRegisters after = Hw().Board(0)->Port(3).Registers();
  EXPECT_EQ(after.Dll, before.Dll);
  EXPECT_EQ(after.Dlm, before.Dlm);
  SERIAL_BAUD_RATE b{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &b, sizeof b), STATUS_SUCCESS);
  EXPECT_EQ(b.BaudRate, 19200u);
}

struct LineCase {
  const char *Name;
  UCHAR WordLength, Parity, StopBits;
  NTSTATUS Status;
  uint8_t Lcr; /* what the UART holds afterwards (bits 0-5) */
};

class Lines : public Control, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Lines, ReachTheUartOrAreRefused) {
  const LineCase &c = GetParam();
  ASSERT_EQ(SetLine(m_Port, 8, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(SetLine(m_Port, c.WordLength, c.Parity, c.StopBits), c.Status);
  EXPECT_EQ(Hw().Board(0)->Port(3).Registers().Lcr & 0x3F, c.Lcr);
  SERIAL_LINE_CONTROL got{};
  ASSERT_EQ(Ioctl(m_Port, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &got, sizeof got), STATUS_SUCCESS);
  if (NT_SUCCESS(c.Status)) {
    EXPECT_EQ(got.WordLength, c.WordLength);
    EXPECT_EQ(got.Parity, c.Parity);
    EXPECT_EQ(got.StopBits, c.StopBits);
  } else {
    EXPECT_EQ(got.WordLength, 8);
    EXPECT_EQ(got.Parity, NO_PARITY);
  }
}

const LineCase kLinesCases[] = {
    {"EightNoneOne", 8, NO_PARITY, STOP_BIT_1, STATUS_SUCCESS, 0x03},
    {"SevenEvenOne", 7, EVEN_PARITY, STOP_BIT_1, STATUS_SUCCESS, 0x1A},
    {"EightOddTwo", 8, ODD_PARITY, STOP_BITS_2, STATUS_SUCCESS, 0x0F},
    {"FiveNoneOneAndHalf", 5, NO_PARITY, STOP_BITS_1_5, STATUS_SUCCESS, 0x04},
    {"EightMarkOne", 8, MARK_PARITY, STOP_BIT_1, STATUS_SUCCESS, 0x2B},
    {"EightSpaceOne", 8, SPACE_PARITY, STOP_BIT_1, STATUS_SUCCESS, 0x3B},
    {"NineBits", 9, NO_PARITY, STOP_BIT_1, STATUS_INVALID_PARAMETER, 0x03},
    {"FiveTwoStop", 5, NO_PARITY, STOP_BITS_2, STATUS_INVALID_PARAMETER, 0x03},
    {"UnknownParity", 8, 7, STOP_BIT_1, STATUS_INVALID_PARAMETER, 0x03},
};

INSTANTIATE_TEST_SUITE_P(Settings, Lines, ::testing::ValuesIn(kLinesCases),
                         [](const ::testing::TestParamInfo<LineCase> &i) { return std::string(i.param.Name); });

}  // namespace
