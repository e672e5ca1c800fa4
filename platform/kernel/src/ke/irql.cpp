/*
 * IRQL bookkeeping and spin locks.
 *
 * Every violation found here stops the run with bug check 0xC4 and a
 * sub-code in parameter 1 (KI_VERIFIER_* in ki.h), except the two that
 * Windows itself gives their own codes: SPIN_LOCK_ALREADY_OWNED (0xF) and
 * SPIN_LOCK_NOT_OWNED (0x10).
 *
 * Lock order: whenever a thread acquires lock B while it holds lock A, the
 * edge A -> B is recorded in one global graph over lock addresses. An
 * acquire whose new edge closes a cycle is a potential deadlock, reported
 * even if this run happened not to deadlock.
 */
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ki.h"

namespace {

constexpr ULONG kMaxHeldLocks = 64;

thread_local KIRQL t_Irql = PASSIVE_LEVEL;
thread_local PKSPIN_LOCK t_Held[kMaxHeldLocks];
thread_local ULONG t_HeldCount = 0;

/* The value a lock holds while this thread owns it: unique among live threads. */
inline ULONG_PTR Self() { return (ULONG_PTR)&t_Irql; }

std::mutex g_GraphLock;
std::map<ULONG_PTR, std::set<ULONG_PTR>> g_Succ; /* guarded by g_GraphLock */
std::map<ULONG_PTR, std::set<ULONG_PTR>> g_Pred; /* guarded by g_GraphLock */
std::atomic<bool> g_GraphInUse{false};

[[noreturn]] void Verifier(ULONG_PTR SubCode, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4, const char *Format, ...)
    __attribute__((format(printf, 5, 6)));
void Verifier(ULONG_PTR SubCode, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4, const char *Format, ...) {
  char rule[256];
  va_list ap;
  va_start(ap, Format);
  std::vsnprintf(rule, sizeof rule, Format, ap);
  va_end(ap);
  KiBugCheck(0xC4, SubCode, P2, P3, P4, rule);
}

/* Whether To can be reached from From. Caller holds g_GraphLock. */
bool Reaches(ULONG_PTR From, ULONG_PTR To) {
  std::vector<ULONG_PTR> stack{From};
  std::set<ULONG_PTR> seen{From};
  while (!stack.empty()) {
    ULONG_PTR n = stack.back();
    stack.pop_back();
    if (n == To) return true;
    auto it = g_Succ.find(n);
    if (it == g_Succ.end()) continue;
    for (ULONG_PTR next : it->second)
      if (seen.insert(next).second) stack.push_back(next);
  }
  return false;
}

/* Records "held -> Lock" for every lock the thread holds. */
void CheckOrder(PKSPIN_LOCK Lock) {
  ULONG_PTR b = (ULONG_PTR)Lock;
  std::lock_guard<std::mutex> guard(g_GraphLock);
  for (ULONG i = 0; i < t_HeldCount; ++i) {
    ULONG_PTR a = (ULONG_PTR)t_Held[i];
    auto &succ = g_Succ[a];
    if (succ.count(b)) continue;
    if (Reaches(b, a)) {
      char rule[160];
      std::snprintf(rule, sizeof rule, "lock order cycle: potential deadlock between locks %p and %p", (void *)a,
                    (void *)b);
      KiBugCheck(0xC4, KI_VERIFIER_LOCK_ORDER_CYCLE, a, b, 0, rule);
    }
    succ.insert(b);
    g_Pred[b].insert(a);
    g_GraphInUse.store(true, std::memory_order_relaxed);
  }
}

void Forget(ULONG_PTR Lo, ULONG_PTR Hi) { /* [Lo, Hi); caller holds g_GraphLock */
  std::vector<ULONG_PTR> nodes;
  for (auto it = g_Succ.lower_bound(Lo); it != g_Succ.end() && it->first < Hi; ++it) nodes.push_back(it->first);
  for (auto it = g_Pred.lower_bound(Lo); it != g_Pred.end() && it->first < Hi; ++it) nodes.push_back(it->first);
  for (ULONG_PTR n : nodes) {
    auto s = g_Succ.find(n);
    if (s != g_Succ.end()) {
      for (ULONG_PTR next : s->second) {
        auto p = g_Pred.find(next);
        if (p != g_Pred.end() && p->second.erase(n) && p->second.empty()) g_Pred.erase(p);
      }
      g_Succ.erase(s);
    }
    auto p = g_Pred.find(n);
    if (p != g_Pred.end()) {
      for (ULONG_PTR prev : p->second) {
        auto q = g_Succ.find(prev);
        if (q != g_Succ.end() && q->second.erase(n) && q->second.empty()) g_Succ.erase(q);
      }
      g_Pred.erase(p);
    }
  }
  if (g_Succ.empty() && g_Pred.empty()) g_GraphInUse.store(false, std::memory_order_relaxed);
}

void Acquire(PKSPIN_LOCK Lock) {
  ULONG_PTR self = Self();
  if (__atomic_load_n(Lock, __ATOMIC_RELAXED) == self) {
    char rule[128];
    std::snprintf(rule, sizeof rule, "spin lock %p acquired by the thread that already holds it", (void *)Lock);
    KiBugCheck(0xF, (ULONG_PTR)Lock, 0, 0, 0, rule);
  }
  if (t_HeldCount >= kMaxHeldLocks)
    Verifier(KI_VERIFIER_KERNEL_LIMIT, (ULONG_PTR)Lock, t_HeldCount, 0, "more than %u spin locks held at once",
             kMaxHeldLocks);
  if (t_HeldCount > 0) CheckOrder(Lock);
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(Lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    while (__atomic_load_n(Lock, __ATOMIC_RELAXED) != 0) std::this_thread::yield();
  }
  t_Held[t_HeldCount++] = Lock;
}

bool TryAcquire(PKSPIN_LOCK Lock) {
  ULONG_PTR self = Self();
  ULONG_PTR expected = 0;
  if (__atomic_load_n(Lock, __ATOMIC_RELAXED) == self) {
    char rule[128];
    std::snprintf(rule, sizeof rule, "spin lock %p acquired by the thread that already holds it", (void *)Lock);
    KiBugCheck(0xF, (ULONG_PTR)Lock, 0, 0, 0, rule);
  }
  if (t_HeldCount >= kMaxHeldLocks)
    Verifier(KI_VERIFIER_KERNEL_LIMIT, (ULONG_PTR)Lock, t_HeldCount, 0, "more than %u spin locks held at once",
             kMaxHeldLocks);
  if (!__atomic_compare_exchange_n(Lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return false;
  t_Held[t_HeldCount++] = Lock;
  return true;
}

void Release(PKSPIN_LOCK Lock) {
  ULONG_PTR value = __atomic_load_n(Lock, __ATOMIC_RELAXED);
  if (value != Self()) {
    char rule[128];
    std::snprintf(rule, sizeof rule, "spin lock %p released by a thread that does not hold it", (void *)Lock);
    KiBugCheck(0x10, (ULONG_PTR)Lock, value, 0, 0, rule);
  }
  for (ULONG i = t_HeldCount; i-- > 0;) {
    if (t_Held[i] == Lock) {
      for (ULONG j = i + 1; j < t_HeldCount; ++j) t_Held[j - 1] = t_Held[j];
      --t_HeldCount;
      break;
    }
  }
  __atomic_store_n(Lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

void CheckAtDpcLevel(const char *Routine) {
  if (t_Irql < DISPATCH_LEVEL)
    Verifier(KI_VERIFIER_SPIN_LOCK_LOW_IRQL, t_Irql, 0, 0, "%s called at IRQL %u, below DISPATCH_LEVEL", Routine,
             (unsigned)t_Irql);
}

}  // namespace

/* ---- IRQL ---- */

KIRQL KeGetCurrentIrql(void) { return t_Irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = t_Irql;
  if (NewIrql < old)
    Verifier(KI_VERIFIER_RAISE_IRQL_LOWER, old, NewIrql, 0,
             "KeRaiseIrql: new IRQL %u is lower than the current IRQL %u", (unsigned)NewIrql, (unsigned)old);
  t_Irql = NewIrql;
  return old;
}

void KeLowerIrql(KIRQL NewIrql) {
  KIRQL old = t_Irql;
  if (NewIrql > old)
    Verifier(KI_VERIFIER_LOWER_IRQL_HIGHER, old, NewIrql, 0,
             "KeLowerIrql: new IRQL %u is higher than the current IRQL %u", (unsigned)NewIrql, (unsigned)old);
  if (NewIrql < DISPATCH_LEVEL && t_HeldCount > 0)
    Verifier(KI_VERIFIER_LOWER_IRQL_HIGHER, old, NewIrql, (ULONG_PTR)t_Held[0],
             "KeLowerIrql: IRQL lowered to %u while spin lock %p is held", (unsigned)NewIrql, (void *)t_Held[0]);
  t_Irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

void KiCheckIrqlAtMost(KIRQL Max, const char *Routine) {
  if (t_Irql > Max)
    Verifier(KI_VERIFIER_IRQL_TOO_HIGH, t_Irql, Max, 0, "%s called at IRQL %u, above the highest allowed IRQL %u",
             Routine, (unsigned)t_Irql, (unsigned)Max);
}

ULONG KiHeldSpinLockCount() { return t_HeldCount; }

/* ---- spin locks ---- */

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
  KiForgetLocksInRange(SpinLock, sizeof *SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  Acquire(SpinLock);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Release(SpinLock);
  KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDpcLevel("KeAcquireSpinLockAtDpcLevel");
  Acquire(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDpcLevel("KeReleaseSpinLockFromDpcLevel");
  Release(SpinLock);
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDpcLevel("KeTryToAcquireSpinLockAtDpcLevel");
  return TryAcquire(SpinLock) ? TRUE : FALSE;
}

KIRQL KeAcquireSpinLockForDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = t_Irql;
  if (old < DISPATCH_LEVEL) KfRaiseIrql(DISPATCH_LEVEL);
  Acquire(SpinLock);
  return old;
}

void KeReleaseSpinLockForDpc(PKSPIN_LOCK SpinLock, KIRQL OldIrql) {
  Release(SpinLock);
  if (OldIrql < DISPATCH_LEVEL) KeLowerIrql(OldIrql);
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0 ? TRUE : FALSE;
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  CheckAtDpcLevel("KeAcquireInStackQueuedSpinLockAtDpcLevel");
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = DISPATCH_LEVEL;
  Acquire(SpinLock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  CheckAtDpcLevel("KeReleaseInStackQueuedSpinLockFromDpcLevel");
  Release(LockHandle->LockQueue.Lock);
}

/* ---- lock-order bookkeeping ---- */

void KiForgetLocksInRange(const void *Base, SIZE_T Size) {
  if (!g_GraphInUse.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> guard(g_GraphLock);
  Forget((ULONG_PTR)Base, (ULONG_PTR)Base + Size);
}

void KiLockGraphReset() {
  std::lock_guard<std::mutex> guard(g_GraphLock);
  g_Succ.clear();
  g_Pred.clear();
  g_GraphInUse.store(false, std::memory_order_relaxed);
}
