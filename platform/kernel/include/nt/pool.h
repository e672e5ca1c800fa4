/*
 * Pool statistics and fault injection, for tests and tools.
 *
 * Every block is charged to the driver whose code was running when it was
 * allocated (nullptr: the system itself or a test). Fault injection makes
 * ExAllocatePool* return NULL, so each "no memory" path can be taken one
 * after the other; modes add up (an allocation fails if any mode says so)
 * until ClearFaults(). Boot and shutdown clear them too.
 */
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct _DRIVER_OBJECT;

namespace nt::pool {

struct Usage {
  uint64_t Blocks = 0;
  uint64_t Bytes = 0;
  bool operator==(const Usage &) const = default;
};

struct BlockInfo {
  const void *Address = nullptr;
  ULONG Tag = 0;
  POOL_TYPE Type = NonPagedPool;
  SIZE_T Size = 0;
  struct _DRIVER_OBJECT *Driver = nullptr;
  uint64_t Sequence = 0; /* allocation order within the boot */
};

/* "NRVX" for 'XVRN': the tag as it reads in memory; unprintable bytes as '?'. */
std::string TagText(ULONG Tag);

Usage Outstanding();
Usage OutstandingByTag(ULONG Tag);
Usage OutstandingByDriver(struct _DRIVER_OBJECT *Driver);
/* Outstanding blocks of one driver, by tag. */
std::map<ULONG, Usage> TagsOfDriver(struct _DRIVER_OBJECT *Driver);
std::map<ULONG, Usage> ByTag();
std::map<struct _DRIVER_OBJECT *, Usage> ByDriver();
/* The blocks still charged to Driver, in allocation order: what it leaks if
 * it unloads now. */
std::vector<BlockInfo> Leaks(struct _DRIVER_OBJECT *Driver);
/* Whether Address is the start of an outstanding block. */
bool IsPoolBlock(const void *Address);
/* Successful allocations and frees since boot. */
uint64_t AllocationCount();
uint64_t FreeCount();

/* ---- fault injection ---- */
/* The N-th allocation from now fails (1: the next one); once. 0 cancels. */
void FailNth(uint64_t N);
/* Every allocation with this tag fails (PROTECTED_POOL is ignored). */
void FailTag(ULONG Tag);
/* Every allocation of this kind of pool fails: NonPagedPool stands for every
 * non-paged type (NonPagedPoolNx, ...CacheAligned), PagedPool for every
 * paged one. */
void FailPoolType(POOL_TYPE Type);
/* Each allocation fails with Probability (0..1), drawn from a generator
 * seeded with Seed, so a run can be repeated. */
void FailRandom(uint64_t Seed, double Probability);
/* Only allocations charged to Driver are subject to injection (and counted
 * by FailNth); nullptr: every allocation. */
void RestrictFaultsTo(struct _DRIVER_OBJECT *Driver);
void ClearFaults();
/* Allocations failed by injection since boot. */
uint64_t InjectedFailures();

}  // namespace nt::pool
