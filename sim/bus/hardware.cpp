#include "bus/bus.h"

#include <chrono>

namespace sim::bus {

using controller::LineKind;

void PortRecord::Withdraw() {
  Callback = nullptr;
  CallbackContext = nullptr;
  Event1 = nullptr;
  InputEvent = nullptr;
  Event2 = nullptr;
  Ring = nullptr;
}

Hardware::Hardware(const HardwareOptions &Options)
    : m_Config(Options.Config), m_State(Options.StateDirectory, Options.Warnings) {}

std::unique_ptr<Hardware> Hardware::Create(const HardwareOptions &Options, std::string *Error) {
  std::unique_ptr<Hardware> hw(new Hardware(Options));
  bool anyBaud = false;
  uint32_t global = 0;
  for (const controller::ControllerConfig &c : hw->m_Config.Controllers) {
    ControllerRecord rec;
    rec.Config = &c;
    uart::BoardOptions b;
    b.ProductId = c.ProductId;
    b.PortCount = static_cast<uint32_t>(c.Ports.size());
    b.FifoDepth = c.FifoDepth;
    b.Timing = c.Timing;
    rec.Board = std::make_unique<uart::Board>(b);
    anyBaud = anyBaud || c.Timing == controller::UartTiming::BaudAccurate;
    for (uint32_t i = 0; i < c.Ports.size(); ++i) {
      auto p = std::make_unique<PortRecord>();
      p->Owner = hw.get();
      p->DevID = c.DevID;
      p->Unit = i;
      p->GlobalIndex = global++;
      p->Controller = &c;
      p->Config = &c.Ports[i];
      p->Uart = &rec.Board->Port(i);
      p->Uart->SetPortMode(hw->m_State.GetMode(c.DevID, i));
      rec.Ports.push_back(std::move(p));
    }
    hw->m_Controllers.push_back(std::move(rec));
  }

  for (ControllerRecord &c : hw->m_Controllers) {
    for (auto &p : c.Ports) {
      PortRecord *port = p.get();
      switch (port->Config->Line) {
        case LineKind::Loopback: hw->m_Loopbacks.push_back(std::make_unique<line::LoopbackLine>(*port->Uart)); break;
        case LineKind::NullModem: {
          PortRecord *peer = hw->Port(port->Config->PeerDevID, port->Config->PeerPort);
          /* One cable per pair, made from the end that sorts first. */
          if (peer != nullptr && (port->DevID < peer->DevID || (port->DevID == peer->DevID && port->Unit < peer->Unit)))
            hw->m_NullModems.push_back(std::make_unique<line::NullModemLine>(*port->Uart, *peer->Uart));
          break;
        }
        case LineKind::Probe:
          hw->m_Probes.emplace_back(port, std::make_unique<line::ProbeLine>(*port->Uart));
          break;
        case LineKind::Pty: {
          std::string error;
          auto pty = line::PtyLine::Open(*port->Uart, port->Config->ComName, hw->m_State.Directory(), &error,
                                         Options.PtyAnnounce);
          if (!pty) {
            if (Error != nullptr) *Error = error;
            return nullptr;
          }
          hw->m_Ptys.emplace_back(port, std::move(pty));
          break;
        }
        case LineKind::None: break;
      }
      port->Uart->SetInterruptNotify([raw = hw.get()] {
        {
          std::lock_guard<std::mutex> lock(raw->m_IrqLock);
          raw->m_IrqPending = true;
        }
        raw->m_IrqCv.notify_one();
      });
    }
  }

  if (anyBaud) {
    hw->m_Clock = std::make_unique<uart::LineClock>();
    for (ControllerRecord &c : hw->m_Controllers)
      if (c.Config->Timing == controller::UartTiming::BaudAccurate)
        for (auto &p : c.Ports) hw->m_Clock->Add(p->Uart);
  }
  return hw;
}

Hardware::~Hardware() {
  StopInterrupts();
  for (ControllerRecord &c : m_Controllers)
    for (auto &p : c.Ports) {
      p->Uart->SetInterruptNotify(nullptr);
      if (m_Clock) m_Clock->Remove(p->Uart);
    }
  m_Clock.reset();
  m_Probes.clear();
  m_Ptys.clear();
  m_NullModems.clear();
  m_Loopbacks.clear();
}

uart::Board *Hardware::Board(uint32_t DevID) {
  for (ControllerRecord &c : m_Controllers)
    if (c.Config->DevID == DevID) return c.Board.get();
  return nullptr;
}

PortRecord *Hardware::Port(uint32_t DevID, uint32_t Unit) {
  for (ControllerRecord &c : m_Controllers)
    if (c.Config->DevID == DevID) return Unit < c.Ports.size() ? c.Ports[Unit].get() : nullptr;
  return nullptr;
}

std::vector<PortRecord *> Hardware::Ports() {
  std::vector<PortRecord *> out;
  for (ControllerRecord &c : m_Controllers)
    for (auto &p : c.Ports) out.push_back(p.get());
  return out;
}

line::ProbeLine *Hardware::Probe(uint32_t DevID, uint32_t Unit) {
  for (auto &[port, probe] : m_Probes)
    if (port->DevID == DevID && port->Unit == Unit) return probe.get();
  return nullptr;
}

line::PtyLine *Hardware::Pty(uint32_t DevID, uint32_t Unit) {
  for (auto &[port, pty] : m_Ptys)
    if (port->DevID == DevID && port->Unit == Unit) return pty.get();
  return nullptr;
}

void Hardware::SetPortPresent(uint32_t DevID, uint32_t Unit, bool Present) {
  PortRecord *p = Port(DevID, Unit);
  if (p == nullptr) return;
  std::lock_guard<std::mutex> lock(m_BusLock);
  p->Present = Present;
}

InterruptCounts Hardware::Counts(uint32_t DevID, uint32_t Unit) {
  PortRecord *p = Port(DevID, Unit);
  if (p == nullptr) return {};
  std::lock_guard<std::mutex> lock(p->Lock);
  return p->Counts;
}

bool Hardware::WaitForCounts(uint32_t DevID, uint32_t Unit, const InterruptCounts &Seen, unsigned TimeoutMs) {
  PortRecord *p = Port(DevID, Unit);
  if (p == nullptr) return false;
  std::unique_lock<std::mutex> lock(m_CountsLock);
  return m_CountsCv.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [&] {
    std::lock_guard<std::mutex> g(p->Lock);
    return p->Counts.Callbacks != Seen.Callbacks || p->Counts.Unclaimed != Seen.Unclaimed;
  });
}

void Hardware::CountsChanged() {
  { std::lock_guard<std::mutex> lock(m_CountsLock); }
  m_CountsCv.notify_all();
}

/* ---------------------------------------------------------- interrupt */

void Hardware::StartInterrupts() {
  std::lock_guard<std::mutex> lock(m_IrqLock);
  if (m_IrqThread.joinable()) return;
  m_IrqStop = false;
  m_IrqPending = true; /* a line may already be up */
  m_IrqThread = std::thread([this] { InterruptThread(); });
}

void Hardware::StopInterrupts() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(m_IrqLock);
    m_IrqStop = true;
    t = std::move(m_IrqThread);
  }
  m_IrqCv.notify_all();
  if (t.joinable()) t.join();
}

void Hardware::Recheck(PortRecord *Port) {
  {
    std::lock_guard<std::mutex> g(Port->Lock);
    Port->Recheck = true;
  }
  {
    std::lock_guard<std::mutex> lock(m_IrqLock);
    m_IrqPending = true;
  }
  m_IrqCv.notify_one();
}

void Hardware::InterruptThread() {
  bool stillUp = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_IrqLock);
      auto ready = [this] { return m_IrqPending || m_IrqStop; };
      /* The line is level-triggered: a port whose callback left it up is
       * served again at once, as an interrupt that stays asserted is taken
       * again as soon as it is dismissed (a pause here overruns the receive
       * FIFO at the higher rates). */
      if (!stillUp) m_IrqCv.wait(lock, ready);
      if (m_IrqStop) return;
      m_IrqPending = false;
    }
    stillUp = false;
    for (ControllerRecord &c : m_Controllers) {
      if (c.RegisterBase == nullptr) continue;
      for (auto &p : c.Ports) ServicePort(c, *p, stillUp);
    }
  }
}

void Hardware::ServicePort(ControllerRecord &c, PortRecord &p, bool &stillUp) {
  bool recheck;
  {
    std::lock_guard<std::mutex> g(p.Lock);
    recheck = p.Recheck;
    p.Recheck = false;
  }
  if (!recheck && !p.Uart->InterruptAsserted()) return;

  std::unique_lock<std::mutex> lock(p.Lock);
  if (p.Callback == nullptr) {
    if (p.Uart->InterruptAsserted()) {
      /* Nobody to tell; the port's next registration looks again. */
      ++p.Counts.Unclaimed;
      lock.unlock();
      CountsChanged();
    }
    return;
  }
  const unsigned stride = c.Board->RegistersPerPort();
  auto reg = [&](unsigned k) {
    return reinterpret_cast<volatile ULONG *>(c.RegisterBase + (static_cast<size_t>(p.Unit) * stride + k) * 4);
  };
  bool received = false, lineError = false, thrEmpty = false;
  uint64_t calls = 0;
  KIRQL old;
  KeRaiseIrql(kControllerIrql, &old);
  /* Bounded, so that a callback that never clears its cause cannot hold the
   * interrupt thread; the line is then looked at again shortly. */
  for (int round = 0; round < 16; ++round) {
    const UCHAR iir = static_cast<UCHAR>(READ_REGISTER_ULONG(reg(2)) & 0xFF);
    if (iir & 0x01) break;
    switch (iir & 0x0F) {
      case 0x06:
        p.Callback(p.CallbackContext, 6);
        ++calls;
        /* The port only reports it; reading LSR is what clears it. */
        READ_REGISTER_ULONG(reg(5));
        lineError = true;
        break;
      case 0x04:
      case 0x0C: /* a character time-out is received data to the port */
        p.Callback(p.CallbackContext, 4);
        ++calls;
        received = true;
        break;
      case 0x02:
        p.Callback(p.CallbackContext, 2);
        ++calls;
        thrEmpty = true;
        break;
      default:
        /* Modem status: the port has no use for it; reading MSR clears it. */
        READ_REGISTER_ULONG(reg(6));
        break;
    }
  }
  if (p.Uart->InterruptAsserted()) stillUp = true;
  KeLowerIrql(old);
  if (received && p.InputEvent != nullptr) KeSetEvent(p.InputEvent, IO_NO_INCREMENT, FALSE);
  if (lineError && p.Event1 != nullptr) KeSetEvent(p.Event1, IO_NO_INCREMENT, FALSE);
  if (thrEmpty && p.Event2 != nullptr) KeSetEvent(p.Event2, IO_NO_INCREMENT, FALSE);
  p.Counts.Callbacks += calls;
  lock.unlock();
  if (calls != 0) CountsChanged();
}

}  // namespace sim::bus
