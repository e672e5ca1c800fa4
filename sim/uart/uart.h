/*
 * One UART of the simulated controller: a 16550 with the enhanced register
 * set (EFR, XON/XOFF, TLR), FIFOs of 64 or 128 characters, the
 * transmitter-enable registers of 16-register blocks and the port's PMC
 * register.
 *
 * Register-named state is what software can read back; the hidden state
 * (FIFOs, shift register, pending-interrupt flags, latched errors) is what a
 * real part keeps inside. Every change goes through Recompute(), which
 * derives IIR and the interrupt line; Reset() is the one reset.
 *
 * Threads: register accesses come from the driver's threads and the bus's
 * interrupt thread, characters from the line and the line clock. One mutex
 * guards the whole state. Whatever leaves the UART (characters and modem
 * outputs for the line, the interrupt notification, the wake-up of the line
 * clock) is handed on after that mutex is released, so a line may call into
 * another UART, or this one, without deadlock; the outbox keeps the order in
 * which characters left.
 */
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>

#include "controller/config.h"
#include "uart/clock.h"

namespace sim::uart {

/* The model's own register map; the driver has its own constants. */
namespace reg {
enum : unsigned { RBR = 0, THR = 0, DLL = 0, IER = 1, DLM = 1, IIR = 2, FCR = 2, EFR = 2, LCR = 3, MCR = 4,
                  XON1 = 4, LSR = 5, XON2 = 5, MSR = 6, XOFF1 = 6, SCR = 7, TLR = 7, XOFF2 = 7,
                  TXEN_422 = 9, TXEN_485_A = 10, TXEN_485_B = 11 };
}
namespace bits {
enum : uint8_t {
  IER_RDA = 0x01, IER_THRE = 0x02, IER_RLS = 0x04, IER_MS = 0x08,
  IIR_NONE = 0x01, IIR_MODEM = 0x00, IIR_THRE = 0x02, IIR_RDA = 0x04, IIR_RLS = 0x06, IIR_TIMEOUT = 0x0C,
  IIR_FIFO = 0xC0,
  FCR_ENABLE = 0x01, FCR_RX_RESET = 0x02, FCR_TX_RESET = 0x04,
  LCR_STOP = 0x04, LCR_PARITY = 0x08, LCR_EVEN = 0x10, LCR_STICK = 0x20, LCR_BREAK = 0x40, LCR_DLAB = 0x80,
  LCR_ENHANCED = 0xBF,
  MCR_DTR = 0x01, MCR_RTS = 0x02, MCR_OUT1 = 0x04, MCR_OUT2 = 0x08, MCR_LOOP = 0x10, MCR_TLR = 0x40,
  LSR_DR = 0x01, LSR_OE = 0x02, LSR_PE = 0x04, LSR_FE = 0x08, LSR_BI = 0x10, LSR_THRE = 0x20, LSR_TEMT = 0x40,
  LSR_FIFO_ERROR = 0x80,
  MSR_DCTS = 0x01, MSR_DDSR = 0x02, MSR_TERI = 0x04, MSR_DDCD = 0x08,
  MSR_CTS = 0x10, MSR_DSR = 0x20, MSR_RI = 0x40, MSR_DCD = 0x80,
  EFR_ENHANCED = 0x10,
};
}

/* Which register decides whether the port's line driver is on in the RS-485
 * and RS-422 modes; fixed by the product class. */
enum class TxEnableKind {
  McrBit1,       /* 0x2B71, 0x2B72: MCR bit 1, on when clear */
  Pmc,           /* 0x4D58, 0x4E58..0x4E5C: the port's PMC register, bit 0 */
  EnableRegisters, /* others: registers 10 and 11 (RS-485) or 9 (RS-422), bit 0 */
};

/* One character on the wire. */
struct Frame {
  uint8_t Data = 0;          /* the data bits, LSB first on the wire */
  uint8_t DataBits = 8;      /* 5..8 */
  bool HasParity = false;
  bool ParityBit = false;    /* level of the parity bit, when there is one */
  bool Break = false;        /* a break condition instead of a character */
  bool FramingError = false; /* the stop bit was not there (injected faults) */
  double BitsPerSecond = 0;  /* 0: whatever the receiver expects */
  bool TransmitterEnabled = true; /* the line driver was on when it left */
  int64_t TimeNs = 0;        /* when its last stop bit ended (model clock) */
};

/* What a UART's wires connect to. Called without any UART lock held. */
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void Transmit(const Frame &frame) = 0;
  /* DTR, RTS, OUT1, OUT2 as the MCR bits 0-3. */
  virtual void ModemOutputsChanged(uint8_t outputs) = 0;
};

struct UartOptions {
  uint16_t ProductId = 0x2B72;
  uint32_t FifoDepth = 64;
  controller::UartTiming Timing = controller::UartTiming::Instant;
  const Clock *TimeSource = nullptr; /* nullptr: the host's steady clock */
};

/* Register-named state without side effects, for tools and tests. */
struct UartRegisters {
  uint8_t Ier, Iir, Fcr, Lcr, Mcr, Lsr, Msr, Scr, Dll, Dlm, Efr, Xon1, Xon2, Xoff1, Xoff2, Tlr;
  uint32_t TxEnable422, TxEnable485A, TxEnable485B, Pmc;
  unsigned RxLevel, TxLevel;
  bool ShiftBusy;
};

class Uart16550 {
 public:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

  explicit Uart16550(const UartOptions &options);
  Uart16550(const Uart16550 &) = delete;
  Uart16550 &operator=(const Uart16550 &) = delete;

  /* Register k of the port's block (0..15). Reads and writes with the side
   * effects of the part: reading RBR takes a character, LSR clears errors,
   * IIR clears a THR-empty interrupt, MSR clears the deltas. */
  uint8_t ReadRegister(unsigned k);
  void WriteRegister(unsigned k, uint8_t value);
  uint32_t ReadPmc();
  void WritePmc(uint32_t value);

  /* The master reset: every register and the hidden state as at power-on. */
  void Reset();

  /* ---- bus side ---- */
  bool InterruptAsserted() const;
  /* Called (outside the lock) each time the interrupt line rises. */
  void SetInterruptNotify(std::function<void()> notify);
  /* The port's mode as the bus last read it: decides whether the line
   * driver is switched by the transmitter-enable registers at all. */
  void SetPortMode(int mode);
  int PortMode() const;
  UartRegisters Registers() const;
  /* The line clock's rate: UART clock / (16 x divisor). */
  double BitsPerSecond() const;
  /* Start, data, parity and stop bits over the rate, in nanoseconds. */
  double CharacterTimeNs() const;
  uint64_t TxOverflowCount() const; /* characters written into a full FIFO */
  uint64_t RxOverrunCount() const;  /* characters that arrived at a full receive FIFO */

  /* ---- line side ---- */
  void AttachLine(LineSink *line);
  void Receive(const Frame &frame);
  /* CTS, DSR, RI, DCD inputs, as the MSR bits 4-7. */
  void SetModemInputs(uint8_t inputs);
  /* Holds THRE and TEMT low and the transmitter still (a stuck line). */
  void HoldTransmitter(bool hold);
  /* A frame carrying Data with this UART's current line settings. */
  Frame MakeFrame(uint8_t data) const;
  bool TransmitterEnabled() const;

  /* ---- clock side ----
   * Moves time-driven state to the present (end of the character in the
   * shift register, next character from the FIFO, character time-out) and
   * returns when it next needs to be called, or kNever. */
  int64_t Tick();
  void SetScheduleNotify(std::function<void()> notify);

 private:
  struct RxEntry {
    uint8_t Data;
    uint8_t Errors;  /* LSR_PE | LSR_FE | LSR_BI */
    bool Revealed;   /* its errors have reached LSR */
  };
  struct OutItem {
    enum { ToLine, LoopedBack, Outputs } Kind;
    Frame F;
    uint8_t ModemOutputs;
  };

  /* All of these run with m_Lock held. */
  void ResetLocked();
  void Recompute();
  void RevealHead();
  uint8_t LsrValue() const;
  uint8_t MsrValue() const;
  uint8_t IirValue() const;
  uint8_t ModemInputsLocked() const;
  void UpdateModemInputs(uint8_t inputs);
  bool FifoEnabled() const { return (m_Fcr & bits::FCR_ENABLE) != 0; }
  size_t RxCapacity() const { return FifoEnabled() ? m_Depth : 1; }
  size_t TxCapacity() const { return FifoEnabled() ? m_Depth : 1; }
  size_t RxTrigger() const;
  bool Instant() const { return m_Timing == controller::UartTiming::Instant; }
  bool TlrGateOpen() const;
  double CharacterTimeNsLocked() const;
  double BitsPerSecondLocked() const;
  bool TransmitterEnabledLocked() const;
  Frame FrameLocked(uint8_t data, int64_t time) const;
  void StartShift(int64_t start);
  void FinishShift();
  void TxDrained();
  void Transmit();
  void TickLocked(int64_t now);
  int64_t NextDeadlineLocked() const;
  void WriteThr(uint8_t value);
  void WriteFcr(uint8_t value);
  void WriteMcr(uint8_t value);
  void WriteLcr(uint8_t value);
  void WriteIer(uint8_t value);
  uint8_t ReadRbr();
  void ReceiveLocked(const Frame &frame);

  /* Releases lock and hands on what the locked section produced. */
  void AfterUnlock(std::unique_lock<std::mutex> &lock);
  void Drain();

  const uint16_t m_ProductId;
  const uint32_t m_Depth;
  const controller::UartTiming m_Timing;
  const Clock *const m_Clock;
  const TxEnableKind m_TxEnableKind;
  const double m_UartClockHz;

  mutable std::mutex m_Lock; /* guards everything below */

  /* Register-named state. */
  uint8_t m_Ier, m_Fcr, m_Lcr, m_Mcr, m_Scr, m_Dll, m_Dlm, m_Efr, m_Xon1, m_Xon2, m_Xoff1, m_Xoff2, m_Tlr;
  uint8_t m_MsrDelta;   /* MSR bits 0-3 */
  uint32_t m_TxEnable422, m_TxEnable485A, m_TxEnable485B, m_Pmc;

  /* Hidden state. */
  std::deque<RxEntry> m_RxFifo;  /* RBR is its head; depth 1 with the FIFO off */
  std::deque<uint8_t> m_TxFifo;  /* THR; depth 1 with the FIFO off */
  bool m_ShiftBusy;
  uint8_t m_ShiftData;
  int64_t m_ShiftEnd;
  uint8_t m_LsrLatched;    /* OE, PE, FE, BI until LSR is read */
  bool m_ThrePending;      /* THR-empty interrupt waiting to be identified */
  bool m_TimeoutPending;   /* character time-out reached */
  int64_t m_LastRxActivity;
  uint8_t m_LastRbr;
  uint8_t m_ModemInputs;   /* from the line: MSR bits 4-7 */
  bool m_Held;
  int m_PortMode;
  uint8_t m_LastOutputs;   /* modem outputs last told to the line */
  uint64_t m_TxOverflows;
  uint64_t m_RxOverruns = 0;
  bool m_Irq;              /* the interrupt line */
  bool m_IrqRose;          /* rose since the last AfterUnlock */
  bool m_ScheduleChanged;  /* the next deadline may have moved */
  std::deque<OutItem> m_Outbox; /* what leaves, in order; delivered by Drain() */

  LineSink *m_Line;                        /* guarded by m_Lock; read under it by AfterUnlock */
  std::function<void()> m_InterruptNotify; /* guarded by m_Lock */
  std::function<void()> m_ScheduleNotify;  /* guarded by m_Lock */

  std::mutex m_OutLock;      /* held while the outbox is delivered: keeps its order */
  std::mutex m_CallbackLock; /* held while a notify runs, so a setter can withdraw it */
};

/* Product classes. */
bool UsesEightRegisterBlocks(uint16_t productId);
bool UsesPmc(uint16_t productId);
double UartClockHz(uint16_t productId);
TxEnableKind TxEnableKindOf(uint16_t productId);

}  // namespace sim::uart
