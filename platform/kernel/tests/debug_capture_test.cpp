/* The debug-output capture: lines, open lines, concurrent printers, waiting,
 * subscribers, echo, assertions and breaks. */
#include <ntddk.h>
#include <nt/debug.h>
#include <nt/system.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr auto kLimit = std::chrono::seconds(10);

class DebugCapture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }
};

TEST_F(DebugCapture, SplitsAtNewlinesAndKeepsOpenLines) {
  DbgPrint("one\ntwo\nthr");
  EXPECT_THAT(nt::debug::Lines(), ElementsAre("one", "two"));
  DbgPrint("ee");
  DbgPrint("\n\n");
  EXPECT_THAT(nt::debug::Lines(), ElementsAre("one", "two", "three", ""));
}

TEST_F(DebugCapture, UsesTheKernelFormatter) {
  DbgPrint("%lx %wZ\n", 0x1122334455667788ULL, (PUNICODE_STRING) nullptr);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "PN : [%02d], %s++\n", 2, "NERAVOXDevice::Create");
  KdPrint(("%I64u\n", 10000000000ULL));
  EXPECT_THAT(nt::debug::Lines(), ElementsAre("55667788 (null)", "PN : [02], NERAVOXDevice::Create++", "10000000000"));
}

TEST_F(DebugCapture, APrintedPercentStaysIntact) {
  /* Text printed through "%s" is not formatted again. */
  DbgPrint("%s\n", "file%d.txt 100%");
  EXPECT_THAT(nt::debug::Lines(), ElementsAre("file%d.txt 100%"));
}

/* One thread's open line is not completed by another thread's text. */
TEST_F(DebugCapture, OpenLinesBelongToTheirThread) {
  DbgPrint("A1");
  std::thread([] { DbgPrint("B\n"); }).join();
  DbgPrint("A2\n");
  EXPECT_THAT(nt::debug::Lines(), ElementsAre("B", "A1A2"));
}

TEST_F(DebugCapture, ShutdownClosesOpenLinesAndBootStartsEmpty) {
  DbgPrint("complete\n");
  DbgPrint("left open");
  nt::Shutdown();
  EXPECT_THAT(nt::debug::Lines(), ElementsAre("complete", "left open"));
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_TRUE(nt::debug::Lines().empty());
  EXPECT_EQ(nt::debug::NextLineNumber(), 0u);
}

TEST_F(DebugCapture, ConcurrentPrintersNeverTearLines) {
  constexpr int kThreads = 8, kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        /* Two calls per line: the open line must survive other threads' output. */
        DbgPrint("T%d ", t);
        DbgPrint("L%d\n", i);
      }
    });
  }
  for (auto &t : threads) t.join();
  auto lines = nt::debug::Lines();
  ASSERT_EQ(lines.size(), (size_t)kThreads * kLines);
  std::vector<int> next(kThreads, 0);
  for (const std::string &line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(line.c_str(), "T%d L%d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]) << "lines of one thread stay in order";
    next[t] = i + 1;
  }
}

TEST_F(DebugCapture, RingDropsTheOldest) {
  size_t n = nt::debug::Capacity() + 10;
  for (size_t i = 0; i < n; ++i) DbgPrint("%Iu\n", (SIZE_T)i);
  auto lines = nt::debug::Lines();
  ASSERT_EQ(lines.size(), nt::debug::Capacity());
  EXPECT_EQ(lines.front(), "10");
  EXPECT_EQ(nt::debug::DroppedLines(), 10u);
  EXPECT_EQ(nt::debug::LastLines(2), (std::vector<std::string>{std::to_string(n - 2), std::to_string(n - 1)}));
  EXPECT_FALSE(nt::debug::Contains("\n"));
  EXPECT_TRUE(nt::debug::Contains(std::to_string(n - 1)));
}

TEST_F(DebugCapture, WaitForLineSeesLinesFromOtherThreads) {
  std::mutex m;
  std::condition_variable cv;
  bool go = false;
  std::thread printer([&] {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return go; });
    l.unlock();
    DbgPrint("port ");
    DbgPrint("opened\n");
  });
  uint64_t mark = nt::debug::NextLineNumber();
  {
    std::lock_guard<std::mutex> l(m);
    go = true;
  }
  cv.notify_all();
  EXPECT_TRUE(nt::debug::WaitForLine("port opened", kLimit, mark));
  printer.join();
  /* Lines before the mark do not count; missing text times out. */
  EXPECT_FALSE(nt::debug::WaitForLine("port opened", std::chrono::milliseconds(0), nt::debug::NextLineNumber()));
  EXPECT_FALSE(nt::debug::WaitForLine("never printed", std::chrono::milliseconds(20)));
  DbgPrint("half a line");
  EXPECT_TRUE(nt::debug::WaitForLine("half a", std::chrono::milliseconds(0))) << "an open line counts";
}

TEST_F(DebugCapture, ClearForgetsButKeepsNumbering) {
  DbgPrint("x\n");
  RtlAssert((PVOID) "e", (PVOID) "f.cpp", 1, nullptr);
  DbgBreakPoint();
  uint64_t next = nt::debug::NextLineNumber();
  nt::debug::Clear();
  EXPECT_TRUE(nt::debug::Lines().empty());
  EXPECT_TRUE(nt::debug::Assertions().empty());
  EXPECT_EQ(nt::debug::BreakCount(), 0u);
  EXPECT_EQ(nt::debug::NextLineNumber(), next);
  DbgPrint("y\n");
  EXPECT_TRUE(nt::debug::Contains("y", next));
}

TEST_F(DebugCapture, SubscribersSeeLinesInOrder) {
  std::vector<std::string> seen;
  int id = nt::debug::Subscribe([&](const std::string &line) {
    seen.push_back(line);
    if (line == "first") DbgPrint("from the callback\n"); /* must not deadlock */
  });
  DbgPrint("fir");
  DbgPrint("st\nsecond\n");
  nt::debug::Unsubscribe(id);
  DbgPrint("after\n");
  /* The nested line completed after "second", so it comes after it. */
  EXPECT_THAT(seen, ElementsAre("first", "second", "from the callback"));
}

TEST_F(DebugCapture, EchoGoesToStderr) {
  testing::internal::CaptureStderr();
  nt::debug::SetEcho(true);
  DbgPrint("echoed line\n");
  nt::debug::SetEcho(false);
  DbgPrint("quiet line\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("echoed line\n"));
  EXPECT_THAT(err, ::testing::Not(HasSubstr("quiet line")));
}

int g_AfterAssert = 0;

TEST_F(DebugCapture, RtlAssertRecordsPrintsAndContinues) {
  int x = 1;
  BOOLEAN r = ASSERT(x == 2);
  g_AfterAssert = 1;
  EXPECT_FALSE(r);
  EXPECT_TRUE(ASSERT(x == 1));
  ASSERTMSG("bad unit ", x > 5);
  NT_ASSERT(x < 0);
  auto asserts = nt::debug::Assertions();
  ASSERT_EQ(asserts.size(), 3u);
  EXPECT_EQ(asserts[0].Expression, "x == 2");
  EXPECT_THAT(asserts[0].File, HasSubstr("debug_capture_test.cpp"));
  EXPECT_GT(asserts[0].Line, 0u);
  EXPECT_EQ(asserts[0].Message, "");
  EXPECT_EQ(asserts[1].Expression, "x > 5");
  EXPECT_EQ(asserts[1].Message, "bad unit ");
  EXPECT_EQ(asserts[2].Expression, "x < 0");
  EXPECT_EQ(g_AfterAssert, 1);

  RtlAssert((PVOID) "m_TheDriver == NULL", (PVOID) "kdriver", 77, nullptr);
  auto lines = nt::debug::Lines();
  EXPECT_THAT(lines, ::testing::Contains("*** Assertion failed: m_TheDriver == NULL"));
  EXPECT_THAT(lines, ::testing::Contains("***   Source File: kdriver, line 77"));
  EXPECT_THAT(lines, ::testing::Contains("*** Assertion failed: bad unit x > 5"));
}

TEST_F(DebugCapture, BreakPointsAreCountedNotStopped) {
  DbgBreakPoint();
  KdBreakPoint();
  DbgBreakPointWithStatus(3);
  EXPECT_EQ(nt::debug::BreakCount(), 3u);
}

}  // namespace
