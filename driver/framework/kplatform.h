/*
 * The kernel headers of the target. Every framework and driver unit includes
 * this header first; it is the only place that knows which kernel the code is
 * built for: the real Windows kernel (NERAVOX_WDK, mingw-w64 DDK headers) or
 * the project's own user-mode stand-in.
 */
#pragma once

#if defined(NERAVOX_WDK)
/* The DDK headers declare these two as intrinsics a second time unless told
   the compiler already provides them. */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/ntddk.h>
#include <ntddser.h> /* mingw-w64 keeps it beside, not inside, ddk/ */
#include <stdarg.h>
/* Exported by the kernel; the DDK headers declare it only for user mode. */
EXTERN_C int __cdecl _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Arguments);
/* The x64 DDK headers define it for 32-bit targets only. */
FORCEINLINE VOID KeMemoryBarrier(VOID) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#else
#include <ntddk.h>
#include <ntddser.h>
#endif

/* Pool tag of every framework and driver allocation, shown as "NRVX". */
#define NERAVOX_POOL_TAG ((ULONG)'N' | ((ULONG)'R' << 8) | ((ULONG)'V' << 16) | ((ULONG)'X' << 24))

/* Contract checks: reported through RtlAssert with the expression and the
   unit's name, then execution continues. KASSERT_AT pins the line that the
   report names. Each unit defines KUNIT before using them. */
#define KASSERT_AT(e, line) \
  ((e) ? (void)0 : RtlAssert((PVOID)(#e), (PVOID)(KUNIT), (ULONG)(line), NULL))
#define KASSERT(e) ((e) ? (void)0 : RtlAssert((PVOID)(#e), (PVOID)(KUNIT), (ULONG)__LINE__, NULL))
/* The same with a text of the caller's choosing. */
#define KASSERT_TEXT(e, text, line) \
  ((e) ? (void)0 : RtlAssert((PVOID)(text), (PVOID)(KUNIT), (ULONG)(line), NULL))

/* Pool for framework objects: operator new over tagged pool. A request for
   0 bytes gives NULL without calling the pool. These are overloads, not
   replacements of the global operators: objects created with them are freed
   through their class's operator delete or with KFree. */
void *operator new(size_t Size, POOL_TYPE Pool) noexcept;
void *operator new(size_t Size, POOL_TYPE Pool, ULONG Tag) noexcept;
void *operator new[](size_t Size, POOL_TYPE Pool) noexcept;
void *operator new[](size_t Size, POOL_TYPE Pool, ULONG Tag) noexcept;
/* Only called when a constructor would throw, which kernel code never does. */
void operator delete(void *Memory, POOL_TYPE Pool) noexcept;
void operator delete(void *Memory, POOL_TYPE Pool, ULONG Tag) noexcept;
void operator delete[](void *Memory, POOL_TYPE Pool) noexcept;
void operator delete[](void *Memory, POOL_TYPE Pool, ULONG Tag) noexcept;

/* Allocation and release with the framework's tag. */
PVOID KAllocate(POOL_TYPE Pool, SIZE_T Size);
PVOID KAllocate(POOL_TYPE Pool, SIZE_T Size, ULONG Tag);
VOID KFree(PVOID Memory);
VOID KFree(PVOID Memory, ULONG Tag);
