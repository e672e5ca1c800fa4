/*
 * Time. Interrupt time is the host's monotonic clock (the clock that
 * std::chrono::steady_clock and the dispatcher's condition variables use)
 * in 100 ns units; system time is the host's real-time clock moved to the
 * Windows epoch.
 */
#include <chrono>
#include <thread>

#include "ki.h"

namespace {
/* 100 ns intervals between 1601-01-01 and 1970-01-01. */
constexpr LONGLONG kEpochDifference = 116444736000000000LL;
/* The tick Windows reports on x64 machines by default: 15.625 ms. */
constexpr ULONG kTimeIncrement = 156250;

LONGLONG SystemTimeNow() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 + kEpochDifference;
}
}  // namespace

ULONGLONG KeQueryInterruptTime(void) {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return (ULONGLONG)(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = (LONGLONG)(KeQueryInterruptTime() / kTimeIncrement);
}

ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != NULL) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = (LONGLONG)KeQueryInterruptTime();
  return now;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  ULONGLONG end = KeQueryInterruptTime() + (ULONGLONG)MicroSeconds * 10;
  while (KeQueryInterruptTime() < end) {
  }
}

ULONGLONG KiDeadlineFromTimeout(LONGLONG Timeout) {
  ULONGLONG now = KeQueryInterruptTime();
  if (Timeout < 0) {
    /* -MINLONGLONG overflows; such a wait is as good as for ever. */
    ULONGLONG relative = Timeout == INT64_MIN ? (ULONGLONG)INT64_MAX : (ULONGLONG)(-Timeout);
    return relative > ~0ULL - now ? ~0ULL : now + relative;
  }
  if (Timeout == 0) return now;
  LONGLONG delta = Timeout - SystemTimeNow();
  if (delta <= 0) return now;
  return (ULONGLONG)delta > ~0ULL - now ? ~0ULL : now + (ULONGLONG)delta;
}

/* A plain yield keeps a polling thread on its processor whenever nothing
 * else is queued there, while the threads that play the hardware wait on
 * the other one; the shortest sleep the host has lets them in. */
VOID YieldProcessor(void) { std::this_thread::sleep_for(std::chrono::microseconds(1)); }
