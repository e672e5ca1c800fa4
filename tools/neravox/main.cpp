/*
 * neravox: boots the kernel layer with the simulated controllers and shows
 * what the system sees of them.
 *
 *   neravox demo  [--config FILE] [--trace [TEXT]]
 *   neravox ports [--config FILE] [--trace [TEXT]]
 *
 * The configuration is FILE, else $NERAVOX_CONFIG, else the built-in one.
 */
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nt/control.h>

#include "active_config.h"
#include "bus/bus.h"

namespace {

const char *ModeName(int Mode) {
  switch (Mode) {
    case 0: return "RS-485";
    case 1: return "RS-232";
    case 2: return "RS-422";
  }
  return "?";
}

struct Options {
  std::string ConfigFile;
  bool Trace = false;
  std::string TraceFilter;
};

/* The booted system with the controllers' bus driver started. */
class System {
 public:
  ~System() {
    if (m_Booted) nt::Shutdown();
  }

  bool Start(const Options &Opt) {
    sim::controller::ConfigResult config;
    if (!Opt.ConfigFile.empty()) {
      config = sim::controller::LoadConfigFile(Opt.ConfigFile);
    } else {
      config = sim::controller::LoadActiveConfig();
    }
    if (!config.Value) {
      std::fprintf(stderr, "neravox: %s\n", config.Error.c_str());
      return false;
    }
    sim::bus::HardwareOptions hwOptions;
    hwOptions.Config = *config.Value;
    std::string error;
    m_Hardware = sim::bus::Hardware::Create(hwOptions, &error);
    if (!m_Hardware) {
      std::fprintf(stderr, "neravox: %s\n", error.c_str());
      return false;
    }
    nt::BootOptions boot;
    NTSTATUS status = nt::Boot(boot);
    if (!NT_SUCCESS(status)) {
      std::fprintf(stderr, "neravox: the system did not boot (status 0x%08X)\n", (unsigned)status);
      return false;
    }
    m_Booted = true;
    if (Opt.Trace) {
      std::string filter = Opt.TraceFilter;
      nt::debug::Subscribe([filter](const std::string &Line) {
        if (filter.empty() || Line.find(filter) != std::string::npos) std::fprintf(stderr, "trace: %s\n", Line.c_str());
      });
    }
    status = sim::bus::StartBus(*m_Hardware, &m_BusPdo);
    if (!NT_SUCCESS(status)) {
      std::fprintf(stderr, "neravox: the controllers' bus driver did not start (status 0x%08X)\n", (unsigned)status);
      return false;
    }
    nt::pnp::WaitIdle();
    return true;
  }

  sim::bus::Hardware &Hardware() { return *m_Hardware; }
  PDEVICE_OBJECT BusPdo() const { return m_BusPdo; }

 private:
  std::unique_ptr<sim::bus::Hardware> m_Hardware;
  bool m_Booted = false;
  PDEVICE_OBJECT m_BusPdo = nullptr;
};

/* One row per configured port, matched with the device the bus reported. */
int ShowPorts(System &Sys) {
  std::vector<nt::pnp::DeviceInfo> devices = nt::pnp::Devices();
  std::printf("%-4s %-6s %-24s %-8s %-7s %-22s %s\n", "unit", "COM", "device", "product", "mode", "link", "state");
  size_t configured = 0, found = 0;
  for (const auto &c : Sys.Hardware().Config().Controllers) {
    for (uint32_t i = 0; i < c.Ports.size(); ++i) {
      ++configured;
      const nt::pnp::DeviceInfo *dev = nullptr;
      std::string instanceId = std::to_string(c.DevID) + "_" + std::to_string(i);
      for (const auto &d : devices) {
        if (d.Parent == Sys.BusPdo() && d.InstanceId == instanceId) dev = &d;
      }
      if (dev) ++found;
      std::string link = "\\DosDevices\\" + c.Ports[i].ComName;
      if (!nt::NameExists(link)) link = "-";
      char product[8];
      std::snprintf(product, sizeof product, "0x%04X", c.ProductId);
      std::printf("%-4u %-6s %-24s %-8s %-7s %-22s %s\n", i, c.Ports[i].ComName.c_str(),
                  dev ? dev->InstancePath.c_str() : "(not reported)", product,
                  ModeName(Sys.Hardware().State().GetMode(c.DevID, i)), link.c_str(),
                  dev ? nt::pnp::StateName(dev->State) : "-");
    }
  }
  return found == configured ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"neravox: the NERAVOX serial ports on the simulated controllers"};
  app.require_subcommand(1);
  Options opt;
  auto addCommon = [&opt](CLI::App *cmd) {
    cmd->add_option("--config", opt.ConfigFile, "controller configuration (JSON)")->check(CLI::ExistingFile);
    cmd->add_option("--trace", opt.TraceFilter, "show the debug output (lines containing TEXT)")
        ->expected(0, 1)
        ->each([&opt](const std::string &) { opt.Trace = true; });
    cmd->add_flag_callback("--trace-all", [&opt] { opt.Trace = true; }, "show all debug output");
  };
  CLI::App *demo = app.add_subcommand("demo", "boot the system and show the controllers' ports");
  CLI::App *ports = app.add_subcommand("ports", "list the ports");
  addCommon(demo);
  addCommon(ports);
  CLI11_PARSE(app, argc, argv);

  System sys;
  if (!sys.Start(opt)) return 1;
  if (*ports) return ShowPorts(sys);

  std::printf("neravox demo: the simulated controllers enumerated by their bus driver\n\n");
  int rc = ShowPorts(sys);
  std::printf("\n%s\n", rc == 0 ? "every configured port was reported by the bus driver"
                                 : "some configured ports were not reported");
  std::printf("(the port driver is not part of this build yet: the ports have no function driver, no COM link)\n");
  return rc;
}
