/* DbgPrint and friends, RtlAssert and DbgBreakPoint, all into the capture. */
#include <string>

#include "debug/kdp.h"
#include "ki.h"
#include "rtl/rtlp.h"

namespace {

ULONG Print(PCSTR Prefix, PCSTR Format, va_list Args) {
  std::string text = RtlpFormatToString(Format, Args);
  if (Prefix && *Prefix) text.insert(0, Prefix);
  KdpAppend(text);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  va_list ap;
  va_start(ap, Format);
  ULONG r = Print(nullptr, Format, ap);
  va_end(ap);
  return r;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list ap;
  va_start(ap, Format);
  ULONG r = Print(nullptr, Format, ap);
  va_end(ap);
  return r;
}

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
  return Print(nullptr, Format, arglist);
}

ULONG vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
  return Print(Prefix, Format, arglist);
}

/* Counted only: a line here would change the output the driver's trace tests read. */
void DbgBreakPoint(void) { KdpRecordBreak(); }

void DbgBreakPointWithStatus(ULONG Status) { DbgBreakPoint(); }

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
  const char *expression = FailedAssertion ? (const char *)FailedAssertion : "";
  const char *file = FileName ? (const char *)FileName : "";
  KdpRecordAssertion(expression, file, LineNumber, Message);
  char text[64];
  _snprintf(text, sizeof text, "%u", LineNumber);
  std::string line = "\n*** Assertion failed: ";
  if (Message) line += Message;
  line += expression;
  line += "\n***   Source File: ";
  line += file;
  line += ", line ";
  line += text;
  line += "\n\n";
  KdpAppend(line);
}

}  // extern "C"
