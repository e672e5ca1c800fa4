#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "uart/uart.h"

namespace sim::uart::test {

/* Time that moves only when the test says so. */
class ManualClock final : public Clock {
 public:
  int64_t NowNs() const override { return m_Now.load(); }
  void Advance(int64_t ns) { m_Now += ns; }

 private:
  std::atomic<int64_t> m_Now{1'000'000'000};
};

/* A line that keeps what the UART sent. */
class RecordingLine final : public LineSink {
 public:
  void Transmit(const Frame &f) override {
    {
      std::lock_guard<std::mutex> g(m_Lock);
      m_Frames.push_back(f);
    }
    m_Cv.notify_all();
  }
  /* Waits until n frames have come, at most 10 s (only a broken run waits that long). */
  bool WaitFrames(size_t n) {
    std::unique_lock<std::mutex> g(m_Lock);
    return m_Cv.wait_for(g, std::chrono::seconds(10), [&] { return m_Frames.size() >= n; });
  }
  void ModemOutputsChanged(uint8_t outputs) override {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Outputs.push_back(outputs);
  }
  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Frames;
  }
  std::vector<uint8_t> Outputs() {
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Outputs;
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Cv;
  std::vector<Frame> m_Frames;
  std::vector<uint8_t> m_Outputs;
};

}  // namespace sim::uart::test
