/*
 * Time source of the simulated hardware, in nanoseconds of a monotonic
 * clock. The line clock runs on the host's steady clock; a register-level
 * test can drive a UART with a clock of its own.
 */
#pragma once

#include <chrono>
#include <cstdint>

namespace sim::uart {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowNs() const = 0;
};

class SteadyClock final : public Clock {
 public:
  int64_t NowNs() const override {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  static SteadyClock &Instance() {
    static SteadyClock clock;
    return clock;
  }
};

}  // namespace sim::uart
