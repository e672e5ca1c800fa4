/*
 * Bug checks as tests and tools see them. A bug check stops the run: the
 * report goes to stderr (and to the file named by $NERAVOX_BUGCHECK_FILE
 * when set), then the process aborts, so tests expect one with a death test
 * on the rule text or the code's name. A hook set here sees the report first,
 * on the thread that bug-checked, and may print it its own way; it cannot
 * prevent the abort.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nt::verifier {

struct BugCheckReport {
  uint32_t Code = 0;
  std::string Name;           /* "BAD_POOL_CALLER"; empty for codes without one here */
  uint64_t Parameters[4] = {};
  std::string Rule;           /* the rule that was broken */
  std::vector<std::string> LastLines; /* the last debug-output lines, oldest first */
  std::string Backtrace;      /* host frames, one per line */
  std::string Text;           /* the whole report as printed */
};

using BugCheckHook = std::function<void(const BugCheckReport &Report)>;
/* Replaces the hook; an empty function removes it. */
void SetBugCheckHook(BugCheckHook Hook);

/* The name of a bug-check code ("MULTIPLE_IRP_COMPLETE_REQUESTS"), or "". */
std::string BugCheckName(uint32_t Code);
/* The report text KiBugCheck would print for these values (without the
 * backtrace): for tools that show reports. */
std::string FormatReport(const BugCheckReport &Report);

/* How many lines of debug output a report carries. */
constexpr size_t kReportLines = 20;

}  // namespace nt::verifier
