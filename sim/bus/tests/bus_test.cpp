/*
 * The bus driver through the kernel layer: a test function driver sits on
 * each port PDO and asks for the interface, as the port driver does.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <nt/control.h>

#include "bus/bus.h"

using namespace sim;
using namespace sim::bus;

namespace {

/* ---- a function driver that only passes requests down ---- */

struct TestFdo {
  PDEVICE_OBJECT Lower;
};

NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto *x = static_cast<TestFdo *>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->Lower, irp);
  }
  if (sp->MajorFunction == IRP_MJ_PNP) {
    const bool remove = sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (sp->MinorFunction == IRP_MN_START_DEVICE || remove || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
      irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = x->Lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
      IoDetachDevice(lower);
      IoDeleteDevice(device);
    }
    return status;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(TestFdo), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *x = static_cast<TestFdo *>(fdo->DeviceExtension);
  x->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = TestDispatch;
  driver->DriverExtension->AddDevice = TestAddDevice;
  return STATUS_SUCCESS;
}

/* ---- what the port's callback would do ---- */

struct Port {
  BUS_PORT_INTERFACE Iface{};
  BUS_PORT_INFO Info{};
  KEVENT Event1, Input, Event2;
  std::mutex Lock; /* guards the fields below */
  std::vector<UCHAR> Ids;
  std::vector<KIRQL> Irqls;
  std::string Received;

  /* As the port's close does: after this nothing of ours is touched. */
  ~Port() {
    if (Iface.InterfaceDereference != nullptr) Iface.InterfaceDereference(Iface.Context);
  }

  volatile ULONG *Reg(unsigned k) {
    const ULONG unit = Iface.Port - Iface.IniPort;
    return reinterpret_cast<volatile ULONG *>(Info.RegisterBase + (unit * Info.RegistersPerPort + k) * 4);
  }
  NTSTATUS Request(ULONG code, PVOID in = nullptr, PVOID out = nullptr, PVOID a5 = nullptr, PVOID a6 = nullptr,
                   ULONG first = 3, ULONG v0 = 0, ULONG v1 = 0, ULONG v2 = 0) {
    BUS_PORT_REQUEST r{code, Iface.Port - Iface.IniPort, Iface.DevID, {v0, v1, v2}};
    return Iface.Request(first, &r, in, out, a5, a6);
  }
};

BOOLEAN Callback(PVOID context, UCHAR id) {
  auto *p = static_cast<Port *>(context);
  std::string got;
  if (id == 4)
    while (READ_REGISTER_ULONG(p->Reg(5)) & 0x01) got.push_back(static_cast<char>(READ_REGISTER_ULONG(p->Reg(0))));
  std::lock_guard<std::mutex> g(p->Lock);
  p->Ids.push_back(id);
  p->Irqls.push_back(KeGetCurrentIrql());
  p->Received += got;
  return TRUE;
}

bool WaitEvent(PKEVENT e) {
  LARGE_INTEGER t;
  t.QuadPart = -10000LL * 10000; /* 10 s */
  return KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
}

/* Waits until the callback has taken Count characters, at most 10 s per wait. */
bool WaitReceived(Port &p, size_t count) {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(p.Lock);
      if (p.Received.size() >= count) return true;
    }
    if (!WaitEvent(&p.Input)) return false;
    KeClearEvent(&p.Input);
  }
}

class Bus : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/nv-bus-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_Dir = dir;
    HardwareOptions o;
    o.Config = Config();
    o.StateDirectory = m_Dir;
    o.Warnings = [](const std::string &) {};
    std::string error;
    m_Hw = Hardware::Create(o, &error);
    ASSERT_NE(m_Hw, nullptr) << error;
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
    nt::pnp::FunctionDriver f;
    f.Name = "NvBusTestPort";
    f.Entry = TestEntry;
    f.Install = PortInstaller(*m_Hw);
    ASSERT_EQ(nt::pnp::RegisterFunctionDriver(kPortHardwareId, f), STATUS_SUCCESS);
    ASSERT_EQ(StartBus(*m_Hw, &m_BusPdo), STATUS_SUCCESS);
    m_Pdos = nt::pnp::Children(m_BusPdo);
  }
  void TearDown() override {
    nt::Shutdown();
    m_Hw.reset();
    std::filesystem::remove_all(m_Dir);
  }
  virtual controller::Config Config() {
    /* A KV502 as shipped, and a 16-register product with IniPort 4 on probes. */
    controller::Config c = controller::DefaultConfig();
    controller::ControllerConfig k;
    k.ProductId = 0x1234;
    k.DevID = 1;
    k.IniPort = 4;
    for (int i = 0; i < 2; ++i) {
      controller::PortConfig p;
      p.ComName = "COM" + std::to_string(20 + i);
      p.FriendlyName = controller::DefaultFriendlyName(4 + i, p.ComName);
      p.Line = controller::LineKind::Probe;
      k.Ports.push_back(p);
    }
    c.Controllers.push_back(k);
    return c;
  }

  PDEVICE_OBJECT PdoOf(uint32_t dev, uint32_t unit) {
    for (PDEVICE_OBJECT pdo : m_Pdos) {
      nt::pnp::DeviceInfo info;
      if (nt::pnp::GetDevice(pdo, &info) && info.InstanceId == std::to_string(dev) + "_" + std::to_string(unit))
        return pdo;
    }
    return nullptr;
  }

  /* Opens a port the way the port driver does: interface, info, callback,
   * events. */
  void Bind(Port &p, uint32_t dev, uint32_t unit) {
    PDEVICE_OBJECT pdo = PdoOf(dev, unit);
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(nt::pnp::QueryInterface(pdo, GUID_PORT_BUS_INTERFACE, sizeof(BUS_PORT_INTERFACE), 1,
                                      reinterpret_cast<PINTERFACE>(&p.Iface)),
              STATUS_SUCCESS);
    ASSERT_EQ(p.Request(BUS_PORT_GET_INFO, nullptr, &p.Info), STATUS_SUCCESS);
    KeInitializeEvent(&p.Event1, NotificationEvent, FALSE);
    KeInitializeEvent(&p.Input, NotificationEvent, FALSE);
    KeInitializeEvent(&p.Event2, NotificationEvent, FALSE);
    ASSERT_EQ(p.Request(BUS_PORT_SET_EVENT1, nullptr, nullptr, &p.Event1), STATUS_SUCCESS);
    ASSERT_EQ(p.Request(BUS_PORT_SET_INTERRUPT_CALLBACK, nullptr, nullptr, reinterpret_cast<PVOID>(Callback), &p),
              STATUS_SUCCESS);
    ASSERT_EQ(p.Request(BUS_PORT_SET_INPUT_EVENT, nullptr, nullptr, &p.Input), STATUS_SUCCESS);
    ASSERT_EQ(p.Request(BUS_PORT_SET_EVENT2, nullptr, nullptr, &p.Event2), STATUS_SUCCESS);
  }

  std::string m_Dir;
  std::unique_ptr<Hardware> m_Hw;
  PDEVICE_OBJECT m_BusPdo = nullptr;
  std::vector<PDEVICE_OBJECT> m_Pdos;
};

}  // namespace

TEST_F(Bus, ReportsOnePdoPerPortWithIdsNamesAndPortName) {
  ASSERT_EQ(m_Pdos.size(), 6u);
  const struct {
    uint32_t dev, unit;
    const char *hardwareId, *name, *com;
  } rows[] = {
      {0, 0, "NERAVOXBUS\\PORT&PID_2B72", "TAMBRIX Virtual COM Port 0 (COM5)", "COM5"},
      {0, 3, "NERAVOXBUS\\PORT&PID_2B72", "TAMBRIX Virtual COM Port 3 (COM8)", "COM8"},
      {1, 1, "NERAVOXBUS\\PORT&PID_1234", "TAMBRIX Virtual COM Port 5 (COM21)", "COM21"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    nt::pnp::DeviceInfo info;
    ASSERT_TRUE(nt::pnp::GetDevice(PdoOf(row.dev, row.unit), &info));
    EXPECT_EQ(info.DeviceId, "NERAVOXBUS\\PORT");
    EXPECT_EQ(info.HardwareIds, (std::vector<std::string>{row.hardwareId, "NERAVOXBUS\\PORT"}));
    EXPECT_EQ(info.Description, row.name);
    EXPECT_EQ(info.Service, "NvBusTestPort");
    EXPECT_EQ(info.State, nt::pnp::DeviceState::Started);
    EXPECT_EQ(nt::registry::GetString(info.HardwareKey, "PortName"), row.com);
    EXPECT_EQ(nt::registry::GetString(info.EnumKey, "FriendlyName"), row.name);
  }
}

TEST_F(Bus, QueryInterfaceFillsTheRecordAndRefusesOthers) {
  Port p;
  Bind(p, 1, 1);
  EXPECT_EQ(p.Iface.Size, 56);
  EXPECT_EQ(p.Iface.Version, 1);
  EXPECT_EQ(p.Iface.DevID, 1u);
  EXPECT_EQ(p.Iface.IniPort, 4u);
  EXPECT_EQ(p.Iface.Port, 5u);
  EXPECT_NE(p.Iface.InterfaceDereference, nullptr);
  EXPECT_NE(p.Iface.Request, nullptr);

  BUS_PORT_INTERFACE small{};
  EXPECT_EQ(nt::pnp::QueryInterface(PdoOf(0, 0), GUID_PORT_BUS_INTERFACE, 32, 1, reinterpret_cast<PINTERFACE>(&small)),
            STATUS_INVALID_PARAMETER);
  const GUID other = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(nt::pnp::QueryInterface(PdoOf(0, 0), other, 56, 1, reinterpret_cast<PINTERFACE>(&small)),
            STATUS_NOT_SUPPORTED);
}

TEST_F(Bus, InfoGivesTheMappedWindowsAndProduct) {
  const struct {
    uint32_t dev, unit;
    USHORT product;
    ULONG stride;
  } rows[] = {{0, 2, 0x2B72, 8}, {1, 1, 0x1234, 16}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.product);
    Port p;
    Bind(p, row.dev, row.unit);
    EXPECT_EQ(p.Info.ProductId, row.product);
    EXPECT_EQ(p.Info.RegistersPerPort, row.stride);
    ASSERT_NE(p.Info.RegisterBase, nullptr);
    ASSERT_NE(p.Info.PmcBase, nullptr);
    /* The window reaches this port's UART: started at 9600 8N1, FIFO on. */
    EXPECT_EQ(READ_REGISTER_ULONG(p.Reg(3)) & 0xFF, 0x03u);
    EXPECT_EQ(READ_REGISTER_ULONG(p.Reg(5)) & 0xFF, 0x60u);
    uart::Uart16550 &u = m_Hw->Board(row.dev)->Port(row.unit);
    WRITE_REGISTER_ULONG(p.Reg(7), 0xA5);
    EXPECT_EQ(u.Registers().Scr, 0xA5);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG *>(p.Info.PmcBase + 0x40 + row.unit * 4), 1);
    EXPECT_EQ(u.ReadPmc(), 1u);
  }
}

TEST_F(Bus, ModeComesFromTheStateFileOnEveryRequest) {
  Port p;
  Bind(p, 0, 2);
  ULONG in = 0, mode = 99;
  EXPECT_EQ(p.Request(BUS_PORT_GET_MODE, &in, &mode, nullptr, nullptr, 2), STATUS_SUCCESS);
  EXPECT_EQ(mode, 1u) << "no state yet: RS-232";
  ASSERT_TRUE(m_Hw->State().SetMode(0, 2, controller::PORT_MODE_RS485));
  EXPECT_EQ(p.Request(BUS_PORT_GET_MODE, &in, &mode, nullptr, nullptr, 2), STATUS_SUCCESS);
  EXPECT_EQ(mode, 0u);
  EXPECT_EQ(m_Hw->Board(0)->Port(2).PortMode(), 0) << "the line follows the mode";
  /* Another process's write is seen too. */
  controller::StateStore other(m_Dir, [](const std::string &) {});
  ASSERT_TRUE(other.SetMode(0, 2, controller::PORT_MODE_RS422));
  EXPECT_EQ(p.Request(BUS_PORT_GET_MODE, &in, &mode, nullptr, nullptr, 2), STATUS_SUCCESS);
  EXPECT_EQ(mode, 2u);
  EXPECT_EQ(p.Request(BUS_PORT_GET_MODE, &in, nullptr, nullptr, nullptr, 2), STATUS_INVALID_PARAMETER);
}

TEST_F(Bus, DivisorAndLineSettingsReachTheUart) {
  Port p;
  Bind(p, 0, 1);
  uart::Uart16550 &u = m_Hw->Board(0)->Port(1);
  EXPECT_EQ(p.Request(BUS_PORT_SET_DIVISOR, nullptr, nullptr, nullptr, nullptr, 4, 12), STATUS_SUCCESS);
  EXPECT_EQ(u.Registers().Dll, 12);
  EXPECT_EQ(u.Registers().Dlm, 0);
  EXPECT_EQ(u.Registers().Lcr & 0x80, 0) << "DLAB off again";
  EXPECT_NEAR(u.BitsPerSecond(), 115200, 0.5);
  EXPECT_EQ(p.Request(BUS_PORT_SET_DIVISOR, nullptr, nullptr, nullptr, nullptr, 4, 12567), STATUS_SUCCESS);
  EXPECT_EQ(u.Registers().Dll, 12567 & 0xFF);
  EXPECT_EQ(u.Registers().Dlm, 12567 >> 8);

  const struct {
    ULONG length, parity, stop;
    UCHAR lcr;
  } lines[] = {
      {3, BUS_PORT_PARITY_NONE, BUS_PORT_STOP_1, 0x03},  {2, BUS_PORT_PARITY_ODD, BUS_PORT_STOP_1, 0x0A},
      {3, BUS_PORT_PARITY_EVEN, BUS_PORT_STOP_2, 0x1F},  {3, BUS_PORT_PARITY_MARK, BUS_PORT_STOP_1, 0x2B},
      {3, BUS_PORT_PARITY_SPACE, BUS_PORT_STOP_1, 0x3B}, {0, BUS_PORT_PARITY_NONE, BUS_PORT_STOP_1_5, 0x04},
  };
  for (const auto &l : lines) {
    SCOPED_TRACE(int(l.lcr));
    EXPECT_EQ(p.Request(BUS_PORT_SET_LINE, nullptr, nullptr, nullptr, nullptr, 6, l.length, l.parity, l.stop),
              STATUS_SUCCESS);
    EXPECT_EQ(u.Registers().Lcr, l.lcr);
  }
  /* Mark and space really put a 1 and a 0 in the parity bit. */
  p.Request(BUS_PORT_SET_LINE, nullptr, nullptr, nullptr, nullptr, 6, 3, BUS_PORT_PARITY_MARK, 0);
  EXPECT_TRUE(u.MakeFrame('a').ParityBit);
  p.Request(BUS_PORT_SET_LINE, nullptr, nullptr, nullptr, nullptr, 6, 3, BUS_PORT_PARITY_SPACE, 0);
  EXPECT_FALSE(u.MakeFrame('a').ParityBit);

  const UCHAR before = u.Registers().Lcr;
  const struct {
    ULONG code, first, v0, v1, v2;
    NTSTATUS status;
  } bad[] = {
      {BUS_PORT_SET_DIVISOR, 3, 12, 0, 0, STATUS_INVALID_PARAMETER},
      {BUS_PORT_SET_DIVISOR, 4, 0, 0, 0, STATUS_INVALID_PARAMETER},
      {BUS_PORT_SET_DIVISOR, 4, 0x10000, 0, 0, STATUS_INVALID_PARAMETER},
      {BUS_PORT_SET_LINE, 5, 3, 0, 0, STATUS_INVALID_PARAMETER},
      {BUS_PORT_SET_LINE, 6, 4, 0, 0, STATUS_INVALID_PARAMETER},
      {BUS_PORT_SET_LINE, 6, 3, 5, 0, STATUS_INVALID_PARAMETER},
      {BUS_PORT_SET_LINE, 6, 3, 0, 3, STATUS_INVALID_PARAMETER},
      {0x7777, 3, 0, 0, 0, STATUS_NOT_SUPPORTED},
  };
  for (const auto &b : bad) {
    SCOPED_TRACE(b.code);
    EXPECT_EQ(p.Request(b.code, nullptr, nullptr, nullptr, nullptr, b.first, b.v0, b.v1, b.v2), b.status);
  }
  EXPECT_EQ(u.Registers().Lcr, before) << "refused requests change nothing";
  EXPECT_EQ(u.Registers().Dll, 12567 & 0xFF);
}

TEST_F(Bus, ReceivedDataCallsBackAboveDispatchLevelThenSignalsInput) {
  Port p;
  Bind(p, 0, 3);
  WRITE_REGISTER_ULONG(p.Reg(1), 0x01);
  m_Hw->Probe(0, 3)->Inject("abc");
  ASSERT_TRUE(WaitReceived(p, 3));
  std::lock_guard<std::mutex> g(p.Lock);
  EXPECT_EQ(p.Received, "abc");
  ASSERT_FALSE(p.Irqls.empty());
  for (KIRQL irql : p.Irqls) EXPECT_GT(irql, DISPATCH_LEVEL);
  for (UCHAR id : p.Ids) EXPECT_EQ(id, 4);
}

TEST_F(Bus, LineErrorsAndThrEmptyReachTheirCallbacksAndEvents) {
  Port p;
  Bind(p, 1, 0);
  /* Line status: a framing error with IER bit 2. The callback is told 6 and
   * the bus clears the condition itself. */
  WRITE_REGISTER_ULONG(p.Reg(1), 0x04);
  uart::Frame f = m_Hw->Board(1)->Port(0).MakeFrame('x');
  f.FramingError = true;
  m_Hw->Probe(1, 0)->InjectFrame(f);
  ASSERT_TRUE(WaitEvent(&p.Event1));
  /* THR empty: raised when IER bit 1 is set with THR empty. */
  WRITE_REGISTER_ULONG(p.Reg(1), 0x02);
  ASSERT_TRUE(WaitEvent(&p.Event2));
  std::lock_guard<std::mutex> g(p.Lock);
  ASSERT_GE(p.Ids.size(), 2u);
  EXPECT_EQ(p.Ids[0], 6);
  EXPECT_EQ(p.Ids[1], 2);
  EXPECT_EQ(KeReadStateEvent(&p.Input), 0) << "no data, no input event";
}

TEST_F(Bus, CharacterTimeOutReachesThePortAsReceivedData) {
  Port p;
  Bind(p, 0, 3);
  WRITE_REGISTER_ULONG(p.Reg(2), 0xC1); /* trigger 14: one character only times out */
  WRITE_REGISTER_ULONG(p.Reg(1), 0x01);
  m_Hw->Probe(0, 3)->Inject("t");
  ASSERT_TRUE(WaitReceived(p, 1));
  std::lock_guard<std::mutex> g(p.Lock);
  EXPECT_EQ(p.Received, "t");
  for (UCHAR id : p.Ids) EXPECT_EQ(id, 4);
}

TEST_F(Bus, NoCallbackAfterInterfaceDereferenceUntilTheNextOpen) {
  Port p;
  Bind(p, 0, 3);
  WRITE_REGISTER_ULONG(p.Reg(1), 0x01);
  m_Hw->Probe(0, 3)->Inject("1");
  ASSERT_TRUE(WaitReceived(p, 1));
  size_t calls;
  {
    std::lock_guard<std::mutex> g(p.Lock);
    calls = p.Ids.size();
  }

  p.Iface.InterfaceDereference(p.Iface.Context);
  KeClearEvent(&p.Input);
  const InterruptCounts seen = m_Hw->Counts(0, 3);
  m_Hw->Probe(0, 3)->Inject("2");
  ASSERT_TRUE(m_Hw->WaitForCounts(0, 3, seen));
  {
    std::lock_guard<std::mutex> g(p.Lock);
    EXPECT_EQ(p.Ids.size(), calls) << "the callback was withdrawn";
    EXPECT_EQ(p.Received, "1");
  }
  EXPECT_EQ(m_Hw->Counts(0, 3).Unclaimed, seen.Unclaimed + 1);
  EXPECT_EQ(KeReadStateEvent(&p.Input), 0) << "the event was withdrawn";
  ULONG mode = 0;
  EXPECT_EQ(p.Request(BUS_PORT_GET_MODE, nullptr, &mode), STATUS_NO_SUCH_DEVICE);

  /* The character waited in the UART; the next open gets it. */
  Port again;
  Bind(again, 0, 3);
  ASSERT_TRUE(WaitReceived(again, 1));
  std::lock_guard<std::mutex> g(again.Lock);
  EXPECT_EQ(again.Received, "2");
}

TEST_F(Bus, UnpluggedPortLeavesTheTreeAndComesBack) {
  m_Hw->SetPortPresent(1, 0, false);
  ASSERT_EQ(nt::pnp::Reenumerate(m_BusPdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::Children(m_BusPdo).size(), 5u);
  EXPECT_EQ(nt::pnp::FindDevice("NERAVOXBUS\\PORT\\1_0"), nullptr);
  m_Hw->SetPortPresent(1, 0, true);
  ASSERT_EQ(nt::pnp::Reenumerate(m_BusPdo), STATUS_SUCCESS);
  m_Pdos = nt::pnp::Children(m_BusPdo);
  EXPECT_EQ(m_Pdos.size(), 6u);
  nt::pnp::DeviceInfo info;
  ASSERT_TRUE(nt::pnp::GetDevice(PdoOf(1, 0), &info));
  EXPECT_EQ(info.State, nt::pnp::DeviceState::Started);
}

TEST_F(Bus, PdosAnswerPnpAndPowerAsABusDoes) {
  PDEVICE_OBJECT pdo = PdoOf(0, 0);
  EXPECT_EQ(nt::pnp::Stop(pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::Start(pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::SetPower(pdo, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::SetPower(pdo, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(nt::pnp::Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES).Status, STATUS_INVALID_PARAMETER)
      << "no capabilities record given";
  /* Removing the port's stack keeps the PDO: the port is still there. */
  EXPECT_EQ(nt::pnp::Remove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(nt::pnp::Children(m_BusPdo).size(), 6u);
  EXPECT_EQ(nt::pnp::Start(pdo), STATUS_SUCCESS);
  /* And the whole bus goes with its children. */
  EXPECT_EQ(nt::pnp::Remove(m_BusPdo), STATUS_SUCCESS);
}

TEST(HardwareWiring, LinesFollowTheConfiguration) {
  char dir[] = "/tmp/nv-hw-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  HardwareOptions o;
  o.Config = controller::DefaultConfig();
  o.Config.Controllers[0].Ports[1].Line = controller::LineKind::NullModem;
  controller::PortConfig pty;
  pty.ComName = "COM9";
  pty.FriendlyName = "p";
  pty.Line = controller::LineKind::Pty;
  o.Config.Controllers[0].Ports.push_back(pty);
  o.StateDirectory = dir;
  o.Warnings = [](const std::string &) {};
  std::string announced;
  o.PtyAnnounce = [&](const std::string &m) { announced = m; };
  std::string error;
  auto hw = Hardware::Create(o, &error);
  ASSERT_NE(hw, nullptr) << error;
  uart::Board &b = *hw->Board(0);
  for (uint32_t i = 0; i < b.PortCount(); ++i) {
    b.Port(i).WriteRegister(uart::reg::LCR, 0x03);
    b.Port(i).WriteRegister(uart::reg::FCR, 0x01);
  }
  auto drain = [](uart::Uart16550 &u) {
    std::string s;
    while (u.ReadRegister(uart::reg::LSR) & 1) s.push_back(static_cast<char>(u.ReadRegister(uart::reg::RBR)));
    return s;
  };
  b.Port(0).WriteRegister(uart::reg::THR, 'n');
  EXPECT_EQ(drain(b.Port(1)), "n") << "ports 0 and 1: null modem";
  b.Port(2).WriteRegister(uart::reg::THR, 'l');
  EXPECT_EQ(drain(b.Port(2)), "l") << "port 2: loopback";
  b.Port(3).WriteRegister(uart::reg::THR, 'p');
  ASSERT_NE(hw->Probe(0, 3), nullptr);
  EXPECT_EQ(hw->Probe(0, 3)->SentBytes(), "p") << "port 3: probe";
  ASSERT_NE(hw->Pty(0, 4), nullptr);
  EXPECT_EQ(announced, "COM9: pseudo-terminal " + hw->Pty(0, 4)->SlavePath());
  EXPECT_TRUE(std::filesystem::exists(std::string(dir) + "/COM9.pty"));
  hw.reset();
  std::filesystem::remove_all(dir);
}
