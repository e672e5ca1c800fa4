/*
 * The line clock: one thread that moves the characters of baud-accurate
 * UARTs at their programmed rate and fires their character time-outs. It
 * sleeps until the earliest deadline any of its UARTs reports and is woken
 * early when a UART's schedule changes (a character written, one received).
 */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "uart/uart.h"

namespace sim::uart {

class LineClock {
 public:
  LineClock();
  ~LineClock();
  LineClock(const LineClock &) = delete;
  LineClock &operator=(const LineClock &) = delete;

  /* The UART must stay alive until it is removed or the clock is gone. */
  void Add(Uart16550 *uart);
  /* When this returns the clock no longer touches the UART. */
  void Remove(Uart16550 *uart);
  void Wake();

 private:
  void Run();

  std::mutex m_TickLock; /* held for each pass over m_Uarts; guards m_Uarts */
  std::vector<Uart16550 *> m_Uarts;

  std::mutex m_Lock; /* guards m_Woken, m_Stop */
  std::condition_variable m_Cv;
  bool m_Woken = false;
  bool m_Stop = false;
  std::thread m_Thread;
};

}  // namespace sim::uart
