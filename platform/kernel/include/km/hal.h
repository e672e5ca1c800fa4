/*
 * Register access. Device registers live in windows that device models
 * register (nt::mmio::Map); the window is reserved but inaccessible memory,
 * so the only way to reach a register is READ_REGISTER_* / WRITE_REGISTER_*,
 * which call the model. A direct dereference faults; an access that does not
 * lie wholly inside one window is a bug check (PAGE_FAULT_IN_NONPAGED_AREA,
 * P1 address, P2 0 read / 1 write, P4 width). This system has no I/O ports:
 * READ_PORT_* / WRITE_PORT_* bug-check. Other stops, all
 * DRIVER_VERIFIER_DETECTED_VIOLATION with P1: 0xE0 an I/O port access
 * (P2 port), 0xE1 nt::mmio::Unmap of no window (P2 base), 0xE2
 * MmUnmapIoSpace of a range MmMapIoSpace did not hand out (P2 base, P3 size).
 *
 * Physical addresses of register windows are their base addresses: a bus
 * driver hands out a window's base as its physical address, and
 * MmMapIoSpace maps a range inside a window to that same address.
 */
#pragma once

#include "ketypes.h"

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2,
  MmHardwareCoherentCached = 3,
  MmNonCachedUnordered = 4,
  MmUSWCCached = 5,
  MmMaximumCacheType = 6,
  MmNotMapped = -1
} MEMORY_CACHING_TYPE;

EXTERN_C_START

NTHALAPI UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register);
NTHALAPI USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register);
NTHALAPI ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register);
NTHALAPI void NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value);
NTHALAPI void NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value);
NTHALAPI void NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);

/* Count consecutive registers starting at Register, as on x64. */
NTHALAPI void NTAPI READ_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer, ULONG Count);
NTHALAPI void NTAPI READ_REGISTER_BUFFER_USHORT(volatile USHORT *Register, PUSHORT Buffer, ULONG Count);
NTHALAPI void NTAPI READ_REGISTER_BUFFER_ULONG(volatile ULONG *Register, PULONG Buffer, ULONG Count);
NTHALAPI void NTAPI WRITE_REGISTER_BUFFER_UCHAR(volatile UCHAR *Register, PUCHAR Buffer, ULONG Count);
NTHALAPI void NTAPI WRITE_REGISTER_BUFFER_USHORT(volatile USHORT *Register, PUSHORT Buffer, ULONG Count);
NTHALAPI void NTAPI WRITE_REGISTER_BUFFER_ULONG(volatile ULONG *Register, PULONG Buffer, ULONG Count);

NTHALAPI UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
NTHALAPI USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
NTHALAPI ULONG NTAPI READ_PORT_ULONG(PULONG Port);
NTHALAPI void NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
NTHALAPI void NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
NTHALAPI void NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);

/* The base address of [PhysicalAddress, +NumberOfBytes) when the range lies
 * inside one register window; NULL otherwise. */
NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheType);
/* Nothing to undo; an address that was never mapped bug-checks. */
NTKERNELAPI void NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

EXTERN_C_END
