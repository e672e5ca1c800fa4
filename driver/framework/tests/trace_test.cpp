/* The trace stream: prefixes, levels, breaks, cutting, '%' handling, the
   buffer limit under real concurrency, and the request decoder. */
#include "fwtest.h"

#include <ktrace.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kLimit = 10s;
const std::string kPrefix = "NERAVOX: ";

class TraceTest : public SystemTest {
 protected:
  std::vector<std::string> Lines() { return nt::debug::Lines(); }
};

TEST_F(TraceTest, LinesStartWithTheNameAndKeepLiteralPercent) {
  {
    KTrace t("NERAVOX", 0x7, 0, 5);
    t.Trace(1, "NERAVOXDriver::AddDevice++.\n");
    t.Trace(1, "opened %s\n", "C:\\log%d%%.txt");
    t.Trace(1, "STATUS %x\n", STATUS_SUCCESS);
  }
  EXPECT_EQ(Lines(), (std::vector<std::string>{kPrefix + "NERAVOXDriver::AddDevice++.",
                                               kPrefix + "opened C:\\log%d%%.txt", kPrefix + "STATUS 0"}));
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 0u) << "the prefix is freed";
}

TEST_F(TraceTest, LongFormatsReadThirtyTwoBits) {
  KTrace t("NERAVOX", 0x7, 0, 5);
  t.Trace(1, "%x %x %x %x %lx %lx\n", 1, 2, 3, 4, (NTSTATUS)STATUS_INSUFFICIENT_RESOURCES, (LONG)-1);
  t << "Error constructing device NERAVOX " << (ULONG)3 << " status " << (LONG)STATUS_NO_SUCH_DEVICE << "\n";
  EXPECT_EQ(Lines(), (std::vector<std::string>{kPrefix + "1 2 3 4 c000009a ffffffff",
                                               kPrefix + "Error constructing device NERAVOX 0x00000003 status "
                                                         "0xc000000e"}));
}

TEST_F(TraceTest, MessageWithoutNewlineIsContinuedWithoutPrefix) {
  KTrace t("NERAVOX", 0x7, 0, 5);
  t.Trace(1, "first half, ");
  t.Trace(1, "");
  t.Trace(1, "second half\n");
  t.Trace(1, "next\n");
  EXPECT_EQ(Lines(), (std::vector<std::string>{kPrefix + "first half, second half", kPrefix + "next"}));
}

struct LevelCase {
  LONG Threshold;
  LONG Level;
  bool Written;
};

class TraceLevelTest : public TraceTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(TraceLevelTest, OutputThreshold) {
  const LevelCase &c = GetParam();
  KTrace t("NERAVOX", 0x7, c.Threshold, 5);
  t.Trace(c.Level, "message\n");
  EXPECT_EQ(!Lines().empty(), c.Written);
  EXPECT_EQ(nt::debug::BreakCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Levels, TraceLevelTest,
                         ::testing::Values(LevelCase{3, 0, true}, LevelCase{3, 2, false}, LevelCase{3, 3, true},
                                           LevelCase{3, 4, true}, LevelCase{0, 5, false}, LevelCase{0, 1, true},
                                           LevelCase{5, 4, false}));

TEST_F(TraceTest, BreakThreshold) {
  KTrace t("NERAVOX", 0x7, 0, 3);
  t.Trace(2, "below\n");
  EXPECT_EQ(nt::debug::BreakCount(), 0u);
  t.Trace(3, "at\n");
  EXPECT_EQ(nt::debug::BreakCount(), 1u);
  t.Trace(0, "level zero\n");
  EXPECT_EQ(nt::debug::BreakCount(), 2u);
  KTrace never("NERAVOX", 0x7, 0, 5);
  never.Trace(0, "level zero\n");
  never.Trace(4, "four\n");
  EXPECT_EQ(nt::debug::BreakCount(), 2u);
}

TEST_F(TraceTest, LongMessageIsCutAtTheBufferEnd) {
  KTrace t("NERAVOX", 0x7, 0, 5);
  std::string a(300, 'a');
  t.Trace(1, "%s\n", a.c_str());
  /* The cut message lost its newline: the next text continues its line. */
  t.Trace(1, "\n");
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], kPrefix + std::string(255 - kPrefix.size(), 'a'));
}

TEST_F(TraceTest, DoubledPercentsAreCutWithoutASplitPair) {
  KTrace t("NERAVOX", 0x7, 0, 5);
  std::string percents(240, '%');
  t.Trace(1, "%s", percents.c_str());
  t.Trace(1, "\n");
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  /* 9 + 2 * 240 characters do not fit in 255: 246 doubled characters are
     left, which print as 123. */
  EXPECT_EQ(lines[0], kPrefix + std::string(123, '%'));
}

TEST_F(TraceTest, WithoutPrefixMemoryLinesHaveNoPrefix) {
  nt::pool::FailTag(NERAVOX_POOL_TAG);
  KTrace t("NERAVOX", 0x7, 0, 5);
  nt::pool::ClearFaults();
  EXPECT_EQ(t.Prefix(), nullptr);
  t.Trace(1, "bare\n");
  KTrace unnamed(nullptr, 0x6, 0, 5);
  unnamed.Trace(1, "also bare\n");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"bare", "also bare"}));
}

TEST_F(TraceTest, NameLongerThanABufferGivesNoPrefix) {
  std::string name(300, 'N');
  KTrace t(name.c_str(), 0x7, 0, 5);
  EXPECT_EQ(t.Prefix(), nullptr);
  t.Trace(1, "short\n");
  EXPECT_EQ(Lines(), std::vector<std::string>{"short"});
}

TEST_F(TraceTest, WithoutDbgPrintFlagNothingIsWritten) {
  KTrace t("NERAVOX", 0x1, 0, 5);
  t.Trace(1, "silent\n");
  EXPECT_TRUE(Lines().empty());
}

/* Four writers are held inside DbgPrint, each owning a message buffer: the
   capture delivers completed lines to subscribers one at a time on the
   printing thread, so a subscriber that blocks on the first line keeps its
   writer inside DbgPrint and the other three waiting to deliver theirs. A
   fifth message then finds no buffer. Its drop line is itself held up the
   same way, so a helper releases the writers once the drop line is in. */
TEST_F(TraceTest, FifthConcurrentMessageIsDropped) {
  KTrace t("NERAVOX", 0x7, 0, 5);
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  int id = nt::debug::Subscribe([&](const std::string &line) {
    if (line.find("held") == std::string::npos) return;
    std::unique_lock<std::mutex> l(lock);
    changed.wait_for(l, kLimit, [&] { return release; });
  });
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; i++) writers.emplace_back([&t, i] { t.Trace(1, "held %d\n", i); });
  for (int i = 0; i < 4; i++) ASSERT_TRUE(nt::debug::WaitForLine("held " + std::to_string(i), kLimit));
  std::thread releaser([&] {
    nt::debug::WaitForLine("KTrace: Dropping", kLimit);
    std::lock_guard<std::mutex> l(lock);
    release = true;
    changed.notify_all();
  });
  t.Trace(1, "fifth\n");
  releaser.join();
  for (auto &w : writers) w.join();
  nt::debug::Unsubscribe(id);

  EXPECT_TRUE(nt::debug::Contains("KTrace: Dropping a trace message due to lack of buffer space"));
  EXPECT_FALSE(nt::debug::Contains("fifth"));
  for (int i = 0; i < 4; i++) EXPECT_TRUE(nt::debug::Contains(kPrefix + "held " + std::to_string(i)));
  /* The buffers are back. */
  t.Trace(1, "after\n");
  EXPECT_EQ(Lines().back(), kPrefix + "after");
}

/* ---- the request decoder ---- */

struct DecodeCase {
  const char *Title;
  UCHAR Major;
  UCHAR Minor;
  ULONG Flags;
  ULONG Word1, Word2, Word3; /* the first three parameter words */
  std::vector<std::string> Lines;
};

class TraceDecodeTest : public TraceTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(TraceDecodeTest, DecodesRequest) {
  const DecodeCase &c = GetParam();
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);
  irp->Flags = c.Flags;
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  s->MajorFunction = c.Major;
  s->MinorFunction = c.Minor;
  s->Parameters.DeviceIoControl.OutputBufferLength = c.Word1;
  s->Parameters.DeviceIoControl.InputBufferLength = c.Word2;
  s->Parameters.DeviceIoControl.IoControlCode = c.Word3;
  {
    KTrace t("NERAVOX", 0x7, 0, 5);
    t << KIrp(irp);
  }
  IoFreeIrp(irp);
  std::vector<std::string> expected;
  for (const auto &l : c.Lines) expected.push_back(kPrefix + l);
  EXPECT_EQ(Lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TraceDecodeTest,
    ::testing::Values(
        DecodeCase{"PnpStart", IRP_MJ_PNP, IRP_MN_START_DEVICE, 0x40, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_PNP Minor=IRP_MN_START_DEVICE (0x0) Flags=0x40"}},
        DecodeCase{"PnpGap", IRP_MJ_PNP, 0x0E, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_PNP Minor=<unknown minor function> (0xe) Flags=0x0"}},
        DecodeCase{"PnpSurprise", IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_PNP Minor=IRP_MN_SURPRISE_REMOVAL (0x17) Flags=0x0"}},
        DecodeCase{"PnpBeyond", IRP_MJ_PNP, 0x18, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_PNP Minor=<unknown minor function> (0x18) Flags=0x0"}},
        DecodeCase{"PowerDevice", IRP_MJ_POWER, IRP_MN_SET_POWER, 0, 0, DevicePowerState, PowerDeviceD3,
                   {"IRP: Major=IRP_MJ_POWER Minor=IRP_MN_SET_POWER (0x2) Flags=0x0  PowerDeviceD3"}},
        DecodeCase{"PowerSystem", IRP_MJ_POWER, IRP_MN_QUERY_POWER, 0, 0, SystemPowerState, PowerSystemHibernate,
                   {"IRP: Major=IRP_MJ_POWER Minor=IRP_MN_QUERY_POWER (0x3) Flags=0x0  PowerSystemHibernate"}},
        DecodeCase{"PowerBadDevice", IRP_MJ_POWER, IRP_MN_SET_POWER, 0, 0, DevicePowerState, 6,
                   {"IRP: Major=IRP_MJ_POWER Minor=IRP_MN_SET_POWER (0x2) Flags=0x0  <unknown device power state>"}},
        DecodeCase{"PowerBadSystem", IRP_MJ_POWER, IRP_MN_SET_POWER, 0, 0, SystemPowerState, 8,
                   {"IRP: Major=IRP_MJ_POWER Minor=IRP_MN_SET_POWER (0x2) Flags=0x0  <unknown system power state>"}},
        DecodeCase{"PowerWaitWake", IRP_MJ_POWER, IRP_MN_WAIT_WAKE, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_POWER Minor=IRP_MN_WAIT_WAKE (0x0) Flags=0x0  "}},
        DecodeCase{"PowerUnknown", IRP_MJ_POWER, 0x04, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_POWER Minor=<unknown minor function> (0x4) Flags=0x0  "}},
        DecodeCase{"Wmi", IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_SYSTEM_CONTROL Minor=IRP_MN_REGINFO_EX (0xb) Flags=0x0"}},
        DecodeCase{"WmiGap", IRP_MJ_SYSTEM_CONTROL, 0x0A, 0, 0, 0, 0,
                   {"IRP: Major=IRP_MJ_SYSTEM_CONTROL Minor=<unknown minor function> (0xa) Flags=0x0"}},
        DecodeCase{"DeviceControl", IRP_MJ_DEVICE_CONTROL, 0, 0, 0x10, 0x8, 0x1B0004,
                   {"IRP: Major=IRP_MJ_DEVICE_CONTROL  Minor=0x0 Flags=0x0",
                    " Code=0x1b0004 InputSize=0x8 OutputSize=0x10"}},
        DecodeCase{"InternalDeviceControl", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0, 0x18, 0, 0x222003,
                   {"IRP: Major=IRP_MJ_INTERNAL_DEVICE_CONTROL  Minor=0x0 Flags=0x0",
                    " Code=0x222003 InputSize=0x0 OutputSize=0x18"}},
        DecodeCase{"Read", IRP_MJ_READ, 0, 0x900, 0x20, 0, 0,
                   {"IRP: Major=IRP_MJ_READ  Minor=0x0 Flags=0x900", " Length=0x20"}},
        DecodeCase{"Write", IRP_MJ_WRITE, 0, 0, 0x1000, 0, 0,
                   {"IRP: Major=IRP_MJ_WRITE  Minor=0x0 Flags=0x0", " Length=0x1000"}},
        DecodeCase{"Cleanup", IRP_MJ_CLEANUP, 0, 0, 0, 0, 0, {"IRP: Major=IRP_MJ_CLEANUP  Minor=0x0 Flags=0x0"}},
        DecodeCase{"BeyondTable", 0x1C, 0, 0, 0, 0, 0,
                   {"IRP: Major=<unknown major function>  Minor=0x0 Flags=0x0"}}),
    [](const ::testing::TestParamInfo<DecodeCase> &info) { return std::string(info.param.Title); });

TEST(TraceNames, TablesAreInCodeOrder) {
  EXPECT_STREQ(KTraceMajorName(IRP_MJ_CREATE), "IRP_MJ_CREATE");
  EXPECT_STREQ(KTraceMajorName(IRP_MJ_PNP), "IRP_MJ_PNP");
  EXPECT_STREQ(KTraceMajorName(IRP_MJ_SYSTEM_CONTROL), "IRP_MJ_SYSTEM_CONTROL");
  EXPECT_STREQ(KTracePnpMinorName(IRP_MN_QUERY_PNP_DEVICE_STATE), "IRP_MN_QUERY_PNP_DEVICE_STATE");
  EXPECT_STREQ(KTracePnpMinorName(IRP_MN_READ_CONFIG), "IRP_MN_READ_CONFIG");
  EXPECT_STREQ(KTraceWmiMinorName(IRP_MN_EXECUTE_METHOD), "IRP_MN_EXECUTE_METHOD");
  EXPECT_STREQ(KTraceSystemPowerStateName(PowerSystemMaximum), "PowerSystemMaximum");
  EXPECT_STREQ(KTraceDevicePowerStateName(PowerDeviceMaximum), "PowerDeviceMaximum");
  EXPECT_STREQ(KTracePowerMinorName(IRP_MN_POWER_SEQUENCE), "IRP_MN_POWER_SEQUENCE");
}

}  // namespace
