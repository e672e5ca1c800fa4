/*
 * Pool memory: host allocations tracked block by block, the pool verifier
 * and fault injection.
 *
 * Bug-check parameters used here (first parameter):
 *   BAD_POOL_CALLER (0xC2)
 *     0x07  block freed twice           P2 0, P3 the block's tag, P4 address
 *     0x0A  freed with another tag      P2 address, P3 the block's tag, P4 the tag given
 *     0x46  not the start of a block    P2 address
 *     0x9B  allocation with tag 0       P2 pool type, P3 size
 *   DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4)
 *     0x00  zero-byte allocation        P2 IRQL, P3 pool type, P4 size
 *     0x01  paged pool above APC_LEVEL  P2 IRQL, P3 pool type, P4 size
 *     0x02  pool above DISPATCH_LEVEL   P2 IRQL, P3 pool type, P4 size
 *     0x11  paged free above APC_LEVEL  P2 IRQL, P3 pool type, P4 address
 *     0x12  free above DISPATCH_LEVEL   P2 IRQL, P3 pool type, P4 address
 *   TIMER_OR_DPC_INVALID (0xC7)
 *     0x00 a set timer, 0x01 a queued DPC, in the freed block:
 *                                       P2 0, P3 block start, P4 block end
 *
 * Freed blocks are filled with 0xDF and kept in a quarantine of bounded
 * size before they go back to the host, so a use after free reads the
 * pattern (and under AddressSanitizer faults at once: the quarantine is
 * poisoned), and a second free of a quarantined block is known to be one.
 */
#include <nt/pool.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "ex/exp.h"
#include "ki.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr UCHAR kFreedFill = 0xDF;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 16u << 20;
constexpr ULONG kDefaultTag = 'enoN';
/* Larger requests fail without asking the host (which, under a sanitizer,
 * would stop the run instead of failing). */
constexpr SIZE_T kMaxBlock = (SIZE_T)1 << 32;

struct Block {
  ULONG Tag;
  POOL_TYPE Type;
  SIZE_T Size;
  SIZE_T Allocated; /* bytes the host gave */
  struct _DRIVER_OBJECT *Driver;
  uint64_t Sequence;
};

struct Quarantined {
  void *Address;
  SIZE_T Allocated;
  ULONG Tag;
};

struct Faults {
  uint64_t Countdown = 0; /* FailNth: 0 off */
  std::set<ULONG> Tags;
  bool FailNonPaged = false, FailPaged = false;
  bool Random = false;
  double Probability = 0;
  std::mt19937_64 Generator;
  bool Restricted = false;
  struct _DRIVER_OBJECT *OnlyDriver = nullptr;
};

struct PoolState {
  std::mutex Lock; /* guards everything here */
  std::unordered_map<uintptr_t, Block> Live;
  std::deque<Quarantined> Quarantine;
  std::unordered_set<uintptr_t> QuarantineSet;
  size_t QuarantineBytes = 0;
  uint64_t Sequence = 0;
  uint64_t Allocations = 0, Frees = 0, Injected = 0;
  Faults Inject;
};

PoolState &Pool() {
  static PoolState *p = new PoolState; /* lives for the process: threads may free during exit */
  return *p;
}

bool IsPaged(POOL_TYPE type) { return ((ULONG)type & 1) != 0; }
bool IsCacheAligned(POOL_TYPE type) { return ((ULONG)type & 4) != 0; }
ULONG TagKey(ULONG tag) { return tag & ~(ULONG)PROTECTED_POOL; }

/* Caller holds the lock. */
bool ShouldFail(PoolState &p, POOL_TYPE type, ULONG tag) {
  Faults &f = p.Inject;
  if (f.Restricted && KiCurrentDriver() != f.OnlyDriver) return false;
  bool fail = false;
  if (f.Countdown != 0 && --f.Countdown == 0) fail = true;
  if (!f.Tags.empty() && f.Tags.count(TagKey(tag))) fail = true;
  if (IsPaged(type) ? f.FailPaged : f.FailNonPaged) fail = true;
  if (f.Random && std::uniform_real_distribution<double>(0.0, 1.0)(f.Generator) < f.Probability) fail = true;
  return fail;
}

/* Caller holds the lock; returns the blocks to hand back to the host. */
void TrimQuarantine(PoolState &p, std::vector<Quarantined> &release) {
  while (!p.Quarantine.empty() &&
         (p.Quarantine.size() > kQuarantineBlocks || p.QuarantineBytes > kQuarantineBytes)) {
    Quarantined q = p.Quarantine.front();
    p.Quarantine.pop_front();
    p.QuarantineSet.erase((uintptr_t)q.Address);
    p.QuarantineBytes -= q.Allocated;
    release.push_back(q);
  }
}

void Release(const std::vector<Quarantined> &blocks) {
  for (const Quarantined &q : blocks) {
    POOL_UNPOISON(q.Address, q.Allocated);
    std::free(q.Address);
  }
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
  KIRQL irql = KeGetCurrentIrql();
  if (IsPaged(type) && irql > APC_LEVEL)
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x01, irql, (ULONG_PTR)type, size,
               "paged pool allocated above APC_LEVEL");
  if (irql > DISPATCH_LEVEL)
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x02, irql, (ULONG_PTR)type, size,
               "pool allocated above DISPATCH_LEVEL");
  if (size == 0)
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x00, irql, (ULONG_PTR)type, size,
               "zero-byte pool allocation");
  if (tag == 0)
    KiBugCheck(BAD_POOL_CALLER, 0x9B, (ULONG_PTR)type, size, 0, "pool allocated with tag 0");

  PoolState &p = Pool();
  {
    std::lock_guard<std::mutex> g(p.Lock);
    if (ShouldFail(p, type, tag)) {
      ++p.Injected;
      return NULL;
    }
  }
  /* Exactly Size bytes, so that AddressSanitizer sees an overrun by one. */
  SIZE_T align = IsCacheAligned(type) ? 64 : 16;
  void *memory = nullptr;
  if (size > kMaxBlock || posix_memalign(&memory, align, size) != 0) return NULL;
  SIZE_T allocated = size;

  std::lock_guard<std::mutex> g(p.Lock);
  p.Live[(uintptr_t)memory] = Block{tag, type, size, allocated, KiCurrentDriver(), p.Sequence++};
  ++p.Allocations;
  return memory;
}

void Free(PVOID address, ULONG tag, bool tagGiven) {
  PoolState &p = Pool();
  Block block;
  {
    std::unique_lock<std::mutex> g(p.Lock);
    auto it = p.Live.find((uintptr_t)address);
    if (it == p.Live.end()) {
      bool twice = p.QuarantineSet.count((uintptr_t)address) != 0;
      ULONG oldTag = 0;
      if (twice)
        for (const Quarantined &q : p.Quarantine)
          if (q.Address == address) oldTag = q.Tag;
      g.unlock();
      if (twice) {
        std::string rule = "pool block freed twice (tag '" + nt::pool::TagText(oldTag) + "')";
        KiBugCheck(BAD_POOL_CALLER, 0x07, 0, oldTag, (ULONG_PTR)address, rule.c_str());
      }
      KiBugCheck(BAD_POOL_CALLER, 0x46, (ULONG_PTR)address, 0, 0, "freed address is not a pool block");
    }
    block = it->second;
  }

  KIRQL irql = KeGetCurrentIrql();
  if (IsPaged(block.Type) && irql > APC_LEVEL)
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x11, irql, (ULONG_PTR)block.Type, (ULONG_PTR)address,
               "paged pool freed above APC_LEVEL");
  if (irql > DISPATCH_LEVEL)
    KiBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x12, irql, (ULONG_PTR)block.Type, (ULONG_PTR)address,
               "pool freed above DISPATCH_LEVEL");
  bool protectedBlock = (block.Tag & PROTECTED_POOL) != 0;
  if ((tagGiven && tag != 0 && TagKey(tag) != TagKey(block.Tag)) || (protectedBlock && !tagGiven)) {
    std::string rule = "pool block freed with a tag other than its own (block '" + nt::pool::TagText(block.Tag) +
                       "', freed as '" + (tagGiven ? nt::pool::TagText(tag) : std::string("no tag")) + "')";
    KiBugCheck(BAD_POOL_CALLER, 0x0A, (ULONG_PTR)address, block.Tag, tag, rule.c_str());
  }
  ULONG_PTR start = (ULONG_PTR)address, end = start + block.Size;
  if (KiTimerSetInRange(address, block.Size))
    KiBugCheck(TIMER_OR_DPC_INVALID, 0x00, 0, start, end, "freed pool holds a timer that is still set");
  if (KiDpcQueuedInRange(address, block.Size))
    KiBugCheck(TIMER_OR_DPC_INVALID, 0x01, 0, start, end, "freed pool holds a DPC that is still queued");
  KiForgetLocksInRange(address, block.Size);

  std::vector<Quarantined> release;
  {
    std::unique_lock<std::mutex> g(p.Lock);
    if (p.Live.erase((uintptr_t)address) == 0) {
      /* Another thread freed it while we checked. */
      g.unlock();
      KiBugCheck(BAD_POOL_CALLER, 0x07, 0, block.Tag, (ULONG_PTR)address, "pool block freed twice");
    }
    memset(address, kFreedFill, block.Allocated);
    POOL_POISON(address, block.Allocated);
    p.Quarantine.push_back({address, block.Allocated, block.Tag});
    p.QuarantineSet.insert((uintptr_t)address);
    p.QuarantineBytes += block.Allocated;
    ++p.Frees;
    TrimQuarantine(p, release);
  }
  Release(release);
}

}  // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate(PoolType, NumberOfBytes, kDefaultTag);
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  PVOID p = Allocate(PoolType, NumberOfBytes, Tag);
  if (p) memset(p, 0, NumberOfBytes);
  return p;
}

PVOID ExAllocatePoolUninitialized(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  POOL_FLAGS kind = Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
  POOL_TYPE type;
  if (kind == POOL_FLAG_NON_PAGED)
    type = NonPagedPoolNx;
  else if (kind == POOL_FLAG_NON_PAGED_EXECUTE)
    type = NonPagedPool;
  else if (kind == POOL_FLAG_PAGED)
    type = PagedPool;
  else
    return NULL;
  if (Flags & POOL_FLAG_CACHE_ALIGNED) type = (POOL_TYPE)((ULONG)type | 4);
  PVOID p = Allocate(type, NumberOfBytes, Tag);
  if (p && !(Flags & POOL_FLAG_UNINITIALIZED)) memset(p, 0, NumberOfBytes);
  return p;
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, Tag, true); }

void ExFreePool(PVOID P) { Free(P, 0, false); }

void ExFreePool2(PVOID P, ULONG Tag, PVOID Parameters, ULONG ParametersCount) { Free(P, Tag, true); }

}  // extern "C"

void ExpInitializePool() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  p.Inject = Faults{};
  p.Sequence = p.Allocations = p.Frees = p.Injected = 0;
}

void ExpShutdownPool() {
  /* Whatever is still allocated belonged to this boot; the next starts empty. */
  PoolState &p = Pool();
  std::vector<Quarantined> release;
  {
    std::lock_guard<std::mutex> g(p.Lock);
    for (auto &live : p.Live) release.push_back({(void *)live.first, live.second.Allocated, live.second.Tag});
    p.Live.clear();
    release.insert(release.end(), p.Quarantine.begin(), p.Quarantine.end());
    p.Quarantine.clear();
    p.QuarantineSet.clear();
    p.QuarantineBytes = 0;
    p.Inject = Faults{};
  }
  Release(release);
}

namespace nt::pool {

std::string TagText(ULONG Tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((Tag >> (8 * i)) & 0xFF);
    if (i == 3 && (Tag & PROTECTED_POOL)) c = (char)(c & 0x7F);
    s += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return s;
}

Usage Outstanding() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  Usage u;
  for (auto &b : p.Live) ++u.Blocks, u.Bytes += b.second.Size;
  return u;
}

Usage OutstandingByTag(ULONG Tag) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  Usage u;
  for (auto &b : p.Live)
    if (TagKey(b.second.Tag) == TagKey(Tag)) ++u.Blocks, u.Bytes += b.second.Size;
  return u;
}

Usage OutstandingByDriver(struct _DRIVER_OBJECT *Driver) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  Usage u;
  for (auto &b : p.Live)
    if (b.second.Driver == Driver) ++u.Blocks, u.Bytes += b.second.Size;
  return u;
}

std::map<ULONG, Usage> TagsOfDriver(struct _DRIVER_OBJECT *Driver) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  std::map<ULONG, Usage> m;
  for (auto &b : p.Live) {
    if (b.second.Driver != Driver) continue;
    Usage &u = m[TagKey(b.second.Tag)];
    ++u.Blocks, u.Bytes += b.second.Size;
  }
  return m;
}

std::map<ULONG, Usage> ByTag() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  std::map<ULONG, Usage> m;
  for (auto &b : p.Live) {
    Usage &u = m[TagKey(b.second.Tag)];
    ++u.Blocks, u.Bytes += b.second.Size;
  }
  return m;
}

std::map<struct _DRIVER_OBJECT *, Usage> ByDriver() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  std::map<struct _DRIVER_OBJECT *, Usage> m;
  for (auto &b : p.Live) {
    Usage &u = m[b.second.Driver];
    ++u.Blocks, u.Bytes += b.second.Size;
  }
  return m;
}

std::vector<BlockInfo> Leaks(struct _DRIVER_OBJECT *Driver) {
  PoolState &p = Pool();
  std::vector<BlockInfo> v;
  {
    std::lock_guard<std::mutex> g(p.Lock);
    for (auto &b : p.Live)
      if (b.second.Driver == Driver)
        v.push_back({(const void *)b.first, b.second.Tag, b.second.Type, b.second.Size, b.second.Driver,
                     b.second.Sequence});
  }
  std::sort(v.begin(), v.end(), [](const BlockInfo &a, const BlockInfo &b) { return a.Sequence < b.Sequence; });
  return v;
}

bool IsPoolBlock(const void *Address) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  return p.Live.count((uintptr_t)Address) != 0;
}

uint64_t AllocationCount() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  return p.Allocations;
}

uint64_t FreeCount() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  return p.Frees;
}

void FailNth(uint64_t N) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  p.Inject.Countdown = N;
}

void FailTag(ULONG Tag) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  p.Inject.Tags.insert(TagKey(Tag));
}

void FailPoolType(POOL_TYPE Type) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  (IsPaged(Type) ? p.Inject.FailPaged : p.Inject.FailNonPaged) = true;
}

void FailRandom(uint64_t Seed, double Probability) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  p.Inject.Random = Probability > 0;
  p.Inject.Probability = Probability;
  p.Inject.Generator.seed(Seed);
}

void RestrictFaultsTo(struct _DRIVER_OBJECT *Driver) {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  p.Inject.Restricted = Driver != nullptr;
  p.Inject.OnlyDriver = Driver;
}

void ClearFaults() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  p.Inject = Faults{};
}

uint64_t InjectedFailures() {
  PoolState &p = Pool();
  std::lock_guard<std::mutex> g(p.Lock);
  return p.Injected;
}

}  // namespace nt::pool
