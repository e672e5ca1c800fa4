#include <nt/system.h>

#include <atomic>

#include "ki.h"

namespace nt {
namespace {
std::atomic<bool> g_Booted{false};
}

NTSTATUS Boot(const BootOptions &Options) {
  (void)Options;
  bool expected = false;
  if (!g_Booted.compare_exchange_strong(expected, true)) return STATUS_INVALID_DEVICE_STATE;
  KdInitialize();
  ExpInitialize();
  KiInitialize();
  ObpInitialize();
  IopInitialize();
  CmpInitialize();
  PnpInitialize();
  return STATUS_SUCCESS;
}

void Shutdown() {
  if (!g_Booted.load()) return;
  PnpShutdown();
  CmpShutdown();
  IopShutdown();
  ObpShutdown();
  KiShutdown();
  ExpShutdown();
  KdShutdown();
  g_Booted.store(false);
}

bool IsBooted() { return g_Booted.load(); }

}  // namespace nt
