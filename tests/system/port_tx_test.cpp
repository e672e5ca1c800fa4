/*
 * The write path on every product class: where the port's registers lie,
 * the transmitter switching of RS-485 and RS-422 around a transmission (as
 * the probe saw each character), the port mode taken from the controller
 * state at each open, the transmit purge and a transmitter that never
 * drains.
 */
#include "port_system.h"

#include <future>
#include <mutex>

using namespace systest;
using sim::controller::UartTiming;
using sim::uart::RegisterAccess;

namespace {

/* Four controllers of four ports each, all on probes:
 *   DevID 0: 0x2B72 (8 registers per port, MCR bit 1)   COM5..COM8
 *   DevID 1: 0x4E58 (8 registers per port, PMC)         COM9..COM12
 *   DevID 2: 0x4D58 (8 registers per port, PMC)         COM13..COM16
 *   DevID 3: 0x1234 (16 registers per port, 9 / 10-11)  COM17..COM20, IniPort 4 */
struct Product {
  uint16_t Id;
  uint32_t DevID;
  uint32_t FirstCom;
};
const Product kProducts[] = {{0x2B72, 0, 5}, {0x4E58, 1, 9}, {0x4D58, 2, 13}, {0x1234, 3, 17}};

class Boards : public PortSystem {
 protected:
  sim::controller::Config Config() override {
    sim::controller::Config c;
    uint32_t global = 0;
    for (const Product &p : kProducts) {
      c.Controllers.push_back(ProbeController(p.Id, p.DevID, 4, p.FirstCom, p.Id == 0x1234 ? 4 : 0, global));
      c.Controllers.back().Timing = UartTiming::BaudAccurate;
      global += 4;
    }
    return c;
  }
  void BeforeBoot() override {
    for (const Product &p : kProducts) {
      const uint32_t dev = p.DevID;
      Hw().Board(dev)->SetAccessObserver([this, dev](const RegisterAccess &a) {
        std::lock_guard<std::mutex> l(m_Lock);
        m_Accesses.push_back({dev, a});
      });
    }
  }
  struct Seen {
    uint32_t DevID;
    RegisterAccess A;
  };
  std::vector<Seen> Accesses() {
    std::lock_guard<std::mutex> l(m_Lock);
    return m_Accesses;
  }
  void ClearAccesses() {
    std::lock_guard<std::mutex> l(m_Lock);
    m_Accesses.clear();
  }
  /* Register writes (or PMC writes, Reg kPmc) of one port since the last
   * clear, in order. */
  std::vector<std::pair<unsigned, uint32_t>> Writes(uint32_t DevID, unsigned Port) {
    std::vector<std::pair<unsigned, uint32_t>> w;
    for (const Seen &s : Accesses())
      if (s.DevID == DevID && s.A.Port == Port && s.A.Write) w.push_back({s.A.Register, s.A.Value});
    return w;
  }
  std::string Com(const Product &p, unsigned Unit) { return "COM" + std::to_string(p.FirstCom + Unit); }

  std::mutex m_Lock;
  std::vector<Seen> m_Accesses;
};

/* Every access the port makes lands in its own block (or its own PMC
 * register); a wrong stride or base would decode as another port. */
TEST_F(Boards, EachPortTouchesOnlyItsOwnRegisters) {
  for (const Product &p : kProducts) {
    for (unsigned unit : {0u, 3u}) {
      ClearAccesses();
      HANDLE h = MustOpen(Com(p, unit));
      ASSERT_EQ(SetBaud(h, 115200), STATUS_SUCCESS); /* the bus programs the divisor latch */
      ASSERT_EQ(SetLine(h, 8, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
      ASSERT_EQ(Purge(h, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
      const size_t opened = Accesses().size();
      ASSERT_EQ(Write(h, "ping"), STATUS_SUCCESS);
      const std::vector<Seen> all = Accesses();
      Close(h);
      ASSERT_GT(opened, 0u);
      size_t thr = 0;
      for (size_t i = 0; i < all.size(); ++i) {
        const Seen &s = all[i];
        EXPECT_EQ(s.DevID, p.DevID) << std::hex << p.Id;
        EXPECT_EQ(s.A.Port, unit) << std::hex << p.Id << " reg " << s.A.Register;
        if (i >= opened && s.A.Write && s.A.Register == 0) ++thr;
      }
      EXPECT_EQ(thr, 4u) << std::hex << p.Id << " unit " << unit;
      EXPECT_EQ(Hw().Board(p.DevID)->StrayAccesses(), 0u);
    }
  }
}

/* The open's trigger-level sequence leaves the code in TLR and MCR, LCR,
 * EFR and XON1 as they were. */
TEST_F(Boards, OpenSetsTheTransmitTriggerLevelAndRestoresTheRest) {
  for (const Product &p : kProducts) {
    sim::uart::Uart16550 &u = Hw().Board(p.DevID)->Port(1);
    const sim::uart::UartRegisters before = u.Registers();
    HANDLE h = MustOpen(Com(p, 1));
    const sim::uart::UartRegisters after = u.Registers();
    EXPECT_EQ(after.Tlr & 0x0F, 15) << std::hex << p.Id;
    EXPECT_EQ(after.Mcr, before.Mcr) << std::hex << p.Id;
    EXPECT_EQ(after.Lcr, before.Lcr);
    EXPECT_EQ(after.Efr, before.Efr);
    EXPECT_EQ(after.Xon1, before.Xon1);
    EXPECT_EQ(after.Ier, 0x01);
    Close(h);
  }
}

struct SwitchCase {
  const char *Name;
  uint16_t Product;
  int Mode;
};

class Switching : public Boards, public ::testing::WithParamInterface<SwitchCase> {
 protected:
  const Product &Of(uint16_t Id) {
    for (const Product &p : kProducts)
      if (p.Id == Id) return p;
    return kProducts[0];
  }
  /* Whether this write switches a line driver, and which register does. */
  static bool IsSwitch(uint16_t Product, const std::pair<unsigned, uint32_t> &W) {
    if (Product == 0x2B72) return W.first == 4;
    if (Product == 0x1234) return W.first == 9 || W.first == 10 || W.first == 11;
    return W.first == RegisterAccess::kPmc;
  }
};

TEST_P(Switching, TransmitterIsOnForEveryCharacterAndOffOnlyOnceEmpty) {
  const SwitchCase &c = GetParam();
  const Product &p = Of(c.Product);
  const unsigned unit = 2;
  ASSERT_TRUE(Hw().State().SetMode(p.DevID, unit, c.Mode));
  sim::line::ProbeLine *probe = Hw().Probe(p.DevID, unit);
  sim::uart::Uart16550 &u = Hw().Board(p.DevID)->Port(unit);
  HANDLE h = MustOpen(Com(p, unit));
  ASSERT_EQ(SetBaud(h, 115200), STATUS_SUCCESS);
  ClearAccesses();
  probe->ClearSent();

  const std::string data = Pattern(150, c.Mode + 3);
  ULONG_PTR written = 0;
  ASSERT_EQ(Write(h, data, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, data.size());
  const auto writes = Writes(p.DevID, unit);
  std::vector<std::pair<unsigned, uint32_t>> switches;
  for (const auto &w : writes)
    if (IsSwitch(c.Product, w)) switches.push_back(w);

  if (c.Mode == 1) {
    /* RS-232 switches nothing and does not wait for the UART to empty. */
    EXPECT_TRUE(switches.empty());
    ASSERT_TRUE(probe->WaitForSent(data.size()));
    EXPECT_EQ(probe->SentBytes(), data);
    Close(h);
    return;
  }
  /* The write returned after the switch-off, which came once the UART was
   * empty: every character is out, each with the driver on. */
  EXPECT_FALSE(u.TransmitterEnabled());
  const auto sent = probe->Sent();
  ASSERT_EQ(sent.size(), data.size());
  for (size_t i = 0; i < sent.size(); ++i) ASSERT_TRUE(sent[i].F.TransmitterEnabled) << i;
  EXPECT_EQ(probe->SentBytes(), data);

  /* On before the first character, off after the last. */
  size_t firstThr = writes.size(), lastThr = 0;
  for (size_t i = 0; i < writes.size(); ++i)
    if (writes[i].first == 0) {
      firstThr = std::min(firstThr, i);
      lastThr = i;
    }
  ASSERT_FALSE(switches.empty());
  size_t on = writes.size(), off = 0;
  for (size_t i = 0; i < writes.size(); ++i)
    if (IsSwitch(c.Product, writes[i])) {
      on = std::min(on, i);
      off = i;
    }
  EXPECT_LT(on, firstThr);
  EXPECT_GT(off, lastThr);
  if (c.Product == 0x2B72) {
    EXPECT_EQ(writes[on].second & 0x02, 0u);  /* enabled when clear */
    EXPECT_EQ(writes[off].second & 0x02, 2u);
  } else if (c.Product == 0x1234) {
    std::vector<std::pair<unsigned, uint32_t>> expected;
    if (c.Mode == 0)
      expected = {{10, 1}, {11, 1}, {10, 0}, {11, 0}};
    else
      expected = {{9, 1}, {9, 0}};
    EXPECT_EQ(switches, expected);
  } else {
    std::vector<std::pair<unsigned, uint32_t>> expected = {{RegisterAccess::kPmc, 1}, {RegisterAccess::kPmc, 0}};
    EXPECT_EQ(switches, expected);
  }
  Close(h);
}

INSTANTIATE_TEST_SUITE_P(
    ProductAndMode, Switching,
    ::testing::Values(SwitchCase{"Kv502Rs485", 0x2B72, 0}, SwitchCase{"Kv502Rs422", 0x2B72, 2},
                      SwitchCase{"Kv502Rs232", 0x2B72, 1}, SwitchCase{"Pmc4E58Rs485", 0x4E58, 0},
                      SwitchCase{"Pmc4E58Rs422", 0x4E58, 2}, SwitchCase{"Pmc4D58Rs485", 0x4D58, 0},
                      SwitchCase{"Pmc4E58Rs232", 0x4E58, 1}, SwitchCase{"WideRs485", 0x1234, 0},
                      SwitchCase{"WideRs422", 0x1234, 2}, SwitchCase{"WideRs232", 0x1234, 1}),
    [](const ::testing::TestParamInfo<SwitchCase> &i) { return std::string(i.param.Name); });

TEST_F(Boards, ModeIsReadAgainAtEveryOpen) {
  const Product &p = kProducts[0];
  sim::uart::Uart16550 &u = Hw().Board(p.DevID)->Port(0);
  ASSERT_TRUE(Hw().State().SetMode(p.DevID, 0, 0));
  HANDLE h = MustOpen(Com(p, 0));
  ClearAccesses();
  ASSERT_EQ(Write(h, "485"), STATUS_SUCCESS);
  size_t mcr = 0;
  for (const auto &w : Writes(p.DevID, 0)) mcr += w.first == 4 ? 1 : 0;
  EXPECT_EQ(mcr, 2u);
  Close(h);

  /* Changed while closed: the next open works in the new mode. */
  ASSERT_TRUE(Hw().State().SetMode(p.DevID, 0, 1));
  h = MustOpen(Com(p, 0));
  ClearAccesses();
  ASSERT_EQ(Write(h, "232"), STATUS_SUCCESS);
  for (const auto &w : Writes(p.DevID, 0)) EXPECT_NE(w.first, 4u);
  EXPECT_EQ(u.PortMode(), 1);
  Close(h);
}

TEST_F(Boards, TransmitPurgeDuringAWriteCancelsItAndResetsTheFifo) {
  const Product &p = kProducts[3];
  sim::line::ProbeLine *probe = Hw().Probe(p.DevID, 1);
  HANDLE h = MustOpen(Com(p, 1));
  ASSERT_EQ(SetBaud(h, 9600), STATUS_SUCCESS); /* about a millisecond a character */
  const std::string data = Pattern(3000, 5);
  CompletionRecorder completions;
  auto writer = std::async(std::launch::async, [&] {
    ULONG_PTR written = 0;
    NTSTATUS status = Write(h, data, &written);
    return std::make_pair(status, written);
  });
  ASSERT_TRUE(probe->WaitForSent(5));
  ClearAccesses();
  EXPECT_EQ(Purge(h, SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
  auto [status, written] = writer.get();
  EXPECT_EQ(status, STATUS_CANCELLED);
  CompletionRecorder::Entry e{};
  ASSERT_TRUE(completions.Last(IRP_MJ_WRITE, &e));
  EXPECT_EQ(e.Information, data.size()); /* stored into the ring, discarded or not */
  EXPECT_EQ(e.Boost, IO_SERIAL_INCREMENT);
  bool reset = false;
  for (const auto &w : Writes(p.DevID, 1)) reset |= w.first == 2 && w.second == 0x15;
  EXPECT_TRUE(reset);
  ASSERT_TRUE(WaitLineQuiet(p.DevID, 1, 1));
  const std::string sent = probe->SentBytes();
  EXPECT_LT(sent.size(), data.size());
  EXPECT_EQ(sent, data.substr(0, sent.size()));
}

TEST_F(Boards, PurgeOfBothSidesWritesTheFifoResetsInOrder) {
  const Product &p = kProducts[1];
  HANDLE h = MustOpen(Com(p, 0));
  ClearAccesses();
  EXPECT_EQ(Purge(h, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
  std::vector<uint32_t> fcr;
  for (const auto &w : Writes(p.DevID, 0))
    if (w.first == 2) fcr.push_back(w.second);
  EXPECT_EQ(fcr, (std::vector<uint32_t>{0x13, 0x15}));
}

TEST_F(Boards, StuckTransmitterFailsTheWriteAndReleasesTheLine) {
  const Product &p = kProducts[3];
  ASSERT_TRUE(Hw().State().SetMode(p.DevID, 0, 0));
  sim::line::ProbeLine *probe = Hw().Probe(p.DevID, 0);
  sim::uart::Uart16550 &u = Hw().Board(p.DevID)->Port(0);
  HANDLE h = MustOpen(Com(p, 0));
  ASSERT_EQ(SetBaud(h, 115200), STATUS_SUCCESS);
  probe->HoldThre(true);
  CompletionRecorder completions;
  EXPECT_EQ(Write(h, Pattern(200, 9)), STATUS_IO_TIMEOUT);
  CompletionRecorder::Entry e{};
  ASSERT_TRUE(completions.Last(IRP_MJ_WRITE, &e));
  EXPECT_EQ(e.Information, 200u);
  EXPECT_FALSE(u.TransmitterEnabled());
  const sim::uart::UartRegisters r = u.Registers();
  EXPECT_EQ(r.TxEnable485A, 0u);
  EXPECT_EQ(r.TxEnable485B, 0u);
  probe->HoldThre(false);
  /* The port recovers once the transmitter does. */
  probe->ClearSent();
  ASSERT_EQ(Write(h, "after"), STATUS_SUCCESS);
  EXPECT_EQ(probe->SentBytes(), "after");
}

TEST_F(Boards, WriteParametersAreChecked) {
  HANDLE h = MustOpen(Com(kProducts[0], 0));
  CompletionRecorder completions;
  EXPECT_EQ(Write(h, ""), STATUS_INVALID_PARAMETER);
  CompletionRecorder::Entry e{};
  ASSERT_TRUE(completions.Last(IRP_MJ_WRITE, &e));
  EXPECT_EQ(e.Information, 0u);
  EXPECT_EQ(e.Boost, IO_SERIAL_INCREMENT);
}

}  // namespace
