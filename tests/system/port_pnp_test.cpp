/*
 * The port devices through the PnP manager: enumeration, the COM links,
 * the exclusive open, stop and restart with a new name, and what a bad
 * PortName does to a start.
 */
#include "port_system.h"

using namespace systest;

namespace {

class PortPnp : public PortSystem {};

TEST_F(PortPnp, DefaultControllerStartsFourPortsWithTheirComLinks) {
  std::vector<nt::pnp::DeviceInfo> ports;
  for (const auto &d : nt::pnp::Devices())
    if (d.DeviceId == sim::bus::kPortDeviceId) ports.push_back(d);
  ASSERT_EQ(ports.size(), 4u);
  for (const auto &d : ports) {
    EXPECT_EQ(d.State, nt::pnp::DeviceState::Started) << d.InstancePath;
    EXPECT_EQ(d.Service, kDriverName);
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(nt::NameExists("\\Device\\NERAVOXDevice" + std::to_string(i))) << i;
    EXPECT_TRUE(nt::NameExists("\\DosDevices\\COM" + std::to_string(5 + i))) << i;
  }
  EXPECT_FALSE(nt::NameExists("\\Device\\NERAVOXDevice4"));
}

TEST_F(PortPnp, OpenIsExclusive) {
  HANDLE first = MustOpen("COM5");
  HANDLE second = nullptr;
  EXPECT_EQ(Open("COM5", &second), STATUS_ACCESS_DENIED);
  HANDLE other = MustOpen("COM6"); /* another port is another device */
  Close(first);
  HANDLE again = MustOpen("COM5");
  Close(again);
  Close(other);
}

TEST_F(PortPnp, MissingPortCannotBeOpened) {
  HANDLE h = nullptr;
  EXPECT_EQ(Open("COM9", &h), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PortPnp, StopRemovesTheLinkAndRestartReadsTheNameAgain) {
  PDEVICE_OBJECT pdo = PdoOf(0, 0);
  ASSERT_NE(pdo, nullptr);
  ASSERT_EQ(nt::pnp::QueryStop(pdo), STATUS_SUCCESS);
  ASSERT_EQ(nt::pnp::Stop(pdo), STATUS_SUCCESS);
  EXPECT_FALSE(nt::NameExists("\\DosDevices\\COM5"));

  ASSERT_EQ(nt::registry::SetString(InfoOf(0, 0).HardwareKey, "PortName", "COM15"), STATUS_SUCCESS);
  ASSERT_EQ(nt::pnp::Start(pdo), STATUS_SUCCESS);
  EXPECT_FALSE(nt::NameExists("\\DosDevices\\COM5"));
  EXPECT_TRUE(nt::NameExists("\\DosDevices\\COM15"));
  HANDLE h = MustOpen("COM15");
  Close(h);
}

TEST_F(PortPnp, SurpriseRemovalKeepsTheLinkUntilTheRemove) {
  HANDLE h = MustOpen("COM7");
  Hw().SetPortPresent(0, 2, false);
  ASSERT_EQ(nt::pnp::Reenumerate(m_BusPdo), STATUS_SUCCESS);
  ASSERT_TRUE(nt::pnp::WaitIdle());
  /* Open handle: the removal waits for its close. */
  EXPECT_TRUE(nt::NameExists("\\DosDevices\\COM7"));
  Close(h);
  ASSERT_TRUE(nt::pnp::WaitIdle());
  EXPECT_FALSE(nt::NameExists("\\DosDevices\\COM7"));
  EXPECT_FALSE(nt::NameExists("\\Device\\NERAVOXDevice2"));
}

/* What the PortName value holds decides the start. */
struct NameCase {
  const char *Name;
  ULONG Type;
  std::vector<uint8_t> Data;
  bool Starts;
  bool Linked;
};

std::vector<uint8_t> Utf16(const std::string &s, bool Terminated) {
  std::vector<uint8_t> d;
  for (char c : s) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  if (Terminated) d.insert(d.end(), {0, 0});
  return d;
}

class PortNameValue : public PortSystem, public ::testing::WithParamInterface<NameCase> {};

TEST_P(PortNameValue, DecidesTheStart) {
  const NameCase &c = GetParam();
  PDEVICE_OBJECT pdo = PdoOf(0, 1);
  ASSERT_NE(pdo, nullptr);
  ASSERT_EQ(nt::pnp::QueryStop(pdo), STATUS_SUCCESS);
  ASSERT_EQ(nt::pnp::Stop(pdo), STATUS_SUCCESS);
  const std::string key = InfoOf(0, 1).HardwareKey;
  ASSERT_EQ(nt::registry::SetValue(key, "PortName", c.Type, c.Data.data(), c.Data.size()), STATUS_SUCCESS);
  const uint64_t from = nt::debug::NextLineNumber();
  NTSTATUS status = nt::pnp::Start(pdo);
  EXPECT_EQ(NT_SUCCESS(status), c.Starts) << std::hex << status;
  EXPECT_EQ(nt::NameExists("\\DosDevices\\COM6"), c.Linked);
  EXPECT_EQ(nt::debug::Contains("Failed to get COM port name", from), !c.Linked);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PortNameValue,
    ::testing::Values(NameCase{"Terminated", REG_SZ, Utf16("COM6", true), true, true},
                      NameCase{"Empty", REG_SZ, Utf16("", true), true, false},
                      NameCase{"NotTerminated", REG_SZ, Utf16("COM6", false), false, false},
                      NameCase{"OtherType", REG_BINARY, Utf16("COM6", true), false, false},
                      NameCase{"OddLength", REG_SZ, {'C', 0, 'O'}, false, false}),
    [](const ::testing::TestParamInfo<NameCase> &i) { return std::string(i.param.Name); });

TEST_F(PortPnp, NameCollisionFailsTheStart) {
  PDEVICE_OBJECT pdo = PdoOf(0, 1);
  ASSERT_EQ(nt::pnp::QueryStop(pdo), STATUS_SUCCESS);
  ASSERT_EQ(nt::pnp::Stop(pdo), STATUS_SUCCESS);
  ASSERT_EQ(nt::registry::SetString(InfoOf(0, 1).HardwareKey, "PortName", "COM5"), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(nt::pnp::Start(pdo)));
  /* COM5 still leads to the first port. */
  HANDLE h = MustOpen("COM5");
  Close(h);
}

TEST_F(PortPnp, PowerRequestsPassThroughToThePdo) {
  const uint64_t from = nt::debug::NextLineNumber();
  PDEVICE_OBJECT pdo = PdoOf(0, 0);
  EXPECT_EQ(nt::pnp::SetPower(pdo, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_TRUE(nt::debug::Contains("NERAVOXDevice::DefaultPower++.", from));
  EXPECT_TRUE(nt::debug::Contains("NERAVOXDevice::DefaultPower--.", from));
}

/* Ports whose rings could not be allocated are built all the same, but
 * refuse to open: nothing could carry a byte. */
class NoRingStorage : public PortSystem {
 protected:
  void BeforeBus() override { nt::pool::FailTag('lreS'); }
};

TEST_F(NoRingStorage, PortsStartButRefuseToOpen) {
  EXPECT_TRUE(nt::debug::Contains("PN : [00], InitializeCircularBuffer(TX) == STATUS_INSUFFICIENT_RESOURCES"));
  EXPECT_TRUE(nt::debug::Contains("PN : [00], InitializeCircularBuffer(RX) == STATUS_INSUFFICIENT_RESOURCES"));
  EXPECT_TRUE(nt::NameExists("\\DosDevices\\COM5"));
  HANDLE h = nullptr;
  EXPECT_EQ(Open("COM5", &h), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
