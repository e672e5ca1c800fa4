/* Register windows: accessors reach the model, direct access faults,
 * accesses outside every window bug-check, MmMapIoSpace maps inside one. */
#include <ntddk.h>
#include <nt/mmio.h>
#include <nt/system.h>

#include <gtest/gtest.h>

#include <csignal>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Access {
  bool Write;
  ULONG_PTR Offset;
  ULONG Width;
  ULONG Value;
  bool operator==(const Access &) const = default;
};

/* Records every access; a read returns 0xA0 + offset (masked to the width). */
class RecordingModel : public nt::mmio::DeviceModel {
 public:
  ULONG Read(ULONG_PTR Offset, ULONG Width) override {
    ULONG v = (ULONG)(0xA0 + Offset) & (Width == 4 ? 0xFFFFFFFFu : (1u << (8 * Width)) - 1);
    std::lock_guard<std::mutex> g(m_Lock);
    m_Log.push_back({false, Offset, Width, v});
    return v;
  }
  void Write(ULONG_PTR Offset, ULONG Width, ULONG Value) override {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Log.push_back({true, Offset, Width, Value});
  }
  std::vector<Access> Log() {
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Log;
  }

 private:
  std::mutex m_Lock;
  std::vector<Access> m_Log;
};

class Mmio : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
    m_Base = (PUCHAR)nt::mmio::Map(16, &m_Model);
    ASSERT_NE(m_Base, nullptr);
  }
  void TearDown() override {
    if (m_Base) nt::mmio::Unmap(m_Base);
    nt::Shutdown();
  }
  RecordingModel m_Model;
  PUCHAR m_Base = nullptr;
};

TEST_F(Mmio, AccessorsReachTheModelInOrder) {
  EXPECT_EQ(READ_REGISTER_UCHAR(m_Base + 3), 0xA3);
  WRITE_REGISTER_UCHAR(m_Base + 1, 0x5A);
  EXPECT_EQ(READ_REGISTER_USHORT((PUSHORT)(m_Base + 6)), 0xA6);
  WRITE_REGISTER_USHORT((PUSHORT)(m_Base + 2), 0xBEEF);
  EXPECT_EQ(READ_REGISTER_ULONG((PULONG)(m_Base + 12)), 0xACu);
  WRITE_REGISTER_ULONG((PULONG)(m_Base + 8), 0xC0000001);
  UCHAR in[3];
  READ_REGISTER_BUFFER_UCHAR(m_Base + 4, in, 3);
  UCHAR out[2] = {1, 2};
  WRITE_REGISTER_BUFFER_UCHAR(m_Base + 14, out, 2);
  EXPECT_EQ(in[0], 0xA4);
  EXPECT_EQ(in[2], 0xA6);
  std::vector<Access> expected = {
      {false, 3, 1, 0xA3},         {true, 1, 1, 0x5A},  {false, 6, 2, 0xA6},
      {true, 2, 2, 0xBEEF},        {false, 12, 4, 0xAC}, {true, 8, 4, 0xC0000001},
      {false, 4, 1, 0xA4},         {false, 5, 1, 0xA5}, {false, 6, 1, 0xA6}, /* consecutive registers */
      {true, 14, 1, 1},            {true, 15, 1, 2},
  };
  EXPECT_EQ(m_Model.Log(), expected);
}

TEST_F(Mmio, EachWindowHasItsOwnModel) {
  RecordingModel other;
  PUCHAR base2 = (PUCHAR)nt::mmio::Map(8, &other);
  ASSERT_NE(base2, nullptr);
  WRITE_REGISTER_UCHAR(base2 + 7, 9);
  WRITE_REGISTER_UCHAR(m_Base + 7, 8);
  EXPECT_EQ(other.Log(), (std::vector<Access>{{true, 7, 1, 9}}));
  EXPECT_EQ(m_Model.Log(), (std::vector<Access>{{true, 7, 1, 8}}));
  nt::mmio::Unmap(base2);
  EXPECT_EQ(m_Model.Log().size(), 1u);
}

TEST_F(Mmio, DirectDereferenceFaults) {
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH((void)*(volatile UCHAR *)(m_Base + 1), "SEGV");
  EXPECT_DEATH(*(volatile ULONG *)m_Base = 1, "SEGV");
#elif defined(__SANITIZE_THREAD__)
  EXPECT_DEATH((void)*(volatile UCHAR *)(m_Base + 1), "");
  EXPECT_DEATH(*(volatile ULONG *)m_Base = 1, "");
#else
  EXPECT_EXIT((void)*(volatile UCHAR *)(m_Base + 1), ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(*(volatile ULONG *)m_Base = 1, ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

TEST_F(Mmio, AccessesOutsideEveryWindowBugCheck) {
  EXPECT_DEATH(READ_REGISTER_UCHAR(m_Base + 16), "PAGE_FAULT_IN_NONPAGED_AREA.*outside every mapped register window");
  /* A ULONG that starts inside but runs past the end. */
  EXPECT_DEATH(WRITE_REGISTER_ULONG((PULONG)(m_Base + 14), 0), "outside every mapped register window");
  static UCHAR plainMemory[4];
  EXPECT_DEATH(READ_REGISTER_UCHAR(plainMemory), "outside every mapped register window");
  EXPECT_DEATH(
      {
        nt::mmio::Unmap(m_Base);
        READ_REGISTER_UCHAR(m_Base);
      },
      "outside every mapped register window");
  EXPECT_DEATH(READ_PORT_UCHAR((PUCHAR)0x3F8), "this system has no I/O ports");
}

TEST_F(Mmio, MmMapIoSpaceMapsInsideAWindow) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = (LONGLONG)(ULONG_PTR)(m_Base + 8);
  PUCHAR mapped = (PUCHAR)MmMapIoSpace(pa, 8, MmNonCached);
  ASSERT_EQ(mapped, m_Base + 8);
  EXPECT_EQ(READ_REGISTER_UCHAR(mapped + 1), 0xA9);
  MmUnmapIoSpace(mapped, 8);
  EXPECT_EQ(MmMapIoSpace(pa, 9, MmNonCached), nullptr) << "runs past the window";
  pa.QuadPart = 0x1000;
  EXPECT_EQ(MmMapIoSpace(pa, 4, MmNonCached), nullptr);
  EXPECT_DEATH(MmUnmapIoSpace(m_Base, 16), "MmUnmapIoSpace of a range MmMapIoSpace did not map");
}

TEST_F(Mmio, ConcurrentAccessesAllArrive) {
  constexpr int kThreads = 4, kWrites = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) WRITE_REGISTER_UCHAR(m_Base + t, (UCHAR)i);
    });
  for (auto &t : threads) t.join();
  auto log = m_Model.Log();
  ASSERT_EQ(log.size(), (size_t)kThreads * kWrites);
  std::vector<int> next(kThreads, 0);
  for (const Access &a : log) {
    EXPECT_EQ(a.Value, (ULONG)(UCHAR)next[a.Offset]++) << "one thread's writes stay in order";
  }
}

TEST(MmioMap, WindowsComeAndGo) {
  RecordingModel m;
  for (int i = 0; i < 200; ++i) {
    PUCHAR base = (PUCHAR)nt::mmio::Map(4, &m);
    ASSERT_NE(base, nullptr) << i;
    WRITE_REGISTER_UCHAR(base + 3, (UCHAR)i);
    nt::mmio::Unmap(base);
  }
  EXPECT_EQ(m.Log().size(), 200u);
  EXPECT_EQ(m.Log().back(), (Access{true, 3, 1, 199}));
}

TEST(MmioMap, RefusesEmptyWindows) {
  RecordingModel m;
  EXPECT_EQ(nt::mmio::Map(0, &m), nullptr);
  EXPECT_EQ(nt::mmio::Map(8, nullptr), nullptr);
}

}  // namespace
