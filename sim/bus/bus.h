/*
 * The simulated controllers and their bus driver.
 *
 * Hardware is everything outside the kernel: one Board of UARTs per
 * configured controller, the lines their ports are wired to, the line clock
 * and the port-mode state. The bus driver ("NeravoxBus") is a driver of the
 * kernel layer: its FDO sits on the root PDO the PnP manager makes for it,
 * it reports one PDO per port, answers IRP_MN_QUERY_INTERFACE for
 * GUID_PORT_BUS_INTERFACE, implements the interface's Request codes, and
 * owns the controllers' interrupt: a thread that, when a UART raises its
 * line, raises IRQL to the controller's level, reads the UART's IIR and
 * calls the callback the port registered until nothing is pending.
 *
 * Ids of a port PDO: device id "NERAVOXBUS\PORT", instance id
 * "<DevID>_<port index>", hardware ids "NERAVOXBUS\PORT&PID_<product, 4 hex
 * digits>" and "NERAVOXBUS\PORT", description the port's friendly name.
 *
 * Use: make the Hardware, boot the kernel, register the port driver for
 * kPortHardwareId (with PortInstaller as its installer), then StartBus.
 * The Hardware must outlive the bus driver's devices.
 */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ntddk.h>
#include <nt/pnp.h>

#include "controller/config.h"
#include "controller/state.h"
#include "line/lines.h"
#include "port/busport.h"
#include "uart/board.h"
#include "uart/line_clock.h"

namespace sim::bus {

inline constexpr const char *kBusDriverName = "NeravoxBus";
inline constexpr const char *kPortDeviceId = "NERAVOXBUS\\PORT";
inline constexpr const char *kPortHardwareId = "NERAVOXBUS\\PORT";
/* The controllers' interrupt level: above DISPATCH_LEVEL, below CLOCK_LEVEL. */
inline constexpr KIRQL kControllerIrql = 7;

struct HardwareOptions {
  controller::Config Config = controller::DefaultConfig();
  std::string StateDirectory;                  /* empty: controller::DefaultStateDirectory() */
  controller::StateStore::WarningSink Warnings; /* empty: stderr */
  line::PtyLine::Announce PtyAnnounce;          /* empty: stderr */
};

struct InterruptCounts {
  uint64_t Callbacks = 0; /* calls of the port's callback */
  uint64_t Unclaimed = 0; /* times the port's line was up with no callback registered */
};

class Hardware;

/* One port as the bus driver keeps it. Lives as long as the Hardware, so an
 * interface's Context stays valid whatever happens to the PDO. */
struct PortRecord {
  Hardware *Owner = nullptr;
  uint32_t DevID = 0;
  uint32_t Unit = 0;
  uint32_t GlobalIndex = 0;
  const controller::ControllerConfig *Controller = nullptr;
  const controller::PortConfig *Config = nullptr;
  uart::Uart16550 *Uart = nullptr;

  /* Guards the registrations and counts; held while the callback runs, so
   * that once a withdrawal returns no callback is running or will run. */
  std::mutex Lock;
  PBUS_PORT_INTERRUPT_CALLBACK Callback = nullptr;
  PVOID CallbackContext = nullptr;
  PKEVENT Event1 = nullptr;
  PKEVENT InputEvent = nullptr;
  PKEVENT Event2 = nullptr;
  PBUS_PORT_RING Ring = nullptr;
  LONG InterfaceReferences = 0;
  bool Present = true;   /* on the board: reported to the PnP manager */
  bool Recheck = false;  /* look at the line even without a rising edge */
  InterruptCounts Counts;

  /* Guarded by Hardware's bus lock. */
  PDEVICE_OBJECT Pdo = nullptr;

  /* Drops every registration (interface dereferenced, PDO removed). */
  void Withdraw();
};

class Hardware {
 public:
  /* nullptr with *Error when the configuration cannot be built (a pty that
   * cannot be had). */
  static std::unique_ptr<Hardware> Create(const HardwareOptions &Options, std::string *Error);
  ~Hardware();
  Hardware(const Hardware &) = delete;
  Hardware &operator=(const Hardware &) = delete;

  const controller::Config &Config() const { return m_Config; }
  controller::StateStore &State() { return m_State; }
  uart::Board *Board(uint32_t DevID);
  PortRecord *Port(uint32_t DevID, uint32_t Unit);
  std::vector<PortRecord *> Ports();
  line::ProbeLine *Probe(uint32_t DevID, uint32_t Unit);
  line::PtyLine *Pty(uint32_t DevID, uint32_t Unit);

  /* Unplugs or replugs a port; takes effect at the next enumeration. */
  void SetPortPresent(uint32_t DevID, uint32_t Unit, bool Present);

  InterruptCounts Counts(uint32_t DevID, uint32_t Unit);
  /* Waits until the port's counts differ from Seen, at most TimeoutMs. */
  bool WaitForCounts(uint32_t DevID, uint32_t Unit, const InterruptCounts &Seen, unsigned TimeoutMs = 10000);

  /* ---- used by the bus driver ---- */
  struct ControllerRecord {
    const controller::ControllerConfig *Config = nullptr;
    std::unique_ptr<uart::Board> Board;
    PUCHAR RegisterBase = nullptr; /* mapped while the bus is started */
    PUCHAR PmcBase = nullptr;
    std::vector<std::unique_ptr<PortRecord>> Ports;
  };
  std::vector<ControllerRecord> &Controllers() { return m_Controllers; }
  std::mutex &BusLock() { return m_BusLock; }
  void StartInterrupts();
  void StopInterrupts();
  /* Wakes the interrupt thread to look at Port's line. */
  void Recheck(PortRecord *Port);

 private:
  explicit Hardware(const HardwareOptions &Options);
  void InterruptThread();
  void ServicePort(ControllerRecord &c, PortRecord &p, bool &stillUp);
  void CountsChanged();

  controller::Config m_Config;
  controller::StateStore m_State;
  std::vector<ControllerRecord> m_Controllers;
  std::unique_ptr<uart::LineClock> m_Clock;
  std::vector<std::unique_ptr<line::LoopbackLine>> m_Loopbacks;
  std::vector<std::unique_ptr<line::NullModemLine>> m_NullModems;
  std::vector<std::pair<PortRecord *, std::unique_ptr<line::ProbeLine>>> m_Probes;
  std::vector<std::pair<PortRecord *, std::unique_ptr<line::PtyLine>>> m_Ptys;

  std::mutex m_BusLock; /* guards PortRecord::Pdo and Present */

  std::mutex m_IrqLock; /* guards m_IrqPending, m_IrqStop */
  std::condition_variable m_IrqCv;
  bool m_IrqPending = false;
  bool m_IrqStop = false;
  std::thread m_IrqThread;

  std::mutex m_CountsLock; /* pairs with m_CountsCv; the counts themselves are under PortRecord::Lock */
  std::condition_variable m_CountsCv;
};

/* The bus driver's entry; it serves the Hardware given to StartBus. */
NTSTATUS BusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* Loads and starts the bus driver over Hw through the PnP manager. */
NTSTATUS StartBus(Hardware &Hw, PDEVICE_OBJECT *BusPdo = nullptr);

/* An installer for the port driver's registration: writes PortName and
 * FriendlyName of each port into its hardware key. */
nt::pnp::Installer PortInstaller(Hardware &Hw);

}  // namespace sim::bus
