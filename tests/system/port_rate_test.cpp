/*
 * Transfers at line rate over the null modem (COM5 - COM6) with the UARTs
 * timed by their baud rate: what a file transfer between two ports does.
 */
#include "port_system.h"

#include <future>

using namespace systest;

namespace {

class NullModem : public PortSystem, public ::testing::WithParamInterface<ULONG> {
 protected:
  /* The controller's deeper FIFO (128) gives the simulated interrupt, a
   * host thread, the slack a real interrupt does not need at 921600. */
  sim::controller::Config Config() override {
    sim::controller::Config c = DefaultWith(sim::controller::UartTiming::BaudAccurate);
    for (auto &k : c.Controllers) k.FifoDepth = 128;
    return c;
  }
};

TEST_P(NullModem, FiveThousandBytesArriveIntactInTwoPasses) {
  const ULONG rate = GetParam();
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  /* The simulated interrupt is a host thread: instrumented, it no longer
     keeps up with a character every 11 us. */
  if (rate > 115200) GTEST_SKIP() << "the instrumented interrupt path is slower than a character at this rate";
#endif
  HANDLE tx = MustOpen("COM5"), rx = MustOpen("COM6");
  for (HANDLE h : {tx, rx}) {
    ASSERT_EQ(SetBaud(h, rate), STATUS_SUCCESS);
    ASSERT_EQ(SetLine(h, 8, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  }
  /* Each piece waits for its first byte, then takes what has come. */
  ASSERT_EQ(SetTimeouts(rx, MAXULONG, MAXULONG, 2000), STATUS_SUCCESS);
  sim::uart::Uart16550 &receiver = Hw().Board(0)->Port(1);

  /* The simulated interrupt is a host thread: now and then the host serves
   * it later than the receive FIFO lasts at 921600, and the UART drops
   * characters. Such a run proves nothing about the driver except that it
   * reports the loss; it is repeated, at most three times. Anything else
   * that goes wrong fails at once. */
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    ASSERT_TRUE(WaitLineQuiet(0, 0, 1));
    ASSERT_EQ(Purge(rx, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    const uint64_t overruns = receiver.RxOverrunCount();
    const std::string data = Pattern(5000, rate + attempt);
    LineCounter passes("PN : [00], NERAVOXDevice::SerialSendByte ++");
    auto writer = std::async(std::launch::async, [&] {
      ULONG_PTR written = 0;
      NTSTATUS status = Write(tx, data, &written);
      return std::make_pair(status, written);
    });
    const std::string got = ReadAll(rx, data.size(), 700, std::chrono::milliseconds(5000));
    auto [status, written] = writer.get();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(written, 5000u);
    EXPECT_EQ(passes.Count(), 2u);
    EXPECT_EQ(Hw().Board(0)->Port(0).TxOverflowCount(), 0u);
    ASSERT_TRUE(WaitLineQuiet(0, 0, 1));
    if (receiver.RxOverrunCount() != overruns) {
      EXPECT_NE(CommStatus(rx).Errors & SERIAL_ERROR_OVERRUN, 0u) << "the UART dropped characters unreported";
      continue;
    }
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes differ";
    if (attempt == 1) {
      EXPECT_EQ(CommStatus(rx).Errors, 0u);
    }
    return;
  }
  GTEST_SKIP() << "three runs overran the simulated receiver; each loss was reported as SERIAL_ERROR_OVERRUN";
}

INSTANTIATE_TEST_SUITE_P(Rates, NullModem, ::testing::Values(115200u, 921600u));

}  // namespace
