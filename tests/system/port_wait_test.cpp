/*
 * Wait-on-mask requests held by the port: completed by its polling thread
 * when bytes arrive, taking turns, cancelled one by one or all at cleanup,
 * and the wait-mask requests around them. COM8 is on the probe.
 */
#include "port_system.h"

using namespace systest;

namespace {

/* Long enough for the polling thread (10 ms period) to have looked at a
 * wait several times; used only to show that something does NOT happen. */
constexpr unsigned kQuietMs = 80;

class Waits : public PortSystem {
 protected:
  void SetUp() override {
    PortSystem::SetUp();
    if (HasFatalFailure()) return;
    m_Port = MustOpen("COM8");
    m_Probe = Hw().Probe(0, 3);
    ASSERT_NE(m_Probe, nullptr);
  }
  size_t CountDone(const std::vector<std::unique_ptr<Overlapped>> &W) {
    size_t n = 0;
    for (auto &w : W) n += w->Done() ? 1 : 0;
    return n;
  }
  /* Waits until Count of W are done, then a little for any extra one. */
  bool WaitForDone(const std::vector<std::unique_ptr<Overlapped>> &W, size_t Count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (CountDone(W) < Count && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return CountDone(W) >= Count;
  }
  HANDLE m_Port = nullptr;
  sim::line::ProbeLine *m_Probe = nullptr;
};

TEST_F(Waits, WaitMaskMergesAndOnlyZeroClearsIt) {
  EXPECT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  EXPECT_EQ(SetWaitMask(m_Port, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  EXPECT_EQ(GetWaitMask(m_Port), SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
  EXPECT_EQ(SetWaitMask(m_Port, 0), STATUS_SUCCESS);
  EXPECT_EQ(GetWaitMask(m_Port), 0u);
  /* Refused, but merged first. */
  EXPECT_EQ(SetWaitMask(m_Port, 0x2000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(GetWaitMask(m_Port), 0x2000u);
}

TEST_F(Waits, WaitWithoutMaskIsRefused) {
  auto w = StartWait(m_Port);
  EXPECT_EQ(w->Issued, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(w->Done()); /* failed at once: no event, no status block */
  ULONG small = 0;
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(m_Port, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &small, 2), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(Waits, ByteCompletesAWaitWithRxchar) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto w = StartWait(m_Port);
  ASSERT_EQ(w->Issued, STATUS_PENDING);
  EXPECT_FALSE(w->WaitDone(kQuietMs)); /* nothing arrived */
  m_Probe->Inject("a");
  ASSERT_TRUE(w->WaitDone());
  EXPECT_EQ(w->Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w->Iosb.Information, sizeof(ULONG));
  EXPECT_EQ(w->Result, static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

TEST_F(Waits, SeveralWaitsTakeTurnsOnePerArrival) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  std::vector<std::unique_ptr<Overlapped>> w;
  for (int i = 0; i < 3; ++i) {
    w.push_back(StartWait(m_Port));
    ASSERT_EQ(w.back()->Issued, STATUS_PENDING);
  }
  for (size_t round = 1; round <= 3; ++round) {
    m_Probe->Inject(std::string(1, static_cast<char>('0' + round)));
    ASSERT_TRUE(WaitForDone(w, round)) << round;
    /* The ring's write index moved once: no second wait for this byte. */
    std::unique_ptr<Overlapped> *pending = nullptr;
    for (auto &x : w)
      if (!x->Done()) pending = &x;
    if (pending != nullptr) {
      EXPECT_FALSE((*pending)->WaitDone(kQuietMs)) << round;
    }
    EXPECT_EQ(CountDone(w), round);
  }
  for (auto &x : w) {
    EXPECT_EQ(x->Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(x->Result, static_cast<ULONG>(SERIAL_EV_RXCHAR));
  }
}

TEST_F(Waits, MaskWithoutRxcharKeepsWaitsPendingWhateverArrives) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  auto w = StartWait(m_Port);
  ASSERT_EQ(w->Issued, STATUS_PENDING);
  const uint64_t from = nt::debug::NextLineNumber();
  m_Probe->Inject("abc");
  /* The thread looked at it with the new bytes and put it back. */
  ASSERT_TRUE(nt::debug::WaitForLine("(deviceExtension->Wm = [0x0004])", std::chrono::milliseconds(kLimitMs), from));
  EXPECT_FALSE(w->WaitDone(kQuietMs));
  Close(m_Port);
  ASSERT_TRUE(w->WaitDone());
  EXPECT_EQ(w->Iosb.Status, STATUS_CANCELLED);
}

TEST_F(Waits, CancellingOneFromTheMiddleLeavesTheOthers) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  std::vector<std::unique_ptr<Overlapped>> w;
  for (int i = 0; i < 3; ++i) w.push_back(StartWait(m_Port));
  ASSERT_EQ(nt::io::CancelIoEx(m_Port, &w[1]->Iosb), STATUS_SUCCESS);
  ASSERT_TRUE(w[1]->WaitDone());
  EXPECT_EQ(w[1]->Iosb.Status, STATUS_CANCELLED);
  EXPECT_FALSE(w[0]->WaitDone(kQuietMs));
  EXPECT_FALSE(w[2]->Done());
  m_Probe->Inject("x");
  ASSERT_TRUE(WaitForDone(w, 2));
  m_Probe->Inject("y");
  ASSERT_TRUE(WaitForDone(w, 3));
  EXPECT_EQ(w[0]->Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w[2]->Iosb.Status, STATUS_SUCCESS);
}

TEST_F(Waits, CleanupCancelsEveryWait) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  std::vector<std::unique_ptr<Overlapped>> w;
  for (int i = 0; i < 3; ++i) w.push_back(StartWait(m_Port));
  const uint64_t from = nt::debug::NextLineNumber();
  Close(m_Port);
  for (auto &x : w) {
    ASSERT_TRUE(x->WaitDone());
    EXPECT_EQ(x->Iosb.Status, STATUS_CANCELLED);
  }
  EXPECT_TRUE(nt::debug::Contains("Count = 3", from));
}

TEST_F(Waits, SetWaitMaskCompletesOneHeldWaitWithNoEvent) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  std::vector<std::unique_ptr<Overlapped>> w;
  for (int i = 0; i < 2; ++i) w.push_back(StartWait(m_Port));
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForDone(w, 1));
  Overlapped *done = w[0]->Done() ? w[0].get() : w[1].get();
  Overlapped *other = done == w[0].get() ? w[1].get() : w[0].get();
  EXPECT_EQ(done->Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(done->Result, 0u);
  EXPECT_FALSE(other->WaitDone(kQuietMs));
  Close(m_Port);
  ASSERT_TRUE(other->WaitDone());
  EXPECT_EQ(other->Iosb.Status, STATUS_CANCELLED);
}

TEST_F(Waits, WaitThatFindsTheRingFullIsRefusedAtOnce) {
  ASSERT_EQ(SetWaitMask(m_Port, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  std::vector<std::unique_ptr<Overlapped>> w;
  for (int i = 0; i < 9; ++i) {
    w.push_back(StartWait(m_Port));
    ASSERT_EQ(w.back()->Issued, STATUS_PENDING) << i;
  }
  auto tenth = StartWait(m_Port);
  EXPECT_EQ(tenth->Issued, STATUS_INSUFFICIENT_RESOURCES);
  Close(m_Port);
  for (auto &x : w) {
    ASSERT_TRUE(x->WaitDone());
    EXPECT_EQ(x->Iosb.Status, STATUS_CANCELLED);
  }
}

}  // namespace
