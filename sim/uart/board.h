/*
 * The UARTs of one controller as the bus maps them: a register window with a
 * block of 8 or 16 registers per port (by product class) and a PMC window
 * whose register 0x40 + n x 4 switches the transmitter of port n.
 *
 * Every register is a 32-bit word, 4 bytes apart; the UART register is its
 * low 8 bits. Accesses of 1, 2 or 4 bytes at a register's address reach the
 * register; anything else (an unaligned address, a register a block does not
 * have) reads 0, writes nothing, and is counted as a stray access.
 */
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <nt/mmio.h>

#include "uart/uart.h"

namespace sim::uart {

struct BoardOptions {
  uint16_t ProductId = 0x2B72;
  uint32_t PortCount = 4;
  uint32_t FifoDepth = 64;
  controller::UartTiming Timing = controller::UartTiming::Instant;
  const Clock *TimeSource = nullptr;
};

/* Seen after each access: port, register index (PMC accesses use kPmc),
 * write or read, the value written or read. */
struct RegisterAccess {
  static constexpr unsigned kPmc = 0x100;
  unsigned Port;
  unsigned Register;
  bool Write;
  uint32_t Value;
};

class Board {
 public:
  explicit Board(const BoardOptions &options);
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  uint16_t ProductId() const { return m_ProductId; }
  uint32_t PortCount() const { return static_cast<uint32_t>(m_Ports.size()); }
  unsigned RegistersPerPort() const { return m_Stride; }
  Uart16550 &Port(uint32_t index) { return *m_Ports.at(index); }

  nt::mmio::DeviceModel &RegisterWindow() { return m_Registers; }
  nt::mmio::DeviceModel &PmcWindow() { return m_PmcModel; }
  size_t RegisterWindowSize() const { return static_cast<size_t>(m_Stride) * 4 * m_Ports.size(); }
  size_t PmcWindowSize() const { return 0x40 + 4 * m_Ports.size(); }

  /* One observer at a time; set it before accesses begin. */
  void SetAccessObserver(std::function<void(const RegisterAccess &)> observer) { m_Observer = std::move(observer); }
  uint64_t StrayAccesses() const { return m_Stray.load(); }

 private:
  class Registers final : public nt::mmio::DeviceModel {
   public:
    explicit Registers(Board &board) : m_Board(board) {}
    ULONG Read(ULONG_PTR Offset, ULONG Width) override;
    void Write(ULONG_PTR Offset, ULONG Width, ULONG Value) override;

   private:
    Board &m_Board;
  };
  class Pmc final : public nt::mmio::DeviceModel {
   public:
    explicit Pmc(Board &board) : m_Board(board) {}
    ULONG Read(ULONG_PTR Offset, ULONG Width) override;
    void Write(ULONG_PTR Offset, ULONG Width, ULONG Value) override;

   private:
    Board &m_Board;
  };

  /* Which port and register an offset of the register window names. */
  bool Decode(ULONG_PTR offset, ULONG width, unsigned &port, unsigned &reg) const;
  void Observe(unsigned port, unsigned reg, bool write, uint32_t value) {
    if (m_Observer) m_Observer(RegisterAccess{port, reg, write, value});
  }

  const uint16_t m_ProductId;
  const unsigned m_Stride;
  std::vector<std::unique_ptr<Uart16550>> m_Ports;
  Registers m_Registers;
  Pmc m_PmcModel;
  std::function<void(const RegisterAccess &)> m_Observer;
  std::atomic<uint64_t> m_Stray{0};
};

}  // namespace sim::uart
