/*
 * Control hooks of the scheduling core, for tests and tools.
 */
#pragma once

#include <ntddk.h>

namespace nt {
namespace ke {

/* Threads now blocked in a wait that includes this dispatcher object. */
ULONG WaiterCount(PVOID Object);
/* Returns once at least Count threads are blocked on Object, or false
 * after TimeoutMs. */
bool WaitForWaiters(PVOID Object, ULONG Count, ULONG TimeoutMs);

}  // namespace ke
}  // namespace nt
