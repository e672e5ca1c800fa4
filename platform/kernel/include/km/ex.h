/*
 * Executive services: pool memory, interlocked lists over spin locks, fast
 * mutexes.
 *
 * Pool tags are four-character literals as in the WDK: 'XVRN' is stored
 * little-endian and reads "NRVX" in memory and in every report.
 *
 * Every block is tracked (tag, pool type, size, the driver charged) and the
 * verifier is always on: freeing with the wrong tag, twice, or a pointer
 * that is no pool block stops with BAD_POOL_CALLER (0xC2); paged pool above
 * APC_LEVEL, any pool above DISPATCH_LEVEL or a zero-byte request stops with
 * DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4); freeing a block that holds a
 * queued DPC or a set timer stops with TIMER_OR_DPC_INVALID (0xC7). Freed
 * memory is filled with 0xDF and held back for a while, so a use after free
 * reads the pattern.
 */
#pragma once

#include "ketypes.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = NonPagedPool,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  MaxPoolType = 7,
  NonPagedPoolBase = 0,
  NonPagedPoolBaseMustSucceed = 2,
  NonPagedPoolBaseCacheAligned = 4,
  NonPagedPoolBaseCacheAlignedMustS = 6,
  NonPagedPoolSession = 32,
  PagedPoolSession = 33,
  NonPagedPoolMustSucceedSession = 34,
  DontUseThisTypeSession = 35,
  NonPagedPoolCacheAlignedSession = 36,
  PagedPoolCacheAlignedSession = 37,
  NonPagedPoolCacheAlignedMustSSession = 38,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
  NonPagedPoolSessionNx = 544,
} POOL_TYPE;

/* Modifiers that may be or-ed into a POOL_TYPE. */
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_COLD_ALLOCATION 256
#define POOL_NX_ALLOCATION 512

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

/* Set in a tag by callers that want frees checked against it; ignored when
 * comparing tags. */
#define PROTECTED_POOL 0x80000000

EXTERN_C_START

/* NULL when the pool cannot (or fault injection will not) satisfy the request. */
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
/* Tag 'enoN' ("None"). */
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
/* Zeroed unless POOL_FLAG_UNINITIALIZED; exactly one of POOL_FLAG_NON_PAGED,
 * POOL_FLAG_NON_PAGED_EXECUTE, POOL_FLAG_PAGED. */
NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolUninitialized(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
/* Tag 0 skips the tag check. */
NTKERNELAPI void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI void NTAPI ExFreePool(PVOID P);
NTKERNELAPI void NTAPI ExFreePool2(PVOID P, ULONG Tag, PVOID Parameters, ULONG ParametersCount);

/* ---- interlocked lists: the list operation under Lock, callable at any
 *      IRQL (above DISPATCH_LEVEL the lock is taken without raising) ---- */
NTKERNELAPI PLIST_ENTRY FASTCALL ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                            PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                            PKSPIN_LOCK Lock);
/* The removed entry, or NULL when the list is empty. */
NTKERNELAPI PLIST_ENTRY FASTCALL ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY FASTCALL ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                  PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY FASTCALL ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock);

/* ---- fast mutexes: not recursive; held at APC_LEVEL ---- */
typedef struct _FAST_MUTEX {
  volatile LONG Count; /* 1: free */
  PVOID Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;
C_ASSERT(sizeof(FAST_MUTEX) == 56);

NTKERNELAPI void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI void FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI void FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

EXTERN_C_END
