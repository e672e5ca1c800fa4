/* The driver spine through the system: entry, platform family, add-device
   for a bus's children, request routing, unload, and the "no memory" paths
   of entry and add-device. */
#include "fwtest.h"
#include "testbus.h"

#include <kdriver.h>
#include <kregkey.h>
#include <nt/registry.h>
#include <kpnplow.h>
#include <ktrace.h>
#include <kunitnam.h>
#include <nt/io.h>
#include <nt/pnp.h>

#include <string>

namespace {

const char *kDriverName = "NvFwTest";

/* What the test driver is told to do; set before each load. */
struct Behaviour {
  ULONG FailUnit = MAXULONG;                 /* this unit's construction fails, once */
  NTSTATUS EntryStatus = STATUS_SUCCESS;     /* returned by DriverEntry */
  bool DeviceInEntry = false;                /* DriverEntry creates a device with a link */
  PCWSTR EntryLinkName = L"NvFwFamilyLink";
};
Behaviour g_Behaviour;
int g_Handled[IRP_MJ_MAXIMUM_FUNCTION + 1];

class TestDevice : public KDevice {
 public:
  TestDevice(PDEVICE_OBJECT Pdo, ULONG Unit) : m_Unit(Unit) {
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    if (Pdo != nullptr) {
      m_Lower.Initialize(this, Pdo);
      if (!NT_SUCCESS(m_Lower.ConstructorStatus())) m_ConstructorStatus = m_Lower.ConstructorStatus();
    }
    if (Unit == g_Behaviour.FailUnit) {
      m_ConstructorStatus = STATUS_DEVICE_NOT_READY;
      g_Behaviour.FailUnit = MAXULONG; /* once */
    }
  }
  ~TestDevice() override {
    /* A device that attached and then failed must not stay in the stack. */
    if (m_Lower.DeviceObject() != nullptr) IoDetachDevice(m_Lower.DeviceObject());
    m_Lower.Release();
  }

  NTSTATUS Create(KIrp I) override {
    g_Handled[IRP_MJ_CREATE]++;
    return I.Complete(STATUS_SUCCESS);
  }
  NTSTATUS Close(KIrp I) override {
    g_Handled[IRP_MJ_CLOSE]++;
    return I.Complete(STATUS_SUCCESS);
  }
  NTSTATUS CleanUp(KIrp I) override {
    g_Handled[IRP_MJ_CLEANUP]++;
    return I.Complete(STATUS_SUCCESS);
  }
  NTSTATUS Power(KIrp I) override {
    g_Handled[IRP_MJ_POWER]++;
    I.StartNextPowerIrp();
    I.SkipLocation();
    return PoCallDriver(m_Lower.DeviceObject(), I);
  }
  NTSTATUS Pnp(KIrp I) override {
    g_Handled[IRP_MJ_PNP]++;
    UCHAR minor = I.MinorFunction(CURRENT);
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
        minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
        minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE)
      I.Status() = STATUS_SUCCESS;
    I.SkipLocation();
    if (minor != IRP_MN_REMOVE_DEVICE) return m_Lower.Call(I);
    NTSTATUS status = m_Lower.Call(I);
    Destroy();
    return status;
  }
  ULONG Unit() const { return m_Unit; }
  KPnpLowerDevice &Lower() { return m_Lower; }

 private:
  KPnpLowerDevice m_Lower;
  ULONG m_Unit;
};

class TestDriver : public KDriver {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override {
    g_Trace->Trace(1, "TestDriver::DriverEntry++.\n");
    m_NextUnit = 0;
    if (g_Behaviour.DeviceInEntry) {
      TestDevice *device = new (L"NvFwFamily", FILE_DEVICE_UNKNOWN, g_Behaviour.EntryLinkName, 0, DO_BUFFERED_IO)
          TestDevice(nullptr, 0);
      if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      device->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    g_Trace->Trace(1, "TestDriver::DriverEntry--. STATUS %x\n", g_Behaviour.EntryStatus);
    return g_Behaviour.EntryStatus;
  }

  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override {
    g_Trace->Trace(1, "TestDriver::AddDevice++.\n");
    NTSTATUS status;
    TestDevice *device = nullptr;
    {
      KUnitName name(L"NERAVOXDevice", m_NextUnit, 10);
      if (name.Buffer() != nullptr)
        device = new (name.Buffer(), FILE_DEVICE_SERIAL_PORT, nullptr, 0,
                      DO_BUFFERED_IO | DO_EXCLUSIVE | DO_POWER_PAGABLE) TestDevice(Pdo, m_NextUnit);
    }
    if (device == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      status = device->ConstructorStatus();
      if (NT_SUCCESS(status)) {
        m_NextUnit++;
      } else {
        *g_Trace << "Error constructing device NERAVOX " << m_NextUnit << " status " << (LONG)status << "\n";
        delete device;
      }
    }
    g_Trace->Trace(1, "TestDriver::AddDevice--. STATUS %x\n", status);
    return status;
  }

  ULONG NextUnit() const { return m_NextUnit; }

 private:
  ULONG m_NextUnit = 0;
};

}  // namespace

DECLARE_KDRIVER(TestDriver)

namespace {

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return KDriverEntry(DriverObject, RegistryPath);
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT Driver) {
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT d = Driver->DeviceObject; d != nullptr; d = d->NextDevice) devices.push_back(d);
  return devices;
}

TestDevice *DeviceAbove(PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(Pdo);
  if (top == Pdo) return nullptr;
  return (TestDevice *)top->DeviceExtension;
}

class SpineTest : public SystemTest {
 protected:
  void SetUp() override {
    g_Behaviour = Behaviour();
    for (auto &n : g_Handled) n = 0;
    SystemTest::SetUp();
  }

  void LoadAndStartBus() {
    ASSERT_EQ(nt::LoadDriver(kDriverName, TestDriverEntry, &m_Driver), STATUS_SUCCESS);
    nt::pnp::FunctionDriver function;
    function.Name = kDriverName;
    function.Entry = TestDriverEntry;
    ASSERT_EQ(nt::pnp::AttachFunctionDriver(testbus::kName, function), STATUS_SUCCESS);
    PDEVICE_OBJECT bus = nullptr;
    ASSERT_EQ(nt::pnp::StartBus(testbus::kName, testbus::Entry, &bus), STATUS_SUCCESS);
    m_Children = nt::pnp::Children(bus);
    ASSERT_EQ(m_Children.size(), testbus::kChildren);
  }

  /* Removes the ports and unloads the driver; the unload report must be
     empty. */
  void RemoveAndUnload() {
    for (PDEVICE_OBJECT child : m_Children) {
      nt::pnp::DeviceInfo info;
      ASSERT_TRUE(nt::pnp::GetDevice(child, &info));
      if (info.State == nt::pnp::DeviceState::Started) EXPECT_EQ(nt::pnp::Remove(child), STATUS_SUCCESS);
    }
    EXPECT_TRUE(DevicesOf(m_Driver).empty());
    nt::UnloadReport report;
    ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
    EXPECT_TRUE(report.Empty()) << report.Text();
    EXPECT_EQ(KDriver::m_TheDriver, nullptr);
    EXPECT_EQ(g_Trace, nullptr);
  }

  PDRIVER_OBJECT m_Driver = nullptr;
  std::vector<PDEVICE_OBJECT> m_Children;
};

TEST_F(SpineTest, EntryInstallsTheNineRequestKinds) {
  ASSERT_EQ(nt::LoadDriver(kDriverName, TestDriverEntry, &m_Driver), STATUS_SUCCESS);
  ASSERT_NE(KDriver::m_TheDriver, nullptr);
  EXPECT_EQ(KDriver::m_TheDriver->DriverObject(), m_Driver);
  EXPECT_EQ(Narrow(KDriver::m_TheDriver->RegistryPath()),
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NvFwTest");
  EXPECT_EQ(KDriver::m_TheDriver->RegistryPath()->Buffer[KDriver::m_TheDriver->RegistryPath()->Length / 2], 0)
      << "the copy is terminated";
  PDRIVER_DISPATCH common = m_Driver->MajorFunction[IRP_MJ_CREATE];
  const UCHAR installed[] = {IRP_MJ_CREATE,  IRP_MJ_CLOSE, IRP_MJ_READ,  IRP_MJ_WRITE,         IRP_MJ_DEVICE_CONTROL,
                             IRP_MJ_CLEANUP, IRP_MJ_PNP,   IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL};
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    bool isInstalled = false;
    for (UCHAR m : installed) isInstalled |= (m == major);
    if (isInstalled)
      EXPECT_EQ(m_Driver->MajorFunction[major], common) << major;
    else
      EXPECT_NE(m_Driver->MajorFunction[major], common) << major;
  }
  EXPECT_NE(m_Driver->DriverUnload, nullptr);
  EXPECT_NE(m_Driver->DriverExtension->AddDevice, nullptr);
  EXPECT_TRUE(nt::debug::Contains("NERAVOX: TestDriver::DriverEntry++."));
  EXPECT_TRUE(nt::debug::Assertions().empty());

  /* A second instance is reported and changes nothing. */
  KDriver *second = new (NonPagedPool) TestDriver;
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(HasAssertion("m_TheDriver == NULL"));
  EXPECT_NE(KDriver::m_TheDriver, second);
  delete second;

  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
  EXPECT_TRUE(report.Empty()) << report.Text();
  EXPECT_EQ(KDriver::m_TheDriver, nullptr);
}

TEST_F(SpineTest, ChildrenGetUnitsInOrderAndAreReady) {
  LoadAndStartBus();
  for (ULONG i = 0; i < testbus::kChildren; i++) {
    TestDevice *device = DeviceAbove(m_Children[i]);
    ASSERT_NE(device, nullptr) << i;
    EXPECT_EQ(device->Unit(), i);
    EXPECT_EQ(Narrow(device->DeviceName()), "\\Device\\NERAVOXDevice" + std::to_string(i));
    EXPECT_TRUE(device->LinkName()->Length == 0);
    PDEVICE_OBJECT object = device->DeviceObject();
    EXPECT_EQ(object->DeviceExtension, device);
    EXPECT_EQ(object->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(object->Flags & (DO_BUFFERED_IO | DO_EXCLUSIVE | DO_POWER_PAGABLE),
              (ULONG)(DO_BUFFERED_IO | DO_EXCLUSIVE | DO_POWER_PAGABLE));
    EXPECT_EQ(object->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
  }
  EXPECT_EQ(DevicesOf(m_Driver).size(), testbus::kChildren);

  /* Opening by name reaches the device's own Create. */
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\NERAVOXDevice1");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
  EXPECT_EQ(device, DeviceAbove(m_Children[1])->DeviceObject());
  EXPECT_EQ(g_Handled[IRP_MJ_CREATE], 1);
  ObDereferenceObject(file);

  EXPECT_TRUE(nt::debug::Contains("NERAVOX: TestDriver::AddDevice++."));
  EXPECT_TRUE(nt::debug::Contains("NERAVOX: TestDriver::AddDevice--. STATUS 0"));
  RemoveAndUnload();
}

TEST_F(SpineTest, FailedConstructionLeavesNoDeviceAndKeepsTheUnit) {
  g_Behaviour.FailUnit = 1;
  LoadAndStartBus();
  ASSERT_NE(DeviceAbove(m_Children[0]), nullptr);
  EXPECT_EQ(DeviceAbove(m_Children[1]), nullptr);
  ASSERT_NE(DeviceAbove(m_Children[2]), nullptr);
  EXPECT_EQ(DeviceAbove(m_Children[0])->Unit(), 0u);
  EXPECT_EQ(DeviceAbove(m_Children[2])->Unit(), 1u) << "the failed unit goes to the next device";
  EXPECT_EQ(DevicesOf(m_Driver).size(), 2u);
  EXPECT_TRUE(nt::debug::Contains("NERAVOX: Error constructing device NERAVOX 0x00000001 status 0xc00000a3"));

  /* The child whose add failed gets the next unit when added again. */
  EXPECT_EQ(nt::pnp::Start(m_Children[1]), STATUS_SUCCESS);
  ASSERT_NE(DeviceAbove(m_Children[1]), nullptr);
  EXPECT_EQ(DeviceAbove(m_Children[1])->Unit(), 2u);
  EXPECT_EQ(Narrow(DeviceAbove(m_Children[1])->DeviceName()), "\\Device\\NERAVOXDevice2");
  RemoveAndUnload();
}

TEST_F(SpineTest, RequestRouting) {
  LoadAndStartBus();
  nt::debug::Clear();
  PDEVICE_OBJECT child = m_Children[0];

  /* Not installed: the system's default completes it; the framework never
     sees it. */
  nt::pnp::Result flush = nt::pnp::Send(child, IRP_MJ_FLUSH_BUFFERS, 0);
  EXPECT_EQ(flush.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(nt::debug::Assertions().empty());

  /* Installed but not overridden: the default handler. */
  nt::pnp::Result wmi = nt::pnp::Send(child, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
  EXPECT_EQ(wmi.Status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(wmi.Information, 0u);
  EXPECT_EQ(AssertionTexts(), std::vector<std::string>{"FALSE"});

  /* Overridden handlers get their kinds. */
  int pnpBefore = g_Handled[IRP_MJ_PNP];
  nt::pnp::Send(child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  EXPECT_EQ(g_Handled[IRP_MJ_PNP], pnpBefore + 1);
  EXPECT_EQ(nt::pnp::SetPower(child, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(g_Handled[IRP_MJ_POWER], 1);
  RemoveAndUnload();
}

/* Kinds the system routes (IoCallDriver) and kinds it does not (straight to
   DeviceIrpDispatch, as a PnP base would): without an override each is
   completed with STATUS_NOT_IMPLEMENTED through the request table. */
TEST_F(SpineTest, DefaultHandlersCompleteEveryKind) {
  LoadAndStartBus();
  TestDevice *device = DeviceAbove(m_Children[0]);
  ASSERT_NE(device, nullptr);
  struct Kind {
    UCHAR Major;
    bool Routed;
  };
  /* The boost each completion of this thread's requests was given. */
  std::vector<int> boosts;
  nt::io::SetCompletionObserver([&boosts](PIRP, NTSTATUS Status, CCHAR Boost) {
    if (Status == STATUS_NOT_IMPLEMENTED) boosts.push_back(Boost);
  });
  for (Kind kind : {Kind{IRP_MJ_READ, true}, Kind{IRP_MJ_WRITE, true}, Kind{IRP_MJ_DEVICE_CONTROL, true},
                    Kind{IRP_MJ_SYSTEM_CONTROL, true}, Kind{IRP_MJ_CREATE_NAMED_PIPE, false},
                    Kind{IRP_MJ_QUERY_INFORMATION, false}, Kind{IRP_MJ_FLUSH_BUFFERS, false},
                    Kind{IRP_MJ_INTERNAL_DEVICE_CONTROL, false}, Kind{IRP_MJ_SHUTDOWN, false},
                    Kind{IRP_MJ_SET_QUOTA, false}}) {
    nt::debug::Clear();
    PIRP irp = IoAllocateIrp(device->DeviceObject()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    struct Seen {
      NTSTATUS Status = STATUS_PENDING;
      ULONG_PTR Information = 0;
    } seen;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP Irp, PVOID Context) -> NTSTATUS {
          ((Seen *)Context)->Status = Irp->IoStatus.Status;
          ((Seen *)Context)->Information = Irp->IoStatus.Information;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &seen, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = kind.Major;
    s->DeviceObject = device->DeviceObject();
    irp->IoStatus.Information = 0x5A;
    NTSTATUS status;
    if (kind.Routed) {
      status = IoCallDriver(device->DeviceObject(), irp);
    } else {
      IoSetNextIrpStackLocation(irp);
      status = device->DeviceIrpDispatch(KIrp(irp));
    }
    EXPECT_EQ(status, STATUS_NOT_IMPLEMENTED) << (int)kind.Major;
    EXPECT_EQ(seen.Status, STATUS_NOT_IMPLEMENTED) << (int)kind.Major;
    EXPECT_EQ(seen.Information, 0x5Au) << "left as it was";
    EXPECT_EQ(AssertionTexts(), std::vector<std::string>{"FALSE"});
    IoFreeIrp(irp);
  }
  nt::io::SetCompletionObserver({});
  EXPECT_EQ(boosts, std::vector<int>(10, IO_NO_INCREMENT)) << "one completion each, with no boost";
  RemoveAndUnload();
}

TEST_F(SpineTest, LinksOfADevice) {
  LoadAndStartBus();
  TestDevice *device = DeviceAbove(m_Children[0]);
  ASSERT_NE(device, nullptr);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\NvFwCOM5");
  PFILE_OBJECT file;
  PDEVICE_OBJECT target;

  EXPECT_EQ(device->CreateLink(L"NvFwCOM5", TRUE), STATUS_SUCCESS);
  EXPECT_EQ(device->LinkName()->Length, 0) << "the link is not the device's own";
  ASSERT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &target), STATUS_SUCCESS);
  EXPECT_EQ(target, device->DeviceObject());
  ObDereferenceObject(file);
  EXPECT_EQ(device->CreateLink(L"NvFwCOM5", TRUE), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(device->DestroyLink(L"NvFwCOM5"), STATUS_SUCCESS);
  EXPECT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &target), STATUS_OBJECT_NAME_NOT_FOUND);

  EXPECT_EQ(device->CreateLink(L"NvFwCOM6", FALSE), STATUS_SUCCESS);
  EXPECT_EQ(device->DestroyLink(L"NvFwCOM6"), STATUS_SUCCESS);

  EXPECT_EQ(device->CreateLink(nullptr, TRUE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device->DestroyLink(nullptr), STATUS_INVALID_PARAMETER) << "no name and no link of its own";

  nt::pool::FailTag(NERAVOX_POOL_TAG);
  EXPECT_EQ(device->CreateLink(L"NvFwCOM7", TRUE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device->DestroyLink(L"NvFwCOM7"), STATUS_INSUFFICIENT_RESOURCES);
  nt::pool::ClearFaults();
  RemoveAndUnload();
}

TEST_F(SpineTest, AttachingTwiceIsReportedAndRefused) {
  LoadAndStartBus();
  TestDevice *device = DeviceAbove(m_Children[0]);
  ASSERT_NE(device, nullptr);
  PDEVICE_OBJECT below = device->Lower().DeviceObject();
  EXPECT_EQ(below, m_Children[0]);
  EXPECT_EQ(device->Lower().PhysicalDeviceObject(), m_Children[0]);
  EXPECT_EQ(device->Lower().Initialize(device, m_Children[0]), STATUS_INVALID_DEVICE_STATE);
  auto assertions = nt::debug::Assertions();
  ASSERT_EQ(assertions.size(), 1u);
  EXPECT_EQ(assertions[0].Expression, "m_pDeviceObject == NULL");
  EXPECT_EQ(assertions[0].File, "kpnplow");
  EXPECT_EQ(assertions[0].Line, 68u);
  EXPECT_EQ(device->Lower().DeviceObject(), below);
  EXPECT_EQ(IoGetAttachedDevice(m_Children[0]), device->DeviceObject());
  RemoveAndUnload();
}

TEST_F(SpineTest, DeviceHardwareKey) {
  LoadAndStartBus();
  nt::pnp::DeviceInfo info;
  ASSERT_TRUE(nt::pnp::GetDevice(m_Children[2], &info));
  ASSERT_EQ(nt::registry::SetString(info.HardwareKey, "PortName", "COM9"), STATUS_SUCCESS);
  {
    KRegistryKey key;
    ASSERT_EQ(key.Initialize(m_Children[2], PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS), STATUS_SUCCESS);
    EXPECT_NE(key.Handle(), nullptr);
    PVOID buffer = nullptr;
    ULONG size = 0;
    ASSERT_EQ(key.QueryValue(L"PortName", &buffer, &size, PagedPool), STATUS_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Narrow((PCWSTR)buffer), "COM9");
    KFree(buffer);

    /* A device object that is not a PDO has no such key; none stays open. */
    EXPECT_FALSE(NT_SUCCESS(key.Initialize(DeviceAbove(m_Children[2])->DeviceObject(), PLUGPLAY_REGKEY_DEVICE,
                                           KEY_ALL_ACCESS)));
    EXPECT_EQ(key.Handle(), nullptr);
    EXPECT_FALSE(NT_SUCCESS(key.Status()));
  }
  RemoveAndUnload();
}

/* ---- platform family ---- */

struct FamilyCase {
  const char *Title;
  bool ControlClass;
  bool ServicesClass;
  BOOLEAN Older;
  const char *LinkPrefix;
  bool Asserts;
};

class FamilyTest : public SpineTest, public ::testing::WithParamInterface<FamilyCase> {
 protected:
  nt::BootOptions BootOptions() override {
    nt::BootOptions options;
    options.ControlClassKey = GetParam().ControlClass;
    options.ServicesClassKey = GetParam().ServicesClass;
    return options;
  }
};

TEST_P(FamilyTest, ClassKeysDecideTheFamily) {
  const FamilyCase &c = GetParam();
  g_Behaviour.DeviceInEntry = true;
  ASSERT_EQ(nt::LoadDriver(kDriverName, TestDriverEntry, &m_Driver), STATUS_SUCCESS);
  EXPECT_EQ(g_OlderFamily, c.Older);
  EXPECT_EQ(HasAssertion("FALSE"), c.Asserts);

  auto devices = DevicesOf(m_Driver);
  ASSERT_EQ(devices.size(), 1u);
  KDevice *device = (KDevice *)devices[0]->DeviceExtension;
  EXPECT_EQ(Narrow(device->LinkName()), std::string(c.LinkPrefix) + "NvFwFamilyLink");
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\NvFwFamilyLink");
  PFILE_OBJECT file;
  PDEVICE_OBJECT target;
  ASSERT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &target), STATUS_SUCCESS);
  EXPECT_EQ(target, devices[0]);
  ObDereferenceObject(file);

  /* The device existed right after DriverEntry: unload destroys it, link
     and all. */
  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
  EXPECT_TRUE(report.Empty()) << report.Text();
  EXPECT_NE(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &target), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyTest,
                         ::testing::Values(FamilyCase{"Nt", true, false, FALSE, "\\??\\", false},
                                           FamilyCase{"NtWithBoth", true, true, FALSE, "\\??\\", false},
                                           FamilyCase{"Older", false, true, TRUE, "\\DosDevices\\", false},
                                           FamilyCase{"Neither", false, false, FALSE, "\\??\\", true}),
                         [](const ::testing::TestParamInfo<FamilyCase> &info) { return std::string(info.param.Title); });

/* ---- failures ---- */

TEST_F(SpineTest, FailedDriverEntryLeavesNothing) {
  g_Behaviour.EntryStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(nt::LoadDriver(kDriverName, TestDriverEntry, &m_Driver), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(KDriver::m_TheDriver, nullptr);
  EXPECT_EQ(g_Trace, nullptr);
  EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 0u);
  /* And the next load starts clean. */
  g_Behaviour.EntryStatus = STATUS_SUCCESS;
  ASSERT_EQ(nt::LoadDriver(kDriverName, TestDriverEntry, &m_Driver), STATUS_SUCCESS);
  EXPECT_FALSE(HasAssertion("m_TheDriver == NULL"));
  nt::UnloadReport report;
  ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
  EXPECT_TRUE(report.Empty()) << report.Text();
}

/* Every allocation during the load fails in turn. Each load either
   succeeds (a failed prefix only costs the prefix) or fails with
   STATUS_INSUFFICIENT_RESOURCES; either way nothing stays behind (the
   loader stops the run on leaks of a failed entry). */
class EntryWithoutMemoryTest : public SpineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EntryWithoutMemoryTest, AtEachStep) {
  int failedLoads = 0;
  for (uint64_t n = 1; n < 64; n++) {
    g_Behaviour.DeviceInEntry = GetParam();
    uint64_t injected = nt::pool::InjectedFailures();
    nt::pool::FailNth(n);
    NTSTATUS status = nt::LoadDriver(kDriverName, TestDriverEntry, &m_Driver);
    nt::pool::ClearFaults();
    bool hit = nt::pool::InjectedFailures() != injected;
    if (NT_SUCCESS(status)) {
      ASSERT_NE(KDriver::m_TheDriver, nullptr);
      nt::UnloadReport report;
      ASSERT_EQ(nt::UnloadDriver(kDriverName, &report), STATUS_SUCCESS);
      EXPECT_TRUE(report.Empty()) << "allocation " << n << ": " << report.Text();
    } else {
      failedLoads++;
      EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY)
          << "allocation " << n << ": 0x" << std::hex << status;
      EXPECT_EQ(KDriver::m_TheDriver, nullptr);
      EXPECT_EQ(g_Trace, nullptr);
    }
    EXPECT_EQ(nt::pool::OutstandingByTag(NERAVOX_POOL_TAG).Blocks, 0u) << "allocation " << n;
    if (!hit) break;
  }
  EXPECT_GE(failedLoads, GetParam() ? 4 : 2) << "the instance, the registry path copy (and the device's names)";
}

INSTANTIATE_TEST_SUITE_P(Entry, EntryWithoutMemoryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "DeviceWithLink" : "NoDevice");
                         });

TEST_F(SpineTest, AddDeviceWithoutMemoryAtEachStep) {
  LoadAndStartBus();
  PDEVICE_OBJECT child = m_Children[0];
  ASSERT_EQ(nt::pnp::Remove(child), STATUS_SUCCESS);
  ASSERT_EQ(DevicesOf(m_Driver).size(), 2u);
  nt::pool::Usage before = nt::pool::OutstandingByDriver(m_Driver);

  int failedAdds = 0;
  for (uint64_t n = 1; n < 64; n++) {
    uint64_t injected = nt::pool::InjectedFailures();
    nt::pool::RestrictFaultsTo(m_Driver);
    nt::pool::FailNth(n);
    NTSTATUS status = nt::pnp::Start(child);
    nt::pool::ClearFaults();
    if (nt::pool::InjectedFailures() == injected) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    failedAdds++;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    EXPECT_EQ(DeviceAbove(child), nullptr) << "allocation " << n;
    EXPECT_EQ(DevicesOf(m_Driver).size(), 2u) << "allocation " << n;
    EXPECT_EQ(nt::pool::OutstandingByDriver(m_Driver), before) << "allocation " << n;
  }
  EXPECT_GE(failedAdds, 3) << "unit name, device name, its copy";
  ASSERT_NE(DeviceAbove(child), nullptr);
  EXPECT_EQ(DeviceAbove(child)->Unit(), 3u) << "no failed attempt used up a unit";
  RemoveAndUnload();
}

}  // namespace
