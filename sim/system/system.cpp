#include "system/system.h"

#include <memory>
#include <mutex>

#include <nt/control.h>

#include "active_config.h"
#include "neravoxdriver.h"

namespace sim::system {
namespace {

std::mutex g_Lock;
std::unique_ptr<bus::Hardware> g_Hardware;

}  // namespace

NTSTATUS Start(const controller::Config *Config, std::string *Error) {
  std::lock_guard<std::mutex> lock(g_Lock);
  if (g_Hardware) return STATUS_SUCCESS;
  controller::ConfigResult config;
  if (Config != nullptr) {
    config.Value = *Config;
  } else {
    config = controller::LoadActiveConfig();
  }
  if (!config.Ok()) {
    if (Error != nullptr) *Error = config.Error;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  bus::HardwareOptions options;
  options.Config = *config.Value;
  std::string why;
  std::unique_ptr<bus::Hardware> hw = bus::Hardware::Create(options, &why);
  if (!hw) {
    if (Error != nullptr) *Error = why;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  NTSTATUS status = nt::IsBooted() ? STATUS_SUCCESS : nt::Boot();
  if (!NT_SUCCESS(status)) return status;
  nt::pnp::FunctionDriver driver;
  driver.Name = "NERAVOX";
  driver.Entry = DriverEntry;
  driver.Install = bus::PortInstaller(*hw);
  status = nt::pnp::RegisterFunctionDriver(bus::kPortHardwareId, driver);
  if (NT_SUCCESS(status)) status = bus::StartBus(*hw);
  if (!NT_SUCCESS(status)) {
    nt::Shutdown();
    return status;
  }
  g_Hardware = std::move(hw);
  return STATUS_SUCCESS;
}

void Stop() {
  std::lock_guard<std::mutex> lock(g_Lock);
  if (!g_Hardware) return;
  /* The bus driver's devices use the hardware until they are gone. */
  if (nt::IsBooted()) nt::Shutdown();
  g_Hardware.reset();
}

bus::Hardware *Hardware() {
  std::lock_guard<std::mutex> lock(g_Lock);
  return g_Hardware.get();
}

}  // namespace sim::system
