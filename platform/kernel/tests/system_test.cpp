#include <gtest/gtest.h>
#include <ntddk.h>
#include <nt/debug.h>
#include <nt/registry.h>
#include <nt/system.h>

#include <atomic>
#include <string>

namespace {

/* One small driver whose behaviour the tests choose. */
struct LeakyConfig {
  int PoolBlocks = 0;        /* allocated in DriverEntry, never freed */
  bool KeepDevice = false;   /* DriverUnload leaves its device */
  bool PendIrp = false;      /* reads are pended and never completed */
  bool NoUnload = false;     /* no DriverUnload routine */
  NTSTATUS EntryStatus = STATUS_SUCCESS;
};
LeakyConfig g_Config;
std::atomic<int> g_UnloadCalls{0};
std::atomic<KIRQL> g_EntryIrql{HIGH_LEVEL};
std::u16string g_RegistryPath;
PDEVICE_OBJECT g_Device;

constexpr ULONG kTag = 0x5856524E; /* "NRVX" in memory */

NTSTATUS PendRead(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}

VOID LeakyUnload(PDRIVER_OBJECT driver) {
  g_UnloadCalls++;
  if (!g_Config.KeepDevice && driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  g_EntryIrql = KeGetCurrentIrql();
  g_RegistryPath.assign(reinterpret_cast<const char16_t *>(path->Buffer), path->Length / 2);
  for (int i = 0; i < g_Config.PoolBlocks; ++i) ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
  if (!g_Config.NoUnload) driver->DriverUnload = LeakyUnload;
  if (g_Config.PendIrp) driver->MajorFunction[IRP_MJ_READ] = PendRead;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Leaky");
  NTSTATUS s = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Device);
  if (!NT_SUCCESS(s)) return s;
  g_Device->Flags &= ~DO_DEVICE_INITIALIZING;
  return g_Config.EntryStatus;
}

/* Sends a request with no buffer to the device and returns what the call
 * returned; the status block gets the final status. */
NTSTATUS SendToDevice(UCHAR major, IO_STATUS_BLOCK *iosb, KEVENT *event) {
  KeInitializeEvent(event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(major, g_Device, nullptr, 0, nullptr, event, iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  return IoCallDriver(g_Device, irp);
}

class System : public ::testing::Test {
 protected:
  void SetUp() override {
    g_Config = LeakyConfig{};
    g_UnloadCalls = 0;
    g_Device = nullptr;
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  }
  void TearDown() override { nt::Shutdown(); }
};

TEST_F(System, LoadCreatesTheDriverObjectAndItsServiceKey) {
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry, &driver), STATUS_SUCCESS);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(nt::FindDriver("LEAKY"), driver);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(driver->DriverName.Buffer),
                           driver->DriverName.Length / 2),
            u"\\Driver\\Leaky");
  EXPECT_EQ(g_RegistryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Leaky");
  EXPECT_TRUE(nt::registry::KeyExists(std::string(nt::registry::kServices) + "\\Leaky"));
  EXPECT_EQ(g_EntryIrql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(nt::LoadDriver(L"Leaky", LeakyEntry), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(nt::LoadDriver("Bad\\Name", LeakyEntry), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(nt::LoadDriver("", LeakyEntry), STATUS_INVALID_PARAMETER);
}

TEST_F(System, RequestsADriverDoesNotHandleFailAsInvalidDeviceRequest) {
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  for (UCHAR major : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_READ, IRP_MJ_CREATE}) {
    iosb.Status = STATUS_PENDING;
    EXPECT_EQ(SendToDevice(major, &iosb, &event), STATUS_INVALID_DEVICE_REQUEST) << int(major);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  }
}

TEST_F(System, FailedEntryLeavesNoDriverAndIsNotUnloaded) {
  /* a failing DriverEntry must clean up after itself: this one deletes its device */
  g_Config.EntryStatus = STATUS_DEVICE_NOT_READY;
  auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING path) -> NTSTATUS {
    NTSTATUS s = LeakyEntry(driver, path);
    IoDeleteDevice(g_Device);
    return s;
  };
  EXPECT_EQ(nt::LoadDriver("Leaky", entry), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(nt::FindDriver("Leaky"), nullptr);
  EXPECT_EQ(g_UnloadCalls.load(), 0);
  /* the name is free again */
  g_Config.EntryStatus = STATUS_SUCCESS;
  EXPECT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
}

TEST_F(System, CleanUnloadGivesAnEmptyReport) {
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver("Leaky", &report), STATUS_SUCCESS);
  EXPECT_TRUE(report.Empty()) << report.Text();
  EXPECT_EQ(report.Driver, "\\Driver\\Leaky");
  EXPECT_EQ(g_UnloadCalls.load(), 1);
  EXPECT_EQ(nt::FindDriver("Leaky"), nullptr);
  EXPECT_EQ(nt::UnloadDriver("Leaky"), STATUS_OBJECT_NAME_NOT_FOUND);
}

struct ReportCase {
  const char *Name;
  LeakyConfig Config;
  size_t PoolBlocks, Devices, Irps;
};

class UnloadReport : public System, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(UnloadReport, NamesWhatTheDriverLeftBehind) {
  const auto &c = GetParam();
  g_Config = c.Config;
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
  IO_STATUS_BLOCK iosb{};
  KEVENT event;
  if (c.Config.PendIrp) ASSERT_EQ(SendToDevice(IRP_MJ_READ, &iosb, &event), STATUS_PENDING);
  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver("Leaky", &report), STATUS_SUCCESS);
  size_t blocks = 0;
  for (auto &p : report.Pool) {
    EXPECT_EQ(p.TagText, "NRVX");
    EXPECT_EQ(p.Bytes, 32 * p.Blocks);
    blocks += p.Blocks;
  }
  EXPECT_EQ(blocks, c.PoolBlocks) << report.Text();
  EXPECT_EQ(report.Devices.size(), c.Devices) << report.Text();
  if (c.Devices) EXPECT_EQ(report.Devices[0], "\\Device\\Leaky");
  EXPECT_EQ(report.Irps, c.Irps) << report.Text();
  EXPECT_FALSE(report.Empty());
}

INSTANTIATE_TEST_SUITE_P(Leaks, UnloadReport,
                         ::testing::Values(ReportCase{"Pool", {2, false, false, false, STATUS_SUCCESS}, 2, 0, 0},
                                           ReportCase{"Device", {0, true, false, false, STATUS_SUCCESS}, 0, 1, 0},
                                           ReportCase{"Irp", {0, false, true, false, STATUS_SUCCESS}, 0, 0, 1},
                                           ReportCase{"All", {1, true, true, false, STATUS_SUCCESS}, 1, 1, 1}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(System, DriverWithoutUnloadRoutineStaysLoadedUntilShutdown) {
  g_Config.NoUnload = true;
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
  EXPECT_EQ(nt::UnloadDriver("Leaky"), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_NE(nt::FindDriver("Leaky"), nullptr);
}

TEST_F(System, ShutdownUnloadsWhatIsLoaded) {
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
  nt::Shutdown();
  EXPECT_EQ(g_UnloadCalls.load(), 1);
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_EQ(nt::FindDriver("Leaky"), nullptr);
}

TEST(SystemBoot, OptionsLastForOneBoot) {
  nt::BootOptions options;
  options.EchoDebugOutput = true;
  options.BugCheckOnUnloadLeaks = false;
  ASSERT_EQ(nt::Boot(options), STATUS_SUCCESS);
  EXPECT_TRUE(nt::debug::Echo());
  EXPECT_FALSE(nt::CurrentBootOptions().BugCheckOnUnloadLeaks);
  /* with the check off, a leak is printed and the run goes on */
  g_Config = LeakyConfig{};
  g_Config.PoolBlocks = 1;
  ASSERT_EQ(nt::LoadDriver("Leaky", LeakyEntry), STATUS_SUCCESS);
  EXPECT_EQ(nt::UnloadDriver("Leaky"), STATUS_SUCCESS);
  EXPECT_TRUE(nt::debug::Contains("pool left behind: tag 'NRVX'"));
  nt::Shutdown();
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_FALSE(nt::debug::Echo());
  EXPECT_TRUE(nt::CurrentBootOptions().BugCheckOnUnloadLeaks);
  nt::Shutdown();
}

struct DeathCase {
  const char *Name;
  LeakyConfig Config;
  const char *Expected;
};

class UnloadDeathTest : public ::testing::TestWithParam<DeathCase> {};

TEST_P(UnloadDeathTest, LeftoversBugCheckWithoutAReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto &c = GetParam();
  EXPECT_DEATH(
      {
        nt::Boot();
        g_Config = c.Config;
        nt::LoadDriver("Leaky", LeakyEntry);
        IO_STATUS_BLOCK iosb{};
        KEVENT event;
        if (c.Config.PendIrp) SendToDevice(IRP_MJ_READ, &iosb, &event);
        nt::UnloadDriver("Leaky");
      },
      c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Leaks, UnloadDeathTest,
    ::testing::Values(DeathCase{"Pool", {3, false, false, false, STATUS_SUCCESS}, "0x000000C4.*0x0000000000000062"},
                      DeathCase{"Device", {0, true, false, false, STATUS_SUCCESS}, "0x000000CE.*device object left"},
                      DeathCase{"Irp", {0, false, true, false, STATUS_SUCCESS}, "0x000000CE.*requests never completed"}),
    [](const auto &info) { return std::string(info.param.Name); });

}  // namespace
