/*
 * Bug checks: the report (code and name, parameters, the rule broken, the
 * last debug-output lines, a host backtrace) to stderr and, when
 * $NERAVOX_BUGCHECK_FILE names one, to that file; then abort().
 *
 * Only the first bug check of the process reports. Another thread that bug-
 * checks meanwhile waits for the abort; a bug check from inside the report
 * (a hook that breaks a rule) aborts at once.
 */
#include <execinfo.h>
#include <nt/verifier.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "debug/kdp.h"
#include "ki.h"

namespace {

struct CodeName {
  ULONG Code;
  const char *Name;
};

const CodeName kNames[] = {
    {APC_INDEX_MISMATCH, "APC_INDEX_MISMATCH"},
    {INVALID_AFFINITY_SET, "INVALID_AFFINITY_SET"},
    {INVALID_DATA_ACCESS_TRAP, "INVALID_DATA_ACCESS_TRAP"},
    {INVALID_PROCESS_ATTACH_ATTEMPT, "INVALID_PROCESS_ATTACH_ATTEMPT"},
    {IRQL_NOT_GREATER_OR_EQUAL, "IRQL_NOT_GREATER_OR_EQUAL"},
    {IRQL_NOT_LESS_OR_EQUAL, "IRQL_NOT_LESS_OR_EQUAL"},
    {NO_EXCEPTION_HANDLING_SUPPORT, "NO_EXCEPTION_HANDLING_SUPPORT"},
    {MAXIMUM_WAIT_OBJECTS_EXCEEDED, "MAXIMUM_WAIT_OBJECTS_EXCEEDED"},
    {MUTEX_LEVEL_NUMBER_VIOLATION, "MUTEX_LEVEL_NUMBER_VIOLATION"},
    {SPIN_LOCK_ALREADY_OWNED, "SPIN_LOCK_ALREADY_OWNED"},
    {SPIN_LOCK_NOT_OWNED, "SPIN_LOCK_NOT_OWNED"},
    {THREAD_NOT_MUTEX_OWNER, "THREAD_NOT_MUTEX_OWNER"},
    {REFERENCE_BY_POINTER, "REFERENCE_BY_POINTER"},
    {BAD_POOL_HEADER, "BAD_POOL_HEADER"},
    {KMODE_EXCEPTION_NOT_HANDLED, "KMODE_EXCEPTION_NOT_HANDLED"},
    {KERNEL_APC_PENDING_DURING_EXIT, "KERNEL_APC_PENDING_DURING_EXIT"},
    {NO_MORE_IRP_STACK_LOCATIONS, "NO_MORE_IRP_STACK_LOCATIONS"},
    {MULTIPLE_IRP_COMPLETE_REQUESTS, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {PFN_LIST_CORRUPT, "PFN_LIST_CORRUPT"},
    {PAGE_FAULT_IN_NONPAGED_AREA, "PAGE_FAULT_IN_NONPAGED_AREA"},
    {SYSTEM_THREAD_EXCEPTION_NOT_HANDLED, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED"},
    {DRIVER_POWER_STATE_FAILURE, "DRIVER_POWER_STATE_FAILURE"},
    {ATTEMPTED_SWITCH_FROM_DPC, "ATTEMPTED_SWITCH_FROM_DPC"},
    {BAD_POOL_CALLER, "BAD_POOL_CALLER"},
    {DRIVER_VERIFIER_DETECTED_VIOLATION, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {DRIVER_CORRUPTED_EXPOOL, "DRIVER_CORRUPTED_EXPOOL"},
    {DRIVER_CAUGHT_MODIFYING_FREED_POOL, "DRIVER_CAUGHT_MODIFYING_FREED_POOL"},
    {TIMER_OR_DPC_INVALID, "TIMER_OR_DPC_INVALID"},
    {IRQL_UNEXPECTED_VALUE, "IRQL_UNEXPECTED_VALUE"},
    {DRIVER_VERIFIER_IOMANAGER_VIOLATION, "DRIVER_VERIFIER_IOMANAGER_VIOLATION"},
    {PNP_DETECTED_FATAL_ERROR, "PNP_DETECTED_FATAL_ERROR"},
    {DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS"},
    {DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
     "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
    {DRIVER_IRQL_NOT_LESS_OR_EQUAL, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"},
    {DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL"},
    {DRIVER_USED_EXCESSIVE_PTES, "DRIVER_USED_EXCESSIVE_PTES"},
    {WORKER_THREAD_RETURNED_AT_BAD_IRQL, "WORKER_THREAD_RETURNED_AT_BAD_IRQL"},
    {MANUALLY_INITIATED_CRASH, "MANUALLY_INITIATED_CRASH"},
    {DRIVER_RETURNED_STATUS_REPARSE_FOR_VOLUME_OPEN, "DRIVER_RETURNED_STATUS_REPARSE_FOR_VOLUME_OPEN"},
    {THREAD_STUCK_IN_DEVICE_DRIVER, "THREAD_STUCK_IN_DEVICE_DRIVER"},
    {DPC_WATCHDOG_VIOLATION, "DPC_WATCHDOG_VIOLATION"},
    {KERNEL_SECURITY_CHECK_FAILURE, "KERNEL_SECURITY_CHECK_FAILURE"},
};

std::mutex g_HookLock;
nt::verifier::BugCheckHook g_Hook; /* guarded by g_HookLock */

std::atomic<std::thread::id> g_Reporter{};
thread_local bool t_InBugCheck = false;

void WriteAll(int fd, const std::string &s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n <= 0) return;
    done += (size_t)n;
  }
}

std::string HostBacktrace() {
  void *frames[64];
  int n = backtrace(frames, 64);
  std::string out;
  char **symbols = backtrace_symbols(frames, n);
  if (!symbols) return out;
  for (int i = 1; i < n; ++i) { /* frame 0 is this function */
    out += "  ";
    out += symbols[i];
    out += '\n';
  }
  std::free(symbols);
  return out;
}

}  // namespace

namespace nt::verifier {

void SetBugCheckHook(BugCheckHook Hook) {
  std::lock_guard<std::mutex> g(g_HookLock);
  g_Hook = std::move(Hook);
}

std::string BugCheckName(uint32_t Code) {
  for (const CodeName &n : kNames)
    if (n.Code == Code) return n.Name;
  return std::string();
}

std::string FormatReport(const BugCheckReport &Report) {
  char head[256];
  _snprintf(head, sizeof head, "*** STOP: 0x%08X (0x%016I64X, 0x%016I64X, 0x%016I64X, 0x%016I64X)\n", Report.Code,
            (ULONGLONG)Report.Parameters[0], (ULONGLONG)Report.Parameters[1], (ULONGLONG)Report.Parameters[2],
            (ULONGLONG)Report.Parameters[3]);
  std::string text = "\n*** Fatal System Error (bug check)\n";
  text += head;
  text += "*** ";
  text += Report.Name.empty() ? std::string("(unnamed code)") : Report.Name;
  text += "\n*** Rule: ";
  text += Report.Rule;
  text += "\n*** Last debug output:\n";
  if (Report.LastLines.empty()) text += "  (none)\n";
  for (const std::string &line : Report.LastLines) {
    text += "  | ";
    text += line;
    text += '\n';
  }
  return text;
}

}  // namespace nt::verifier

void KiBugCheck(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4, const char *Rule) {
  if (t_InBugCheck) {
    static const char nested[] = "\n*** bug check during a bug check report; aborting\n";
    (void)!::write(2, nested, sizeof nested - 1);
    std::abort();
  }
  t_InBugCheck = true;
  std::thread::id none{};
  if (!g_Reporter.compare_exchange_strong(none, std::this_thread::get_id())) {
    /* Another thread is reporting and will abort the process. */
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }

  nt::verifier::BugCheckReport report;
  report.Code = Code;
  report.Name = nt::verifier::BugCheckName(Code);
  report.Parameters[0] = P1;
  report.Parameters[1] = P2;
  report.Parameters[2] = P3;
  report.Parameters[3] = P4;
  report.Rule = Rule ? Rule : "";
  report.LastLines = KdpLastLinesForReport(nt::verifier::kReportLines);
  report.Backtrace = HostBacktrace();
  report.Text = nt::verifier::FormatReport(report) + "*** Host backtrace:\n" + report.Backtrace;

  WriteAll(2, report.Text);
  if (const char *path = std::getenv("NERAVOX_BUGCHECK_FILE"); path && *path) {
    if (FILE *f = std::fopen(path, "w")) {
      std::fwrite(report.Text.data(), 1, report.Text.size(), f);
      std::fclose(f);
    }
  }

  nt::verifier::BugCheckHook hook;
  {
    std::unique_lock<std::mutex> g(g_HookLock, std::try_to_lock);
    if (g.owns_lock()) hook = g_Hook;
  }
  if (hook) hook(report);
  std::fflush(nullptr);
  std::abort();
}

extern "C" {

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  KiBugCheck(BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3, BugCheckParameter4,
             "the driver called KeBugCheckEx");
}

void KeBugCheck(ULONG BugCheckCode) { KiBugCheck(BugCheckCode, 0, 0, 0, 0, "the driver called KeBugCheck"); }

}  // extern "C"
