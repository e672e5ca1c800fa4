/*
 * Base types of the x64 Windows kernel (LLP64): LONG/ULONG are 32 bits,
 * pointers and ULONG_PTR are 64 bits, WCHAR is 16 bits (-fshort-wchar).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 2
#error "code that includes the kernel headers must be compiled with -fshort-wchar"
#endif

/* Calling conventions and annotations carry no meaning on this target. */
#define NTAPI
#define NTKERNELAPI
#define NTSYSAPI
#define NTHALAPI
#define FASTCALL
#define __cdecl
#define __stdcall
#define __fastcall
#define FORCEINLINE static inline __attribute__((always_inline))
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED

#include "sal.h"

typedef void *PVOID;
typedef void *LPVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD;
typedef int LONG, *PLONG, INT;
typedef unsigned int ULONG, *PULONG, UINT, DWORD, *PDWORD;
typedef long long LONGLONG, *PLONGLONG, LONG64, INT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, DWORD64, UINT64;
typedef int32_t INT32;
typedef uint32_t UINT32, ULONG32;
typedef int64_t LONG_PTR, *PLONG_PTR, INT_PTR;
typedef uint64_t ULONG_PTR, *PULONG_PTR, UINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR, KAFFINITY;
typedef int64_t SSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWCH, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWCH, *PCWSTR, *LPCWSTR;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef int BOOL;
typedef CHAR CCHAR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL;
typedef UCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL
#define MINLONG ((LONG)0x80000000L)
#define MAXLONGLONG 0x7fffffffffffffffLL

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;        /* bytes, without a terminator */
  USHORT MaximumLength; /* bytes */
  PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING, *PSTRING, OEM_STRING;
typedef const STRING *PCANSI_STRING;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *PCGUID;
#ifdef __cplusplus
typedef const GUID &REFGUID;
#else
typedef const GUID *REFGUID;
#endif

#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

FORCEINLINE BOOLEAN InlineIsEqualGUID(const GUID *a, const GUID *b) {
  const ULONG *x = (const ULONG *)a, *y = (const ULONG *)b;
  return x[0] == y[0] && x[1] == y[1] && x[2] == y[2] && x[3] == y[3];
}
#ifdef __cplusplus
FORCEINLINE BOOLEAN IsEqualGUID(const GUID &a, const GUID &b) { return InlineIsEqualGUID(&a, &b); }
#else
#define IsEqualGUID(a, b) InlineIsEqualGUID((a), (b))
#endif

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define CONTAINING_RECORD(address, type, field) \
  ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define C_ASSERT(e) static_assert(e, #e)

#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), (PWCH)(s)}

/* ---- status values ---- */
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_INFORMATION(s) ((((ULONG)(s)) >> 30) == 1)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

#include "ntstatus.h"

/* ---- doubly linked lists ---- */
FORCEINLINE void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *head) { return head->Flink == head; }
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink, prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
FORCEINLINE void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY prev = head->Blink;
  entry->Flink = head;
  entry->Blink = prev;
  prev->Flink = entry;
  head->Blink = entry;
}
FORCEINLINE void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY next = head->Flink;
  entry->Flink = next;
  entry->Blink = head;
  next->Blink = entry;
  head->Flink = entry;
}
FORCEINLINE void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
  entry->Next = head->Next;
  head->Next = entry;
}
FORCEINLINE PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head) {
  PSINGLE_LIST_ENTRY first = head->Next;
  if (first != NULL) head->Next = first->Next;
  return first;
}

/* ---- interlocked operations (full barriers, as on x64) ---- */
FORCEINLINE LONG InterlockedIncrement(LONG volatile *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedDecrement(LONG volatile *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchange(LONG volatile *p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile *p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedAdd(LONG volatile *p, LONG v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedOr(LONG volatile *p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedAnd(LONG volatile *p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedXor(LONG volatile *p, LONG v) { return __atomic_fetch_xor(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile *p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
FORCEINLINE LONG64 InterlockedIncrement64(LONG64 volatile *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedDecrement64(LONG64 volatile *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile *p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile *p, LONG64 v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile *p, LONG64 exchange, LONG64 comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
FORCEINLINE void KeMemoryBarrier(void) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#define MemoryBarrier KeMemoryBarrier

/* ---- memory helpers (the Rtl macros of the WDK) ---- */
#include <string.h>
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)
