/* The bug-check report: code and name, parameters, rule, the last debug
 * lines, the backtrace, the hook and the report file. */
#include <ntddk.h>
#include <nt/system.h>
#include <nt/verifier.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <string>

#include "ki.h"

using ::testing::HasSubstr;

namespace {

class BugCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  }
  void TearDown() override { nt::Shutdown(); }
};

TEST_F(BugCheck, ReportNamesCodeParametersAndRule) {
  EXPECT_DEATH(KiBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, 0x1234, 2, 3, 0xFFFFF80000000004ULL, "IRP completed twice"),
               "STOP: 0x00000044 \\(0x0000000000001234, 0x0000000000000002, 0x0000000000000003, "
               "0xFFFFF80000000004\\)\n\\*\\*\\* MULTIPLE_IRP_COMPLETE_REQUESTS\n\\*\\*\\* Rule: IRP completed twice");
}

TEST_F(BugCheck, KeBugCheckExStops) {
  EXPECT_DEATH(KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 1, 2, 3, 4),
               "0x000000C9.*DRIVER_VERIFIER_IOMANAGER_VIOLATION.*the driver called KeBugCheckEx");
  EXPECT_DEATH(KeBugCheck(0x1234ABCD), "0x1234ABCD.*\\(unnamed code\\)");
}

TEST_F(BugCheck, ReportCarriesTheLastDebugLinesAndABacktrace) {
  EXPECT_DEATH(
      {
        for (int i = 0; i < 30; ++i) DbgPrint("line %d\n", i);
        DbgPrint("half");
        KiBugCheck(DRIVER_IRQL_NOT_LESS_OR_EQUAL, 0, 0, 0, 0, "rule");
      },
      "Last debug output:\n  \\| line 11\n(  \\| line [0-9]+\n){18}  \\| half\n\\*\\*\\* Host backtrace:\n  .*");
}

TEST_F(BugCheck, HookSeesTheReportBeforeTheAbort) {
  EXPECT_DEATH(
      {
        for (int i = 0; i < 25; ++i) DbgPrint("line %d\n", i);
        nt::verifier::SetBugCheckHook([](const nt::verifier::BugCheckReport &r) {
          std::fprintf(stderr, "HOOK code=%X name=%s p4=%llu lines=%zu first=%s rule=%s\n", r.Code, r.Name.c_str(),
                       (unsigned long long)r.Parameters[3], r.LastLines.size(), r.LastLines.front().c_str(),
                       r.Rule.c_str());
        });
        KiBugCheck(BAD_POOL_CALLER, 7, 0, 0, 99, "pool block freed twice");
      },
      "HOOK code=C2 name=BAD_POOL_CALLER p4=99 lines=20 first=line 5 rule=pool block freed twice");
}

TEST_F(BugCheck, ReportFileWhenAsked) {
  /* The death-test child runs this body again, so the name must not depend on
   * the process. */
  std::string path = testing::TempDir() + "nv_bugcheck_report_" + std::to_string(getuid()) + ".txt";
  std::remove(path.c_str());
  setenv("NERAVOX_BUGCHECK_FILE", path.c_str(), 1);
  EXPECT_DEATH(KiBugCheck(TIMER_OR_DPC_INVALID, 1, 2, 3, 4, "freed pool holds a DPC"), "TIMER_OR_DPC_INVALID");
  unsetenv("NERAVOX_BUGCHECK_FILE");
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  EXPECT_THAT(text.str(), HasSubstr("*** STOP: 0x000000C7 (0x0000000000000001"));
  EXPECT_THAT(text.str(), HasSubstr("Rule: freed pool holds a DPC"));
}

TEST(BugCheckText, NamesAndFormat) {
  EXPECT_EQ(nt::verifier::BugCheckName(0x0A), "IRQL_NOT_LESS_OR_EQUAL");
  EXPECT_EQ(nt::verifier::BugCheckName(0xCE), "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS");
  EXPECT_EQ(nt::verifier::BugCheckName(0xD1), "DRIVER_IRQL_NOT_LESS_OR_EQUAL");
  EXPECT_EQ(nt::verifier::BugCheckName(0x12345), "");
  nt::verifier::BugCheckReport r;
  r.Code = 0xC4;
  r.Name = "DRIVER_VERIFIER_DETECTED_VIOLATION";
  r.Parameters[0] = 0x1001;
  r.Rule = "lock order cycle";
  r.LastLines = {"a", "b"};
  std::string text = nt::verifier::FormatReport(r);
  EXPECT_THAT(text, HasSubstr("*** STOP: 0x000000C4 (0x0000000000001001, 0x0000000000000000"));
  EXPECT_THAT(text, HasSubstr("*** Rule: lock order cycle\n"));
  EXPECT_THAT(text, HasSubstr("  | a\n  | b\n"));
}

}  // namespace
