/*
 * How soon a WAIT_ON_MASK for SERIAL_EV_RXCHAR completes after a byte
 * reaches the port: the driver loaded over the default simulated
 * controller, COM8 on the probe. Each round holds one wait, injects one
 * byte and times the completion. The port's polling thread looks every
 * 10 ms; a round begins just after the tick that completed the previous
 * wait, so it sees close to a whole period, plus the host's scheduling
 * delay. Exits 1 when the 95th percentile exceeds 25 ms.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nt/control.h>

#include "bus/bus.h"
#include "neravoxdriver.h"

namespace {

constexpr int kRounds = 200;

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main() {
  char dir[] = "/tmp/nv-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 2;
  sim::bus::HardwareOptions o;
  o.StateDirectory = dir;
  o.Warnings = [](const std::string &) {};
  std::string error;
  auto hw = sim::bus::Hardware::Create(o, &error);
  if (!hw || nt::Boot() != STATUS_SUCCESS) {
    std::fprintf(stderr, "port_wait_latency: cannot start: %s\n", error.c_str());
    return 2;
  }
  nt::pnp::FunctionDriver f;
  f.Name = "NERAVOX";
  f.Entry = DriverEntry;
  f.Install = sim::bus::PortInstaller(*hw);
  nt::pnp::RegisterFunctionDriver(sim::bus::kPortHardwareId, f);
  if (sim::bus::StartBus(*hw) != STATUS_SUCCESS) return 2;

  HANDLE h = nullptr;
  if (nt::io::Open("\\\\.\\COM8", &h) != STATUS_SUCCESS) return 2;
  ULONG mask = SERIAL_EV_RXCHAR;
  IO_STATUS_BLOCK iosb{};
  nt::io::DeviceIoControl(h, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0, &iosb);
  sim::line::ProbeLine *probe = hw->Probe(0, 3);

  std::vector<double> latency;
  int lost = 0;
  for (int i = 0; i < kRounds; ++i) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ULONG events = 0;
    IO_STATUS_BLOCK w{};
    if (nt::io::DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events, &w, &done) !=
        STATUS_PENDING) {
      ++lost;
      continue;
    }
    const auto t0 = std::chrono::steady_clock::now();
    probe->Inject(std::string(1, static_cast<char>(i)));
    if (!nt::io::Wait(&done, 10000)) {
      ++lost;
      break;
    }
    latency.push_back(Ms(std::chrono::steady_clock::now() - t0));
  }
  nt::io::Close(h);
  nt::Shutdown();
  hw.reset();
  std::filesystem::remove_all(dir);

  if (latency.empty()) {
    std::fprintf(stderr, "port_wait_latency: no wait completed\n");
    return 1;
  }
  std::sort(latency.begin(), latency.end());
  auto pct = [&](double p) { return latency[std::min(latency.size() - 1, static_cast<size_t>(p * latency.size()))]; };
  const double p95 = pct(0.95);
  std::printf("WAIT_ON_MASK(SERIAL_EV_RXCHAR) after one byte, %zu rounds: min %.2f ms, median %.2f ms, "
              "p95 %.2f ms, max %.2f ms; %d lost\n",
              latency.size(), latency.front(), pct(0.5), p95, latency.back(), lost);
  return p95 <= 25.0 && lost == 0 ? 0 : 1;
}
