#include "veskardin.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "active_config.h"
#include "controller/state.h"

namespace {

using sim::controller::StateStore;

struct OpenController {
  uint32_t DevID;
  uint16_t ProductId;
  int PortCount;
};

/* Handles are kHandleBase + index into g_Open. */
constexpr int kHandleBase = 0x5600;

std::mutex g_Lock; /* guards g_Open and g_State */
std::vector<OpenController> g_Open;
std::unique_ptr<StateStore> g_State;

const OpenController *Find(int handle) {
  int index = handle - kHandleBase;
  if (index < 0 || static_cast<size_t>(index) >= g_Open.size()) return nullptr;
  return &g_Open[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

int GnLoadDevice(int *count, int *handles) {
  if (count == nullptr || handles == nullptr) return 0;
  sim::controller::ConfigResult config = sim::controller::LoadActiveConfig();
  std::lock_guard<std::mutex> guard(g_Lock);
  g_Open.clear();
  g_State.reset();
  if (!config.Ok()) {
    std::fprintf(stderr, "VESKARDIN: %s\n", config.Error.c_str());
    *count = 0;
    return 0;
  }
  const auto &controllers = config.Value->Controllers;
  if (controllers.size() > GN_MAX_CONTROLLERS)
    std::fprintf(stderr, "VESKARDIN: %zu controllers configured; the first %d are opened\n", controllers.size(),
                 GN_MAX_CONTROLLERS);
  for (const auto &c : controllers) {
    if (g_Open.size() == GN_MAX_CONTROLLERS) break;
    g_Open.push_back({c.DevID, c.ProductId, static_cast<int>(c.Ports.size())});
  }
  g_State = std::make_unique<StateStore>();
  for (size_t i = 0; i < g_Open.size(); ++i) handles[i] = kHandleBase + static_cast<int>(i);
  *count = static_cast<int>(g_Open.size());
  return 1;
}

int GnUnloadDevice(void) {
  std::lock_guard<std::mutex> guard(g_Lock);
  g_Open.clear();
  g_State.reset();
  return 1;
}

int GnProductId_Get(int handle, int *value, int *ports) {
  std::lock_guard<std::mutex> guard(g_Lock);
  const OpenController *c = Find(handle);
  if (c == nullptr || value == nullptr || ports == nullptr) return 0;
  *value = c->ProductId;
  *ports = c->PortCount;
  return 1;
}

int GnPortMode_Get(int handle, int port, int *mode) {
  std::lock_guard<std::mutex> guard(g_Lock);
  const OpenController *c = Find(handle);
  if (c == nullptr || mode == nullptr || port < 0 || port >= c->PortCount || !g_State) return 0;
  *mode = g_State->GetMode(c->DevID, static_cast<uint32_t>(port));
  return 1;
}

int GnPortMode_Set(int handle, int port, int mode) {
  std::lock_guard<std::mutex> guard(g_Lock);
  const OpenController *c = Find(handle);
  if (c == nullptr || port < 0 || port >= c->PortCount || !g_State || !sim::controller::IsValidPortMode(mode))
    return 0;
  std::string error;
  if (!g_State->SetMode(c->DevID, static_cast<uint32_t>(port), mode, &error)) {
    std::fprintf(stderr, "VESKARDIN: %s\n", error.c_str());
    return 0;
  }
  return 1;
}

int GnPort422485_Set(int, int, int) { return 0; }
int GnPort422485_Get(int, int, int *) { return 0; }
int GnResetUart(int, int) { return 0; }
int GnResetPort(int, int) { return 0; }
int GetResources(int, void *) { return 0; }
int ReadMemPortDW(int, unsigned int, unsigned int *) { return 0; }
int WriteMemPortDW(int, unsigned int, unsigned int) { return 0; }
int GnGetInterfaceState_SRC(int, int *) { return 0; }

}  // extern "C"
