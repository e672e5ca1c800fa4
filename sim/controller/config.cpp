#include "controller/config.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace sim::controller {

using nlohmann::json;

const char *LineKindName(LineKind Kind) {
  switch (Kind) {
    case LineKind::Loopback: return "loopback";
    case LineKind::NullModem: return "null-modem";
    case LineKind::Pty: return "pty";
    case LineKind::Probe: return "probe";
    case LineKind::None: return "none";
  }
  return "?";
}

const char *UartTimingName(UartTiming Timing) {
  return Timing == UartTiming::Instant ? "instant" : "baud-accurate";
}

const ControllerConfig *Config::FindController(uint32_t DevID) const {
  for (const auto &c : Controllers)
    if (c.DevID == DevID) return &c;
  return nullptr;
}

std::string DefaultFriendlyName(uint32_t GlobalIndex, std::string_view ComName) {
  return "TAMBRIX Virtual COM Port " + std::to_string(GlobalIndex) + " (" + std::string(ComName) + ")";
}

Config DefaultConfig() {
  Config config;
  ControllerConfig c;
  c.ProductId = 0x2B72;
  c.DevID = 0;
  c.IniPort = 0;
  c.Timing = UartTiming::Instant;
  c.FifoDepth = 64;
  const LineKind lines[4] = {LineKind::NullModem, LineKind::NullModem, LineKind::Loopback, LineKind::Probe};
  for (uint32_t i = 0; i < 4; ++i) {
    PortConfig p;
    p.ComName = "COM" + std::to_string(5 + i);
    p.FriendlyName = DefaultFriendlyName(i, p.ComName);
    p.Line = lines[i];
    if (p.Line == LineKind::NullModem) {
      p.PeerDevID = 0;
      p.PeerPort = i ^ 1;
    }
    c.Ports.push_back(p);
  }
  config.Controllers.push_back(c);
  return config;
}

namespace {

/* Walks the document; the first fault found ends the walk with its message. */
class Parser {
 public:
  explicit Parser(std::string_view source) : m_Source(source) {}

  bool Fail(const std::string &path, const std::string &expected) {
    if (m_Error.empty()) m_Error = m_Source + ": " + path + ": expected " + expected;
    return false;
  }
  bool Missing(const std::string &path, const std::string &expected) {
    if (m_Error.empty()) m_Error = m_Source + ": " + path + ": missing; expected " + expected;
    return false;
  }
  const std::string &Error() const { return m_Error; }

  bool OnlyKnownFields(const json &object, const std::string &path, std::initializer_list<const char *> known) {
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool found = false;
      for (const char *k : known) found = found || it.key() == k;
      if (!found) {
        std::string list;
        for (const char *k : known) list += (list.empty() ? "" : ", ") + std::string(k);
        return Fail(path + "." + it.key(), "no such field (known fields: " + list + ")");
      }
    }
    return true;
  }

  bool Unsigned(const json &v, const std::string &path, uint64_t max, uint64_t &out) {
    if (v.is_number_unsigned()) {
      out = v.get<uint64_t>();
    } else if (v.is_number_integer() && v.get<int64_t>() >= 0) {
      out = static_cast<uint64_t>(v.get<int64_t>());
    } else {
      return Fail(path, "an integer from 0 to " + std::to_string(max));
    }
    if (out > max) return Fail(path, "an integer from 0 to " + std::to_string(max));
    return true;
  }

  bool ProductId(const json &v, const std::string &path, uint16_t &out) {
    const char *what = "a 16-bit product identifier (a number or a hex string such as \"0x2B72\")";
    uint64_t value = 0;
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      if (s.size() < 3 || s.size() > 6 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return Fail(path, what);
      for (size_t i = 2; i < s.size(); ++i) {
        const char c = s[i];
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0) return Fail(path, what);
        value = value * 16 + static_cast<uint64_t>(d);
      }
    } else if (v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0)) {
      value = v.get<uint64_t>();
      if (value > 0xFFFF) return Fail(path, what);
    } else {
      return Fail(path, what);
    }
    out = static_cast<uint16_t>(value);
    return true;
  }

  static bool IsComName(const std::string &s) {
    if (s.size() < 4 || s.size() > 6 || s.compare(0, 3, "COM") != 0) return false;
    unsigned n = 0;
    for (size_t i = 3; i < s.size(); ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      n = n * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return s[3] != '0' && n >= 1 && n <= 256;
  }

  bool Port(const json &v, const std::string &path, uint32_t devId, uint32_t globalIndex, PortConfig &out,
            bool &hasPeerController) {
    if (!v.is_object()) return Fail(path, "an object");
    if (!OnlyKnownFields(v, path, {"comName", "friendlyName", "line", "peer", "peerController"})) return false;

    if (v.contains("comName")) {
      const json &n = v["comName"];
      if (!n.is_string() || !IsComName(n.get<std::string>()))
        return Fail(path + ".comName", "a COM name from COM1 to COM256");
      out.ComName = n.get<std::string>();
    } else {
      out.ComName = "COM" + std::to_string(5 + globalIndex);
      if (5 + globalIndex > 256) return Missing(path + ".comName", "a COM name from COM1 to COM256");
    }

    if (v.contains("friendlyName")) {
      const json &n = v["friendlyName"];
      if (!n.is_string() || n.get<std::string>().empty()) return Fail(path + ".friendlyName", "a non-empty string");
      out.FriendlyName = n.get<std::string>();
    } else {
      out.FriendlyName = DefaultFriendlyName(globalIndex, out.ComName);
    }

    const char *lines = "one of loopback, null-modem, pty, probe, none";
    if (!v.contains("line")) return Missing(path + ".line", lines);
    const json &l = v["line"];
    const std::string name = l.is_string() ? l.get<std::string>() : std::string();
    if (name == "loopback") out.Line = LineKind::Loopback;
    else if (name == "null-modem") out.Line = LineKind::NullModem;
    else if (name == "pty") out.Line = LineKind::Pty;
    else if (name == "probe") out.Line = LineKind::Probe;
    else if (name == "none") out.Line = LineKind::None;
    else return Fail(path + ".line", lines);

    hasPeerController = v.contains("peerController");
    if (out.Line == LineKind::NullModem) {
      uint64_t peer = 0;
      if (!v.contains("peer")) return Missing(path + ".peer", "the port index of the null modem's far end");
      if (!Unsigned(v["peer"], path + ".peer", 0xFFFF, peer)) return false;
      out.PeerPort = static_cast<uint32_t>(peer);
      out.PeerDevID = devId;
      if (hasPeerController) {
        uint64_t dev = 0;
        if (!Unsigned(v["peerController"], path + ".peerController", 0xFFFFFFFFu, dev)) return false;
        out.PeerDevID = static_cast<uint32_t>(dev);
      }
    } else if (v.contains("peer") || hasPeerController) {
      return Fail(path + (v.contains("peer") ? ".peer" : ".peerController"),
                  "no peer: only a null-modem line has a far end");
    }
    return true;
  }

  bool Controller(const json &v, const std::string &path, uint32_t &globalIndex, ControllerConfig &out,
                  std::vector<std::string> &portPaths) {
    if (!v.is_object()) return Fail(path, "an object");
    if (!OnlyKnownFields(v, path, {"productId", "portCount", "DevID", "IniPort", "uartTiming", "fifoDepth", "ports"}))
      return false;
    if (!v.contains("productId")) return Missing(path + ".productId", "a 16-bit product identifier");
    if (!ProductId(v["productId"], path + ".productId", out.ProductId)) return false;

    uint64_t n = 0;
    if (!v.contains("DevID")) return Missing(path + ".DevID", "the controller index, an integer");
    if (!Unsigned(v["DevID"], path + ".DevID", 0xFFFFFFFFu, n)) return false;
    out.DevID = static_cast<uint32_t>(n);

    out.IniPort = 0;
    if (v.contains("IniPort")) {
      if (!Unsigned(v["IniPort"], path + ".IniPort", 0xFFFF, n)) return false;
      out.IniPort = static_cast<uint32_t>(n);
    }

    out.Timing = UartTiming::Instant;
    if (v.contains("uartTiming")) {
      const json &t = v["uartTiming"];
      const std::string s = t.is_string() ? t.get<std::string>() : std::string();
      if (s == "instant") out.Timing = UartTiming::Instant;
      else if (s == "baud-accurate") out.Timing = UartTiming::BaudAccurate;
      else return Fail(path + ".uartTiming", "one of instant, baud-accurate");
    }

    out.FifoDepth = 64;
    if (v.contains("fifoDepth")) {
      const json &f = v["fifoDepth"];
      if (!f.is_number_integer() || (f.get<int64_t>() != 64 && f.get<int64_t>() != 128))
        return Fail(path + ".fifoDepth", "64 or 128");
      out.FifoDepth = static_cast<uint32_t>(f.get<int64_t>());
    }

    if (!v.contains("ports")) return Missing(path + ".ports", "an array of 1 to 32 ports");
    const json &ports = v["ports"];
    if (!ports.is_array() || ports.empty() || ports.size() > 32) return Fail(path + ".ports", "an array of 1 to 32 ports");
    if (v.contains("portCount")) {
      if (!Unsigned(v["portCount"], path + ".portCount", 32, n)) return false;
      if (n != ports.size())
        return Fail(path + ".portCount", "the number of entries in ports (" + std::to_string(ports.size()) + ")");
    }
    for (size_t i = 0; i < ports.size(); ++i) {
      const std::string portPath = path + ".ports[" + std::to_string(i) + "]";
      PortConfig p;
      bool hasPeerController = false;
      if (!Port(ports[i], portPath, out.DevID, globalIndex, p, hasPeerController)) return false;
      out.Ports.push_back(p);
      portPaths.push_back(portPath);
      ++globalIndex;
    }
    return true;
  }

  bool Document(const json &root, Config &out) {
    if (!root.is_object()) return Fail("(top level)", "an object with a field \"controllers\"");
    if (!OnlyKnownFields(root, "(top level)", {"controllers"})) return false;
    if (!root.contains("controllers")) return Missing("controllers", "an array of 1 to 10 controllers");
    const json &list = root["controllers"];
    if (!list.is_array() || list.empty() || list.size() > 10)
      return Fail("controllers", "an array of 1 to 10 controllers");

    uint32_t globalIndex = 0;
    std::vector<std::vector<std::string>> portPaths;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string path = "controllers[" + std::to_string(i) + "]";
      ControllerConfig c;
      portPaths.emplace_back();
      if (!Controller(list[i], path, globalIndex, c, portPaths.back())) return false;
      for (size_t j = 0; j < out.Controllers.size(); ++j)
        if (out.Controllers[j].DevID == c.DevID)
          return Fail(path + ".DevID", "a DevID not used by another controller (" + std::to_string(c.DevID) +
                                           " is also controllers[" + std::to_string(j) + "])");
      out.Controllers.push_back(c);
    }
    if (globalIndex > 256) return Fail("controllers", "at most 256 ports in all");

    /* Names must be unique across the whole machine. */
    std::map<std::string, std::string> comOwners;
    for (size_t i = 0; i < out.Controllers.size(); ++i) {
      for (size_t j = 0; j < out.Controllers[i].Ports.size(); ++j) {
        const std::string &name = out.Controllers[i].Ports[j].ComName;
        auto [it, inserted] = comOwners.emplace(name, portPaths[i][j]);
        if (!inserted)
          return Fail(portPaths[i][j] + ".comName",
                      "a COM name not used by another port (" + name + " is also " + it->second + ")");
      }
    }

    /* A null modem is one cable with two ends that name each other. */
    for (size_t i = 0; i < out.Controllers.size(); ++i) {
      const ControllerConfig &c = out.Controllers[i];
      for (size_t j = 0; j < c.Ports.size(); ++j) {
        const PortConfig &p = c.Ports[j];
        if (p.Line != LineKind::NullModem) continue;
        const std::string path = portPaths[i][j] + ".peer";
        const ControllerConfig *peerController = out.FindController(p.PeerDevID);
        if (peerController == nullptr)
          return Fail(portPaths[i][j] + ".peerController", "the DevID of a configured controller");
        if (p.PeerPort >= peerController->Ports.size())
          return Fail(path, "a port index below " + std::to_string(peerController->Ports.size()));
        if (peerController == &c && p.PeerPort == j) return Fail(path, "another port (a port cannot be its own peer)");
        const PortConfig &q = peerController->Ports[p.PeerPort];
        if (q.Line != LineKind::NullModem || q.PeerDevID != c.DevID || q.PeerPort != j)
          return Fail(path, "a null-modem port whose peer is this port");
      }
    }
    return true;
  }

 private:
  std::string m_Source;
  std::string m_Error;
};

}  // namespace

ConfigResult ParseConfig(std::string_view Text, std::string_view SourceName) {
  ConfigResult result;
  try {
    json root;
    try {
      root = json::parse(Text.begin(), Text.end());
    } catch (const json::parse_error &e) {
      /* e.byte is the position of the fault; turn it into a line number. */
      size_t line = 1;
      for (size_t i = 0; i + 1 < e.byte && i < Text.size(); ++i) line += Text[i] == '\n';
      result.Error = std::string(SourceName) + ": line " + std::to_string(line) + ": expected valid JSON";
      return result;
    }
    Parser parser(SourceName);
    Config config;
    if (!parser.Document(root, config)) {
      result.Error = parser.Error();
      return result;
    }
    result.Value = std::move(config);
  } catch (const std::exception &e) {
    result.Value.reset();
    result.Error = std::string(SourceName) + ": " + e.what();
  }
  return result;
}

ConfigResult LoadConfigFile(const std::string &Path) {
  ConfigResult result;
  try {
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
      result.Error = Path + ": cannot be opened; expected a readable configuration file";
      return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
      result.Error = Path + ": cannot be read";
      return result;
    }
    return ParseConfig(text.str(), Path);
  } catch (const std::exception &e) {
    result.Error = Path + ": " + e.what();
  }
  return result;
}

}  // namespace sim::controller
