/*
 * Internals of rtl/ shared with debug/ and ex/: the kernel formatter and the
 * UTF-8 <-> UTF-16 conversions that stand for the ANSI code page.
 */
#pragma once

#include <ntddk.h>

#include <stdarg.h>

#include <string>

/* Formats with the kernel's rules into a host string (no length limit other
 * than MaxChars; longer output is cut). */
std::string RtlpFormatToString(const char *Format, va_list Args, size_t MaxChars = 1u << 20);

/* Number of UTF-8 bytes for Count UTF-16 units (unpaired surrogates become '?'). */
size_t RtlpUtf16ToUtf8Length(const WCHAR *Source, size_t Count);
/* Writes at most Capacity bytes, never a partial sequence; returns bytes
 * written and sets *Consumed to the UTF-16 units used. */
size_t RtlpUtf16ToUtf8(const WCHAR *Source, size_t Count, char *Dest, size_t Capacity, size_t *Consumed);
/* Number of UTF-16 units for Count UTF-8 bytes (invalid bytes become U+FFFD). */
size_t RtlpUtf8ToUtf16Length(const char *Source, size_t Count);
size_t RtlpUtf8ToUtf16(const char *Source, size_t Count, WCHAR *Dest, size_t Capacity, size_t *Consumed);

std::string RtlpUtf16ToString(const WCHAR *Source, size_t Count);

/* Pool tag of strings the Rtl routines allocate ("Strg" in memory). */
#define RTLP_STRING_TAG 'grtS'
