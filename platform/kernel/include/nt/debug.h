/*
 * The kernel debugger's side of debug output: everything printed with
 * DbgPrint, DbgPrintEx, KdPrint, the assertion messages and the breaks, as
 * tests and tools see it.
 *
 * Output is kept per boot (cleared when the system boots) as lines, split at
 * '\n'. Text without a '\n' stays an open line of the printing thread until
 * that thread completes it, so concurrent printers never tear each other's
 * lines; open lines are closed when the system shuts down. The capture is a
 * ring: past Capacity() lines the oldest are dropped.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nt::debug {

/* Completed lines of this boot, oldest first, without their '\n'. */
std::vector<std::string> Lines();
/* The last Count completed lines. */
std::vector<std::string> LastLines(size_t Count);
/* Forgets the lines, open lines, assertions and breaks recorded so far. */
void Clear();
size_t Capacity();
/* Lines dropped from the ring so far. */
uint64_t DroppedLines();

/* Sequence number that the next completed line will get; lines are numbered
 * from 0 at each boot and Clear() does not reset the numbering. */
uint64_t NextLineNumber();
/* Whether a completed line numbered From or later contains Text. */
bool Contains(std::string_view Text, uint64_t From = 0);
/* Waits until a line numbered From or later contains Text - a line already
 * present counts, and so does an open line. False after Timeout. */
bool WaitForLine(std::string_view Text, std::chrono::milliseconds Timeout, uint64_t From = 0);

struct Assertion {
  std::string Expression;
  std::string File;
  unsigned long Line = 0;
  std::string Message; /* empty when the assertion had none */
};
/* Every RtlAssert of this boot, in order. */
std::vector<Assertion> Assertions();
/* DbgBreakPoint/DbgBreakPointWithStatus calls of this boot. */
uint64_t BreakCount();

/* Called with each completed line, in order, on the printing thread, outside
 * the capture's lock (it may print or read the capture). After Unsubscribe
 * returns the callback is not running and will not be called again (unless
 * Unsubscribe is called from the callback itself). */
using Subscriber = std::function<void(const std::string &Line)>;
int Subscribe(Subscriber Callback);
void Unsubscribe(int Id);

/* Echo completed lines to stderr. Also on when $NERAVOX_DEBUG_ECHO is 1. */
void SetEcho(bool Echo);
bool Echo();

}  // namespace nt::debug
