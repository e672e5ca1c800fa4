/* The optional debug devices: a message-channel device and a debugging
   tool registered in the object namespace by small test drivers, and the
   same run without them. */
#include "pnp_fixture.h"

#include <kdebugdev.h>
#include <kregkey.h>
#include <ktrace.h>
#include <nt/registry.h>

#include <cctype>
#include <string>

using namespace pnptest;

namespace {

#define IOCTL_CHANNEL_ENTRIES 0x222003UL

/* ---- the debugging tool ---- */

struct Report {
  ULONG Code;
  PDRIVER_OBJECT Driver;
  ULONG_PTR A[6];
  std::string Text; /* the event's text or name, copied while it is valid */
};
std::mutex g_ReportLock;
std::vector<Report> g_Reports;
std::atomic<int> g_Registrations{0};
ULONG g_ToolRevision = 0x100;
constexpr ULONG kBase = 0x4000;

std::string Narrow(PCWSTR Text, size_t Length) {
  std::string out;
  for (size_t i = 0; i < Length; i++) out += (char)Text[i];
  return out;
}

/* Names and texts are only valid during the report. */
std::string TextOf(ULONG Event, ULONG_PTR A1, ULONG_PTR A2) {
  switch (Event) {
    case KDEBUG_EVENT_PLATFORM_FAMILY:
    case KDEBUG_EVENT_NO_MEMORY:
      return A2 != 0 ? std::string((PCSTR)A2) : std::string();
    case KDEBUG_EVENT_DEVICE_CREATED:
    case KDEBUG_EVENT_VALUE_QUERIED: {
      PCWSTR name = (PCWSTR)A2;
      size_t n = 0;
      while (name != nullptr && name[n] != 0) n++;
      return Narrow(name, n);
    }
    case KDEBUG_EVENT_LINK_CREATED:
    case KDEBUG_EVENT_LINK_DELETED:
    case KDEBUG_EVENT_KEY_OPENED: {
      PUNICODE_STRING name = (PUNICODE_STRING)A2;
      return name != nullptr ? Narrow(name->Buffer, name->Length / sizeof(WCHAR)) : std::string();
    }
    default:
      return std::string();
  }
}

VOID ToolNotify(ULONG Code, PDRIVER_OBJECT Driver, ULONG_PTR A1, ULONG_PTR A2, ULONG_PTR A3, ULONG_PTR A4,
                ULONG_PTR A5, ULONG_PTR A6) {
  std::string text = TextOf(Code - kBase, A1, A2);
  std::lock_guard<std::mutex> l(g_ReportLock);
  g_Reports.push_back(Report{Code, Driver, {A1, A2, A3, A4, A5, A6}, text});
}

std::vector<Report> ReportsOf(ULONG Event) {
  std::lock_guard<std::mutex> l(g_ReportLock);
  std::vector<Report> out;
  for (auto &r : g_Reports)
    if (r.Code == kBase + Event) out.push_back(r);
  return out;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS ToolDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  if (s->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return Complete(Irp, STATUS_SUCCESS);
  if (s->Parameters.DeviceIoControl.IoControlCode != KDEBUG_IOCTL_REGISTER ||
      s->Parameters.DeviceIoControl.OutputBufferLength != sizeof(KDEBUG_REGISTRATION) || Irp->UserBuffer == nullptr)
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  auto *block = (KDEBUG_REGISTRATION *)Irp->UserBuffer;
  g_Registrations++;
  EXPECT_NE(block->DriverObject, nullptr) << "the driver fills in its object";
  block->Revision = g_ToolRevision;
  block->Notify = ToolNotify;
  block->BaseEventCode = kBase;
  return Complete(Irp, STATUS_SUCCESS, sizeof(KDEBUG_REGISTRATION));
}

NTSTATUS MakeDevice(PDRIVER_OBJECT Driver, PCWSTR Name, PDRIVER_DISPATCH Dispatch) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = Dispatch;
  Driver->DriverUnload = [](PDRIVER_OBJECT D) {
    while (D->DeviceObject != nullptr) IoDeleteDevice(D->DeviceObject);
  };
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

NTSTATUS ToolEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  return MakeDevice(Driver, KDEBUG_TOOL_DEVICE_NAME, ToolDispatch);
}

/* ---- the message channel ---- */

std::atomic<int> g_Lookups{0};
std::mutex g_ChannelLock;
std::vector<std::string> g_ChannelCalls;

PVOID ChannelOpen(PCSTR Name, PVOID Interrupt, ULONG Flags) {
  std::lock_guard<std::mutex> l(g_ChannelLock);
  g_ChannelCalls.push_back(std::string("open ") + Name);
  return (PVOID)&g_ChannelCalls;
}
VOID ChannelWrite(PVOID Channel, PCSTR Text) {
  std::lock_guard<std::mutex> l(g_ChannelLock);
  g_ChannelCalls.push_back(std::string("write ") + Text);
}
VOID ChannelClose(PVOID Channel) {
  std::lock_guard<std::mutex> l(g_ChannelLock);
  g_ChannelCalls.push_back("close");
}

NTSTATUS ChannelDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  if (s->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return Complete(Irp, STATUS_SUCCESS);
  if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_CHANNEL_ENTRIES ||
      s->Parameters.DeviceIoControl.OutputBufferLength != 24)
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  PVOID out = Irp->UserBuffer != nullptr ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer;
  if (out == nullptr) return Complete(Irp, STATUS_INVALID_USER_BUFFER);
  g_Lookups++;
  PVOID entries[3] = {(PVOID)ChannelOpen, (PVOID)ChannelWrite, (PVOID)ChannelClose};
  memcpy(out, entries, sizeof(entries));
  return Complete(Irp, STATUS_SUCCESS, sizeof(entries));
}

NTSTATUS ChannelEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  return MakeDevice(Driver, L"\\Device\\DebugMessageDevice", ChannelDispatch);
}

class DebugDeviceTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    {
      std::lock_guard<std::mutex> l(g_ReportLock);
      g_Reports.clear();
    }
    {
      std::lock_guard<std::mutex> l(g_ChannelLock);
      g_ChannelCalls.clear();
    }
    g_Registrations = 0;
    g_Lookups = 0;
    g_ToolRevision = 0x100;
  }
  void TearDown() override {
    KDebugHookTerminate();
    PnpTest::TearDown();
  }

  void LoadDebugDevices() {
    ASSERT_EQ(nt::LoadDriver("NvDebugTool", ToolEntry), STATUS_SUCCESS);
    ASSERT_EQ(nt::LoadDriver("NvDebugChannel", ChannelEntry), STATUS_SUCCESS);
  }

  /* What the driver does in a short life: start, a request, a held one,
     a query and its cancel, the removal, the unload. */
  void Scenario() {
    StartBus(1);
    PDEVICE_OBJECT pdo = m_Children[0];
    HANDLE h = Open();
    UCHAR buffer[2];
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(nt::io::Read(h, buffer, 1, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
    EXPECT_EQ(nt::pnp::SetPower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(nt::pnp::QueryStop(pdo), STATUS_SUCCESS);
    h = Open();
    Pending held;
    StartRead(h, &held);
    EXPECT_EQ(nt::pnp::CancelStop(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(held.Wait());
    EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
    EXPECT_EQ(nt::pnp::Remove(pdo), STATUS_SUCCESS);
    nt::UnloadReport report;
    EXPECT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
    EXPECT_TRUE(report.Empty()) << report.Text();
  }
};

}  // namespace

/* The test driver lets the tool register at its entry; the framework entry
   may have done so already, which changes nothing. */
class HookedDriver : public TestPnpDriver {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING Path) override {
    s_HookStatus = KDebugHookInitialize(DriverObject());
    return TestPnpDriver::DriverEntry(Path);
  }
  static NTSTATUS s_HookStatus;
};
NTSTATUS HookedDriver::s_HookStatus = STATUS_UNSUCCESSFUL;
DECLARE_KDRIVER(HookedDriver)

namespace {

/* Lines with the numbers that differ from run to run (addresses, the
   build time) taken out. */
std::vector<std::string> Normalised(const std::vector<std::string> &Lines) {
  std::vector<std::string> out;
  for (const std::string &line : Lines) {
    std::string n;
    for (size_t i = 0; i < line.size();) {
      size_t j = i;
      while (j < line.size() && isxdigit((unsigned char)line[j])) j++;
      if (j - i >= 6) {
        n += '#';
        i = j;
      } else {
        n.append(line, i, j - i + (j < line.size() ? 1 : 0));
        i = j + 1;
      }
    }
    out.push_back(n);
  }
  return out;
}

TEST_F(DebugDeviceTest, WithoutTheDevicesEveryReportIsANoOp) {
  StartBus(1);
  EXPECT_NE(HookedDriver::s_HookStatus, STATUS_SUCCESS);
  EXPECT_FALSE(KDebugHookActive());
  EXPECT_EQ(g_Lookups, 0);
  KDebugReport(KDEBUG_EVENT_PNP_START, 1, 2, 3);
  EXPECT_TRUE(ReportsOf(KDEBUG_EVENT_PNP_START).empty());
  EXPECT_TRUE(nt::debug::Assertions().empty());
}

TEST_F(DebugDeviceTest, OutputIsTheSameWithAndWithoutTheDevices) {
  Scenario();
  std::vector<std::string> without = Normalised(nt::debug::Lines());
  EXPECT_TRUE(g_Reports.empty());

  nt::Shutdown();
  KDebugHookTerminate();
  ASSERT_EQ(nt::Boot(BootOptions()), STATUS_SUCCESS);
  nt::debug::Clear();
  LoadDebugDevices();
  Scenario();
  std::vector<std::string> with = Normalised(nt::debug::Lines());
  EXPECT_EQ(g_Registrations, 1);
  EXPECT_EQ(g_Lookups, 1);
  EXPECT_FALSE(g_Reports.empty());
  {
    std::lock_guard<std::mutex> l(g_ChannelLock);
    EXPECT_TRUE(g_ChannelCalls.empty()) << "the global trace names no channel";
  }
  EXPECT_EQ(with, without);
}

TEST_F(DebugDeviceTest, TheChannelIsLookedUpOnceAndCarriesANamedTrace) {
  LoadDebugDevices();
  StartBus(1);
  EXPECT_EQ(g_Lookups, 1);
  {
    KTrace trace("NvChan", KTRACE_CHANNEL, 0, 5, "port", nullptr);
    trace.Trace(1, "hello %d\n", 7);
    KTrace second("NvOther", KTRACE_CHANNEL | KTRACE_DBGPRINT, 0, 5, nullptr, nullptr);
    second.Trace(1, "to the debugger\n");
  }
  EXPECT_EQ(g_Lookups, 1) << "looked up once per load";
  std::lock_guard<std::mutex> l(g_ChannelLock);
  EXPECT_EQ(g_ChannelCalls, (std::vector<std::string>{"open port", "write NvChan: hello 7\n", "close"}));
  EXPECT_TRUE(nt::debug::Contains("NvOther: to the debugger"));
  EXPECT_FALSE(nt::debug::Contains("NvChan: hello"));
}

TEST_F(DebugDeviceTest, TheToolReceivesTheEventsWithTheirArguments) {
  LoadDebugDevices();
  StartBus(1);
  ASSERT_EQ(HookedDriver::s_HookStatus, STATUS_SUCCESS);
  EXPECT_TRUE(KDebugHookActive());
  EXPECT_EQ(g_Registrations, 1);
  TestPnpDevice *device = DeviceAbove(m_Children[0]);
  ASSERT_NE(device, nullptr);
  ULONG_PTR self = (ULONG_PTR)device;
  {
    std::vector<Report> start = ReportsOf(KDEBUG_EVENT_PNP_START);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].Driver, m_Driver);
    EXPECT_EQ(start[0].A[0], self);
    EXPECT_NE(start[0].A[1], 0u);
    EXPECT_EQ((NTSTATUS)start[0].A[2], STATUS_SUCCESS);
  }

  /* A request raises the count to 2 and lowers it to 1. */
  {
    std::lock_guard<std::mutex> l(g_ReportLock);
    g_Reports.clear();
  }
  HANDLE h = Open();
  bool raised = false, lowered = false;
  for (auto &r : ReportsOf(KDEBUG_EVENT_COUNT_RAISED)) raised |= r.A[0] == self && r.A[1] == 2;
  for (auto &r : ReportsOf(KDEBUG_EVENT_COUNT_LOWERED)) lowered |= r.A[0] == self && r.A[1] == 1;
  EXPECT_TRUE(raised);
  EXPECT_TRUE(lowered);

  /* Held, then dispatched again. */
  ASSERT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  ASSERT_EQ(nt::pnp::QueryStop(m_Children[0]), STATUS_SUCCESS);
  EXPECT_EQ(ReportsOf(KDEBUG_EVENT_PNP_QUERY_STOP).size(), 1u);
  h = Open();
  Pending held;
  StartRead(h, &held);
  std::vector<Report> hold = ReportsOf(KDEBUG_EVENT_HOLD);
  ASSERT_EQ(hold.size(), 1u);
  EXPECT_EQ(hold[0].A[0], self);
  EXPECT_EQ((NTSTATUS)hold[0].A[2], STATUS_PENDING);
  ASSERT_EQ(nt::pnp::CancelStop(m_Children[0]), STATUS_SUCCESS);
  ASSERT_TRUE(held.Wait());
  std::vector<Report> release = ReportsOf(KDEBUG_EVENT_RELEASE_DISPATCH);
  ASSERT_EQ(release.size(), 1u);
  EXPECT_EQ(release[0].A[1], hold[0].A[1]) << "the same request";
  ASSERT_EQ(nt::io::Close(h), STATUS_SUCCESS);

  /* Power goes down through the lower device. */
  ASSERT_EQ(nt::pnp::SetPower(m_Children[0], PowerDeviceD0), STATUS_SUCCESS);
  std::vector<Report> power = ReportsOf(KDEBUG_EVENT_LOWER_POWER_CALL);
  ASSERT_EQ(power.size(), 1u);
  EXPECT_EQ(power[0].A[0], (ULONG_PTR)device->LowerDevice());

  /* The removal's waits, each before and after. */
  ASSERT_EQ(nt::pnp::Remove(m_Children[0]), STATUS_SUCCESS);
  for (ULONG event : {KDEBUG_EVENT_WAIT_DRAINED, KDEBUG_EVENT_WAIT_NO_REQUESTS, KDEBUG_EVENT_WAIT_PNP_MUTEX}) {
    SCOPED_TRACE(event);
    std::vector<Report> before = ReportsOf(event), after = ReportsOf(event + 1);
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(before.size(), after.size());
    EXPECT_EQ(before.back().A[0], self);
    EXPECT_EQ(before.back().A[1], 0u) << "without limit";
    EXPECT_EQ((NTSTATUS)after.back().A[1], STATUS_SUCCESS);
  }
  std::vector<Report> remove = ReportsOf(KDEBUG_EVENT_PNP_REMOVE);
  ASSERT_EQ(remove.size(), 1u);
  EXPECT_EQ(ReportsOf(KDEBUG_EVENT_DETACHED).size(), 1u);
}

TEST_F(DebugDeviceTest, AToolAnsweringRevision0xFFIsIgnored) {
  g_ToolRevision = 0xFF;
  LoadDebugDevices();
  StartBus(1);
  EXPECT_EQ(g_Registrations, 1);
  EXPECT_EQ(HookedDriver::s_HookStatus, STATUS_REVISION_MISMATCH);
  EXPECT_FALSE(KDebugHookActive());
  HANDLE h = Open();
  EXPECT_EQ(nt::io::Close(h), STATUS_SUCCESS);
  std::lock_guard<std::mutex> l(g_ReportLock);
  EXPECT_TRUE(g_Reports.empty());
}

/* One step the tool must hear about: the event and what its arguments must
   be. */
struct Expected {
  const char *What;
  ULONG Event;
  std::function<bool(const Report &)> Matches;
};

/* Each expected report, found after the one before it. */
void ExpectInOrder(const std::vector<Report> &Reports, const std::vector<Expected> &Steps) {
  size_t at = 0;
  for (const Expected &step : Steps) {
    size_t i = at;
    while (i < Reports.size() && !(Reports[i].Code == kBase + step.Event && step.Matches(Reports[i]))) i++;
    EXPECT_LT(i, Reports.size()) << step.What << " (event " << step.Event << ") is not reported after the step before";
    if (i < Reports.size()) at = i + 1;
  }
}

TEST_F(DebugDeviceTest, ALoadAnAddDeviceALowerCallAndARegistryQueryAreReportedInOrder) {
  const std::string key = std::string(nt::registry::kServices) + "\\NvDebugEvents";
  ASSERT_EQ(nt::registry::CreateKey(key), STATUS_SUCCESS);
  const WCHAR com3[] = L"COM3";
  ASSERT_EQ(nt::registry::SetValue(key, "PortName", REG_SZ, com3, sizeof(com3)), STATUS_SUCCESS);

  LoadDebugDevices();
  StartBus(1);
  ASSERT_TRUE(KDebugHookActive());
  KDriver *driver = KDriver::m_TheDriver;
  ASSERT_NE(driver, nullptr);
  TestPnpDevice *device = DeviceAbove(m_Children[0]);
  ASSERT_NE(device, nullptr);
  ULONG_PTR self = (ULONG_PTR)(KDevice *)device;
  ULONG_PTR lower = (ULONG_PTR)device->LowerDevice();
  ASSERT_NE(lower, 0u);

  HANDLE h = Open();
  EXPECT_EQ(KernelControl(device->DeviceObject(), IOCTL_PNPTEST_LOWER), STATUS_SUCCESS);
  ASSERT_EQ(nt::io::Close(h), STATUS_SUCCESS);

  ULONG_PTR keyObject;
  PVOID buffer = nullptr;
  ULONG size = 0;
  {
    KRegistryKey k(RTL_REGISTRY_SERVICES, L"NvDebugEvents");
    keyObject = (ULONG_PTR)&k;
    ASSERT_EQ(k.Status(), STATUS_SUCCESS);
    ASSERT_EQ(k.QueryValue(L"PortName", &buffer, &size, PagedPool), STATUS_SUCCESS);
    EXPECT_EQ(size, sizeof(com3));
  }
  ULONG_PTR queried = (ULONG_PTR)buffer;
  KFree(buffer);

  ASSERT_EQ(nt::pnp::Remove(m_Children[0]), STATUS_SUCCESS);
  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
  EXPECT_TRUE(report.Empty()) << report.Text();

  std::vector<Report> all;
  {
    std::lock_guard<std::mutex> l(g_ReportLock);
    all = g_Reports;
  }
  for (const Report &r : all) EXPECT_EQ(r.Driver, m_Driver) << "event " << r.Code - kBase;
  std::vector<Report> removes = ReportsOf(KDEBUG_EVENT_PNP_REMOVE);
  ASSERT_EQ(removes.size(), 1u);
  ULONG_PTR removeIrp = removes[0].A[1];

  ULONG_PTR channel = 0;
  auto ok = [](ULONG_PTR Status) { return (NTSTATUS)Status == STATUS_SUCCESS; };
  ExpectInOrder(
      all,
      {
          {"the trace's channel device opened", KDEBUG_EVENT_LOWER_OPENED,
           [&](const Report &r) {
             if (r.A[1] == 0 || !ok(r.A[2])) return false;
             channel = r.A[0];
             return true;
           }},
          {"its entries fetched", KDEBUG_EVENT_LOWER_CALL_DONE,
           [&](const Report &r) { return r.A[0] == channel && ok(r.A[1]) && r.A[2] == 24; }},
          {"the channel device released", KDEBUG_EVENT_LOWER_RELEASED,
           [&](const Report &r) { return r.A[0] == channel; }},
          {"the platform family", KDEBUG_EVENT_PLATFORM_FAMILY,
           [&](const Report &r) { return r.A[0] == (ULONG_PTR)m_Driver && r.Text == "NT"; }},
          {"initialisation done", KDEBUG_EVENT_DRIVER_INITIALIZED,
           [&](const Report &r) { return r.A[0] == (ULONG_PTR)driver && r.A[1] != 0 && ok(r.A[2]); }},
          {"the device object created", KDEBUG_EVENT_DEVICE_CREATED,
           [&](const Report &r) { return r.A[0] == self && r.Text == "NvPnpDevice0" && ok(r.A[2]); }},
          {"the device attached", KDEBUG_EVENT_ATTACHED,
           [&](const Report &r) { return r.A[0] == lower && ok(r.A[1]); }},
          {"the open dispatched", KDEBUG_EVENT_DISPATCH,
           [&](const Report &r) { return r.A[0] == (ULONG_PTR)driver && r.A[1] != 0; }},
          {"the control's synchronous lower call", KDEBUG_EVENT_LOWER_CALL_DONE,
           [&](const Report &r) { return r.A[0] == lower && ok(r.A[1]) && r.A[2] == 0; }},
          {"the key opened", KDEBUG_EVENT_KEY_OPENED,
           [&](const Report &r) {
             return r.A[0] == keyObject && r.Text == key && ok(r.A[2]);
           }},
          {"the value queried", KDEBUG_EVENT_VALUE_QUERIED,
           [&](const Report &r) {
             return r.A[0] == keyObject && r.Text == "PortName" && r.A[2] == REG_SZ && r.A[3] == queried &&
                    r.A[4] == sizeof(com3) && ok(r.A[5]);
           }},
          {"the removal dispatched", KDEBUG_EVENT_DISPATCH,
           [&](const Report &r) { return r.A[0] == (ULONG_PTR)driver && r.A[1] == removeIrp; }},
          {"the removal passed down", KDEBUG_EVENT_LOWER_CALL,
           [&](const Report &r) { return r.A[0] == lower && r.A[1] == removeIrp; }},
          {"the removal handled", KDEBUG_EVENT_PNP_REMOVE, [&](const Report &r) { return r.A[1] == removeIrp; }},
          {"the lower device released", KDEBUG_EVENT_LOWER_RELEASED,
           [&](const Report &r) { return r.A[0] == lower; }},
          {"the driver unloaded", KDEBUG_EVENT_DRIVER_UNLOADED,
           [&](const Report &r) { return r.A[0] == (ULONG_PTR)driver; }},
      });
  EXPECT_TRUE(ReportsOf(KDEBUG_EVENT_NO_MEMORY).empty());
}

}  // namespace
