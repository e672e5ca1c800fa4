#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "line/lines.h"
#include "uart/line_clock.h"

using namespace sim::line;
using namespace sim::uart;
using sim::controller::UartTiming;

namespace {

std::unique_ptr<Uart16550> Port(uint16_t product = 0x2B72, UartTiming timing = UartTiming::Instant) {
  UartOptions o;
  o.ProductId = product;
  o.Timing = timing;
  auto u = std::make_unique<Uart16550>(o);
  u->WriteRegister(reg::LCR, 0x03);
  u->WriteRegister(reg::FCR, 0x01);
  return u;
}

/* 115200 on the 22.1184 MHz clock: what a program writes to a pty arrives
 * at the port's rate, and a port nobody programmed is very slow. */
void Set115200(Uart16550 &u) {
  u.WriteRegister(reg::LCR, 0x83);
  u.WriteRegister(reg::DLL, 12);
  u.WriteRegister(reg::DLM, 0);
  u.WriteRegister(reg::LCR, 0x03);
}

void Send(Uart16550 &u, const std::string &s) {
  for (char c : s) u.WriteRegister(reg::THR, static_cast<uint8_t>(c));
}

std::string Drain(Uart16550 &u) {
  std::string s;
  while (u.ReadRegister(reg::LSR) & bits::LSR_DR) s.push_back(static_cast<char>(u.ReadRegister(reg::RBR)));
  return s;
}

/* Collects received characters as the interrupt reports them, for lines
 * whose characters arrive on another thread. */
class Receiver {
 public:
  explicit Receiver(Uart16550 &u) : m_U(u) {
    m_U.WriteRegister(reg::IER, bits::IER_RDA);
    m_U.SetInterruptNotify([this] {
      std::lock_guard<std::mutex> g(m_Lock);
      ++m_Edges;
      m_Cv.notify_all();
    });
  }
  ~Receiver() { m_U.SetInterruptNotify(nullptr); }
  /* Reads until Count characters are in or 10 s have passed. */
  std::string Read(size_t Count) {
    std::string got;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      unsigned seen;
      {
        std::lock_guard<std::mutex> g(m_Lock);
        seen = m_Edges;
      }
      got += Drain(m_U);
      if (got.size() >= Count) return got;
      std::unique_lock<std::mutex> g(m_Lock);
      if (!m_Cv.wait_until(g, limit, [&] { return m_Edges != seen; })) return got;
    }
  }

 private:
  Uart16550 &m_U;
  std::mutex m_Lock;
  std::condition_variable m_Cv;
  unsigned m_Edges = 0;
};


/* A burst from the program arrives at the port's character rate: a reader
 * that keeps up with the line loses nothing and sees no overrun, although
 * the burst is many times the FIFO. */
TEST(Lines, PseudoTerminalPacesABurstAtTheLineRate) {
  char dir[] = "/tmp/nv-pty-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  auto u = Port();
  Set115200(*u);
  std::string error;
  auto pty = PtyLine::Open(*u, "COM9", dir, &error, [](const std::string &) {});
  ASSERT_NE(pty, nullptr) << error;
  const int fd = open(pty->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);

  std::string burst;
  for (int i = 0; i < 1000; ++i) burst.push_back(static_cast<char>('A' + i % 26));
  Receiver rx(*u);
  ASSERT_EQ(write(fd, burst.data(), burst.size()), static_cast<ssize_t>(burst.size()));
  std::string got;
  uint8_t errors = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < burst.size() && std::chrono::steady_clock::now() < limit) {
    const uint8_t lsr = u->ReadRegister(reg::LSR);
    errors |= lsr & bits::LSR_OE;
    if (lsr & bits::LSR_DR) got.push_back(static_cast<char>(u->ReadRegister(reg::RBR)));
  }
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(got, burst);
  close(fd);
  pty.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace

TEST(Lines, LoopbackReturnsWhatThePortSends) {
  auto u = Port();
  LoopbackLine line(*u);
  Send(*u, "echo");
  EXPECT_EQ(Drain(*u), "echo");
  /* The plug wires RTS to CTS and DTR to DSR and DCD. */
  u->WriteRegister(reg::MCR, bits::MCR_RTS | bits::MCR_DTR);
  EXPECT_EQ(u->ReadRegister(reg::MSR) & 0xF0, bits::MSR_CTS | bits::MSR_DSR | bits::MSR_DCD);
}

TEST(Lines, NullModemCarriesBothWaysAndCrossesModemLines) {
  auto a = Port(), b = Port();
  NullModemLine cable(*a, *b);
  Send(*a, "ping");
  Send(*b, "pong");
  EXPECT_EQ(Drain(*b), "ping");
  EXPECT_EQ(Drain(*a), "pong");
  a->WriteRegister(reg::MCR, bits::MCR_RTS);
  EXPECT_EQ(b->ReadRegister(reg::MSR) & 0xF0, bits::MSR_CTS);
  b->WriteRegister(reg::MCR, bits::MCR_DTR);
  EXPECT_EQ(a->ReadRegister(reg::MSR) & 0xF0, bits::MSR_DSR | bits::MSR_DCD);
}

TEST(Lines, NullModemAtBaudRateDeliversOnTheClock) {
  auto a = Port(0x2B72, UartTiming::BaudAccurate), b = Port(0x2B72, UartTiming::BaudAccurate);
  for (Uart16550 *u : {a.get(), b.get()}) {
    u->WriteRegister(reg::LCR, 0x83);
    u->WriteRegister(reg::DLL, 12);
    u->WriteRegister(reg::LCR, 0x03);
  }
  NullModemLine cable(*a, *b);
  LineClock clock;
  clock.Add(a.get());
  clock.Add(b.get());
  Receiver rb(*b), ra(*a);
  Send(*a, "0123456789");
  Send(*b, "abc");
  EXPECT_EQ(rb.Read(10), "0123456789");
  EXPECT_EQ(ra.Read(3), "abc");
  EXPECT_EQ(b->ReadRegister(reg::LSR) & 0x1E, 0) << "same settings: no errors";
  clock.Remove(a.get());
  clock.Remove(b.get());
}

TEST(Lines, Rs485LineCarriesOnlyWhileTheTransmitterIsOn) {
  /* KV502 class: MCR bit 1 set is transmitter off. */
  auto a = Port(0x2B72), b = Port(0x2B72);
  a->SetPortMode(0);
  NullModemLine cable(*a, *b);
  a->WriteRegister(reg::MCR, bits::MCR_RTS);
  Send(*a, "lost");
  a->WriteRegister(reg::MCR, 0);
  Send(*a, "kept");
  EXPECT_EQ(Drain(*b), "kept");
  /* The same port in RS-232 ignores the enable. */
  a->SetPortMode(1);
  a->WriteRegister(reg::MCR, bits::MCR_RTS);
  Send(*a, "232");
  EXPECT_EQ(Drain(*b), "232");
}

TEST(Lines, ProbeRecordsTimesAndTransmitterStateAndInjects) {
  auto u = Port(0x4E58);
  u->SetPortMode(0);
  ProbeLine probe(*u);
  Send(*u, "of");
  u->WritePmc(1);
  Send(*u, "on");
  ASSERT_TRUE(probe.WaitForSent(4));
  const auto sent = probe.Sent();
  EXPECT_EQ(probe.SentBytes(), "ofon");
  EXPECT_FALSE(sent[0].F.TransmitterEnabled);
  EXPECT_FALSE(sent[1].F.TransmitterEnabled);
  EXPECT_TRUE(sent[2].F.TransmitterEnabled);
  EXPECT_TRUE(sent[3].F.TransmitterEnabled);
  for (size_t i = 1; i < sent.size(); ++i) {
    EXPECT_GE(sent[i].F.TimeNs, sent[i - 1].F.TimeNs);
    EXPECT_GE(sent[i].ReceivedNs, sent[i - 1].ReceivedNs);
  }

  probe.Inject("in");
  EXPECT_EQ(Drain(*u), "in");
  Frame bad = u->MakeFrame('x');
  bad.FramingError = true;
  probe.InjectFrame(bad);
  EXPECT_EQ(u->ReadRegister(reg::LSR) & bits::LSR_FE, bits::LSR_FE);
  Drain(*u);

  u->WriteRegister(reg::MCR, bits::MCR_DTR | bits::MCR_RTS);
  EXPECT_EQ(probe.ModemOutputs(), bits::MCR_DTR | bits::MCR_RTS);
  probe.SetModemInputs(bits::MSR_CTS);
  EXPECT_EQ(u->ReadRegister(reg::MSR) & 0xF0, bits::MSR_CTS);
}

TEST(Lines, ProbeHoldsThreLow) {
  auto u = Port();
  ProbeLine probe(*u);
  probe.HoldThre(true);
  Send(*u, "st");
  EXPECT_EQ(u->ReadRegister(reg::LSR) & (bits::LSR_THRE | bits::LSR_TEMT), 0);
  EXPECT_TRUE(probe.Sent().empty());
  probe.HoldThre(false);
  ASSERT_TRUE(probe.WaitForSent(2));
  EXPECT_EQ(probe.SentBytes(), "st");
  EXPECT_EQ(u->ReadRegister(reg::LSR) & 0x60, 0x60);
}

TEST(Lines, PseudoTerminalReachesAProgramThatOpensTheSlave) {
  char dir[] = "/tmp/nv-pty-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  auto u = Port();
  Set115200(*u);
  std::string error, announced;
  auto pty = PtyLine::Open(*u, "COM7", dir, &error, [&](const std::string &m) { announced = m; });
  ASSERT_NE(pty, nullptr) << error;
  EXPECT_EQ(announced, "COM7: pseudo-terminal " + pty->SlavePath());
  std::string recorded;
  std::getline(std::ifstream(std::string(dir) + "/COM7.pty"), recorded);
  EXPECT_EQ(recorded, pty->SlavePath());

  const int fd = open(pty->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  struct termios tio;
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);

  Receiver rx(*u);
  ASSERT_EQ(write(fd, "hello\r\n", 7), 7);
  EXPECT_EQ(rx.Read(7), "hello\r\n");

  Send(*u, "back\n");
  std::string got;
  while (got.size() < 5) {
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "nothing came from the port";
    char buffer[16];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, "back\n");
  close(fd);
  pty.reset();
  EXPECT_FALSE(std::filesystem::exists(std::string(dir) + "/COM7.pty")) << "path withdrawn with the line";
  std::filesystem::remove_all(dir);
}
