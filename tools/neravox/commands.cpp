#include "commands.h"

#include <nt/control.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "transfer.h"

namespace neravox {

namespace {

/* Writes go out in pieces that leave room in the 4095-byte transmit ring. */
constexpr ULONG kWritePiece = 1024;
constexpr size_t kDemoBytes = 64 * 1024;
constexpr ULONG kDemoBaud = 115200;
constexpr unsigned kDemoIdleMs = 3000;

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string LinkText(const std::string &ComName) {
  return "\\DosDevices\\" + ComName + (System::LinkExists(ComName) ? " present" : " gone");
}

/* The boot for commands that work on one port: its line on a
 * pseudo-terminal if asked. */
SystemOptions PortSystemOptions(const CommonOptions &Common, const std::string &ComName, const LineOptions &Line) {
  SystemOptions o = MakeSystemOptions(Common);
  if (Line.Pty) o.PtyPort = ComName;
  return o;
}

bool ReadFile(const std::string &Path, std::string *Data) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return false;
  *Data = s.str();
  return true;
}

bool WriteFile(const std::string &Path, const std::string &Data) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
  out.close();
  return !out.fail();
}

struct PairResult {
  PumpResult Sent, Received;
  std::string Got;
  double Seconds = 0;
  bool Verified = false;
  size_t FirstDifference = 0;
  ULONG LineErrors = 0; /* SERIAL_ERROR_* the receiver saw */
};

/* Sends Data on Tx from a thread of its own while this thread reads it on
 * Rx: each read waits up to IdleMs for its first byte, then takes what has
 * come, so a transfer that stops ends after IdleMs. */
bool TransferBetween(Port &Tx, Port &Rx, const std::string &Data, unsigned IdleMs, PairResult *R) {
  const ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  for (Port *p : {&Tx, &Rx}) {
    NTSTATUS status = p->Purge(purge);
    if (!NT_SUCCESS(status)) {
      std::fprintf(stderr, "neravox: %s: purge refused: %s\n", p->Name().c_str(), DescribeStatus(status).c_str());
      return false;
    }
  }
  NTSTATUS status = Rx.SetReadTimeouts(MAXULONG, MAXULONG, IdleMs);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: read time-outs refused: %s\n", Rx.Name().c_str(), DescribeStatus(status).c_str());
    return false;
  }
  Progress progress(Tx.Name() + " -> " + Rx.Name(), Data.size());
  const auto start = std::chrono::steady_clock::now();
  std::thread writer([&] { R->Sent = SendAll(Tx, Data, kWritePiece); });
  R->Received = ReceiveUntilIdle(Rx, Data.size(), &R->Got, [&](uint64_t n) { progress.Update(n); });
  const auto end = std::chrono::steady_clock::now();
  writer.join();
  progress.Finish(R->Got.size());
  R->Seconds = std::chrono::duration<double>(end - start).count();
  SERIAL_STATUS rxStatus;
  if (NT_SUCCESS(Rx.CommStatus(&rxStatus))) R->LineErrors = rxStatus.Errors;
  R->Verified = R->Got == Data;
  if (!R->Verified) {
    size_t i = 0;
    while (i < R->Got.size() && i < Data.size() && R->Got[i] == Data[i]) ++i;
    R->FirstDifference = i;
  }
  return true;
}

/* Prints what a transfer between two ports did; true if every byte came
 * intact. */
bool ReportPair(const Port &Tx, const Port &Rx, const std::string &Data, const PairResult &R) {
  std::printf("%s: sent %llu bytes, CRC-32 0x%08X\n", Tx.Name().c_str(),
              static_cast<unsigned long long>(R.Sent.Bytes), Crc32(Data.substr(0, R.Sent.Bytes)));
  std::printf("%s: received %llu bytes, CRC-32 0x%08X\n", Rx.Name().c_str(),
              static_cast<unsigned long long>(R.Got.size()), Crc32(R.Got));
  std::fflush(stdout);
  if (!NT_SUCCESS(R.Sent.Status))
    std::fprintf(stderr, "neravox: %s: write failed: %s\n", Tx.Name().c_str(), DescribeStatus(R.Sent.Status).c_str());
  if (!NT_SUCCESS(R.Received.Status))
    std::fprintf(stderr, "neravox: %s: read failed: %s\n", Rx.Name().c_str(),
                 DescribeStatus(R.Received.Status).c_str());
  if (R.LineErrors != 0) {
    std::string what;
    const struct {
      ULONG Bit;
      const char *Name;
    } kErrors[] = {{SERIAL_ERROR_BREAK, "break"},
                   {SERIAL_ERROR_FRAMING, "framing"},
                   {SERIAL_ERROR_OVERRUN, "overrun (the receive FIFO was not emptied in time)"},
                   {SERIAL_ERROR_QUEUEOVERRUN, "receive ring full"},
                   {SERIAL_ERROR_PARITY, "parity"}};
    for (const auto &e : kErrors)
      if (R.LineErrors & e.Bit) what += (what.empty() ? "" : ", ") + std::string(e.Name);
    std::fprintf(stderr, "neravox: %s: the port reports line errors: %s\n", Rx.Name().c_str(), what.c_str());
  }
  if (R.Verified) return true;
  if (R.Got.size() < Data.size() && R.FirstDifference == R.Got.size())
    std::fprintf(stderr, "neravox: transfer %s -> %s failed verification: %llu of %llu bytes arrived\n",
                 Tx.Name().c_str(), Rx.Name().c_str(), static_cast<unsigned long long>(R.Got.size()),
                 static_cast<unsigned long long>(Data.size()));
  else
    std::fprintf(stderr,
                 "neravox: transfer %s -> %s failed verification: first difference at byte %llu "
                 "(%llu of %llu bytes arrived)\n",
                 Tx.Name().c_str(), Rx.Name().c_str(), static_cast<unsigned long long>(R.FirstDifference),
                 static_cast<unsigned long long>(R.Got.size()), static_cast<unsigned long long>(Data.size()));
  return false;
}

/* One PnP action on the port's device, then the state and the COM link. */
bool DoPnpAction(System &Sys, const PortLocation &Loc, const std::string &Action) {
  if (Action == "open") {
    Port p;
    if (!OpenPort(Sys, Loc.ComName, p)) return false;
    std::printf("%s: opens\n", Loc.ComName.c_str());
    return true;
  }
  PDEVICE_OBJECT pdo = Sys.PdoOf(Loc);
  if (pdo == nullptr) {
    std::fprintf(stderr, "neravox: %s: the port's device is no longer in the PnP tree\n", Loc.ComName.c_str());
    return false;
  }
  NTSTATUS status;
  if (Action == "stop") status = nt::pnp::Stop(pdo);
  else if (Action == "start") status = nt::pnp::Start(pdo);
  else if (Action == "remove") status = nt::pnp::Remove(pdo);
  else if (Action == "surprise") status = nt::pnp::SurpriseRemove(pdo);
  else {
    std::fprintf(stderr, "neravox: %s: not a PnP action (stop, start, remove, surprise, open)\n", Action.c_str());
    return false;
  }
  nt::pnp::WaitIdle();
  std::printf("%s: %-8s -> %s, %s\n", Loc.ComName.c_str(), Action.c_str(), Sys.StateOf(Loc).c_str(),
              LinkText(Loc.ComName).c_str());
  std::fflush(stdout);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: %s failed: %s\n", Loc.ComName.c_str(), Action.c_str(),
                 DescribeStatus(status).c_str());
    return false;
  }
  return true;
}

/* The first null-modem cable of the configuration, as (sender, receiver). */
bool FindNullModemPair(const System &Sys, PortLocation *A, PortLocation *B) {
  const std::vector<PortLocation> ports = Sys.AllPorts();
  for (const PortLocation &a : ports) {
    if (a.Config->Line != sim::controller::LineKind::NullModem) continue;
    for (const PortLocation &b : ports)
      if (b.DevID == a.Config->PeerDevID && b.Unit == a.Config->PeerPort &&
          b.Config->Line == sim::controller::LineKind::NullModem && b.Config->PeerDevID == a.DevID &&
          b.Config->PeerPort == a.Unit && !(b.DevID == a.DevID && b.Unit == a.Unit)) {
        *A = a;
        *B = b;
        return true;
      }
  }
  return false;
}

}  // namespace

SystemOptions MakeSystemOptions(const CommonOptions &Common) {
  SystemOptions o;
  o.ConfigFile = Common.ConfigFile;
  o.Trace = Common.Trace;
  o.Timing = Common.Timing;
  return o;
}

bool OpenPort(System &Sys, const std::string &ComName, Port &P) {
  std::optional<PortLocation> loc = Sys.Find(ComName);
  if (!loc) return false;
  NTSTATUS status = P.Open(loc->ComName);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: cannot open: %s\n", loc->ComName.c_str(), DescribeStatus(status).c_str());
    return false;
  }
  return true;
}

bool ConfigurePort(Port &P, const LineOptions &Line) {
  NTSTATUS status = P.SetBaud(Line.Baud);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: baud rate %lu refused: %s\n", P.Name().c_str(),
                 static_cast<unsigned long>(Line.Baud), DescribeStatus(status).c_str());
    return false;
  }
  status = P.SetFraming(Line.Frame);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: framing %s refused: %s\n", P.Name().c_str(), Line.Frame.Text().c_str(),
                 DescribeStatus(status).c_str());
    return false;
  }
  return true;
}

int RunPorts(const CommonOptions &Common) {
  System sys;
  if (!sys.Start(MakeSystemOptions(Common))) return kExitFailure;
  const size_t missing = sys.PrintPorts();
  if (missing != 0) {
    std::fprintf(stderr, "neravox: %zu configured port(s) not reported by the bus driver\n", missing);
    return kExitFailure;
  }
  return 0;
}

int RunDemo(const CommonOptions &Common) {
  SystemOptions options = MakeSystemOptions(Common);
  if (!options.Timing) options.Timing = sim::controller::UartTiming::BaudAccurate;
  System sys;
  if (!sys.Start(options)) return kExitFailure;
  bool ok = true;

  std::printf("neravox demo: NERAVOX.sys on the simulated controllers, UARTs timed by their baud rate\n\n");
  const size_t missing = sys.PrintPorts();
  if (missing == 0) {
    std::printf("every configured port was reported and has its driver\n\n");
  } else {
    std::printf("%zu configured port(s) not reported\n\n", missing);
    ok = false;
  }

  PortLocation a, b;
  if (!FindNullModemPair(sys, &a, &b)) {
    std::fprintf(stderr, "neravox: the configuration has no null-modem pair to transfer over\n");
    return kExitFailure;
  }
  {
    LineOptions line;
    line.Baud = kDemoBaud;
    Port tx, rx;
    if (!OpenPort(sys, a.ComName, tx) || !OpenPort(sys, b.ComName, rx) || !ConfigurePort(tx, line) ||
        !ConfigurePort(rx, line))
      return kExitFailure;
    const std::string data = TestPattern(kDemoBytes);
    std::printf("transfer: %zu bytes %s -> %s at %lu baud %s\n", data.size(), a.ComName.c_str(), b.ComName.c_str(),
                static_cast<unsigned long>(line.Baud), line.Frame.Text().c_str());
    std::fflush(stdout);
    PairResult r;
    if (!TransferBetween(tx, rx, data, kDemoIdleMs, &r)) return kExitFailure;
    if (ReportPair(tx, rx, data, r)) {
      const double lineRate = line.Baud / line.Frame.BitsPerCharacter();
      const double rate = r.Seconds > 0 ? data.size() / r.Seconds : 0;
      std::printf("transfer: every byte verified\n");
      std::printf("throughput: %s of %s line rate, %.1f %%\n\n", Rate(rate).c_str(), Rate(lineRate).c_str(),
                  100.0 * rate / lineRate);
    } else {
      std::printf("transfer: FAILED verification\n\n");
      ok = false;
    }
    std::fflush(stdout);
  }

  /* A port other than the pair, if there is one, goes through stop and start. */
  PortLocation cycled = b;
  for (const PortLocation &p : sys.AllPorts())
    if (!(p.DevID == a.DevID && p.Unit == a.Unit) && !(p.DevID == b.DevID && p.Unit == b.Unit)) {
      cycled = p;
      break;
    }
  std::printf("pnp: %s stopped and started through the PnP manager\n", cycled.ComName.c_str());
  std::printf("%s: %-8s    %s, %s\n", cycled.ComName.c_str(), "", sys.StateOf(cycled).c_str(),
              LinkText(cycled.ComName).c_str());
  const bool before = System::LinkExists(cycled.ComName);
  bool cycle = DoPnpAction(sys, cycled, "stop");
  const bool whileStopped = System::LinkExists(cycled.ComName);
  cycle = cycle && DoPnpAction(sys, cycled, "start");
  const bool after = System::LinkExists(cycled.ComName);
  cycle = cycle && DoPnpAction(sys, cycled, "open");
  if (cycle && before && !whileStopped && after) {
    std::printf("pnp: the COM link went with the stop and came back with the start\n\n");
  } else {
    std::printf("pnp: FAILED: the COM link did not go and come back\n\n");
    ok = false;
  }

  std::printf(ok ? "demo: every step passed\n" : "demo: FAILED\n");
  return ok ? 0 : kExitFailure;
}

int RunMode(const CommonOptions &Common, const std::string &ComName, const std::string &Mode) {
  System sys;
  if (!sys.Start(MakeSystemOptions(Common))) return kExitFailure;
  std::optional<PortLocation> loc = sys.Find(ComName);
  if (!loc) return kExitFailure;
  sim::controller::StateStore &state = sys.Hardware().State();
  const int old = state.GetMode(loc->DevID, loc->Unit);
  if (Mode.empty()) {
    std::printf("%s: %s\n", loc->ComName.c_str(), ModeName(old));
    return 0;
  }
  const std::string m = Lower(Mode);
  int mode;
  if (m == "rs232") mode = sim::controller::PORT_MODE_RS232;
  else if (m == "rs422") mode = sim::controller::PORT_MODE_RS422;
  else if (m == "rs485") mode = sim::controller::PORT_MODE_RS485;
  else {
    std::fprintf(stderr, "neravox: %s: not a port mode (rs232, rs422, rs485)\n", Mode.c_str());
    return kExitFailure;
  }
  std::string error;
  if (!state.SetMode(loc->DevID, loc->Unit, mode, &error)) {
    std::fprintf(stderr, "neravox: %s: the mode could not be stored: %s\n", loc->ComName.c_str(), error.c_str());
    return kExitFailure;
  }
  const int now = state.GetMode(loc->DevID, loc->Unit);
  std::printf("%s: %s -> %s\n", loc->ComName.c_str(), ModeName(old), ModeName(now));
  if (now != mode) {
    std::fprintf(stderr, "neravox: %s: the stored mode reads back as %s\n", loc->ComName.c_str(), ModeName(now));
    return kExitFailure;
  }
  return 0;
}

int RunPnp(const CommonOptions &Common, const std::string &ComName, const std::vector<std::string> &Actions) {
  System sys;
  if (!sys.Start(MakeSystemOptions(Common))) return kExitFailure;
  std::optional<PortLocation> loc = sys.Find(ComName);
  if (!loc) return kExitFailure;
  std::printf("%s: %-8s    %s, %s\n", loc->ComName.c_str(), "", sys.StateOf(*loc).c_str(),
              LinkText(loc->ComName).c_str());
  for (const std::string &action : Actions)
    if (!DoPnpAction(sys, *loc, Lower(action))) return kExitFailure;
  return 0;
}

int RunSend(const CommonOptions &Common, const SendOptions &Options) {
  std::string data;
  if (!ReadFile(Options.File, &data)) {
    std::fprintf(stderr, "neravox: %s: cannot read the file\n", Options.File.c_str());
    return kExitFailure;
  }
  /* Between two ports of this system the line must be paced: at instant
   * timing a sender outruns any receiver's FIFO, as on a line without flow
   * control at an unbounded rate. */
  SystemOptions options = PortSystemOptions(Common, Options.ComName, Options.Line);
  if (!Options.To.empty() && !options.Timing) options.Timing = sim::controller::UartTiming::BaudAccurate;
  System sys;
  if (!sys.Start(options)) return kExitFailure;
  Port tx;
  if (!OpenPort(sys, Options.ComName, tx) || !ConfigurePort(tx, Options.Line)) return kExitFailure;

  if (!Options.To.empty()) {
    Port rx;
    if (!OpenPort(sys, Options.To, rx) || !ConfigurePort(rx, Options.Line)) return kExitFailure;
    PairResult r;
    if (!TransferBetween(tx, rx, data, Options.IdleMs, &r)) return kExitFailure;
    if (!ReportPair(tx, rx, data, r)) return kExitVerification;
    std::printf("transfer: every byte verified\n");
    return 0;
  }

  Progress progress(tx.Name() + " send", data.size());
  PumpResult r = SendAll(tx, data, kWritePiece, [&](uint64_t n) { progress.Update(n); });
  progress.Finish(r.Bytes);
  std::printf("%s: sent %llu bytes, CRC-32 0x%08X\n", tx.Name().c_str(), static_cast<unsigned long long>(r.Bytes),
              Crc32(std::string_view(data).substr(0, r.Bytes)));
  if (!NT_SUCCESS(r.Status)) {
    std::fprintf(stderr, "neravox: %s: write failed after %llu of %zu bytes: %s\n", tx.Name().c_str(),
                 static_cast<unsigned long long>(r.Bytes), data.size(), DescribeStatus(r.Status).c_str());
    return kExitFailure;
  }
  return 0;
}

int RunRecv(const CommonOptions &Common, const RecvOptions &Options) {
  System sys;
  if (!sys.Start(PortSystemOptions(Common, Options.ComName, Options.Line))) return kExitFailure;
  Port rx;
  if (!OpenPort(sys, Options.ComName, rx) || !ConfigurePort(rx, Options.Line)) return kExitFailure;
  NTSTATUS status = rx.SetReadTimeouts(MAXULONG, MAXULONG, Options.IdleMs);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: read time-outs refused: %s\n", rx.Name().c_str(), DescribeStatus(status).c_str());
    return kExitFailure;
  }
  /* A program at the far end waits for this line before it sends. */
  std::fprintf(stderr, "neravox: %s: receiving at %lu baud %s\n", rx.Name().c_str(),
               static_cast<unsigned long>(Options.Line.Baud), Options.Line.Frame.Text().c_str());
  std::fflush(stderr);
  std::string got;
  Progress progress(rx.Name() + " receive", Options.Bytes);
  PumpResult r = ReceiveUntilIdle(rx, Options.Bytes, &got, [&](uint64_t n) { progress.Update(n); });
  progress.Finish(got.size());
  std::printf("%s: received %zu bytes, CRC-32 0x%08X\n", rx.Name().c_str(), got.size(), Crc32(got));
  std::fflush(stdout);
  if (!WriteFile(Options.File, got)) {
    std::fprintf(stderr, "neravox: %s: cannot write the file\n", Options.File.c_str());
    return kExitFailure;
  }
  if (!NT_SUCCESS(r.Status)) {
    std::fprintf(stderr, "neravox: %s: read failed: %s\n", rx.Name().c_str(), DescribeStatus(r.Status).c_str());
    return kExitFailure;
  }
  if (Options.Bytes != 0 && got.size() < Options.Bytes) {
    std::fprintf(stderr, "neravox: %s: %zu of %llu bytes came before %u ms without one\n", rx.Name().c_str(),
                 got.size(), static_cast<unsigned long long>(Options.Bytes), Options.IdleMs);
    return kExitFailure;
  }
  return 0;
}

}  // namespace neravox
