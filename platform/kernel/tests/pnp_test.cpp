#include <gtest/gtest.h>
#include <ntddk.h>
#include <nt/io.h>
#include <nt/pnp.h>
#include <nt/registry.h>
#include <nt/system.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "sys_test_drivers.h"

namespace {

namespace pnp = nt::pnp;

std::u16string nt_to_u16(int v) {
  std::string s = std::to_string(v);
  return std::u16string(s.begin(), s.end());
}
namespace reg = nt::registry;
using sysdrv::g_Function;

class Pnp : public ::testing::Test {
 protected:
  void SetUp() override {
    sysdrv::ResetAll();
    ASSERT_EQ(nt::Boot(Options()), STATUS_SUCCESS);
    pnp::FunctionDriver f;
    f.Name = "TESTFN";
    f.Entry = sysdrv::FunctionEntry;
    f.Install = [](const pnp::DeviceInfo &d) {
      reg::SetString(d.HardwareKey, "PortName", "COM" + std::to_string(10 + std::stoi(d.InstanceId)));
    };
    ASSERT_EQ(pnp::RegisterFunctionDriver("TESTPORT", f), STATUS_SUCCESS);
  }
  void TearDown() override { nt::Shutdown(); }
  virtual nt::BootOptions Options() { return {}; }

  void StartBus() {
    ASSERT_EQ(pnp::StartBus("TESTBUS", sysdrv::BusEntry, &m_Bus), STATUS_SUCCESS);
    m_Children = pnp::Children(m_Bus);
    ASSERT_EQ(m_Children.size(), 3u);
    g_Function.Requests.clear();
  }
  pnp::DeviceState State(PDEVICE_OBJECT pdo) {
    pnp::DeviceInfo info;
    EXPECT_TRUE(pnp::GetDevice(pdo, &info));
    return info.State;
  }

  PDEVICE_OBJECT m_Bus = nullptr;
  std::vector<PDEVICE_OBJECT> m_Children;
};

using Minors = std::vector<UCHAR>;

TEST_F(Pnp, BusChildrenAreEnumeratedAddedAndStartedInOrder) {
  ASSERT_EQ(pnp::StartBus("TESTBUS", sysdrv::BusEntry, &m_Bus), STATUS_SUCCESS);
  auto children = pnp::Children(m_Bus);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(g_Function.Added, children);
  for (size_t i = 0; i < children.size(); ++i) {
    pnp::DeviceInfo info;
    ASSERT_TRUE(pnp::GetDevice(children[i], &info));
    EXPECT_EQ(info.InstancePath, "TESTBUS\\PORT\\" + std::to_string(i));
    EXPECT_EQ(info.HardwareIds, (std::vector<std::string>{"TESTBUS\\PORT", "TESTPORT"}));
    EXPECT_EQ(info.Description, "Test port " + std::to_string(i));
    EXPECT_EQ(info.Service, "TESTFN");
    EXPECT_EQ(info.State, pnp::DeviceState::Started);
    EXPECT_EQ(info.Parent, m_Bus);
    EXPECT_EQ(reg::GetMultiString(info.EnumKey, "HardwareID"), info.HardwareIds);
    EXPECT_EQ(reg::GetString(info.EnumKey, "Service"), "TESTFN");
    EXPECT_EQ(g_Function.Minors(children[i]), (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_DEVICE_RELATIONS}));
  }
  pnp::DeviceInfo bus;
  ASSERT_TRUE(pnp::GetDevice(m_Bus, &bus));
  EXPECT_EQ(bus.InstancePath, "ROOT\\TESTBUS\\0000");
  EXPECT_EQ(bus.State, pnp::DeviceState::Started);
}

TEST_F(Pnp, EveryRequestArrivesAtPassiveLevelWithStatusNotSupported) {
  StartBus();
  ASSERT_EQ(pnp::Stop(m_Children[1]), STATUS_SUCCESS);
  ASSERT_EQ(pnp::Start(m_Children[1]), STATUS_SUCCESS);
  ASSERT_EQ(pnp::SetPower(m_Children[1], PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(pnp::Remove(m_Children[1]), STATUS_SUCCESS);
  ASSERT_GE(g_Function.Requests.size(), 6u);
  for (auto &s : g_Function.Requests) {
    EXPECT_EQ(s.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(s.StatusOnEntry, STATUS_NOT_SUPPORTED) << int(s.Major) << "/" << int(s.Minor);
  }
}

TEST_F(Pnp, HardwareKeyBelongsToEachDevice) {
  StartBus();
  /* the installer wrote PortName before AddDevice, which read it back */
  EXPECT_EQ(g_Function.PortNames, (std::vector<std::string>{"COM10", "COM11", "COM12"}));
  for (size_t i = 0; i < m_Children.size(); ++i) {
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(m_Children[i], PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Marker");
    ULONG value = ULONG(100 + i);
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
    ZwClose(key);
  }
  for (size_t i = 0; i < m_Children.size(); ++i) {
    std::string path = std::string(reg::kEnum) + "\\TESTBUS\\PORT\\" + std::to_string(i) + "\\Device Parameters";
    EXPECT_EQ(reg::GetDword(path, "Marker"), ULONG(100 + i));
    EXPECT_EQ(reg::GetString(path, "PortName"), "COM" + std::to_string(10 + i));
  }
  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(m_Children[2], PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
  ZwClose(key);
  pnp::DeviceInfo info;
  ASSERT_TRUE(pnp::GetDevice(m_Children[2], &info));
  EXPECT_EQ(info.DriverKey, std::string(reg::kControlClass) + "\\" + pnp::kPortsClassGuid + "\\0002");
}

TEST_F(Pnp, DeviceKeysAreOnlyForEnumeratedPdos) {
  StartBus();
  HANDLE key = (HANDLE)1;
  PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(m_Children[0]);
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(key, nullptr);
  ObDereferenceObject(fdo);
  EXPECT_EQ(IoOpenDeviceRegistryKey(m_Children[0], PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(m_Children[0], PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr),
            STATUS_INVALID_PARAMETER);
}

class PnpWithoutClassKey : public Pnp {
  nt::BootOptions Options() override {
    nt::BootOptions o;
    o.ControlClassKey = false;
    o.ServicesClassKey = true;
    return o;
  }
};

TEST_F(PnpWithoutClassKey, DevicesHaveNoDriverKey) {
  StartBus();
  HANDLE key;
  EXPECT_EQ(IoOpenDeviceRegistryKey(m_Children[0], PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoOpenDeviceRegistryKey(m_Children[0], PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_FALSE(reg::KeyExists(reg::kControlClass));
}

TEST_F(Pnp, StopQueriesFirstAndCancelsWhenRefused) {
  StartBus();
  PDEVICE_OBJECT d = m_Children[0];
  EXPECT_EQ(pnp::Stop(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::Stopped);
  EXPECT_EQ(pnp::Start(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::Started);
  EXPECT_EQ(g_Function.Minors(d), (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                          IRP_MN_QUERY_DEVICE_RELATIONS}));
  g_Function.Requests.clear();

  EXPECT_EQ(pnp::QueryStop(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::StopPending);
  EXPECT_EQ(pnp::CancelStop(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::Started);

  g_Function.RefuseQueryStop = d;
  EXPECT_EQ(pnp::Stop(d), STATUS_DEVICE_BUSY);
  EXPECT_EQ(State(d), pnp::DeviceState::Started);
  EXPECT_EQ(g_Function.Minors(d), (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                          IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
  /* the other devices saw nothing */
  EXPECT_TRUE(g_Function.Minors(m_Children[1]).empty());
}

TEST_F(Pnp, RemoveQueriesFirstDeletesTheStackAndCanStartAgain) {
  StartBus();
  PDEVICE_OBJECT d = m_Children[2];
  g_Function.RefuseQueryRemove = d;
  EXPECT_EQ(pnp::Remove(d), STATUS_DEVICE_BUSY);
  EXPECT_EQ(State(d), pnp::DeviceState::Started);
  g_Function.RefuseQueryRemove = nullptr;
  EXPECT_EQ(pnp::QueryRemove(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::RemovePending);
  EXPECT_EQ(pnp::CancelRemove(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::Started);
  EXPECT_EQ(pnp::Remove(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::Removed);
  EXPECT_EQ(g_Function.Minors(d), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  /* the function driver's device is gone: the PDO is the top of the stack */
  EXPECT_EQ(IoGetAttachedDevice(d), d);
  /* the bus still reports it, so it can be started again: AddDevice anew */
  EXPECT_EQ(pnp::Start(d), STATUS_SUCCESS);
  EXPECT_EQ(g_Function.Added.back(), d);
  EXPECT_NE(IoGetAttachedDevice(d), d);
}

TEST_F(Pnp, FailedStartTakesTheStackDownAgain) {
  StartBus();
  PDEVICE_OBJECT d = m_Children[0];
  ASSERT_EQ(pnp::Remove(d), STATUS_SUCCESS);
  g_Function.Requests.clear();
  g_Function.FailStartWith = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(pnp::Start(d), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(State(d), pnp::DeviceState::StartFailed);
  EXPECT_EQ(g_Function.Minors(d), (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(IoGetAttachedDevice(d), d);
  g_Function.FailStartWith = STATUS_SUCCESS;
  EXPECT_EQ(pnp::Start(d), STATUS_SUCCESS);
  EXPECT_EQ(State(d), pnp::DeviceState::Started);
}

TEST_F(Pnp, SurpriseRemovalIsFollowedByRemove) {
  StartBus();
  PDEVICE_OBJECT d = m_Children[1];
  EXPECT_EQ(pnp::SurpriseRemove(d), STATUS_SUCCESS);
  EXPECT_EQ(g_Function.Minors(d), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(State(d), pnp::DeviceState::Removed);
}

TEST_F(Pnp, PowerRequestsReachTheDriver) {
  StartBus();
  PDEVICE_OBJECT d = m_Children[0];
  EXPECT_EQ(pnp::SetPower(d, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(pnp::QueryPower(d, PowerSystemSleeping3), STATUS_SUCCESS);
  std::lock_guard<std::mutex> lock(g_Function.Lock);
  ASSERT_EQ(g_Function.Requests.size(), 2u);
  auto &set = g_Function.Requests[0];
  EXPECT_EQ(set.Major, IRP_MJ_POWER);
  EXPECT_EQ(set.Minor, IRP_MN_SET_POWER);
  EXPECT_EQ(set.PowerType, DevicePowerState);
  EXPECT_EQ(set.PowerState.DeviceState, PowerDeviceD3);
  auto &query = g_Function.Requests[1];
  EXPECT_EQ(query.Minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(query.PowerType, SystemPowerState);
  EXPECT_EQ(query.PowerState.SystemState, PowerSystemSleeping3);
}

TEST_F(Pnp, UnhandledRequestKeepsItsPresetStatus) {
  StartBus();
  auto r = pnp::Send(m_Children[0], IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(g_Function.Minors(m_Children[0]), (Minors{IRP_MN_QUERY_PNP_DEVICE_STATE}));
}

TEST_F(Pnp, ActionsFromManyThreadsReachDriversOneAtATime) {
  StartBus();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (PDEVICE_OBJECT d : m_Children)
    threads.emplace_back([&, d] {
      for (int i = 0; i < 20; ++i) {
        if (pnp::Stop(d) != STATUS_SUCCESS) failures++;
        if (pnp::Start(d) != STATUS_SUCCESS) failures++;
        if (pnp::SetPower(d, PowerDeviceD0) != STATUS_SUCCESS) failures++;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(g_Function.MostInside.load(), 1);
  for (auto &s : g_Function.Requests) EXPECT_EQ(s.Irql, PASSIVE_LEVEL);
}

TEST_F(Pnp, ReenumerationAddsNewChildrenAndRemovesMissingOnes) {
  StartBus();
  PDRIVER_OBJECT bus = nt::FindDriver("TESTBUS");
  ASSERT_NE(bus, nullptr);
  sysdrv::BusSetPresent(0, false);
  sysdrv::BusAddChild(bus, 3);
  IoInvalidateDeviceRelations(m_Bus, BusRelations);
  ASSERT_TRUE(pnp::WaitIdle());
  auto children = pnp::Children(m_Bus);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children[0], m_Children[1]);
  EXPECT_EQ(children[1], m_Children[2]);
  pnp::DeviceInfo added;
  ASSERT_TRUE(pnp::GetDevice(children[2], &added));
  EXPECT_EQ(added.InstancePath, "TESTBUS\\PORT\\3");
  EXPECT_EQ(added.State, pnp::DeviceState::Started);
  /* the missing child was surprise-removed, removed, and left the tree */
  EXPECT_FALSE(pnp::GetDevice(m_Children[0], nullptr));
  EXPECT_EQ(pnp::FindDevice("TESTBUS\\PORT\\0"), nullptr);
  EXPECT_EQ(g_Function.Minors(m_Children[0]), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(Pnp, RemovingTheBusRemovesItsChildrenFirst) {
  StartBus();
  ASSERT_EQ(pnp::Remove(m_Bus), STATUS_SUCCESS);
  for (PDEVICE_OBJECT c : m_Children)
    EXPECT_EQ(g_Function.Minors(c), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  /* the bus deleted its PDOs with itself; only the bus's own node is left */
  auto devices = pnp::Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].Pdo, m_Bus);
  EXPECT_EQ(devices[0].State, pnp::DeviceState::Removed);
  EXPECT_TRUE(pnp::Children(m_Bus).empty());
}

TEST_F(Pnp, ActionsOnUnknownDevicesAndWrongStatesFail) {
  StartBus();
  PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(m_Children[0]);
  EXPECT_EQ(pnp::Stop(fdo), STATUS_NO_SUCH_DEVICE);
  ObDereferenceObject(fdo);
  EXPECT_EQ(pnp::CancelStop(m_Children[0]), STATUS_SUCCESS); /* sent; state unchanged */
  EXPECT_EQ(pnp::Remove(m_Children[0]), STATUS_SUCCESS);
  EXPECT_EQ(pnp::Stop(m_Children[0]), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pnp::Remove(m_Children[0]), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pnp::StartBus("TESTBUS", sysdrv::BusEntry), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(Pnp, DevicePropertiesComeFromTheEnumeration) {
  StartBus();
  ULONG needed = 0;
  WCHAR buffer[64];
  EXPECT_EQ(IoGetDeviceProperty(m_Children[1], DevicePropertyHardwareID, 4, buffer, &needed), STATUS_BUFFER_TOO_SMALL);
  /* "TESTBUS\PORT", "TESTPORT", each with its NUL, and the list's NUL */
  EXPECT_EQ(needed, (12u + 1 + 8 + 1 + 1) * 2);
  ASSERT_EQ(IoGetDeviceProperty(m_Children[1], DevicePropertyHardwareID, sizeof buffer, buffer, &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer), needed / 2),
            std::u16string(u"TESTBUS\\PORT\0TESTPORT\0\0", 23));
  ASSERT_EQ(IoGetDeviceProperty(m_Children[1], DevicePropertyDeviceDescription, sizeof buffer, buffer, &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer)), u"Test port 1");
  ASSERT_EQ(IoGetDeviceProperty(m_Children[1], DevicePropertyDriverKeyName, sizeof buffer, buffer, &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer)),
            u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001");
  PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(m_Children[1]);
  EXPECT_EQ(IoGetDeviceProperty(fdo, DevicePropertyHardwareID, sizeof buffer, buffer, &needed),
            STATUS_INVALID_DEVICE_REQUEST);
  ObDereferenceObject(fdo);
}


/* A function driver whose FDOs are named and can be opened: reads fail
 * with STATUS_DELETE_PENDING once surprise-removed; at IRP_MN_REMOVE_DEVICE
 * the FDO is detached and deleted, or, while it is open, deleted at the
 * last IRP_MJ_CLOSE (never, for KeepForever). */
namespace held {
struct Ext {
  PDEVICE_OBJECT Lower;
  LONG Opens;
  bool Gone;     /* surprise-removed or removed */
  bool Removed;  /* IRP_MN_REMOVE_DEVICE seen */
};
inline std::mutex g_Lock;
inline std::vector<UCHAR> g_Minors; /* IRP_MJ_PNP minors, in order */
inline bool g_KeepForever = false;
inline std::atomic<int> g_Names{0};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
inline NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  std::u16string name = u"\\Device\\HeldPort" + nt_to_u16(g_Names++);
  UNICODE_STRING u{USHORT(name.size() * 2), USHORT(name.size() * 2), (PWCH)name.data()};
  PDEVICE_OBJECT fdo;
  NTSTATUS s = IoCreateDevice(driver, sizeof(Ext), &u, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
  if (!NT_SUCCESS(s)) return s;
  auto *x = static_cast<Ext *>(fdo->DeviceExtension);
  *x = Ext{};
  x->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
inline NTSTATUS Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  auto *x = static_cast<Ext *>(fdo->DeviceExtension);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  bool deleteNow = false;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    g_Minors.push_back(minor);
    if (minor == IRP_MN_SURPRISE_REMOVAL) x->Gone = true;
    if (minor == IRP_MN_REMOVE_DEVICE) {
      x->Gone = x->Removed = true;
      deleteNow = x->Opens == 0 && !g_KeepForever;
    }
  }
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  PDEVICE_OBJECT lower = x->Lower;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    if (deleteNow) IoDeleteDevice(fdo);
  }
  return status;
}
inline NTSTATUS Create(PDEVICE_OBJECT fdo, PIRP irp) {
  auto *x = static_cast<Ext *>(fdo->DeviceExtension);
  std::lock_guard<std::mutex> lock(g_Lock);
  if (x->Gone) return Complete(irp, STATUS_DELETE_PENDING);
  ++x->Opens;
  return Complete(irp, STATUS_SUCCESS);
}
inline NTSTATUS Close(PDEVICE_OBJECT fdo, PIRP irp) {
  auto *x = static_cast<Ext *>(fdo->DeviceExtension);
  bool deleteNow;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    deleteNow = --x->Opens == 0 && x->Removed && !g_KeepForever;
  }
  Complete(irp, STATUS_SUCCESS);
  if (deleteNow) IoDeleteDevice(fdo);
  return STATUS_SUCCESS;
}
inline NTSTATUS Read(PDEVICE_OBJECT fdo, PIRP irp) {
  auto *x = static_cast<Ext *>(fdo->DeviceExtension);
  bool gone;
  {
    std::lock_guard<std::mutex> lock(g_Lock);
    gone = x->Gone;
  }
  irp->IoStatus.Information = 0;
  return Complete(irp, gone ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
}
inline NTSTATUS Pass(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }
inline NTSTATUS Power(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Ext *>(fdo->DeviceExtension)->Lower, irp);
}
inline NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->MajorFunction[IRP_MJ_CREATE] = Create;
  driver->MajorFunction[IRP_MJ_CLOSE] = Close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Pass;
  driver->MajorFunction[IRP_MJ_READ] = Read;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}
inline void Reset() {
  std::lock_guard<std::mutex> lock(g_Lock);
  g_Minors.clear();
  g_KeepForever = false;
}
inline void Register() {
  pnp::FunctionDriver f;
  f.Name = "HELDFN";
  f.Entry = Entry;
  pnp::RegisterFunctionDriver("TESTPORT", f);
}
inline std::vector<UCHAR> Minors() {
  std::lock_guard<std::mutex> lock(g_Lock);
  return g_Minors;
}
}  // namespace held

/* Devices of the bus served by held:: with a handle open on the first. */
class PnpOpenHandle : public Pnp {
 protected:
  void SetUp() override {
    Pnp::SetUp();
    held::Reset();
    held::Register();
    StartBus();
    m_Pdo = m_Children[0];
    m_Fdo = IoGetAttachedDeviceReference(m_Pdo);
    ObDereferenceObject(m_Fdo); /* the stack keeps it while the test looks at it */
    std::u16string name = DeviceName(m_Fdo);
    ASSERT_EQ(nt::io::Open(std::string(name.begin(), name.end()), &m_Handle), STATUS_SUCCESS);
    std::lock_guard<std::mutex> lock(held::g_Lock);
    held::g_Minors.clear();
  }
  static std::u16string DeviceName(PDEVICE_OBJECT d) {
    UNICODE_STRING &n = d->DeviceObjectExtension->DeviceName;
    return std::u16string((const char16_t *)n.Buffer, n.Length / 2);
  }
  NTSTATUS ReadOnce() {
    char buffer[4];
    IO_STATUS_BLOCK iosb{};
    return nt::io::Read(m_Handle, buffer, sizeof buffer, &iosb);
  }
  PDEVICE_OBJECT m_Pdo = nullptr, m_Fdo = nullptr;
  HANDLE m_Handle = nullptr;
};

TEST_F(PnpOpenHandle, SurpriseRemovalWaitsForTheLastCloseBeforeRemove) {
  EXPECT_EQ(ReadOnce(), STATUS_SUCCESS);
  ObReferenceObject(m_Fdo);
  EXPECT_EQ(pnp::SurpriseRemove(m_Pdo), STATUS_SUCCESS);
  EXPECT_EQ(held::Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL}));
  EXPECT_EQ(State(m_Pdo), pnp::DeviceState::SurpriseRemoved);
  /* The driver decides what the open handle gets meanwhile. */
  EXPECT_EQ(ReadOnce(), STATUS_DELETE_PENDING);
  EXPECT_TRUE(pnp::WaitIdle());
  EXPECT_EQ(held::Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL}));
  EXPECT_FALSE(m_Fdo->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);

  EXPECT_EQ(nt::io::Close(m_Handle), STATUS_SUCCESS);
  ASSERT_TRUE(pnp::WaitIdle());
  EXPECT_EQ(held::Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(State(m_Pdo), pnp::DeviceState::Removed);
  EXPECT_TRUE(m_Fdo->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);
  EXPECT_EQ(IoGetAttachedDeviceReference(m_Pdo), m_Pdo);
  ObDereferenceObject(m_Pdo);
  ObDereferenceObject(m_Fdo);
}

TEST_F(PnpOpenHandle, SurpriseRemovalOfTheBusWaitsForHandlesOnAChild) {
  EXPECT_EQ(pnp::SurpriseRemove(m_Bus), STATUS_SUCCESS);
  EXPECT_EQ(State(m_Bus), pnp::DeviceState::SurpriseRemoved);
  EXPECT_EQ(State(m_Pdo), pnp::DeviceState::SurpriseRemoved);
  auto minors = held::Minors();
  EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_REMOVE_DEVICE), 0);
  EXPECT_EQ(nt::io::Close(m_Handle), STATUS_SUCCESS);
  ASSERT_TRUE(pnp::WaitIdle());
  minors = held::Minors();
  EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_REMOVE_DEVICE), 3);
  EXPECT_EQ(State(m_Bus), pnp::DeviceState::Removed);
  EXPECT_TRUE(pnp::Children(m_Bus).empty());
}

TEST_F(PnpOpenHandle, DeviceKeptForAnOpenHandleAtRemoveGoesAtTheLastClose) {
  ObReferenceObject(m_Fdo);
  EXPECT_EQ(pnp::Remove(m_Pdo), STATUS_SUCCESS); /* no bug check: a file object holds the FDO */
  EXPECT_EQ(State(m_Pdo), pnp::DeviceState::Removed);
  EXPECT_FALSE(m_Fdo->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);
  EXPECT_EQ(nt::io::Close(m_Handle), STATUS_SUCCESS);
  EXPECT_TRUE(m_Fdo->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING);
  ObDereferenceObject(m_Fdo);
}

TEST(PnpDeathTest, RequestNeverCompletedBugChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sysdrv::ResetAll();
        nt::BootOptions o;
        o.PnpRequestTimeoutMs = 200;
        nt::Boot(o);
        pnp::FunctionDriver f;
        f.Name = "TESTFN";
        f.Entry = sysdrv::FunctionEntry;
        pnp::RegisterFunctionDriver("TESTPORT", f);
        g_Function.PendStartForever = true;
        pnp::StartBus("TESTBUS", sysdrv::BusEntry);
      },
      "0x000000CA.*IRP_MN_START_DEVICE .* not completed within 200 ms");
}

TEST(PnpDeathTest, DriverThatKeepsItsDeviceAfterRemoveBugChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sysdrv::ResetAll();
        nt::Boot();
        pnp::FunctionDriver f;
        f.Name = "TESTFN";
        f.Entry = sysdrv::FunctionEntry;
        pnp::RegisterFunctionDriver("TESTPORT", f);
        PDEVICE_OBJECT bus;
        pnp::StartBus("TESTBUS", sysdrv::BusEntry, &bus);
        g_Function.KeepDeviceOnRemove = true;
        pnp::Remove(pnp::Children(bus)[0]);
      },
      "not deleted at IRP_MN_REMOVE_DEVICE");
}

TEST(PnpDeathTest, DeviceKeptPastTheLastCloseBugChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sysdrv::ResetAll();
        held::Reset();
        nt::Boot();
        held::Register();
        PDEVICE_OBJECT bus;
        pnp::StartBus("TESTBUS", sysdrv::BusEntry, &bus);
        PDEVICE_OBJECT pdo = pnp::Children(bus)[0];
        PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(pdo);
        UNICODE_STRING &n = fdo->DeviceObjectExtension->DeviceName;
        std::string name;
        for (USHORT i = 0; i < n.Length / 2; ++i) name.push_back(char(n.Buffer[i]));
        HANDLE h;
        nt::io::Open(name, &h);
        held::g_KeepForever = true;
        pnp::Remove(pdo);
        nt::io::Close(h);
      },
      "not deleted when the last file object on its stack was closed");
}

}  // namespace
