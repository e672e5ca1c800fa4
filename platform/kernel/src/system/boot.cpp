/*
 * Boot and shutdown of the whole kernel layer.
 */
#include <nt/debug.h>
#include <nt/system.h>

#include <atomic>
#include <mutex>

#include "cm/cmp.h"
#include "ki.h"
#include "system/utf.h"

namespace nt {
namespace {
std::mutex g_BootLock; /* one Boot or Shutdown at a time */
std::atomic<bool> g_Booted{false};
BootOptions g_Options; /* written under g_BootLock while the system is down */
}  // namespace

NTSTATUS Boot(const BootOptions &Options) {
  std::lock_guard<std::mutex> lock(g_BootLock);
  if (g_Booted.load()) return STATUS_INVALID_DEVICE_STATE;
  g_Options = Options;
  KdInitialize();
  if (Options.EchoDebugOutput) nt::debug::SetEcho(true);
  ExpInitialize();
  KiInitialize();
  ObpInitialize();
  IopInitialize();
  CmpSetBootLayout(CmpBootLayout{Options.ControlClassKey, Options.ServicesClassKey});
  CmpInitialize();
  PnpInitialize();
  IomInitialize();
  g_Booted.store(true);
  return STATUS_SUCCESS;
}

void Shutdown() {
  std::lock_guard<std::mutex> lock(g_BootLock);
  if (!g_Booted.load()) return;
  IomShutdown();
  /* The PnP manager goes next: it removes the devices and unloads the
   * drivers while everything they use is still up. */
  PnpShutdown();
  CmpShutdown();
  IopShutdown();
  ObpShutdown();
  KiShutdown();
  ExpShutdown();
  if (g_Options.EchoDebugOutput) nt::debug::SetEcho(false);
  KdShutdown();
  g_Options = BootOptions{};
  g_Booted.store(false);
}

bool IsBooted() { return g_Booted.load(); }

bool NameExists(const std::string &Path) {
  std::u16string wide = sys::Utf8ToUtf16(Path);
  UNICODE_STRING name;
  name.Buffer = (PWCH)wide.data();
  name.Length = (USHORT)(wide.size() * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  PVOID object = nullptr;
  if (!NT_SUCCESS(ObpLookupName(&name, &object))) return false;
  ObDereferenceObject(object);
  return true;
}

const BootOptions &CurrentBootOptions() { return g_Options; }

}  // namespace nt
