/*
 * What a port's wires connect to. A line attaches itself to its UART(s) when
 * made and detaches when destroyed; after the destructor no call reaches it.
 *
 * RS-485 and RS-422 lines carry a character only if the sending port's line
 * driver was on (Frame::TransmitterEnabled); RS-232 ports always have it on.
 * The probe is the exception: it records every character with that state,
 * since seeing what a port sent with its driver off is what it is for.
 */
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "uart/uart.h"

namespace sim::line {

using uart::Frame;
using uart::Uart16550;

/* A plug that joins a port's TX to its own RX (and RTS to CTS, DTR to DSR
 * and DCD). */
class LoopbackLine final : public uart::LineSink {
 public:
  explicit LoopbackLine(Uart16550 &port);
  ~LoopbackLine() override;
  void Transmit(const Frame &frame) override;
  void ModemOutputsChanged(uint8_t outputs) override;

 private:
  Uart16550 &m_Port;
};

/* A crossed cable between two ports: TX to RX both ways, RTS to CTS, DTR to
 * DSR and DCD. */
class NullModemLine {
 public:
  NullModemLine(Uart16550 &a, Uart16550 &b);
  ~NullModemLine();
  NullModemLine(const NullModemLine &) = delete;
  NullModemLine &operator=(const NullModemLine &) = delete;

 private:
  class End final : public uart::LineSink {
   public:
    explicit End(Uart16550 &far) : m_Far(far) {}
    void Transmit(const Frame &frame) override;
    void ModemOutputsChanged(uint8_t outputs) override;

   private:
    Uart16550 &m_Far;
  };
  Uart16550 &m_A, &m_B;
  End m_ToB, m_ToA;
};

/* The test's end of a port's wires. */
class ProbeLine final : public uart::LineSink {
 public:
  struct Record {
    Frame F;              /* as it left the port, with its model time stamp */
    int64_t ReceivedNs;   /* host steady clock when the probe got it */
  };

  explicit ProbeLine(Uart16550 &port);
  ~ProbeLine() override;

  std::vector<Record> Sent() const;
  /* The data bytes sent, whatever the line driver's state. */
  std::string SentBytes() const;
  void ClearSent();
  /* Waits until at least Count characters have been sent or Limit passes. */
  bool WaitForSent(size_t Count, std::chrono::milliseconds Limit = std::chrono::seconds(10)) const;

  /* Characters arriving at the port, framed with the port's own settings. */
  void Inject(std::string_view Bytes);
  void InjectFrame(const Frame &F);
  /* Holds the port's THRE (and TEMT) low: a transmitter that never drains. */
  void HoldThre(bool Hold);
  void SetModemInputs(uint8_t Inputs);
  uint8_t ModemOutputs() const;

  void Transmit(const Frame &frame) override;
  void ModemOutputsChanged(uint8_t outputs) override;

 private:
  Uart16550 &m_Port;
  mutable std::mutex m_Lock; /* guards m_Sent, m_Outputs */
  mutable std::condition_variable m_Cv;
  std::vector<Record> m_Sent;
  uint8_t m_Outputs = 0;
};

/* A Linux pseudo-terminal: whatever program opens the slave side is the far
 * end; what it writes reaches the port at the port's character rate. Its path is announced and kept in "<state dir>/<COM name>.pty" while
 * the line exists. */
class PtyLine final : public uart::LineSink {
 public:
  using Announce = std::function<void(const std::string &Message)>;

  /* nullptr with *Error set when no pseudo-terminal can be had. Announce
   * defaults to a line on stderr. */
  static std::unique_ptr<PtyLine> Open(Uart16550 &Port, const std::string &ComName, const std::string &StateDir,
                                       std::string *Error, Announce Announcer = {});
  ~PtyLine() override;

  const std::string &SlavePath() const { return m_SlavePath; }
  const std::string &PathFile() const { return m_PathFile; }
  uint64_t DroppedCharacters() const;

  void Transmit(const Frame &frame) override;
  void ModemOutputsChanged(uint8_t outputs) override;

 private:
  PtyLine(Uart16550 &port, int master, int slave, int wakeRead, int wakeWrite, std::string slavePath,
          std::string pathFile);
  void Reader();

  Uart16550 &m_Port;
  const int m_Master;
  const int m_Slave;  /* kept open so the master never sees a hang-up */
  const int m_WakeRead, m_WakeWrite;
  const std::string m_SlavePath;
  const std::string m_PathFile;
  mutable std::mutex m_Lock; /* guards m_Dropped */
  uint64_t m_Dropped = 0;
  std::thread m_Thread;
};

}  // namespace sim::line
