/* The line clock against real time: characters leave at the programmed rate,
 * instant timing moves them at once, time-outs fire without a register read. */
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "uart/line_clock.h"
#include "uart/uart.h"
#include "uart_test_support.h"

using namespace sim::uart;
using sim::controller::UartTiming;
using sim::uart::test::RecordingLine;

namespace {

void Program115200(Uart16550 &u) {
  u.WriteRegister(reg::LCR, 0x83);
  u.WriteRegister(reg::DLL, 12); /* 22.1184 MHz / 16 / 12 */
  u.WriteRegister(reg::DLM, 0);
  u.WriteRegister(reg::LCR, 0x03);
  u.WriteRegister(reg::FCR, 0x01);
}

}  // namespace

TEST(UartTiming, BaudAccurateCharactersFollowEachOtherByOneCharacterTime) {
  UartOptions o;
  o.Timing = UartTiming::BaudAccurate;
  Uart16550 u(o);
  RecordingLine line;
  u.AttachLine(&line);
  LineClock clock;
  clock.Add(&u);
  Program115200(u);
  const double charNs = u.CharacterTimeNs();
  EXPECT_NEAR(charNs, 10.0 / 115200 * 1e9, 1.0);
  for (int i = 0; i < 16; ++i) u.WriteRegister(reg::THR, static_cast<uint8_t>('a' + i));
  ASSERT_TRUE(line.WaitFrames(16));
  const auto frames = line.Frames();
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].Data, 'a' + i);
    EXPECT_NEAR(double(frames[i].TimeNs - frames[i - 1].TimeNs), charNs, 1.0) << "character " << i;
  }
  EXPECT_EQ(u.ReadRegister(reg::LSR) & 0x60, 0x60);
  clock.Remove(&u);
  u.AttachLine(nullptr);
}

TEST(UartTiming, InstantTimingMovesCharactersWithTheWrite) {
  UartOptions o;
  o.Timing = UartTiming::Instant;
  Uart16550 u(o);
  RecordingLine line;
  u.AttachLine(&line);
  Program115200(u);
  for (int i = 0; i < 100; ++i) {
    u.WriteRegister(reg::THR, static_cast<uint8_t>(i));
    ASSERT_EQ(line.Frames().size(), size_t(i + 1));
    ASSERT_EQ(u.ReadRegister(reg::LSR) & 0x60, 0x60);
  }
  u.AttachLine(nullptr);
}

TEST(UartTiming, LineClockRaisesTheCharacterTimeOut) {
  UartOptions o;
  o.Timing = UartTiming::BaudAccurate;
  Uart16550 u(o);
  LineClock clock;
  clock.Add(&u);
  Program115200(u);
  u.WriteRegister(reg::FCR, 0xC1); /* trigger 14 */
  u.WriteRegister(reg::IER, 0x01);
  std::mutex m;
  std::condition_variable cv;
  bool raised = false;
  u.SetInterruptNotify([&] {
    std::lock_guard<std::mutex> g(m);
    raised = true;
    cv.notify_all();
  });
  u.Receive(u.MakeFrame('t'));
  {
    std::unique_lock<std::mutex> g(m);
    ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(10), [&] { return raised; }));
  }
  EXPECT_EQ(u.ReadRegister(reg::IIR), 0xCC);
  EXPECT_EQ(u.ReadRegister(reg::RBR), 't');
  EXPECT_EQ(u.ReadRegister(reg::IIR), 0xC1);
  u.SetInterruptNotify(nullptr);
  clock.Remove(&u);
}
