#include "uart/uart.h"

#include <algorithm>
#include <cmath>

namespace sim::uart {

using namespace bits;

bool UsesEightRegisterBlocks(uint16_t id) {
  return id == 0x2B71 || id == 0x2B72 || id == 0x4D58 || (id >= 0x4E58 && id <= 0x4E5C);
}
bool UsesPmc(uint16_t id) { return id == 0x4D58 || (id >= 0x4E58 && id <= 0x4E5C); }
double UartClockHz(uint16_t id) { return (id == 0x2B71 || id == 0x2B72) ? 22118400.0 : 14745600.0; }
TxEnableKind TxEnableKindOf(uint16_t id) {
  if (id == 0x2B71 || id == 0x2B72) return TxEnableKind::McrBit1;
  if (UsesPmc(id)) return TxEnableKind::Pmc;
  return TxEnableKind::EnableRegisters;
}

namespace {
bool OddParity(uint8_t data, unsigned bitsCount) {
  unsigned ones = 0;
  for (unsigned i = 0; i < bitsCount; ++i) ones += (data >> i) & 1u;
  return (ones & 1u) != 0;
}
}  // namespace

Uart16550::Uart16550(const UartOptions &options)
    : m_ProductId(options.ProductId),
      m_Depth(options.FifoDepth == 128 ? 128 : 64),
      m_Timing(options.Timing),
      m_Clock(options.TimeSource != nullptr ? options.TimeSource : &SteadyClock::Instance()),
      m_TxEnableKind(TxEnableKindOf(options.ProductId)),
      m_UartClockHz(UartClockHz(options.ProductId)),
      m_ModemInputs(0),
      m_PortMode(1),
      m_TxOverflows(0),
      m_Line(nullptr) {
  ResetLocked();
  m_IrqRose = false;
  m_ScheduleChanged = false;
}

/* ------------------------------------------------------------------ reset */

void Uart16550::Reset() {
  std::unique_lock<std::mutex> lock(m_Lock);
  ResetLocked();
  AfterUnlock(lock);
}

void Uart16550::ResetLocked() {
  m_Ier = 0;
  m_Fcr = 0;
  m_Lcr = 0;
  m_Mcr = 0;
  m_Scr = 0;
  /* The 16550 leaves the divisor latch undefined at reset; zero here, which
   * the rate computation treats as the slowest divisor. */
  m_Dll = 0;
  m_Dlm = 0;
  m_Efr = 0;
  m_Xon1 = m_Xon2 = m_Xoff1 = m_Xoff2 = 0;
  m_Tlr = 0;
  m_MsrDelta = 0;
  m_TxEnable422 = m_TxEnable485A = m_TxEnable485B = 0;
  m_Pmc = 0;
  m_RxFifo.clear();
  m_TxFifo.clear();
  m_ShiftBusy = false;
  m_ShiftData = 0;
  m_ShiftEnd = 0;
  m_LsrLatched = 0;
  m_ThrePending = false;
  m_TimeoutPending = false;
  m_LastRxActivity = m_Clock->NowNs();
  m_LastRbr = 0;
  m_Held = false;
  m_LastOutputs = 0;
  m_Irq = false;
  m_Outbox.clear();
  m_ScheduleChanged = true;
  Recompute();
}

/* --------------------------------------------------------- derived state */

size_t Uart16550::RxTrigger() const {
  /* TLR's receive nibble, when set, overrides the FCR selection. The FCR
   * values are the 16550's (1, 4, 8, 14) rather than the larger ones of
   * deep-FIFO parts, so a port that never programs a trigger is interrupted
   * for every character, as the driver expects. */
  static const size_t table[4] = {1, 4, 8, 14};
  size_t trigger = (m_Tlr >> 4) != 0 ? static_cast<size_t>(m_Tlr >> 4) * 4 : table[m_Fcr >> 6];
  return std::min<size_t>(trigger, m_Depth);
}

bool Uart16550::TlrGateOpen() const {
  return m_Lcr != LCR_ENHANCED && (m_Mcr & MCR_TLR) != 0 && (m_Efr & EFR_ENHANCED) != 0;
}

double Uart16550::BitsPerSecondLocked() const {
  unsigned divisor = static_cast<unsigned>(m_Dll) | (static_cast<unsigned>(m_Dlm) << 8);
  /* A divisor of 0 stops a real baud generator; treated as 65536 so that a
   * port nobody programmed still drains, slowly. */
  if (divisor == 0) divisor = 65536;
  return m_UartClockHz / (16.0 * divisor);
}

double Uart16550::CharacterTimeNsLocked() const {
  const unsigned dataBits = 5 + (m_Lcr & 0x03);
  double stop = 1.0;
  if (m_Lcr & LCR_STOP) stop = dataBits == 5 ? 1.5 : 2.0;
  const double bitsCount = 1.0 + dataBits + ((m_Lcr & LCR_PARITY) ? 1.0 : 0.0) + stop;
  return bitsCount * 1e9 / BitsPerSecondLocked();
}

bool Uart16550::TransmitterEnabledLocked() const {
  if (m_PortMode != 0 && m_PortMode != 2) return true; /* RS-232 drives its line always */
  switch (m_TxEnableKind) {
    case TxEnableKind::McrBit1: return (m_Mcr & MCR_RTS) == 0;
    case TxEnableKind::Pmc: return (m_Pmc & 1u) != 0;
    case TxEnableKind::EnableRegisters:
      return m_PortMode == 0 ? ((m_TxEnable485A & 1u) && (m_TxEnable485B & 1u)) : (m_TxEnable422 & 1u) != 0;
  }
  return true;
}

Frame Uart16550::FrameLocked(uint8_t data, int64_t time) const {
  Frame f;
  f.DataBits = static_cast<uint8_t>(5 + (m_Lcr & 0x03));
  f.Data = static_cast<uint8_t>(data & ((1u << f.DataBits) - 1));
  f.HasParity = (m_Lcr & LCR_PARITY) != 0;
  if (f.HasParity) {
    if (m_Lcr & LCR_STICK) f.ParityBit = (m_Lcr & LCR_EVEN) == 0; /* mark 1, space 0 */
    else f.ParityBit = (m_Lcr & LCR_EVEN) ? OddParity(f.Data, f.DataBits) : !OddParity(f.Data, f.DataBits);
  }
  f.BitsPerSecond = BitsPerSecondLocked();
  f.TransmitterEnabled = TransmitterEnabledLocked();
  f.TimeNs = time;
  return f;
}

uint8_t Uart16550::ModemInputsLocked() const {
  if (m_Mcr & MCR_LOOP) {
    /* Internal loopback: the outputs feed the inputs. */
    uint8_t in = 0;
    if (m_Mcr & MCR_RTS) in |= MSR_CTS;
    if (m_Mcr & MCR_DTR) in |= MSR_DSR;
    if (m_Mcr & MCR_OUT1) in |= MSR_RI;
    if (m_Mcr & MCR_OUT2) in |= MSR_DCD;
    return in;
  }
  return m_ModemInputs;
}

void Uart16550::UpdateModemInputs(uint8_t before) {
  const uint8_t now = ModemInputsLocked();
  const uint8_t changed = static_cast<uint8_t>(before ^ now);
  if (changed & MSR_CTS) m_MsrDelta |= MSR_DCTS;
  if (changed & MSR_DSR) m_MsrDelta |= MSR_DDSR;
  if (changed & MSR_DCD) m_MsrDelta |= MSR_DDCD;
  if ((before & MSR_RI) && !(now & MSR_RI)) m_MsrDelta |= MSR_TERI; /* trailing edge only */
}

uint8_t Uart16550::MsrValue() const { return static_cast<uint8_t>(ModemInputsLocked() | m_MsrDelta); }

uint8_t Uart16550::LsrValue() const {
  uint8_t lsr = m_LsrLatched;
  if (!m_RxFifo.empty()) lsr |= LSR_DR;
  const bool thrEmpty = m_TxFifo.empty() && !m_Held;
  if (thrEmpty) lsr |= LSR_THRE;
  if (thrEmpty && !m_ShiftBusy) lsr |= LSR_TEMT;
  if (FifoEnabled())
    for (const RxEntry &e : m_RxFifo)
      if (e.Errors) {
        lsr |= LSR_FIFO_ERROR;
        break;
      }
  return lsr;
}

uint8_t Uart16550::IirValue() const {
  uint8_t id = IIR_NONE;
  const bool fifo = FifoEnabled();
  if ((m_Ier & IER_RLS) && (m_LsrLatched & (LSR_OE | LSR_PE | LSR_FE | LSR_BI))) id = IIR_RLS;
  else if ((m_Ier & IER_RDA) && (fifo ? m_RxFifo.size() >= RxTrigger() : !m_RxFifo.empty())) id = IIR_RDA;
  else if ((m_Ier & IER_RDA) && fifo && m_TimeoutPending && !m_RxFifo.empty()) id = IIR_TIMEOUT;
  else if ((m_Ier & IER_THRE) && m_ThrePending) id = IIR_THRE;
  else if ((m_Ier & IER_MS) && m_MsrDelta) id = IIR_MODEM;
  return static_cast<uint8_t>(id | (fifo ? IIR_FIFO : 0));
}

void Uart16550::Recompute() {
  /* Instant timing has no character time: a partly filled FIFO times out at once. */
  if (Instant() && FifoEnabled() && !m_RxFifo.empty()) m_TimeoutPending = true;
  const bool irq = (IirValue() & IIR_NONE) == 0;
  /* Departure: on PC boards OUT2 gates the interrupt output; this
   * controller's interrupt does not depend on it (the driver never sets it). */
  if (irq && !m_Irq) m_IrqRose = true;
  m_Irq = irq;
}

void Uart16550::RevealHead() {
  if (!m_RxFifo.empty() && !m_RxFifo.front().Revealed) {
    m_LsrLatched |= m_RxFifo.front().Errors;
    m_RxFifo.front().Revealed = true;
  }
}

/* ---------------------------------------------------------- transmitter */

void Uart16550::StartShift(int64_t start) {
  m_ShiftData = m_TxFifo.front();
  m_TxFifo.pop_front();
  m_ShiftBusy = true;
  m_ShiftEnd = start + static_cast<int64_t>(std::llround(CharacterTimeNsLocked()));
  if (m_TxFifo.empty()) TxDrained();
  m_ScheduleChanged = true;
}

void Uart16550::FinishShift() {
  const Frame f = FrameLocked(m_ShiftData, m_ShiftEnd);
  m_ShiftBusy = false;
  m_Outbox.push_back({(m_Mcr & MCR_LOOP) ? OutItem::LoopedBack : OutItem::ToLine, f, 0});
}

void Uart16550::TxDrained() {
  /* THR (or the transmit FIFO) has just become empty. */
  m_ThrePending = true;
}

void Uart16550::WriteThr(uint8_t value) {
  m_ThrePending = false;
  if (m_TxFifo.size() >= TxCapacity()) {
    ++m_TxOverflows; /* lost, as on the part */
    return;
  }
  m_TxFifo.push_back(value);
  if (!m_Held) Transmit();
}

/* The transmitter takes what the FIFO holds: all of it at once when
 * instant, else the next character unless one is on the wire. */
void Uart16550::Transmit() {
  const int64_t now = m_Clock->NowNs();
  if (Instant()) {
    while (!m_TxFifo.empty()) {
      m_ShiftData = m_TxFifo.front();
      m_TxFifo.pop_front();
      m_ShiftEnd = now;
      FinishShift();
    }
    TxDrained();
  } else if (!m_ShiftBusy) {
    StartShift(now);
  }
}

void Uart16550::TickLocked(int64_t now) {
  if (Instant()) return;
  while (m_ShiftBusy && now >= m_ShiftEnd) {
    const int64_t end = m_ShiftEnd;
    FinishShift();
    /* Back to back: the next character starts where the last one ended, so
     * a late tick does not stretch the line's timing. */
    if (!m_Held && !m_TxFifo.empty()) StartShift(end);
  }
  if (FifoEnabled() && !m_RxFifo.empty() && !m_TimeoutPending &&
      now >= m_LastRxActivity + static_cast<int64_t>(4.0 * CharacterTimeNsLocked()))
    m_TimeoutPending = true;
}

int64_t Uart16550::NextDeadlineLocked() const {
  if (Instant()) return kNever;
  int64_t next = kNever;
  if (m_ShiftBusy) next = m_ShiftEnd;
  if (FifoEnabled() && !m_RxFifo.empty() && !m_TimeoutPending)
    next = std::min(next, m_LastRxActivity + static_cast<int64_t>(4.0 * CharacterTimeNsLocked()));
  return next;
}

int64_t Uart16550::Tick() {
  std::unique_lock<std::mutex> lock(m_Lock);
  TickLocked(m_Clock->NowNs());
  Recompute();
  const int64_t next = NextDeadlineLocked();
  m_ScheduleChanged = false; /* the caller is the scheduler */
  AfterUnlock(lock);
  return next;
}

/* ------------------------------------------------------------- receiver */

void Uart16550::ReceiveLocked(const Frame &f) {
  RxEntry e{0, 0, false};
  const unsigned dataBits = 5 + (m_Lcr & 0x03);
  if (f.Break) {
    e.Errors = LSR_BI;
  } else {
    e.Data = static_cast<uint8_t>(f.Data & ((1u << dataBits) - 1));
    const double rate = BitsPerSecondLocked();
    /* A sender at another rate or word length is sampled wrong: the stop bit
     * is missed. The character itself is kept, since which bits a real
     * receiver would see depends on the bit pattern. */
    if (f.FramingError || f.DataBits != dataBits || (f.BitsPerSecond > 0 && std::fabs(f.BitsPerSecond - rate) > 0.04 * rate))
      e.Errors |= LSR_FE;
    if (m_Lcr & LCR_PARITY) {
      bool expected;
      if (m_Lcr & LCR_STICK) expected = (m_Lcr & LCR_EVEN) == 0;
      else expected = (m_Lcr & LCR_EVEN) ? OddParity(e.Data, dataBits) : !OddParity(e.Data, dataBits);
      /* Without a parity bit the receiver samples the stop bit, a 1. */
      const bool seen = f.HasParity ? f.ParityBit : true;
      if (seen != expected) e.Errors |= LSR_PE;
    }
  }
  if (m_RxFifo.size() >= RxCapacity()) {
    m_LsrLatched |= LSR_OE;
    ++m_RxOverruns;
    /* In FIFO mode the FIFO is kept and the new character is lost; without
     * the FIFO it overwrites RBR. */
    if (!FifoEnabled()) {
      m_RxFifo.clear();
      m_RxFifo.push_back(e);
      RevealHead();
    }
  } else {
    m_RxFifo.push_back(e);
    RevealHead();
  }
  m_LastRxActivity = m_Clock->NowNs();
  m_TimeoutPending = false;
  m_ScheduleChanged = true;
}

void Uart16550::Receive(const Frame &frame) {
  std::unique_lock<std::mutex> lock(m_Lock);
  ReceiveLocked(frame);
  Recompute();
  AfterUnlock(lock);
}

uint8_t Uart16550::ReadRbr() {
  if (m_RxFifo.empty()) return m_LastRbr;
  m_LastRbr = m_RxFifo.front().Data;
  m_RxFifo.pop_front();
  RevealHead();
  m_LastRxActivity = m_Clock->NowNs();
  m_TimeoutPending = false;
  m_ScheduleChanged = true;
  return m_LastRbr;
}

/* ------------------------------------------------------------ registers */

void Uart16550::WriteIer(uint8_t value) {
  /* Bits 4-7 are the enhanced part's and writable only with EFR bit 4; the
   * model stores them but gives them no effect. */
  const uint8_t mask = (m_Efr & EFR_ENHANCED) ? 0xFF : 0x0F;
  const uint8_t old = m_Ier;
  m_Ier = static_cast<uint8_t>(value & mask);
  if (!(m_Ier & IER_THRE)) m_ThrePending = false;
  /* Enabling the THR-empty interrupt while THR is empty raises it again. */
  if ((m_Ier & IER_THRE) && !(old & IER_THRE) && m_TxFifo.empty() && !m_Held) m_ThrePending = true;
}

void Uart16550::WriteFcr(uint8_t value) {
  const bool wasEnabled = FifoEnabled();
  if (!(value & FCR_ENABLE)) {
    /* Without bit 0 the other bits are not written. */
    m_Fcr = 0;
  } else {
    /* Bits 1 and 2 are self-clearing; bits 4-5 (the enhanced transmit
     * trigger) are kept for the record, the TLR nibble being what counts. */
    m_Fcr = static_cast<uint8_t>(value & ~(FCR_RX_RESET | FCR_TX_RESET));
  }
  const bool enabled = FifoEnabled();
  const bool resetRx = (value & FCR_RX_RESET) != 0 && enabled;
  const bool resetTx = (value & FCR_TX_RESET) != 0 && enabled;
  if (resetRx || wasEnabled != enabled) {
    m_RxFifo.clear();
    m_LsrLatched &= static_cast<uint8_t>(~(LSR_PE | LSR_FE | LSR_BI));
    m_TimeoutPending = false;
  }
  if (resetTx || wasEnabled != enabled) {
    /* The shift register keeps the character it is sending. */
    const bool had = !m_TxFifo.empty();
    m_TxFifo.clear();
    if (had) TxDrained();
  }
  m_ScheduleChanged = true;
}

void Uart16550::WriteLcr(uint8_t value) {
  const bool breakBefore = (m_Lcr & LCR_BREAK) != 0 && m_Lcr != LCR_ENHANCED;
  m_Lcr = value;
  const bool breakNow = (m_Lcr & LCR_BREAK) != 0 && m_Lcr != LCR_ENHANCED;
  if (breakNow && !breakBefore) {
    Frame f = FrameLocked(0, m_Clock->NowNs());
    f.Break = true;
    m_Outbox.push_back({(m_Mcr & MCR_LOOP) ? OutItem::LoopedBack : OutItem::ToLine, f, 0});
  }
  m_ScheduleChanged = true;
}

void Uart16550::WriteMcr(uint8_t value) {
  const uint8_t inputsBefore = ModemInputsLocked();
  m_Mcr = value;
  UpdateModemInputs(inputsBefore);
  /* In loopback the outputs are kept from the line, which sees them inactive. */
  const uint8_t outputs = (m_Mcr & MCR_LOOP) ? 0 : static_cast<uint8_t>(m_Mcr & 0x0F);
  if (outputs != m_LastOutputs) {
    m_LastOutputs = outputs;
    m_Outbox.push_back({OutItem::Outputs, Frame{}, outputs});
  }
}

uint8_t Uart16550::ReadRegister(unsigned k) {
  std::unique_lock<std::mutex> lock(m_Lock);
  const bool enhanced = m_Lcr == LCR_ENHANCED;
  const bool dlab = (m_Lcr & LCR_DLAB) != 0;
  uint8_t v = 0;
  switch (k) {
    case 0: v = dlab ? m_Dll : ReadRbr(); break;
    case 1: v = dlab ? m_Dlm : m_Ier; break;
    case 2:
      if (enhanced) {
        v = m_Efr;
      } else {
        v = IirValue();
        if ((v & 0x0F) == IIR_THRE) m_ThrePending = false; /* identified: cleared */
      }
      break;
    case 3: v = m_Lcr; break;
    case 4: v = enhanced ? m_Xon1 : m_Mcr; break;
    case 5:
      if (enhanced) {
        v = m_Xon2;
      } else {
        TickLocked(m_Clock->NowNs());
        v = LsrValue();
        m_LsrLatched = 0; /* OE, PE, FE, BI clear on read; the FIFO error bit follows the FIFO */
      }
      break;
    case 6:
      if (enhanced) {
        v = m_Xoff1;
      } else {
        v = MsrValue();
        m_MsrDelta = 0;
      }
      break;
    case 7: v = enhanced ? m_Xoff2 : TlrGateOpen() ? m_Tlr : m_Scr; break;
    case reg::TXEN_422: v = static_cast<uint8_t>(m_TxEnable422); break;
    case reg::TXEN_485_A: v = static_cast<uint8_t>(m_TxEnable485A); break;
    case reg::TXEN_485_B: v = static_cast<uint8_t>(m_TxEnable485B); break;
    default: v = 0; break;
  }
  Recompute();
  AfterUnlock(lock);
  return v;
}

void Uart16550::WriteRegister(unsigned k, uint8_t value) {
  std::unique_lock<std::mutex> lock(m_Lock);
  const bool enhanced = m_Lcr == LCR_ENHANCED;
  const bool dlab = (m_Lcr & LCR_DLAB) != 0;
  switch (k) {
    case 0:
      if (dlab) {
        m_Dll = value;
        m_ScheduleChanged = true;
      } else {
        WriteThr(value);
      }
      break;
    case 1:
      if (dlab) {
        m_Dlm = value;
        m_ScheduleChanged = true;
      } else {
        WriteIer(value);
      }
      break;
    case 2:
      if (enhanced) m_Efr = value;
      else WriteFcr(value);
      break;
    case 3: WriteLcr(value); break;
    case 4:
      if (enhanced) m_Xon1 = value; /* MCR is out of reach while LCR is 0xBF */
      else WriteMcr(value);
      break;
    case 5:
      if (enhanced) m_Xon2 = value;
      /* LSR is read-only here (the part's factory-test write is not modelled). */
      break;
    case 6:
      if (enhanced) m_Xoff1 = value;
      break;
    case 7:
      if (enhanced) m_Xoff2 = value;
      else if (TlrGateOpen()) m_Tlr = value;
      else m_Scr = value;
      break;
    case reg::TXEN_422: m_TxEnable422 = value; break;
    case reg::TXEN_485_A: m_TxEnable485A = value; break;
    case reg::TXEN_485_B: m_TxEnable485B = value; break;
    default: break;
  }
  Recompute();
  AfterUnlock(lock);
}

uint32_t Uart16550::ReadPmc() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Pmc;
}

void Uart16550::WritePmc(uint32_t value) {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Pmc = value;
}

/* ----------------------------------------------------------- bus, line */

bool Uart16550::InterruptAsserted() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Irq;
}

void Uart16550::SetInterruptNotify(std::function<void()> notify) {
  std::lock_guard<std::mutex> callbacks(m_CallbackLock);
  std::lock_guard<std::mutex> lock(m_Lock);
  m_InterruptNotify = std::move(notify);
}

void Uart16550::SetScheduleNotify(std::function<void()> notify) {
  std::lock_guard<std::mutex> callbacks(m_CallbackLock);
  std::lock_guard<std::mutex> lock(m_Lock);
  m_ScheduleNotify = std::move(notify);
}

void Uart16550::SetPortMode(int mode) {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_PortMode = mode;
}

int Uart16550::PortMode() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_PortMode;
}

UartRegisters Uart16550::Registers() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  UartRegisters r;
  r.Ier = m_Ier;
  r.Iir = IirValue();
  r.Fcr = m_Fcr;
  r.Lcr = m_Lcr;
  r.Mcr = m_Mcr;
  r.Lsr = LsrValue();
  r.Msr = MsrValue();
  r.Scr = m_Scr;
  r.Dll = m_Dll;
  r.Dlm = m_Dlm;
  r.Efr = m_Efr;
  r.Xon1 = m_Xon1;
  r.Xon2 = m_Xon2;
  r.Xoff1 = m_Xoff1;
  r.Xoff2 = m_Xoff2;
  r.Tlr = m_Tlr;
  r.TxEnable422 = m_TxEnable422;
  r.TxEnable485A = m_TxEnable485A;
  r.TxEnable485B = m_TxEnable485B;
  r.Pmc = m_Pmc;
  r.RxLevel = static_cast<unsigned>(m_RxFifo.size());
  r.TxLevel = static_cast<unsigned>(m_TxFifo.size());
  r.ShiftBusy = m_ShiftBusy;
  return r;
}

double Uart16550::BitsPerSecond() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return BitsPerSecondLocked();
}

double Uart16550::CharacterTimeNs() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return CharacterTimeNsLocked();
}

uint64_t Uart16550::RxOverrunCount() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_RxOverruns;
}

uint64_t Uart16550::TxOverflowCount() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_TxOverflows;
}

void Uart16550::AttachLine(LineSink *line) {
  /* Waiting for m_OutLock means no delivery to the old line is under way. */
  std::lock_guard<std::mutex> out(m_OutLock);
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Line = line;
}

void Uart16550::SetModemInputs(uint8_t inputs) {
  std::unique_lock<std::mutex> lock(m_Lock);
  const uint8_t before = ModemInputsLocked();
  m_ModemInputs = static_cast<uint8_t>(inputs & 0xF0);
  UpdateModemInputs(before);
  Recompute();
  AfterUnlock(lock);
}

void Uart16550::HoldTransmitter(bool hold) {
  std::unique_lock<std::mutex> lock(m_Lock);
  m_Held = hold;
  if (!hold && !m_TxFifo.empty()) Transmit();
  Recompute();
  AfterUnlock(lock);
}

Frame Uart16550::MakeFrame(uint8_t data) const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return FrameLocked(data, m_Clock->NowNs());
}

bool Uart16550::TransmitterEnabled() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return TransmitterEnabledLocked();
}

/* ------------------------------------------------------ leaving the part */

void Uart16550::AfterUnlock(std::unique_lock<std::mutex> &lock) {
  const bool rose = m_IrqRose;
  const bool reschedule = m_ScheduleChanged;
  const bool outbox = !m_Outbox.empty();
  m_IrqRose = false;
  m_ScheduleChanged = false;
  lock.unlock();
  if (outbox) Drain();
  if (rose || reschedule) {
    std::lock_guard<std::mutex> callbacks(m_CallbackLock);
    std::function<void()> irq, schedule;
    {
      std::lock_guard<std::mutex> state(m_Lock);
      if (rose) irq = m_InterruptNotify;
      if (reschedule) schedule = m_ScheduleNotify;
    }
    if (irq) irq();
    if (schedule) schedule();
  }
}

void Uart16550::Drain() {
  for (;;) {
    /* Whoever holds m_OutLock delivers what is queued, ours included. */
    if (!m_OutLock.try_lock()) return;
    for (;;) {
      OutItem item;
      LineSink *line;
      {
        std::lock_guard<std::mutex> state(m_Lock);
        if (m_Outbox.empty()) break;
        item = m_Outbox.front();
        m_Outbox.pop_front();
        line = m_Line;
      }
      switch (item.Kind) {
        case OutItem::LoopedBack: Receive(item.F); break;
        case OutItem::ToLine:
          if (line) line->Transmit(item.F);
          break;
        case OutItem::Outputs:
          if (line) line->ModemOutputsChanged(item.ModemOutputs);
          break;
      }
    }
    m_OutLock.unlock();
    std::lock_guard<std::mutex> state(m_Lock);
    if (m_Outbox.empty()) return;
  }
}

}  // namespace sim::uart
