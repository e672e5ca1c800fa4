/*
 * The neravox commands. Each boots its own system, does its work through the
 * I/O and PnP managers as an application and an administrator would, and
 * returns the process's exit code.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "port.h"
#include "system.h"

namespace neravox {

/* Exit codes besides 0 (success). */
inline constexpr int kExitFailure = 1;      /* the command could not do its work */
inline constexpr int kExitVerification = 2; /* bytes arrived, but not the ones sent */

struct CommonOptions {
  std::string ConfigFile;
  TraceOptions Trace;
  /* Set on every controller; unset: as configured (the demo and send --to
   * pace their lines by the baud rate unless told otherwise). */
  std::optional<sim::controller::UartTiming> Timing;
};

struct LineOptions {
  ULONG Baud = 115200;
  Framing Frame;
  bool Pty = false; /* the port's line on a pseudo-terminal */
};

int RunDemo(const CommonOptions &Common);
int RunPorts(const CommonOptions &Common);
/* Mode empty: print the port's mode. */
int RunMode(const CommonOptions &Common, const std::string &ComName, const std::string &Mode);
/* Actions in order: stop, start, remove, surprise, open. */
int RunPnp(const CommonOptions &Common, const std::string &ComName, const std::vector<std::string> &Actions);

struct SendOptions {
  std::string ComName;
  std::string File;
  std::string To; /* receiving port in this process; empty: send only */
  LineOptions Line;
  unsigned IdleMs = 2000; /* with To: how long the receiver waits for a byte */
};
int RunSend(const CommonOptions &Common, const SendOptions &Options);

struct RecvOptions {
  std::string ComName;
  std::string File;
  uint64_t Bytes = 0; /* 0: until idle */
  unsigned IdleMs = 5000;
  LineOptions Line;
};
int RunRecv(const CommonOptions &Common, const RecvOptions &Options);

int RunTerm(const CommonOptions &Common, const std::string &ComName, const LineOptions &Line);

/* ---- shared by the commands ---- */

/* Opens the named port of Sys; prints why not ("neravox: COM9: no such
 * port", "neravox: COM5: cannot open: ERROR_ACCESS_DENIED (5)"). */
bool OpenPort(System &Sys, const std::string &ComName, Port &P);
/* Baud rate and framing; prints which request the port refused. */
bool ConfigurePort(Port &P, const LineOptions &Line);
SystemOptions MakeSystemOptions(const CommonOptions &Common);

}  // namespace neravox
