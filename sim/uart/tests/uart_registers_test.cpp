/*
 * The register model against the 16550 rules, one scripted row per rule:
 * every access in order, with what a read must return.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "uart/board.h"
#include "uart/uart.h"
#include "uart_test_support.h"

using namespace sim::uart;
using sim::controller::UartTiming;
using sim::uart::test::ManualClock;
using sim::uart::test::RecordingLine;

namespace {

enum class Op {
  W,          /* write reg = value */
  R,          /* read reg, expect value */
  Rx,         /* a character arrives with the UART's own settings */
  RxParity,   /* ... with the parity bit inverted */
  RxFraming,  /* ... without its stop bit */
  RxBreak,    /* a break arrives */
  RxMany,     /* value characters 0, 1, 2, ... arrive */
  ReadMany,   /* value reads of RBR return 0, 1, 2, ... */
  Modem,      /* the line sets the modem inputs (MSR bits 4-7) to value */
  Hold,       /* the probe holds the transmitter (1) or lets it go (0) */
  Advance,    /* time moves by value/100 character times, then the clock ticks */
  Frames,     /* so many characters have reached the line */
  Irq,        /* the interrupt line is value */
  Tlr,        /* TLR (not reachable by a plain read) holds value */
  Bps,        /* the programmed rate is value bits per second */
};

struct Step {
  Op op;
  unsigned reg;
  int value;
  const char *why;
};

struct Rule {
  const char *name;
  UartTiming timing;
  std::vector<Step> steps;
  bool startAt8N1 = true; /* LCR 0x03 before the first step, as the bus leaves a port */
};

constexpr UartTiming I = UartTiming::Instant;
constexpr UartTiming B = UartTiming::BaudAccurate;

Step W(unsigned r, int v, const char *why) { return {Op::W, r, v, why}; }
Step R(unsigned r, int v, const char *why) { return {Op::R, r, v, why}; }
Step Do(Op op, int v, const char *why) { return {op, 0, v, why}; }

const std::vector<Rule> &Rules() {
  static const std::vector<Rule> rules = {
      {"reset values", I,
       {R(1, 0x00, "IER"), R(2, 0x01, "IIR: nothing pending"), R(3, 0x00, "LCR"), R(4, 0x00, "MCR"),
        R(5, 0x60, "LSR: THRE and TEMT"), R(6, 0x00, "MSR: no inputs"), R(7, 0x00, "SCR"),
        Do(Op::Irq, 0, "line low")},
       false},

      {"IIR priorities: line status, received data, THR empty, modem status", I,
       {W(3, 0x1B, "8 bits, even parity"), Do(Op::Modem, 0x10, "CTS rises: modem status pending"),
        W(1, 0x0F, "all four interrupts: THR empty raised at once"),
        Do(Op::RxParity, 'A', "a character with a parity error"), Do(Op::Irq, 1, "line high"),
        R(2, 0x06, "line status first"), R(5, 0x65, "LSR: DR, PE, THRE, TEMT; clears PE"),
        R(2, 0x04, "then received data"), R(0, 'A', "RBR"), R(2, 0x02, "then THR empty; identifying clears it"),
        R(2, 0x00, "then modem status"), R(6, 0x11, "MSR: CTS and its delta; clears the delta"),
        R(2, 0x01, "nothing left"), Do(Op::Irq, 0, "line low")}},

      {"IIR reports the FIFOs in bits 6-7", I,
       {W(2, 0x01, "FIFO on"), R(2, 0xC1, "0xC0 | none"), W(2, 0x00, "FIFO off"), R(2, 0x01, "no FIFO bits")}},

      {"THR-empty interrupt re-asserted when IER bit 1 is set again", I,
       {W(1, 0x02, "enable THR empty while THR is empty"), R(2, 0x02, "raised"), R(2, 0x01, "identified: cleared"),
        W(1, 0x00, "disable"), W(1, 0x02, "enable again, THR still empty"), R(2, 0x02, "raised again")}},

      {"THR write clears the THR-empty interrupt until THR empties", B,
       {W(1, 0x02, "enable THR empty"), W(0, 'a', "THR: moves straight into the shift register"),
        R(5, 0x20, "THRE, not TEMT"), W(0, 'b', "THR: waits behind the shift register"),
        R(2, 0x01, "the write cleared the interrupt"), R(5, 0x00, "neither THRE nor TEMT"),
        Do(Op::Advance, 100, "'a' sent, 'b' moves on"), Do(Op::Frames, 1, "'a' on the line"),
        R(2, 0x02, "THR empty again"), Do(Op::Advance, 100, "'b' sent"), R(5, 0x60, "THRE and TEMT"),
        Do(Op::Frames, 2, "both on the line")}},

      {"THRE only once the transmit FIFO is empty, TEMT once the shift register is", B,
       {W(2, 0x01, "FIFO on"), W(0, 'a', "THR"), W(0, 'b', "THR"), W(0, 'c', "THR"), R(5, 0x00, "two waiting"),
        Do(Op::Advance, 100, "'a' sent"), R(5, 0x00, "one waiting"), Do(Op::Advance, 100, "'b' sent"),
        R(5, 0x20, "FIFO empty, 'c' shifting"), Do(Op::Advance, 100, "'c' sent"), R(5, 0x60, "all gone"),
        Do(Op::Frames, 3, "three characters")}},

      {"held transmitter keeps THRE low and the character back", I,
       {Do(Op::Hold, 1, "probe holds the line"), W(0, 'h', "THR"), R(5, 0x00, "THRE low"),
        Do(Op::Frames, 0, "nothing sent"), Do(Op::Hold, 0, "released"), Do(Op::Frames, 1, "sent now"),
        R(5, 0x60, "THRE and TEMT")}},

      {"LSR DR set by a character and cleared when RBR is empty", I,
       {Do(Op::Rx, 'x', "a character"), R(5, 0x61, "DR"), R(0, 'x', "RBR"), R(5, 0x60, "DR clear")}},

      {"without FIFO a new character overruns RBR", I,
       {Do(Op::Rx, 'a', "first"), Do(Op::Rx, 'b', "second, unread first"), R(5, 0x63, "DR and OE"),
        R(5, 0x61, "OE cleared by the read"), R(0, 'b', "RBR holds the newer character")}},

      {"overrun with the FIFO full keeps the FIFO", I,
       {W(2, 0x01, "FIFO on (64)"), Do(Op::RxMany, 65, "one more than fits"), R(5, 0x63, "DR and OE"),
        Do(Op::ReadMany, 64, "the first 64, in order"), R(5, 0x60, "empty; the 65th was lost")}},

      {"break: BI with a zero character", I,
       {Do(Op::RxBreak, 0, "break"), R(5, 0x71, "DR and BI"), R(0, 0x00, "RBR is 0"), R(5, 0x60, "clear")}},

      {"framing error until LSR is read", I,
       {Do(Op::RxFraming, 'q', "no stop bit"), R(5, 0x69, "DR and FE"), R(5, 0x61, "FE cleared by the read"),
        R(0, 'q', "the character is kept")}},

      {"FIFO errors show when their character reaches the top; bit 7 while one is in the FIFO", I,
       {W(3, 0x1B, "even parity"), W(2, 0x01, "FIFO on"), Do(Op::Rx, 'g', "good"),
        Do(Op::RxParity, 'h', "bad parity"), R(5, 0xE1, "DR and FIFO error, PE not yet"), R(0, 'g', "RBR"),
        R(5, 0xE5, "PE for 'h' at the top"), R(5, 0xE1, "PE cleared, 'h' still in the FIFO"), R(0, 'h', "RBR"),
        R(5, 0x60, "nothing left")}},

      {"receive FIFO reset", I,
       {W(2, 0x01, "FIFO on"), Do(Op::RxMany, 3, "three characters"), W(2, 0x03, "reset receive FIFO"),
        R(5, 0x60, "empty"), R(2, 0xC1, "nothing pending, FIFO still on")}},

      {"transmit FIFO reset keeps the character in the shift register", B,
       {W(2, 0x01, "FIFO on"), W(0, 'a', "THR"), W(0, 'b', "THR"), W(0, 'c', "THR"), W(2, 0x05, "reset transmit FIFO"),
        R(5, 0x20, "THRE, 'a' still shifting"), Do(Op::Advance, 100, "'a' sent"), R(5, 0x60, "idle"),
        Do(Op::Frames, 1, "only 'a' reached the line")}},

      {"turning the FIFO off empties it", I,
       {W(2, 0x01, "FIFO on"), Do(Op::RxMany, 2, "two characters"), W(2, 0x00, "FIFO off"), R(5, 0x60, "empty")}},

      {"without FIFO one character is received data", I,
       {W(1, 0x01, "received-data interrupt"), Do(Op::Rx, 'k', "a character"), R(2, 0x04, "received data"),
        R(0, 'k', "RBR"), R(2, 0x01, "cleared")}},

      {"received-data interrupt at the trigger level", B,
       {W(2, 0x41, "FIFO on, trigger 4"), W(1, 0x01, "received-data interrupt"), Do(Op::RxMany, 3, "three"),
        R(2, 0xC1, "below the trigger"), Do(Op::Rx, 3, "the fourth"), R(2, 0xC4, "received data"),
        R(0, 0, "RBR"), R(2, 0xC1, "below the trigger again")}},

      {"character time-out after four character times", B,
       {W(2, 0xC1, "FIFO on, trigger 14"), W(1, 0x01, "received-data interrupt"), Do(Op::Rx, 'y', "one"),
        Do(Op::Advance, 300, "3 character times"), Do(Op::Rx, 'z', "another: the timer restarts"),
        Do(Op::Advance, 399, "3.99 character times"), R(2, 0xC1, "not yet"),
        Do(Op::Advance, 2, "past 4 character times"), R(2, 0xCC, "character time-out"), Do(Op::Irq, 1, "line high"),
        R(0, 'y', "reading RBR clears it"), R(2, 0xC1, "cleared, timer restarted"),
        Do(Op::Advance, 401, "4 more character times"), R(2, 0xCC, "times out again for 'z'"), R(0, 'z', "RBR"),
        Do(Op::Advance, 1000, "empty FIFO"), R(2, 0xC1, "no time-out without data"), Do(Op::Irq, 0, "line low")}},

      {"EFR only while LCR is 0xBF", I,
       {W(3, 0x03, "8N1"), W(2, 0x10, "FCR (bit 0 clear: ignored)"), R(2, 0x01, "IIR, not EFR"),
        W(3, 0x80, "DLAB alone"), R(2, 0x01, "still IIR"), W(3, 0xBF, "enhanced"), W(2, 0x10, "EFR"),
        R(2, 0x10, "EFR"), W(3, 0x03, "8N1"), R(2, 0x01, "IIR again"), W(3, 0xBF, "enhanced"),
        R(2, 0x10, "EFR kept")}},

      {"XON1/XON2/XOFF1/XOFF2 at 4-7 under 0xBF; MCR writes land in XON1", I,
       {W(4, 0x02, "MCR"), W(7, 0x77, "SCR"), W(3, 0xBF, "enhanced"), W(4, 0x42, "XON1, not MCR"),
        W(5, 0x11, "XON2"), W(6, 0x13, "XOFF1"), W(7, 0x19, "XOFF2"), R(4, 0x42, "XON1"), R(5, 0x11, "XON2"),
        R(6, 0x13, "XOFF1"), R(7, 0x19, "XOFF2"), W(3, 0x03, "8N1"), R(4, 0x02, "MCR untouched"),
        R(5, 0x60, "LSR untouched"), R(7, 0x77, "SCR untouched")}},

      {"TLR at 7 only with MCR bit 6 and EFR bit 4", I,
       {W(7, 0x5A, "SCR"), W(4, 0x40, "MCR bit 6 alone"), R(7, 0x5A, "still SCR"), W(3, 0xBF, "enhanced"),
        W(2, 0x10, "EFR bit 4"), W(3, 0x00, "LCR 0"), R(7, 0x00, "TLR"), W(7, 0x0F, "TLR"), R(7, 0x0F, "TLR"),
        W(4, 0x00, "MCR bit 6 off"), R(7, 0x5A, "SCR kept"), W(4, 0x40, "on again"), R(7, 0x0F, "TLR kept"),
        W(3, 0xBF, "enhanced"), W(2, 0x00, "EFR bit 4 off"), W(3, 0x00, "LCR 0"), R(7, 0x5A, "SCR")}},

      {"IER bits 4-7 only with EFR bit 4", I,
       {W(1, 0xF3, "IER"), R(1, 0x03, "upper bits dropped"), W(3, 0xBF, "enhanced"), W(2, 0x10, "EFR bit 4"),
        W(3, 0x00, "LCR 0"), W(1, 0xF3, "IER"), R(1, 0xF3, "kept")}},

      {"trigger-level sequence in the port's order: old MCR lands in XON1", I,
       {W(3, 0x03, "8N1, as the bus leaves it"), W(4, 0x02, "transmitter off (KV502)"),
        R(3, 0x03, "sLCR"), W(3, 0xBF, "enhanced"), R(2, 0x00, "sEFR"), W(2, 0x10, "EFR | 0x10"),
        W(3, 0x00, "LCR 0"), R(4, 0x02, "sMCR"), W(4, 0x42, "MCR | 0x40"), R(7, 0x00, "TLR"),
        W(7, 0x0F, "TLR | 15"), W(3, 0xBF, "enhanced"), W(2, 0x00, "EFR = sEFR"), W(4, 0x02, "sMCR: XON1 here"),
        W(3, 0x03, "LCR = sLCR"), Do(Op::Tlr, 0x0F, "trigger kept"), R(4, 0x42, "MCR keeps bit 6"),
        R(7, 0x00, "EFR bit 4 is off: SCR"), W(3, 0xBF, "enhanced"), R(4, 0x02, "XON1 got the old MCR")}},

      {"divisor latch behind DLAB", I,
       {W(3, 0x83, "DLAB, 8N1"), W(0, 12, "DLL"), W(1, 0, "DLM"), W(3, 0x03, "DLAB off"),
        Do(Op::Frames, 0, "DLL write sent nothing"), R(1, 0x00, "IER, not DLM"), W(3, 0x83, "DLAB"),
        R(0, 12, "DLL"), R(1, 0, "DLM"), W(3, 0x03, "8N1"), Do(Op::Bps, 115200, "22.1184 MHz / 16 / 12")}},

      {"internal loopback: outputs feed MSR, characters come back", I,
       {W(4, 0x1F, "loop with DTR, RTS, OUT1, OUT2"), R(6, 0xFB, "CTS DSR RI DCD and their deltas"),
        R(6, 0xF0, "deltas cleared"), W(0, 'L', "THR"), Do(Op::Frames, 0, "not on the line"), R(5, 0x61, "DR"),
        R(0, 'L', "came back"), W(4, 0x10, "outputs off"), R(6, 0x0F, "deltas, RI trailing edge"),
        R(6, 0x00, "quiet")}},

      {"modem-status interrupt until MSR is read", I,
       {W(1, 0x08, "modem status interrupt"), Do(Op::Modem, 0x80, "DCD rises"), R(2, 0x00, "modem status"),
        R(6, 0x88, "DCD and DDCD"), R(2, 0x01, "cleared"), Do(Op::Modem, 0x80, "no change"),
        R(2, 0x01, "nothing")}},
  };
  return rules;
}

class RegisterRules : public ::testing::TestWithParam<size_t> {};

TEST_P(RegisterRules, ScriptedAccesses) {
  const Rule &rule = Rules()[GetParam()];
  SCOPED_TRACE(rule.name);
  ManualClock clock;
  UartOptions options;
  options.ProductId = 0x2B72;
  options.Timing = rule.timing;
  options.TimeSource = &clock;
  Uart16550 uart(options);
  RecordingLine line;
  uart.AttachLine(&line);
  if (rule.startAt8N1) uart.WriteRegister(3, 0x03);

  for (size_t i = 0; i < rule.steps.size(); ++i) {
    const Step &s = rule.steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + ": " + s.why);
    switch (s.op) {
      case Op::W: uart.WriteRegister(s.reg, static_cast<uint8_t>(s.value)); break;
      case Op::R: EXPECT_EQ(int(uart.ReadRegister(s.reg)), s.value) << "register " << s.reg; break;
      case Op::Rx: uart.Receive(uart.MakeFrame(static_cast<uint8_t>(s.value))); break;
      case Op::RxParity: {
        Frame f = uart.MakeFrame(static_cast<uint8_t>(s.value));
        ASSERT_TRUE(f.HasParity);
        f.ParityBit = !f.ParityBit;
        uart.Receive(f);
        break;
      }
      case Op::RxFraming: {
        Frame f = uart.MakeFrame(static_cast<uint8_t>(s.value));
        f.FramingError = true;
        uart.Receive(f);
        break;
      }
      case Op::RxBreak: {
        Frame f = uart.MakeFrame(0);
        f.Break = true;
        uart.Receive(f);
        break;
      }
      case Op::RxMany:
        for (int c = 0; c < s.value; ++c) uart.Receive(uart.MakeFrame(static_cast<uint8_t>(c)));
        break;
      case Op::ReadMany:
        for (int c = 0; c < s.value; ++c) ASSERT_EQ(int(uart.ReadRegister(0)), c) << "character " << c;
        break;
      case Op::Modem: uart.SetModemInputs(static_cast<uint8_t>(s.value)); break;
      case Op::Hold: uart.HoldTransmitter(s.value != 0); break;
      case Op::Advance:
        clock.Advance(static_cast<int64_t>(std::llround(uart.CharacterTimeNs() * s.value / 100.0)));
        uart.Tick();
        break;
      case Op::Frames: EXPECT_EQ(line.Frames().size(), size_t(s.value)); break;
      case Op::Irq: EXPECT_EQ(uart.InterruptAsserted(), s.value != 0); break;
      case Op::Tlr: EXPECT_EQ(int(uart.Registers().Tlr), s.value); break;
      case Op::Bps: EXPECT_NEAR(uart.BitsPerSecond(), s.value, 0.01); break;
    }
  }
  uart.AttachLine(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Uart16550, RegisterRules, ::testing::Range<size_t>(0, Rules().size()),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                           std::string n;
                           for (const char *p = Rules()[info.param].name; *p; ++p)
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return std::to_string(info.param) + "_" + n.substr(0, 60);
                         });

}  // namespace

/* ------------------------------------------------------------------ board */

TEST(UartBoard, BlockLayoutByProductClass) {
  const struct {
    uint16_t product;
    unsigned stride;
    ULONG_PTR port3Lsr;  /* byte offset of port 3's LSR */
  } rows[] = {
      {0x2B72, 8, 96 + 5 * 4},
      {0x4E58, 8, 96 + 5 * 4},
      {0x4D58, 8, 96 + 5 * 4},
      {0x4E5C, 8, 96 + 5 * 4},
      {0x4E5D, 16, 192 + 5 * 4},
      {0x1234, 16, 192 + 5 * 4},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.product);
    BoardOptions o;
    o.ProductId = row.product;
    o.PortCount = 4;
    Board board(o);
    board.Port(3).WriteRegister(reg::LCR, 0x03);
    EXPECT_EQ(board.RegistersPerPort(), row.stride);
    EXPECT_EQ(board.RegisterWindowSize(), row.stride * 4u * 4u);
    /* A character for port 3 shows in port 3's LSR only. */
    board.Port(3).Receive(board.Port(3).MakeFrame('3'));
    EXPECT_EQ(board.RegisterWindow().Read(row.port3Lsr, 4), 0x61u);
    EXPECT_EQ(board.RegisterWindow().Read(row.port3Lsr - row.stride * 4, 4), 0x60u) << "port 2";
    EXPECT_EQ(board.RegisterWindow().Read(row.port3Lsr - 5 * 4, 1), ULONG('3')) << "port 3 RBR, byte access";
    EXPECT_EQ(board.StrayAccesses(), 0u);
  }
}

TEST(UartBoard, TransmitterEnableRegistersAndPmc) {
  BoardOptions o16;
  o16.ProductId = 0x1234;
  Board b16(o16);
  /* Port 3 of a 16-register product: RS-485 enables at +232 and +236, RS-422 at +228. */
  b16.RegisterWindow().Write(232, 4, 1);
  b16.RegisterWindow().Write(236, 4, 1);
  b16.RegisterWindow().Write(228, 4, 1);
  EXPECT_EQ(b16.Port(3).Registers().TxEnable485A, 1u);
  EXPECT_EQ(b16.Port(3).Registers().TxEnable485B, 1u);
  EXPECT_EQ(b16.Port(3).Registers().TxEnable422, 1u);
  EXPECT_EQ(b16.RegisterWindow().Read(232, 4), 1u);
  EXPECT_EQ(b16.Port(2).Registers().TxEnable485A, 0u);
  /* Register 8 and 12-15 do not exist. */
  b16.RegisterWindow().Read(3 * 64 + 8 * 4, 4);
  b16.RegisterWindow().Write(3 * 64 + 12 * 4, 4, 1);
  EXPECT_EQ(b16.StrayAccesses(), 2u);

  BoardOptions o8;
  o8.ProductId = 0x4D58;
  Board b8(o8);
  /* Port 2 switches at PmcBase + 0x48. */
  b8.PmcWindow().Write(0x48, 4, 1);
  EXPECT_EQ(b8.Port(2).ReadPmc(), 1u);
  EXPECT_EQ(b8.PmcWindow().Read(0x48, 4), 1u);
  EXPECT_EQ(b8.Port(1).ReadPmc(), 0u);
  b8.PmcWindow().Write(0x3C, 4, 1);   /* below the port registers */
  b8.PmcWindow().Read(0x40 + 4 * 4, 4); /* past the last port */
  b8.RegisterWindow().Read(0x15, 1);  /* unaligned */
  b8.RegisterWindow().Read(4 * 32, 4); /* past the last block */
  EXPECT_EQ(b8.StrayAccesses(), 4u);
}

TEST(UartBoard, LineDriverFollowsClassAndMode) {
  const struct {
    uint16_t product;
    int mode;
    const char *setup; /* which enable is switched on: "mcr1" (cleared), "pmc", "r9", "r10", "r11", "r10r11" */
    bool enabled;
  } rows[] = {
      {0x2B72, 1, "", true},       {0x2B72, 0, "", true /* MCR bit 1 clear at reset */},
      {0x2B72, 0, "mcr1", false},  {0x2B72, 2, "mcr1", false},
      {0x4E58, 0, "", false},      {0x4E58, 0, "pmc", true},     {0x4D58, 2, "pmc", true},
      {0x4E58, 1, "", true},       {0x1234, 0, "r10", false},    {0x1234, 0, "r11", false},
      {0x1234, 0, "r10r11", true}, {0x1234, 0, "r9", false},     {0x1234, 2, "r9", true},
      {0x1234, 2, "r10r11", false}, {0x1234, 1, "", true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.product) + " mode " + std::to_string(row.mode) + " " + row.setup);
    UartOptions o;
    o.ProductId = row.product;
    Uart16550 u(o);
    u.SetPortMode(row.mode);
    const std::string s = row.setup;
    if (s == "mcr1") u.WriteRegister(reg::MCR, 0x02);
    if (s == "pmc") u.WritePmc(1);
    if (s == "r9") u.WriteRegister(9, 1);
    if (s == "r10" || s == "r10r11") u.WriteRegister(10, 1);
    if (s == "r11" || s == "r10r11") u.WriteRegister(11, 1);
    EXPECT_EQ(u.TransmitterEnabled(), row.enabled);
    RecordingLine line;
    u.AttachLine(&line);
    u.WriteRegister(reg::THR, 'e');
    ASSERT_EQ(line.Frames().size(), 1u);
    EXPECT_EQ(line.Frames()[0].TransmitterEnabled, row.enabled) << "the frame carries the driver state";
    u.AttachLine(nullptr);
  }
}

TEST(UartThreads, ReceiverAndReaderRaceWithoutLoss) {
  /* A line delivering while a driver thread drains RBR and the bus reads
   * IIR: every character arrives once, in order. */
  UartOptions o;
  o.FifoDepth = 128;
  Uart16550 u(o);
  u.WriteRegister(reg::LCR, 0x03);
  u.WriteRegister(reg::FCR, 0x01);
  u.WriteRegister(reg::IER, 0x01);
  constexpr int kCount = 20000;
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    for (int i = 0; i < kCount && !stop.load(); ++i) {
      /* Wait for room rather than overrun: the producer is the far end's flow control. */
      while (u.Registers().RxLevel >= 120 && !stop.load()) std::this_thread::yield();
      u.Receive(u.MakeFrame(static_cast<uint8_t>(i)));
    }
  });
  std::thread bus([&] {
    while (!stop.load()) u.ReadRegister(reg::IIR);
  });
  int got = 0;
  bool overrun = false, misordered = false;
  while (got < kCount && !overrun && !misordered) {
    const uint8_t lsr = u.ReadRegister(reg::LSR);
    overrun = (lsr & 0x02) != 0;
    if (lsr & 0x01) {
      misordered = int(u.ReadRegister(reg::RBR)) != (got & 0xFF);
      ++got;
    }
  }
  EXPECT_FALSE(overrun);
  EXPECT_FALSE(misordered) << "at character " << got - 1;
  stop = true;
  producer.join();
  stop = true;
  bus.join();
}
