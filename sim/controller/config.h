/*
 * Configuration of the simulated controllers: which boards exist, how many
 * ports each has, what the ports are called and what their wires connect to.
 *
 * A configuration file is JSON:
 *
 *   { "controllers": [ {
 *       "productId": "0x2B72",          number or hex string, 16 bits
 *       "portCount": 4,                 optional; must match "ports"
 *       "DevID": 0,                     controller index, unique
 *       "IniPort": 0,                   first port number of the controller
 *       "uartTiming": "instant",        instant | baud-accurate
 *       "fifoDepth": 64,                64 | 128
 *       "ports": [ {
 *           "comName": "COM5",          optional: COM<5 + global port index>
 *           "friendlyName": "...",      optional: "TAMBRIX Virtual COM Port <i> (COM<n>)"
 *           "line": "null-modem",       loopback | null-modem | pty | probe | none
 *           "peer": 1,                  null-modem only: port index of the far end
 *           "peerController": 0         null-modem only, optional: its DevID
 *       } ]
 *   } ] }
 *
 * The global port index runs over all ports of all controllers in file order.
 * Unknown fields are errors, so a misspelt name does not silently fall back to
 * a default.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::controller {

enum class LineKind { Loopback, NullModem, Pty, Probe, None };
enum class UartTiming { Instant, BaudAccurate };

const char *LineKindName(LineKind Kind);
const char *UartTimingName(UartTiming Timing);

struct PortConfig {
  std::string ComName;       /* "COM5": the PortName registry value */
  std::string FriendlyName;  /* "TAMBRIX Virtual COM Port 0 (COM5)" */
  LineKind Line = LineKind::None;
  /* Null modem only: the far end, by DevID and port index within it. */
  uint32_t PeerDevID = 0;
  uint32_t PeerPort = 0;
};

struct ControllerConfig {
  uint16_t ProductId = 0;
  uint32_t DevID = 0;
  uint32_t IniPort = 0;
  UartTiming Timing = UartTiming::Instant;
  uint32_t FifoDepth = 64;
  std::vector<PortConfig> Ports;
};

struct Config {
  std::vector<ControllerConfig> Controllers;

  /* The controller with this DevID, or nullptr. */
  const ControllerConfig *FindController(uint32_t DevID) const;
};

/* Either a configuration or the message that says why there is none. */
struct ConfigResult {
  std::optional<Config> Value;
  std::string Error;

  bool Ok() const { return Value.has_value(); }
};

/* One controller of product 0x2B72 with ports COM5..COM8: ports 0 and 1 are a
 * null modem, port 2 is looped back, port 3 is on a probe. */
Config DefaultConfig();

/* Parses Text; SourceName is the name used in error messages. Never throws. */
ConfigResult ParseConfig(std::string_view Text, std::string_view SourceName);

/* Reads and parses the file at Path. Never throws. */
ConfigResult LoadConfigFile(const std::string &Path);

/* The default friendly name of a port. */
std::string DefaultFriendlyName(uint32_t GlobalIndex, std::string_view ComName);

}  // namespace sim::controller
