/*
 * The whole system for a test: the kernel layer booted with the verifier,
 * the simulated controllers of a configuration with their bus driver, and
 * NERAVOX.sys loaded through its DriverEntry as the function driver of the
 * bus's port devices. Tests reach the ports as applications do, through the
 * I/O manager by their COM names; the lines (null modem, probe) are the far
 * end. Tear-down shuts the system down, which unloads the driver with the
 * verifier's leak checks on: a request, device or pool block left behind
 * fails the test by a bug check.
 */
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nt/control.h>

#include "bus/bus.h"
#include "neravoxdriver.h"

namespace systest {

inline constexpr const char *kDriverName = "NERAVOX";
inline constexpr unsigned kLimitMs = 10000;

/* The default configuration with the UART timing of every controller set. */
inline sim::controller::Config DefaultWith(sim::controller::UartTiming Timing) {
  sim::controller::Config c = sim::controller::DefaultConfig();
  for (auto &k : c.Controllers) k.Timing = Timing;
  return c;
}

/* One controller of ProductId with Ports ports, all on probes, COM names
 * from COM<FirstCom>. */
inline sim::controller::ControllerConfig ProbeController(uint16_t ProductId, uint32_t DevID, uint32_t Ports,
                                                         uint32_t FirstCom, uint32_t IniPort = 0,
                                                         uint32_t GlobalIndex = 0) {
  sim::controller::ControllerConfig k;
  k.ProductId = ProductId;
  k.DevID = DevID;
  k.IniPort = IniPort;
  for (uint32_t i = 0; i < Ports; ++i) {
    sim::controller::PortConfig p;
    p.ComName = "COM" + std::to_string(FirstCom + i);
    p.FriendlyName = sim::controller::DefaultFriendlyName(GlobalIndex + i, p.ComName);
    p.Line = sim::controller::LineKind::Probe;
    k.Ports.push_back(p);
  }
  return k;
}

class PortSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/nv-sys-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_Dir = dir;
    sim::bus::HardwareOptions o;
    o.Config = Config();
    o.StateDirectory = m_Dir;
    o.Warnings = [](const std::string &) {};
    std::string error;
    m_Hw = sim::bus::Hardware::Create(o, &error);
    ASSERT_NE(m_Hw, nullptr) << error;
    BeforeBoot();
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
    nt::pnp::FunctionDriver f;
    f.Name = kDriverName;
    f.Entry = DriverEntry;
    f.Install = sim::bus::PortInstaller(*m_Hw);
    ASSERT_EQ(nt::pnp::RegisterFunctionDriver(sim::bus::kPortHardwareId, f), STATUS_SUCCESS);
    BeforeBus();
    ASSERT_EQ(sim::bus::StartBus(*m_Hw, &m_BusPdo), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (HANDLE h : m_Handles) nt::io::Close(h);
    m_Handles.clear();
    nt::pool::ClearFaults();
    if (nt::IsBooted()) nt::Shutdown();
    m_Hw.reset();
    if (!m_Dir.empty()) std::filesystem::remove_all(m_Dir);
  }
  virtual sim::controller::Config Config() { return sim::controller::DefaultConfig(); }
  /* The hardware exists, nothing has touched it yet. */
  virtual void BeforeBoot() {}
  /* The system is up, the ports not yet enumerated. */
  virtual void BeforeBus() {}

  sim::bus::Hardware &Hw() { return *m_Hw; }

  PDEVICE_OBJECT PdoOf(uint32_t DevID, uint32_t Unit) {
    for (PDEVICE_OBJECT pdo : nt::pnp::Children(m_BusPdo)) {
      nt::pnp::DeviceInfo info;
      if (nt::pnp::GetDevice(pdo, &info) && info.InstanceId == std::to_string(DevID) + "_" + std::to_string(Unit))
        return pdo;
    }
    return nullptr;
  }
  nt::pnp::DeviceInfo InfoOf(uint32_t DevID, uint32_t Unit) {
    nt::pnp::DeviceInfo info;
    PDEVICE_OBJECT pdo = PdoOf(DevID, Unit);
    if (pdo != nullptr) nt::pnp::GetDevice(pdo, &info);
    return info;
  }

  /* Opens \\.\<Com>; the handle is closed at tear-down unless the test
   * closes it with Close(). */
  NTSTATUS Open(const std::string &Com, HANDLE *Handle) {
    NTSTATUS status = nt::io::Open("\\\\.\\" + Com, Handle);
    if (NT_SUCCESS(status)) m_Handles.push_back(*Handle);
    return status;
  }
  HANDLE MustOpen(const std::string &Com) {
    HANDLE h = nullptr;
    NTSTATUS status = Open(Com, &h);
    EXPECT_EQ(status, STATUS_SUCCESS) << Com;
    return h;
  }
  void Close(HANDLE Handle) {
    for (auto it = m_Handles.begin(); it != m_Handles.end(); ++it)
      if (*it == Handle) {
        m_Handles.erase(it);
        break;
      }
    EXPECT_EQ(nt::io::Close(Handle), STATUS_SUCCESS);
  }

  /* A synchronous device-control request; Information through *Returned. */
  NTSTATUS Ioctl(HANDLE H, ULONG Code, const void *In = nullptr, ULONG InLength = 0, void *Out = nullptr,
                 ULONG OutLength = 0, ULONG_PTR *Returned = nullptr) {
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 0;
    NTSTATUS status = nt::io::DeviceIoControl(H, Code, In, InLength, Out, OutLength, &iosb);
    if (Returned != nullptr) *Returned = iosb.Information;
    return status;
  }
  NTSTATUS SetBaud(HANDLE H, ULONG Rate) {
    SERIAL_BAUD_RATE b{Rate};
    return Ioctl(H, IOCTL_SERIAL_SET_BAUD_RATE, &b, sizeof b);
  }
  NTSTATUS SetLine(HANDLE H, UCHAR WordLength, UCHAR Parity, UCHAR StopBits) {
    SERIAL_LINE_CONTROL l;
    l.StopBits = StopBits;
    l.Parity = Parity;
    l.WordLength = WordLength;
    return Ioctl(H, IOCTL_SERIAL_SET_LINE_CONTROL, &l, sizeof l);
  }
  NTSTATUS SetTimeouts(HANDLE H, ULONG RI, ULONG RM, ULONG RC) {
    SERIAL_TIMEOUTS t{};
    t.ReadIntervalTimeout = RI;
    t.ReadTotalTimeoutMultiplier = RM;
    t.ReadTotalTimeoutConstant = RC;
    return Ioctl(H, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
  }
  NTSTATUS Purge(HANDLE H, ULONG Mask) { return Ioctl(H, IOCTL_SERIAL_PURGE, &Mask, sizeof Mask); }
  SERIAL_STATUS CommStatus(HANDLE H) {
    SERIAL_STATUS s{};
    EXPECT_EQ(Ioctl(H, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s), STATUS_SUCCESS);
    return s;
  }
  NTSTATUS Write(HANDLE H, const std::string &Bytes, ULONG_PTR *Written = nullptr) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = nt::io::Write(H, Bytes.data(), static_cast<ULONG>(Bytes.size()), &iosb);
    if (Written != nullptr) *Written = iosb.Information;
    return status;
  }
  NTSTATUS Read(HANDLE H, ULONG Length, std::string *Bytes) {
    std::string buffer(Length, '\0');
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = nt::io::Read(H, buffer.data(), Length, &iosb);
    buffer.resize(NT_SUCCESS(status) ? iosb.Information : 0);
    if (Bytes != nullptr) *Bytes = buffer;
    return status;
  }
  /* Reads until Count bytes have come or Limit passes, in pieces of at most
   * Piece bytes; the port's time-outs decide how each piece ends. */
  std::string ReadAll(HANDLE H, size_t Count, ULONG Piece = 1000,
                      std::chrono::milliseconds Limit = std::chrono::milliseconds(30000)) {
    std::string all;
    const auto end = std::chrono::steady_clock::now() + Limit;
    while (all.size() < Count && std::chrono::steady_clock::now() < end) {
      std::string piece;
      NTSTATUS status = Read(H, static_cast<ULONG>(std::min<size_t>(Piece, Count - all.size())), &piece);
      if (!NT_SUCCESS(status)) break;
      all += piece;
    }
    return all;
  }

  /* Waits until the port's receive ring holds at least Count bytes. */
  bool WaitInQueue(HANDLE H, ULONG Count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (std::chrono::steady_clock::now() < end) {
      if (CommStatus(H).AmountInInQueue >= Count) return true;
      std::this_thread::yield();
    }
    return false;
  }

  /* Waits until the sending UART has nothing left to send and the
   * receiving one nothing left to hand over. */
  bool WaitLineQuiet(uint32_t DevID, uint32_t From, uint32_t To) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (std::chrono::steady_clock::now() < end) {
      sim::uart::UartRegisters a = Hw().Board(DevID)->Port(From).Registers();
      sim::uart::UartRegisters b = Hw().Board(DevID)->Port(To).Registers();
      if (a.TxLevel == 0 && !a.ShiftBusy && b.RxLevel == 0) return true;
      std::this_thread::yield();
    }
    return false;
  }

  /* An overlapped request; it must stay in place while it is pending. */
  struct Overlapped {
    KEVENT Event;
    IO_STATUS_BLOCK Iosb{};
    ULONG Result = 0xFFFFFFFF;
    NTSTATUS Issued = STATUS_PENDING;
    Overlapped() { KeInitializeEvent(&Event, NotificationEvent, FALSE); }
    bool Done() { return KeReadStateEvent(&Event) != 0; }
    bool WaitDone(unsigned Ms = kLimitMs) { return nt::io::Wait(&Event, Ms); }
  };
  std::unique_ptr<Overlapped> StartWait(HANDLE H) {
    auto o = std::make_unique<Overlapped>();
    o->Issued = nt::io::DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &o->Result, sizeof o->Result,
                                        &o->Iosb, &o->Event);
    return o;
  }
  NTSTATUS SetWaitMask(HANDLE H, ULONG Mask) { return Ioctl(H, IOCTL_SERIAL_SET_WAIT_MASK, &Mask, sizeof Mask); }
  ULONG GetWaitMask(HANDLE H) {
    ULONG m = 0xFFFFFFFF;
    EXPECT_EQ(Ioctl(H, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &m, sizeof m), STATUS_SUCCESS);
    return m;
  }

  std::string m_Dir;
  std::unique_ptr<sim::bus::Hardware> m_Hw;
  PDEVICE_OBJECT m_BusPdo = nullptr;
  std::vector<HANDLE> m_Handles;
};

/* Counts the debug lines that contain Text from now on; the capture's ring
 * may have dropped lines by the time a long transfer ends. */
class LineCounter {
 public:
  explicit LineCounter(std::string Text) : m_Text(std::move(Text)) {
    m_Id = nt::debug::Subscribe([this](const std::string &Line) {
      if (Line.find(m_Text) != std::string::npos) m_Count.fetch_add(1);
    });
  }
  ~LineCounter() { nt::debug::Unsubscribe(m_Id); }
  size_t Count() const { return m_Count.load(); }

 private:
  std::string m_Text;
  std::atomic<size_t> m_Count{0};
  int m_Id = 0;
};

/* What the driver completed, as IoCompleteRequest saw it: the status and
 * Information of requests that failed without being pended never reach the
 * caller's status block. */
class CompletionRecorder {
 public:
  struct Entry {
    UCHAR Major;
    NTSTATUS Status;
    ULONG_PTR Information;
    CCHAR Boost;
  };
  CompletionRecorder() {
    nt::io::SetCompletionObserver([this](PIRP Irp, NTSTATUS Status, CCHAR Boost) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
      std::lock_guard<std::mutex> l(m_Lock);
      m_Entries.push_back({sp->MajorFunction, Status, Irp->IoStatus.Information, Boost});
    });
  }
  ~CompletionRecorder() { nt::io::SetCompletionObserver({}); }
  /* The last completion of that request kind. */
  bool Last(UCHAR Major, Entry *Out) {
    std::lock_guard<std::mutex> l(m_Lock);
    for (auto it = m_Entries.rbegin(); it != m_Entries.rend(); ++it)
      if (it->Major == Major) {
        *Out = *it;
        return true;
      }
    return false;
  }

 private:
  std::mutex m_Lock;
  std::vector<Entry> m_Entries;
};

/* A pattern that shows reordering, loss and duplication. */
inline std::string Pattern(size_t Count, unsigned Seed = 1) {
  std::string s(Count, '\0');
  uint32_t x = Seed * 2654435761u + 12345u;
  for (size_t i = 0; i < Count; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>((x >> 16) & 0xFF);
  }
  return s;
}

}  // namespace systest
