#include "system.h"

#include <nt/control.h>

#include <cctype>
#include <cstdio>

#include "active_config.h"
#include "neravoxdriver.h"
#include "port.h"

namespace neravox {

namespace {

constexpr const char *kDriverName = "NERAVOX";

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

/* Puts the line of port ComName on a pseudo-terminal. A null-modem peer
 * that was wired to it loses its cable: one end of a cable cannot also be
 * a terminal. */
bool RouteToPty(sim::controller::Config &Config, const std::string &ComName) {
  sim::controller::PortConfig *target = nullptr;
  uint32_t targetDev = 0, targetUnit = 0;
  for (auto &c : Config.Controllers)
    for (uint32_t i = 0; i < c.Ports.size(); ++i)
      if (Upper(c.Ports[i].ComName) == ComName) {
        target = &c.Ports[i];
        targetDev = c.DevID;
        targetUnit = i;
      }
  if (target == nullptr) return false;
  if (target->Line == sim::controller::LineKind::NullModem) {
    for (auto &c : Config.Controllers)
      for (auto &p : c.Ports)
        if (&p != target && p.Line == sim::controller::LineKind::NullModem && p.PeerDevID == targetDev &&
            p.PeerPort == targetUnit)
          p.Line = sim::controller::LineKind::None;
  }
  target->Line = sim::controller::LineKind::Pty;
  return true;
}

}  // namespace

const char *ModeName(int Mode) {
  switch (Mode) {
    case sim::controller::PORT_MODE_RS485: return "RS-485";
    case sim::controller::PORT_MODE_RS232: return "RS-232";
    case sim::controller::PORT_MODE_RS422: return "RS-422";
  }
  return "?";
}

bool TraceAccepts(const TraceOptions &Trace, const std::string &Line) {
  if (!Trace.Enabled) return false;
  if (!Trace.Text.empty() && Line.find(Trace.Text) == std::string::npos) return false;
  if (Trace.Unit >= 0) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "PN : [%02d]", Trace.Unit);
    if (Line.find(tag) == std::string::npos) return false;
  }
  return true;
}

System::~System() {
  if (m_Booted) nt::Shutdown();
  if (m_TraceId != 0) nt::debug::Unsubscribe(m_TraceId);
  m_Hardware.reset();
}

bool System::Start(const SystemOptions &Options) {
  sim::controller::ConfigResult config = Options.ConfigFile.empty()
                                             ? sim::controller::LoadActiveConfig()
                                             : sim::controller::LoadConfigFile(Options.ConfigFile);
  if (!config.Value) {
    std::fprintf(stderr, "neravox: %s\n", config.Error.c_str());
    return false;
  }
  if (Options.Timing)
    for (auto &c : config.Value->Controllers) c.Timing = *Options.Timing;
  if (!Options.PtyPort.empty() && !RouteToPty(*config.Value, Upper(Options.PtyPort))) {
    std::fprintf(stderr, "neravox: %s: no such port\n", Options.PtyPort.c_str());
    return false;
  }

  sim::bus::HardwareOptions hw;
  hw.Config = *config.Value;
  hw.PtyAnnounce = [](const std::string &Message) {
    std::fprintf(stderr, "neravox: %s\n", Message.c_str());
    std::fflush(stderr);
  };
  std::string error;
  m_Hardware = sim::bus::Hardware::Create(hw, &error);
  if (!m_Hardware) {
    std::fprintf(stderr, "neravox: %s\n", error.c_str());
    return false;
  }

  if (Options.Trace.Enabled) {
    TraceOptions trace = Options.Trace;
    m_TraceId = nt::debug::Subscribe([trace](const std::string &Line) {
      if (TraceAccepts(trace, Line)) std::fprintf(stderr, "trace: %s\n", Line.c_str());
    });
  }

  NTSTATUS status = nt::Boot();
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: the system did not boot (status 0x%08X)\n", static_cast<unsigned>(status));
    return false;
  }
  m_Booted = true;

  nt::pnp::FunctionDriver driver;
  driver.Name = kDriverName;
  driver.Entry = DriverEntry;
  driver.Install = sim::bus::PortInstaller(*m_Hardware);
  status = nt::pnp::RegisterFunctionDriver(sim::bus::kPortHardwareId, driver);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: the port driver could not be registered: %s\n", DescribeStatus(status).c_str());
    return false;
  }
  status = sim::bus::StartBus(*m_Hardware, &m_BusPdo);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: the controllers' bus driver did not start (status 0x%08X)\n",
                 static_cast<unsigned>(status));
    return false;
  }
  if (!nt::pnp::WaitIdle()) {
    std::fprintf(stderr, "neravox: the PnP manager did not settle\n");
    return false;
  }
  return true;
}

std::vector<PortLocation> System::AllPorts() const {
  std::vector<PortLocation> out;
  uint32_t global = 0;
  for (const auto &c : m_Hardware->Config().Controllers)
    for (uint32_t i = 0; i < c.Ports.size(); ++i) {
      PortLocation p;
      p.DevID = c.DevID;
      p.Unit = i;
      p.GlobalIndex = global++;
      p.ComName = c.Ports[i].ComName;
      p.Controller = &c;
      p.Config = &c.Ports[i];
      out.push_back(p);
    }
  return out;
}

std::optional<PortLocation> System::Find(const std::string &ComName) const {
  std::string name = ComName;
  if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
  const std::string wanted = Upper(name);
  for (const PortLocation &p : AllPorts())
    if (Upper(p.ComName) == wanted) return p;
  std::fprintf(stderr, "neravox: %s: no such port\n", ComName.c_str());
  return std::nullopt;
}

PDEVICE_OBJECT System::PdoOf(const PortLocation &Port) const {
  const std::string instance = std::to_string(Port.DevID) + "_" + std::to_string(Port.Unit);
  for (PDEVICE_OBJECT pdo : nt::pnp::Children(m_BusPdo)) {
    nt::pnp::DeviceInfo info;
    if (nt::pnp::GetDevice(pdo, &info) && info.InstanceId == instance) return pdo;
  }
  return nullptr;
}

std::string System::StateOf(const PortLocation &Port) const {
  PDEVICE_OBJECT pdo = PdoOf(Port);
  nt::pnp::DeviceInfo info;
  if (pdo == nullptr || !nt::pnp::GetDevice(pdo, &info)) return "-";
  return nt::pnp::StateName(info.State);
}

bool System::LinkExists(const std::string &ComName) { return nt::NameExists("\\DosDevices\\" + ComName); }

size_t System::PrintPorts() const {
  std::printf("%-4s %-6s %-24s %-8s %-7s %-18s %s\n", "unit", "COM", "device", "product", "mode", "link", "state");
  size_t missing = 0;
  for (const PortLocation &p : AllPorts()) {
    PDEVICE_OBJECT pdo = PdoOf(p);
    nt::pnp::DeviceInfo info;
    const bool reported = pdo != nullptr && nt::pnp::GetDevice(pdo, &info);
    if (!reported) ++missing;
    char product[8];
    std::snprintf(product, sizeof product, "0x%04X", p.Controller->ProductId);
    const std::string link = LinkExists(p.ComName) ? "\\DosDevices\\" + p.ComName : "-";
    std::printf("%-4u %-6s %-24s %-8s %-7s %-18s %s\n", p.GlobalIndex, p.ComName.c_str(),
                reported ? info.InstancePath.c_str() : "(not reported)", product,
                ModeName(m_Hardware->State().GetMode(p.DevID, p.Unit)), link.c_str(),
                reported ? nt::pnp::StateName(info.State) : "-");
  }
  std::fflush(stdout);
  return missing;
}

}  // namespace neravox
