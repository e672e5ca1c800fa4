/*
 * Run-time library of the kernel: counted strings, GUID text, the kernel's
 * own printf family, the kernel C runtime's 16-bit wide-string functions,
 * debug output, assertions and bug checks.
 *
 * Formatting follows the Windows kernel's rules, not the host's: "l" is 32
 * bits, "ll"/"I64" 64 bits, "I"/"z" pointer-sized, "%p" prints 16 upper-case
 * hex digits, "%ws"/"%S" take a WCHAR string and "%wZ" a PUNICODE_STRING.
 * The host's printf is never used for these formats, and the compiler's
 * printf format checking is not applied to them (it knows the host's rules).
 *
 * The ANSI code page of this system is UTF-8: conversions between ANSI and
 * Unicode strings (and "%ws" into narrow output) encode and decode UTF-8.
 *
 * Name clashes with the host C library. Under -fshort-wchar glibc still
 * declares wcslen(const wchar_t *) and friends for its own 32-bit wide
 * characters, with the same C++ signature ours would have, and sprintf and
 * vsprintf with the host's format rules. This header therefore includes the
 * host's <stdio.h> and <wchar.h> first and then renames the clashing names
 * with macros to the kernel runtime's functions (RtlpCrt*). Any use of
 * wcslen, wcscpy, ..., sprintf or vsprintf after this header - in driver code
 * and in inline code of headers included later - reaches the kernel
 * versions, which is what code built with 16-bit WCHAR needs. The names
 * glibc does not have (_snprintf, _vsnprintf, _wcsicmp, ...) are plain
 * functions.
 */
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>
#ifdef __cplusplus
#include <cstdio>
#include <cwchar>
#endif

#include "ketypes.h"

EXTERN_C_START

/* ---- counted strings ---- */
NTSYSAPI void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
NTSYSAPI void NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString);
/* Copies as much of Source as Destination->MaximumLength holds; NUL-terminates
 * when there is room. A NULL Source gives an empty Destination. */
NTSYSAPI void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
/* STATUS_BUFFER_TOO_SMALL, with Destination untouched, when the result would
 * not fit in Destination->MaximumLength. */
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
/* Base 0 means 10; bases other than 2, 8, 10, 16 give STATUS_INVALID_PARAMETER.
 * The digits and a NUL must fit in MaximumLength, else STATUS_BUFFER_OVERFLOW. */
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
/* Leading blanks, an optional sign, with Base 0 a 0x/0o/0b prefix; stops at the
 * first character that is no digit of the base. */
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
/* Strings allocated by the Rtl routines come from paged pool with tag 'Strg'. */
NTSYSAPI void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
/* Without allocation, a result that does not fit is cut (still terminated)
 * and STATUS_BUFFER_OVERFLOW returned. */
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
NTSYSAPI ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)
NTSYSAPI NTSTATUS NTAPI RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut);
#define RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE 1
#define RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING 2

EXTERN_C_END

/* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case; the string is
 * allocated (free it with RtlFreeUnicodeString). */
NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
/* Accepts exactly the form above (either case); STATUS_INVALID_PARAMETER otherwise. */
NTSYSAPI NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID *Guid);

/* ---- the kernel C runtime: 16-bit wide strings ---- */
EXTERN_C_START
size_t RtlpCrtWcslen(const WCHAR *s);
size_t RtlpCrtWcsnlen(const WCHAR *s, size_t n);
WCHAR *RtlpCrtWcscpy(WCHAR *d, const WCHAR *s);
WCHAR *RtlpCrtWcsncpy(WCHAR *d, const WCHAR *s, size_t n);
WCHAR *RtlpCrtWcscat(WCHAR *d, const WCHAR *s);
int RtlpCrtWcscmp(const WCHAR *a, const WCHAR *b);
int RtlpCrtWcsncmp(const WCHAR *a, const WCHAR *b, size_t n);
WCHAR *RtlpCrtWcschr(const WCHAR *s, WCHAR c);
WCHAR *RtlpCrtWcsrchr(const WCHAR *s, WCHAR c);
WCHAR *RtlpCrtWcsstr(const WCHAR *s, const WCHAR *find);
int _wcsicmp(const WCHAR *a, const WCHAR *b);
int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t n);
int _stricmp(const char *a, const char *b);
int _strnicmp(const char *a, const char *b, size_t n);

/* ---- the kernel's printf family ----
 * _snprintf/_vsnprintf: at most Count characters are written; the result is
 * the number written, or -1 when the output did not fit (a terminator is
 * written only when there is room for it). */
int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args);
int _snprintf(char *Buffer, size_t Count, const char *Format, ...);
int _vsnwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, va_list Args);
int _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...);
int RtlpCrtVsprintf(char *Buffer, const char *Format, va_list Args);
int RtlpCrtSprintf(char *Buffer, const char *Format, ...);
/* The length the output of Format would have, without the terminator. */
int _vscprintf(const char *Format, va_list Args);
EXTERN_C_END

#define wcslen RtlpCrtWcslen
#define wcsnlen RtlpCrtWcsnlen
#define wcscpy RtlpCrtWcscpy
#define wcsncpy RtlpCrtWcsncpy
#define wcscat RtlpCrtWcscat
#define wcscmp RtlpCrtWcscmp
#define wcsncmp RtlpCrtWcsncmp
#define wcschr RtlpCrtWcschr
#define wcsrchr RtlpCrtWcsrchr
#define wcsstr RtlpCrtWcsstr
#define sprintf RtlpCrtSprintf
#define vsprintf RtlpCrtVsprintf

/* ---- safe string functions (always terminated; STATUS_BUFFER_OVERFLOW when
 *      the result was cut; STATUS_INVALID_PARAMETER for a zero or oversized
 *      destination) ---- */
#define NTSTRSAFE_MAX_CCH 2147483647
typedef char *NTSTRSAFE_PSTR;
typedef const char *NTSTRSAFE_PCSTR;
typedef WCHAR *NTSTRSAFE_PWSTR;
typedef const WCHAR *NTSTRSAFE_PCWSTR;
EXTERN_C_START
NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc);
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
/* STATUS_INVALID_PARAMETER when no terminator lies within the maximum. */
NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t *pcbLength);
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t *pcbLength);
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t *pcchLength);
EXTERN_C_END

/* ---- debug output ---- */
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
#define DPFLTR_SYSTEM_ID 0
#define DPFLTR_DEFAULT_ID 101
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVBUS_ID 79
#define DPFLTR_SERIAL_ID 97

EXTERN_C_START
/* Every message reaches the capture: there is no component filter. */
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
ULONG vDbgPrintExWithPrefix(PCSTR Prefix, ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
/* Records the break and continues: there is no debugger to stop in. */
NTSYSAPI void NTAPI DbgBreakPoint(void);
NTSYSAPI void NTAPI DbgBreakPointWithStatus(ULONG Status);

/* Records the assertion, prints it to the debug output and continues. */
NTSYSAPI void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);
EXTERN_C_END

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#define KdBreakPoint() DbgBreakPoint()
#define KdBreakPointWithStatus(s) DbgBreakPointWithStatus(s)

/* Assertions as in a checked build: always evaluated. */
#define ASSERT(exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PCHAR)(msg)), FALSE) : TRUE)
#define RTL_SOFT_ASSERT(exp) ASSERT(exp)
#define RTL_SOFT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
#define NT_ASSERTMSGW(msg, exp) ASSERT(exp)
#define NT_VERIFY(exp) ASSERT(exp)
#define NT_VERIFYMSG(msg, exp) ASSERTMSG(msg, exp)
#define NT_ANALYSIS_ASSUME(exp) ((void)0)

/* ---- bug checks ---- */
#define IRQL_NOT_GREATER_OR_EQUAL ((ULONG)0x00000009L)
#define IRQL_NOT_LESS_OR_EQUAL ((ULONG)0x0000000AL)
#define NO_EXCEPTION_HANDLING_SUPPORT ((ULONG)0x0000000BL)
#define MAXIMUM_WAIT_OBJECTS_EXCEEDED ((ULONG)0x0000000CL)
#define SPIN_LOCK_ALREADY_OWNED ((ULONG)0x0000000FL)
#define SPIN_LOCK_NOT_OWNED ((ULONG)0x00000010L)
#define THREAD_NOT_MUTEX_OWNER ((ULONG)0x00000011L)
#define KMODE_EXCEPTION_NOT_HANDLED ((ULONG)0x0000001EL)
#define PFN_LIST_CORRUPT ((ULONG)0x0000004EL)
#define INVALID_PROCESS_ATTACH_ATTEMPT ((ULONG)0x00000005L)
#define MUTEX_LEVEL_NUMBER_VIOLATION ((ULONG)0x0000000DL)
#define NO_MORE_IRP_STACK_LOCATIONS ((ULONG)0x00000035L)
#define MULTIPLE_IRP_COMPLETE_REQUESTS ((ULONG)0x00000044L)
#define PAGE_FAULT_IN_NONPAGED_AREA ((ULONG)0x00000050L)
#define REFERENCE_BY_POINTER ((ULONG)0x00000018L)
#define INVALID_DATA_ACCESS_TRAP ((ULONG)0x00000004L)
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED ((ULONG)0x0000007EL)
#define DRIVER_CORRUPTED_EXPOOL ((ULONG)0x000000C5L)
#define BAD_POOL_HEADER ((ULONG)0x00000019L)
#define BAD_POOL_CALLER ((ULONG)0x000000C2L)
#define DRIVER_VERIFIER_DETECTED_VIOLATION ((ULONG)0x000000C4L)
#define TIMER_OR_DPC_INVALID ((ULONG)0x000000C7L)
#define IRQL_UNEXPECTED_VALUE ((ULONG)0x000000C8L)
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION ((ULONG)0x000000C9L)
#define PNP_DETECTED_FATAL_ERROR ((ULONG)0x000000CAL)
#define DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS ((ULONG)0x000000CBL)
#define DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS ((ULONG)0x000000CEL)
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL ((ULONG)0x000000D1L)
#define DRIVER_USED_EXCESSIVE_PTES ((ULONG)0x000000D8L)
#define DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL ((ULONG)0x000000D5L)
#define DRIVER_CAUGHT_MODIFYING_FREED_POOL ((ULONG)0x000000C6L)
#define DRIVER_POWER_STATE_FAILURE ((ULONG)0x0000009FL)
#define MANUALLY_INITIATED_CRASH ((ULONG)0x000000E2L)
#define WORKER_THREAD_RETURNED_AT_BAD_IRQL ((ULONG)0x000000E1L)
#define DRIVER_RETURNED_STATUS_REPARSE_FOR_VOLUME_OPEN ((ULONG)0x000000E6L)
#define THREAD_STUCK_IN_DEVICE_DRIVER ((ULONG)0x000000EAL)
#define KERNEL_APC_PENDING_DURING_EXIT ((ULONG)0x00000020L)
#define APC_INDEX_MISMATCH ((ULONG)0x00000001L)
#define INVALID_AFFINITY_SET ((ULONG)0x00000003L)
#define ATTEMPTED_SWITCH_FROM_DPC ((ULONG)0x000000B8L)
#define DPC_WATCHDOG_VIOLATION ((ULONG)0x00000133L)
#define KERNEL_SECURITY_CHECK_FAILURE ((ULONG)0x00000139L)

EXTERN_C_START
/* Stops the system with the bug-check report; never returns. */
DECLSPEC_NORETURN NTKERNELAPI void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                      ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                                      ULONG_PTR BugCheckParameter4);
DECLSPEC_NORETURN NTKERNELAPI void NTAPI KeBugCheck(ULONG BugCheckCode);
EXTERN_C_END
