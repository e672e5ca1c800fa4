/* Internals of debug/: the capture as the bug check and the print paths use it. */
#pragma once

#include <string>
#include <string_view>
#include <vector>

/* Appends raw text from the calling thread; lines complete at '\n'. */
void KdpAppend(std::string_view Text);
/* The last Count completed lines (and the calling thread's open line, if
 * any). Gives up on a capture that stays locked, returning what it has. */
std::vector<std::string> KdpLastLinesForReport(size_t Count);
void KdpRecordAssertion(const char *Expression, const char *File, unsigned long Line, const char *Message);
void KdpRecordBreak();
/* A new boot: forget everything recorded (subscribers and echo stay). */
void KdpResetCapture();
/* Completes the open line of every thread. */
void KdpCloseOpenLines();
