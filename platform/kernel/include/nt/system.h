/*
 * Control API of the kernel layer, for tests and tools: the "system" around
 * the driver. Nothing here is visible to driver code.
 */
#pragma once

#include <ntddk.h>

namespace nt {

struct BootOptions {
  /* Echo debug output to stderr as it is printed. */
  bool EchoDebugOutput = false;
};

/* Brings up a fresh system: pool, kernel threads, object namespace,
 * registry. Fails if one is already up. */
NTSTATUS Boot(const BootOptions &Options = {});
/* Tears it down again; everything the system created is gone afterwards. */
void Shutdown();
bool IsBooted();

}  // namespace nt
