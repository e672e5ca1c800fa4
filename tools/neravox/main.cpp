/*
 * neravox: boots the kernel layer with the simulated controllers and
 * NERAVOX.sys in this process, and works the ports as applications do.
 *
 *   neravox demo
 *   neravox ports
 *   neravox term COMn [--baud N] [--data 5..8] [--parity P] [--stop S] [--pty]
 *   neravox send COMn FILE [--to COMm] [line options]
 *   neravox recv COMn FILE [--bytes N] [--idle-ms N] [line options]
 *   neravox mode COMn [rs232|rs422|rs485]
 *   neravox pnp  COMn stop|start|remove|surprise|open...
 *
 * Every command takes --config FILE (else $NERAVOX_CONFIG, else the built-in
 * configuration), --timing instant|baud-accurate (the UARTs' line clock;
 * the demo and send --to default to baud-accurate) and --trace[=TEXT] /
 * --trace-port N for the driver's debug output on stderr.
 */
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "commands.h"

namespace {

using namespace neravox;

struct LineArgs {
  ULONG Baud = 115200;
  unsigned Data = 8;
  std::string Parity = "none";
  std::string Stop = "1";
  bool Pty = false;

  void Add(CLI::App *Cmd) {
    Cmd->add_option("--baud", Baud, "baud rate")->check(CLI::PositiveNumber);
    Cmd->add_option("--data", Data, "data bits")->check(CLI::Range(5, 8));
    Cmd->add_option("--parity", Parity, "parity")->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    Cmd->add_option("--stop", Stop, "stop bits")->check(CLI::IsMember({"1", "1.5", "2"}));
    Cmd->add_flag("--pty", Pty, "put the port's line on a pseudo-terminal and print its path");
  }
  LineOptions Get() const {
    LineOptions l;
    l.Baud = Baud;
    l.Frame.DataBits = static_cast<UCHAR>(Data);
    l.Frame.Parity = *ParseParity(Parity);
    l.Frame.StopBits = *ParseStopBits(Stop);
    l.Pty = Pty;
    return l;
  }
};

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"neravox: the NERAVOX serial ports on the simulated controllers"};
  app.require_subcommand(1);
  app.footer("Exit status: 0 done, 1 failed, 2 a transfer failed verification.");

  CommonOptions common;
  /* Whether tracing is on is read from the options' counts after parsing:
   * --trace may come without a value. */
  std::vector<CLI::Option *> traceSwitches;
  auto addCommon = [&common, &traceSwitches](CLI::App *cmd) {
    cmd->add_option("--config", common.ConfigFile, "controller configuration (JSON)")->check(CLI::ExistingFile);
    traceSwitches.push_back(
        cmd->add_option("--trace", common.Trace.Text, "show the driver's debug output (only lines containing TEXT)")
            ->expected(0, 1)
            ->type_name("[=TEXT]"));
    traceSwitches.push_back(cmd->add_flag("--trace-all")->description("show all debug output"));
    traceSwitches.push_back(cmd->add_option("--trace-port", common.Trace.Unit, "show the debug output of port unit N only")
                                ->check(CLI::Range(0, 99)));
    cmd->add_option_function<std::string>(
           "--timing",
           [&common](const std::string &t) {
             common.Timing = t == "instant" ? sim::controller::UartTiming::Instant
                                            : sim::controller::UartTiming::BaudAccurate;
           },
           "UART timing of every controller")
        ->check(CLI::IsMember({"instant", "baud-accurate"}));
  };

  CLI::App *demo = app.add_subcommand("demo", "boot, list the ports, transfer 64 KiB at 115200 baud, stop and start a port");
  CLI::App *ports = app.add_subcommand("ports", "list the ports");

  std::string termPort;
  LineArgs termLine;
  CLI::App *term = app.add_subcommand("term", "interactive terminal on a port (Ctrl-] quits)");
  term->add_option("port", termPort, "COM name")->required();
  termLine.Add(term);

  SendOptions send;
  LineArgs sendLine;
  CLI::App *sendCmd = app.add_subcommand("send", "send a file out of a port");
  sendCmd->add_option("port", send.ComName, "COM name")->required();
  sendCmd->add_option("file", send.File, "file to send")->required()->check(CLI::ExistingFile);
  sendCmd->add_option("--to", send.To, "receive on this port of the same system and verify every byte");
  sendCmd->add_option("--idle-ms", send.IdleMs, "with --to: end when no byte came for this long")
      ->check(CLI::Range(1u, 600000u));
  sendLine.Add(sendCmd);

  RecvOptions recv;
  LineArgs recvLine;
  CLI::App *recvCmd = app.add_subcommand("recv", "receive from a port into a file");
  recvCmd->add_option("port", recv.ComName, "COM name")->required();
  recvCmd->add_option("file", recv.File, "file to write")->required();
  recvCmd->add_option("--bytes", recv.Bytes, "stop after this many bytes");
  recvCmd->add_option("--idle-ms", recv.IdleMs, "stop when no byte came for this long")->check(CLI::Range(1u, 600000u));
  recvLine.Add(recvCmd);

  std::string modePort, modeValue;
  CLI::App *mode = app.add_subcommand("mode", "show or set a port's electrical mode");
  mode->add_option("port", modePort, "COM name")->required();
  mode->add_option("mode", modeValue, "rs232, rs422 or rs485")
      ->check(CLI::IsMember({"rs232", "rs422", "rs485"}, CLI::ignore_case));

  std::string pnpPort;
  std::vector<std::string> pnpActions;
  CLI::App *pnp = app.add_subcommand("pnp", "PnP actions on a port's device, in order");
  pnp->add_option("port", pnpPort, "COM name")->required();
  pnp->add_option("action", pnpActions, "stop, start, remove, surprise, open")
      ->required()
      ->check(CLI::IsMember({"stop", "start", "remove", "surprise", "open"}, CLI::ignore_case));

  for (CLI::App *cmd : {demo, ports, term, sendCmd, recvCmd, mode, pnp}) addCommon(cmd);
  CLI11_PARSE(app, argc, argv);
  for (CLI::Option *o : traceSwitches)
    if (o->count() > 0) common.Trace.Enabled = true;

  if (*demo) return RunDemo(common);
  if (*ports) return RunPorts(common);
  if (*term) return RunTerm(common, termPort, termLine.Get());
  if (*sendCmd) {
    send.Line = sendLine.Get();
    return RunSend(common, send);
  }
  if (*recvCmd) {
    recv.Line = recvLine.Get();
    return RunRecv(common, recv);
  }
  if (*mode) return RunMode(common, modePort, modeValue);
  return RunPnp(common, pnpPort, pnpActions);
}
