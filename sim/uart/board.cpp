#include "uart/board.h"

namespace sim::uart {

Board::Board(const BoardOptions &options)
    : m_ProductId(options.ProductId),
      m_Stride(UsesEightRegisterBlocks(options.ProductId) ? 8 : 16),
      m_Registers(*this),
      m_PmcModel(*this) {
  UartOptions u;
  u.ProductId = options.ProductId;
  u.FifoDepth = options.FifoDepth;
  u.Timing = options.Timing;
  u.TimeSource = options.TimeSource;
  for (uint32_t i = 0; i < options.PortCount; ++i) m_Ports.push_back(std::make_unique<Uart16550>(u));
}

bool Board::Decode(ULONG_PTR offset, ULONG width, unsigned &port, unsigned &reg) const {
  if ((width != 1 && width != 2 && width != 4) || (offset & 3) != 0) return false;
  const ULONG_PTR index = offset / 4;
  port = static_cast<unsigned>(index / m_Stride);
  reg = static_cast<unsigned>(index % m_Stride);
  if (port >= m_Ports.size()) return false;
  /* Of the upper half of a 16-register block only the transmitter enables exist. */
  return reg < 8 || reg == reg::TXEN_422 || reg == reg::TXEN_485_A || reg == reg::TXEN_485_B;
}

ULONG Board::Registers::Read(ULONG_PTR Offset, ULONG Width) {
  unsigned port, r;
  if (!m_Board.Decode(Offset, Width, port, r)) {
    m_Board.m_Stray++;
    return 0;
  }
  const ULONG v = m_Board.m_Ports[port]->ReadRegister(r);
  m_Board.Observe(port, r, false, v);
  return v;
}

void Board::Registers::Write(ULONG_PTR Offset, ULONG Width, ULONG Value) {
  unsigned port, r;
  if (!m_Board.Decode(Offset, Width, port, r)) {
    m_Board.m_Stray++;
    return;
  }
  m_Board.m_Ports[port]->WriteRegister(r, static_cast<uint8_t>(Value & 0xFF));
  m_Board.Observe(port, r, true, Value & 0xFF);
}

ULONG Board::Pmc::Read(ULONG_PTR Offset, ULONG Width) {
  if (Width != 4 || Offset < 0x40 || (Offset & 3) != 0 || (Offset - 0x40) / 4 >= m_Board.m_Ports.size()) {
    m_Board.m_Stray++;
    return 0;
  }
  const unsigned port = static_cast<unsigned>((Offset - 0x40) / 4);
  const ULONG v = m_Board.m_Ports[port]->ReadPmc();
  m_Board.Observe(port, RegisterAccess::kPmc, false, v);
  return v;
}

void Board::Pmc::Write(ULONG_PTR Offset, ULONG Width, ULONG Value) {
  if (Width != 4 || Offset < 0x40 || (Offset & 3) != 0 || (Offset - 0x40) / 4 >= m_Board.m_Ports.size()) {
    m_Board.m_Stray++;
    return;
  }
  const unsigned port = static_cast<unsigned>((Offset - 0x40) / 4);
  m_Board.m_Ports[port]->WritePmc(Value);
  m_Board.Observe(port, RegisterAccess::kPmc, true, Value);
}

}  // namespace sim::uart
