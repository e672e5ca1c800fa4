/*
 * The system the neravox command runs in: the kernel layer booted in this
 * process, the simulated controllers of a configuration with their bus
 * driver, and NERAVOX.sys as the function driver of every port. Everything
 * lives as long as the System object; a port's COM name leads to it through
 * the I/O manager as on Windows.
 */
#pragma once

#include <ntddk.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "controller/config.h"

namespace neravox {

struct TraceOptions {
  bool Enabled = false;
  std::string Text; /* only lines containing this; empty: every line */
  int Unit = -1;    /* only lines of this port unit ("PN : [NN]"); -1: every unit */
};

/* Whether a debug line passes the trace filter. */
bool TraceAccepts(const TraceOptions &Trace, const std::string &Line);

struct SystemOptions {
  std::string ConfigFile; /* empty: $NERAVOX_CONFIG or the built-in configuration */
  std::optional<sim::controller::UartTiming> Timing; /* set on every controller */
  std::string PtyPort;    /* COM name whose line goes on a pseudo-terminal */
  TraceOptions Trace;
};

/* Where a COM name of the configuration is. */
struct PortLocation {
  uint32_t DevID = 0;
  uint32_t Unit = 0;        /* port index within its controller */
  uint32_t GlobalIndex = 0; /* over every port of the configuration */
  std::string ComName;
  const sim::controller::ControllerConfig *Controller = nullptr;
  const sim::controller::PortConfig *Config = nullptr;
};

const char *ModeName(int Mode);

class System {
 public:
  System() = default;
  ~System();
  System(const System &) = delete;
  System &operator=(const System &) = delete;

  /* Loads the configuration, makes the hardware, boots, loads the driver,
   * starts the bus. False after printing why. */
  bool Start(const SystemOptions &Options);

  sim::bus::Hardware &Hardware() { return *m_Hardware; }
  const sim::controller::Config &Config() const { return m_Hardware->Config(); }
  PDEVICE_OBJECT BusPdo() const { return m_BusPdo; }

  /* The port of that COM name (case does not matter, "\\.\" may lead);
   * nullopt after printing "neravox: COMx: no such port". */
  std::optional<PortLocation> Find(const std::string &ComName) const;
  /* Every configured port, in configuration order. */
  std::vector<PortLocation> AllPorts() const;
  /* The port's device in the PnP tree, or NULL once it left the tree. */
  PDEVICE_OBJECT PdoOf(const PortLocation &Port) const;
  /* "Started", or "-" when the bus did not report it. */
  std::string StateOf(const PortLocation &Port) const;
  static bool LinkExists(const std::string &ComName);

  /* The ports table: unit, COM name, device, product, mode, link, state.
   * Returns how many configured ports the bus did not report. */
  size_t PrintPorts() const;

 private:
  std::unique_ptr<sim::bus::Hardware> m_Hardware;
  bool m_Booted = false;
  int m_TraceId = 0;
  PDEVICE_OBJECT m_BusPdo = nullptr;
};

}  // namespace neravox
