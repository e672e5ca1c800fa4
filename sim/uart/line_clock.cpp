#include "uart/line_clock.h"

#include <algorithm>
#include <chrono>

namespace sim::uart {

LineClock::LineClock() : m_Thread([this] { Run(); }) {}

LineClock::~LineClock() {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Stop = true;
  }
  m_Cv.notify_all();
  m_Thread.join();
  std::lock_guard<std::mutex> tick(m_TickLock);
  for (Uart16550 *u : m_Uarts) u->SetScheduleNotify(nullptr);
}

void LineClock::Add(Uart16550 *uart) {
  {
    std::lock_guard<std::mutex> tick(m_TickLock);
    m_Uarts.push_back(uart);
  }
  uart->SetScheduleNotify([this] { Wake(); });
  Wake();
}

void LineClock::Remove(Uart16550 *uart) {
  uart->SetScheduleNotify(nullptr);
  std::lock_guard<std::mutex> tick(m_TickLock);
  m_Uarts.erase(std::remove(m_Uarts.begin(), m_Uarts.end(), uart), m_Uarts.end());
}

void LineClock::Wake() {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Woken = true;
  }
  m_Cv.notify_one();
}

void LineClock::Run() {
  for (;;) {
    int64_t next = Uart16550::kNever;
    {
      std::lock_guard<std::mutex> tick(m_TickLock);
      for (Uart16550 *u : m_Uarts) next = std::min(next, u->Tick());
    }
    std::unique_lock<std::mutex> lock(m_Lock);
    if (m_Stop) return;
    if (!m_Woken) {
      if (next == Uart16550::kNever) {
        m_Cv.wait(lock, [this] { return m_Woken || m_Stop; });
      } else {
        /* The UARTs' time is the steady clock's. */
        const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(next));
        m_Cv.wait_until(lock, deadline, [this] { return m_Woken || m_Stop; });
      }
    }
    m_Woken = false;
    if (m_Stop) return;
  }
}

}  // namespace sim::uart
