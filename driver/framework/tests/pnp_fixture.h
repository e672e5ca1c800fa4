/*
 * What the PnP device base's tests run on: a small bus driver whose child
 * PDOs record what reaches them and can fail a start or keep a device
 * control until the test completes it, and a function driver whose device
 * (TestPnpDevice) derives from KPnpDevice and counts its hooks. Each test
 * binary declares its driver class with DECLARE_KDRIVER.
 */
#pragma once

#include "fwtest.h"

#include <kdriver.h>
#include <kpnpdev.h>
#include <kunitnam.h>
#include <nt/io.h>
#include <nt/pnp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace pnptest {

using namespace std::chrono_literals;
constexpr auto kLimit = std::chrono::seconds(10);
constexpr ULONG kBusTag = 0x74737542; /* "Bust" as it lies in memory */

/* {A5B0C3E1-7D2F-4E6A-9B18-2C4D6E8F0A11} */
inline const GUID kTestInterface = {0xA5B0C3E1, 0x7D2F, 0x4E6A, {0x9B, 0x18, 0x2C, 0x4D, 0x6E, 0x8F, 0x0A, 0x11}};

#define IOCTL_PNPTEST_LOWER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PNPTEST_QUEUE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Waits for a condition that another thread makes true; false after the
   limit, which only a broken run reaches. */
inline bool WaitUntil(const std::function<bool()> &Condition) {
  auto end = std::chrono::steady_clock::now() + kLimit;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

/* ---- the bus ---- */

struct Seen {
  UCHAR Major, Minor;
  ULONG PowerType, PowerState; /* Parameters.Power of a power request */
  NTSTATUS StatusOnArrival;
  bool StartNextCalledFirst;   /* power: the device above called PoStartNextPowerIrp before passing it */
};

struct BusState {
  std::mutex Lock;
  std::condition_variable Changed;
  ULONG Children = 2;
  NTSTATUS FailStart = STATUS_SUCCESS; /* the PDOs fail IRP_MN_START_DEVICE with this */
  bool KeepControls = false;           /* device controls stay pending until the test completes them */
  std::vector<PIRP> Kept;
  std::vector<Seen> Log;               /* requests that reached a PDO, in order */
};
inline BusState *g_Bus;
/* Set by the device above just before it passes a power request. */
inline std::atomic<bool> g_StartNextCalled{false};

struct BusExtension {
  BOOLEAN IsFdo;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Children[16];
  ULONG Index;
};
inline BusExtension *BusExt(PDEVICE_OBJECT d) { return (BusExtension *)d->DeviceExtension; }

inline NTSTATUS Finish(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

inline PWCHAR PoolString(const char *Text) {
  size_t n = strlen(Text);
  PWCHAR s = (PWCHAR)ExAllocatePoolWithTag(PagedPool, (n + 2) * sizeof(WCHAR), kBusTag);
  if (s == nullptr) return nullptr;
  for (size_t i = 0; i < n; i++) s[i] = (WCHAR)Text[i];
  s[n] = s[n + 1] = 0;
  return s;
}

inline void Record(PIRP Irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  Seen seen{s->MajorFunction, s->MinorFunction, 0, 0, Irp->IoStatus.Status, false};
  if (s->MajorFunction == IRP_MJ_POWER) {
    seen.PowerType = (ULONG)s->Parameters.Power.Type;
    seen.PowerState = (ULONG)s->Parameters.Power.State.SystemState;
    seen.StartNextCalledFirst = g_StartNextCalled.exchange(false);
  }
  std::lock_guard<std::mutex> l(g_Bus->Lock);
  g_Bus->Log.push_back(seen);
  g_Bus->Changed.notify_all();
}

inline NTSTATUS PdoDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_ID) {
    char text[32];
    switch (s->Parameters.QueryId.IdType) {
      case BusQueryDeviceID:
      case BusQueryHardwareIDs:
        _snprintf(text, sizeof(text), "NVPNPBUS\\PORT");
        break;
      case BusQueryInstanceID:
        _snprintf(text, sizeof(text), "%lu", (ULONG)BusExt(Device)->Index);
        break;
      default:
        return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
    PWCHAR id = PoolString(text);
    return id ? Finish(Irp, STATUS_SUCCESS, (ULONG_PTR)id) : Finish(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  Record(Irp);
  if (s->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(Irp);
    return Finish(Irp, STATUS_SUCCESS);
  }
  if (s->MajorFunction == IRP_MJ_PNP) {
    switch (s->MinorFunction) {
      case IRP_MN_START_DEVICE: {
        NTSTATUS fail;
        {
          std::lock_guard<std::mutex> l(g_Bus->Lock);
          fail = g_Bus->FailStart;
        }
        return Finish(Irp, NT_SUCCESS(fail) ? STATUS_SUCCESS : fail);
      }
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_REMOVE_DEVICE:
        return Finish(Irp, STATUS_SUCCESS); /* the bus still reports its children */
      default:
        return Finish(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
  }
  if (s->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    std::lock_guard<std::mutex> l(g_Bus->Lock);
    if (g_Bus->KeepControls) {
      IoMarkIrpPending(Irp);
      g_Bus->Kept.push_back(Irp);
      g_Bus->Changed.notify_all();
      return STATUS_PENDING;
    }
  }
  return Finish(Irp, STATUS_SUCCESS);
}

inline NTSTATUS FdoDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  BusExtension *e = BusExt(Device);
  if (s->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(e->Lower, Irp);
  }
  if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      s->Parameters.QueryDeviceRelations.Type == BusRelations) {
    ULONG n = g_Bus->Children;
    for (ULONG i = 0; i < n; i++) {
      if (e->Children[i] != nullptr) continue;
      PDEVICE_OBJECT pdo;
      NTSTATUS status = IoCreateDevice(Device->DriverObject, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
      if (!NT_SUCCESS(status)) return Finish(Irp, status);
      RtlZeroMemory(BusExt(pdo), sizeof(BusExtension));
      BusExt(pdo)->Index = i;
      pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
      pdo->Flags &= ~DO_DEVICE_INITIALIZING;
      e->Children[i] = pdo;
    }
    PDEVICE_RELATIONS r = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + (n - 1) * sizeof(PDEVICE_OBJECT), kBusTag);
    if (r == nullptr) return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES);
    r->Count = n;
    for (ULONG i = 0; i < n; i++) {
      r->Objects[i] = e->Children[i];
      ObReferenceObject(e->Children[i]);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = (ULONG_PTR)r;
  } else if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(e->Lower, Irp);
    for (ULONG i = 0; i < 16; i++)
      if (e->Children[i] != nullptr) IoDeleteDevice(e->Children[i]);
    IoDetachDevice(e->Lower);
    IoDeleteDevice(Device);
    return status;
  } else if (s->MajorFunction == IRP_MJ_PNP) {
    UCHAR m = s->MinorFunction;
    if (m == IRP_MN_START_DEVICE || m == IRP_MN_QUERY_REMOVE_DEVICE || m == IRP_MN_QUERY_STOP_DEVICE ||
        m == IRP_MN_STOP_DEVICE || m == IRP_MN_CANCEL_STOP_DEVICE || m == IRP_MN_CANCEL_REMOVE_DEVICE ||
        m == IRP_MN_SURPRISE_REMOVAL)
      Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(e->Lower, Irp);
}

inline NTSTATUS BusDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  return BusExt(Device)->IsFdo ? FdoDispatch(Device, Irp) : PdoDispatch(Device, Irp);
}

inline NTSTATUS BusAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT RootPdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(BusExt(fdo), sizeof(BusExtension));
  BusExt(fdo)->IsFdo = TRUE;
  BusExt(fdo)->Lower = IoAttachDeviceToDeviceStack(fdo, RootPdo);
  if (BusExt(fdo)->Lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline NTSTATUS BusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = BusDispatch;
  Driver->DriverExtension->AddDevice = BusAddDevice;
  Driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

/* ---- the device under test ---- */

struct DeviceBehaviour {
  bool NoLower = false;                 /* attach, but give the base no lower device */
  NTSTATUS StartHook = STATUS_SUCCESS;  /* OnStartDevice's answer */
  std::function<void()> OnRemoveHook;   /* runs inside OnRemoveDevice */
};
inline DeviceBehaviour g_Behaviour;

struct DeviceCounters {
  std::atomic<int> Start{0}, Stop{0}, QueryStop{0}, CancelStop{0}, QueryRemove{0}, CancelRemove{0}, Remove{0},
      Surprise{0}, QueryState{0}, DefaultPnp{0}, Destroyed{0};
  std::mutex Lock;
  std::vector<ULONG> Handled; /* ordinary requests that reached their handler, in order: read length or control code */
};
inline DeviceCounters *g_Counters;

class TestPnpDevice : public KPnpDevice {
 public:
  TestPnpDevice(PDEVICE_OBJECT Pdo, ULONG Unit) : KPnpDevice(Pdo, &kTestInterface), m_Unit(Unit) {
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    m_NoLower = g_Behaviour.NoLower;
    m_Lower.Initialize(this, Pdo);
    if (!m_NoLower) SetLowerDevice(&m_Lower);
    KPnpDevice::SetDefaultPnpPolicy();
  }
  ~TestPnpDevice() override {
    /* Still in the stack when the base did not detach it. */
    if (m_Lower.DeviceObject() != nullptr && (m_TopOfStackDevice != nullptr || m_NoLower))
      IoDetachDevice(m_Lower.DeviceObject());
    m_Lower.Release();
    g_Counters->Destroyed++;
  }

  NTSTATUS Create(KIrp I) override { return I.PnpComplete(this, STATUS_SUCCESS); }
  NTSTATUS Close(KIrp I) override { return I.PnpComplete(this, STATUS_SUCCESS); }
  NTSTATUS CleanUp(KIrp I) override { return I.PnpComplete(this, STATUS_SUCCESS); }
  NTSTATUS Read(KIrp I) override {
    Handled(I.ReadSize(CURRENT));
    I.Information() = 0;
    return I.PnpComplete(this, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
  }
  NTSTATUS DeviceControl(KIrp I) override {
    Handled(I.IoctlCode(CURRENT));
    if (I.IoctlCode(CURRENT) == IOCTL_PNPTEST_LOWER && m_TopOfStackDevice != nullptr) {
      /* In progress below until the lower driver completes it. */
      I.CopyParametersDown();
      NTSTATUS status = m_Lower.CallWaitComplete(I, TRUE, nullptr);
      I.Information() = 0;
      return I.PnpComplete(this, status);
    }
    if (I.IoctlCode(CURRENT) == IOCTL_PNPTEST_QUEUE) {
      /* Parked in the device object's queue; the first one makes it busy
         and stays with the test. */
      PIRP irp = I;
      IoMarkIrpPending(irp);
      if (!KeInsertDeviceQueue(&DeviceObject()->DeviceQueue, &irp->Tail.Overlay.DeviceQueueEntry)) m_Busy = irp;
      return STATUS_PENDING;
    }
    I.Information() = 0;
    return I.PnpComplete(this, STATUS_SUCCESS);
  }
  NTSTATUS SystemControl(KIrp I) override { return DefaultPnp(I); }

  NTSTATUS OnStartDevice(KIrp I) override {
    g_Counters->Start++;
    return g_Behaviour.StartHook;
  }
  NTSTATUS OnStopDevice(KIrp I) override {
    g_Counters->Stop++;
    return KPnpDevice::OnStopDevice(I);
  }
  NTSTATUS OnQueryStopDevice(KIrp I) override {
    g_Counters->QueryStop++;
    return KPnpDevice::OnQueryStopDevice(I);
  }
  NTSTATUS OnCancelStopDevice(KIrp I) override {
    g_Counters->CancelStop++;
    return KPnpDevice::OnCancelStopDevice(I);
  }
  NTSTATUS OnQueryRemoveDevice(KIrp I) override {
    g_Counters->QueryRemove++;
    return KPnpDevice::OnQueryRemoveDevice(I);
  }
  NTSTATUS OnCancelRemoveDevice(KIrp I) override {
    g_Counters->CancelRemove++;
    return KPnpDevice::OnCancelRemoveDevice(I);
  }
  NTSTATUS OnRemoveDevice(KIrp I) override {
    g_Counters->Remove++;
    if (g_Behaviour.OnRemoveHook) g_Behaviour.OnRemoveHook();
    return KPnpDevice::OnRemoveDevice(I);
  }
  NTSTATUS OnSurpriseRemoval(KIrp I) override {
    g_Counters->Surprise++;
    return KPnpDevice::OnSurpriseRemoval(I);
  }
  NTSTATUS OnQueryPnpDeviceState(KIrp I) override {
    g_Counters->QueryState++;
    return KPnpDevice::OnQueryPnpDeviceState(I);
  }

  NTSTATUS DefaultPnp(KIrp I) override {
    g_Counters->DefaultPnp++;
    if (m_TopOfStackDevice == nullptr) return I.PnpComplete(this, I.Status());
    I.SkipLocation();
    return m_TopOfStackDevice->PnpCall(this, I);
  }
  NTSTATUS DefaultPower(KIrp I) override {
    I.StartNextPowerIrp();
    g_StartNextCalled = true;
    if (m_TopOfStackDevice == nullptr) return I.PnpComplete(this, STATUS_SUCCESS);
    I.CopyParametersDown();
    return m_TopOfStackDevice->PnpPowerCall(this, I);
  }

  PIRP TakeBusy() { return std::exchange(m_Busy, nullptr); }
  ULONG Unit() const { return m_Unit; }

 private:
  void Handled(ULONG What) {
    std::lock_guard<std::mutex> l(g_Counters->Lock);
    g_Counters->Handled.push_back(What);
  }

  KPnpLowerDevice m_Lower;
  ULONG m_Unit;
  bool m_NoLower = false;
  PIRP m_Busy = nullptr;
};

class TestPnpDriver : public KDriver {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING) override {
    m_NextUnit = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override {
    TestPnpDevice *device = nullptr;
    {
      KUnitName name(L"NvPnpDevice", m_NextUnit, 10);
      if (name.Buffer() != nullptr)
        device = new (name.Buffer(), FILE_DEVICE_SERIAL_PORT, nullptr, 0, DO_BUFFERED_IO | DO_POWER_PAGABLE)
            TestPnpDevice(Pdo, m_NextUnit);
    }
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = device->ConstructorStatus();
    if (NT_SUCCESS(status))
      m_NextUnit++;
    else
      device->Destroy();
    return status;
  }

 private:
  ULONG m_NextUnit = 0;
};

inline const char *kDriverName = "NvPnpTest";
inline const char *kBusName = "NvPnpBus";

/* The device above a PDO, or NULL when none is attached. */
inline TestPnpDevice *DeviceAbove(PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(Pdo);
  if (top == Pdo) return nullptr;
  return static_cast<TestPnpDevice *>((KDevice *)top->DeviceExtension);
}

/* Whether a device interface is enabled, without changing it. */
inline bool InterfaceEnabled(PUNICODE_STRING Name) {
  NTSTATUS status = IoSetDeviceInterfaceState(Name, TRUE);
  if (status == STATUS_OBJECT_NAME_EXISTS) return true;
  if (NT_SUCCESS(status)) IoSetDeviceInterfaceState(Name, FALSE);
  return false;
}

/* An overlapped read on a handle. */
struct Pending {
  KEVENT Event;
  IO_STATUS_BLOCK Status{};
  NTSTATUS Returned = STATUS_SUCCESS;
  Pending() { KeInitializeEvent(&Event, NotificationEvent, FALSE); }
  bool Done() { return KeReadStateEvent(&Event) != 0; }
  bool Wait() { return nt::io::Wait(&Event, 10000); }
};
/* Length tells the reads apart in the handler's record. */
inline void StartRead(HANDLE Handle, Pending *P, ULONG Length = 1) {
  static UCHAR buffer[16];
  P->Returned = nt::io::Read(Handle, buffer, Length, &P->Status, &P->Event);
}

/* A device control sent by a kernel component (no file object, no
   handle), waited for on the calling thread. */
inline NTSTATUS KernelControl(PDEVICE_OBJECT Top, ULONG Code) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(Code, Top, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(Top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

class PnpTest : public SystemTest {
 protected:
  nt::BootOptions BootOptions() override {
    nt::BootOptions o;
    o.PnpRequestTimeoutMs = 10000; /* a request that never finishes stops the run */
    return o;
  }
  void SetUp() override {
    m_Bus = std::make_unique<BusState>();
    m_Counters = std::make_unique<DeviceCounters>();
    g_Bus = m_Bus.get();
    g_Counters = m_Counters.get();
    g_Behaviour = DeviceBehaviour();
    g_StartNextCalled = false;
    SystemTest::SetUp();
  }
  void TearDown() override {
    SystemTest::TearDown();
    g_Behaviour = DeviceBehaviour();
  }

  void StartBus(ULONG Children = 2) {
    m_Bus->Children = Children;
    ASSERT_EQ(nt::LoadDriver(kDriverName, TestEntry, &m_Driver), STATUS_SUCCESS);
    nt::pnp::FunctionDriver function;
    function.Name = kDriverName;
    function.Entry = TestEntry;
    ASSERT_EQ(nt::pnp::AttachFunctionDriver(kBusName, function), STATUS_SUCCESS);
    ASSERT_EQ(nt::pnp::StartBus(kBusName, BusEntry, &m_BusPdo), STATUS_SUCCESS);
    m_Children = nt::pnp::Children(m_BusPdo);
    ASSERT_EQ(m_Children.size(), Children);
    ClearLog();
  }

  static NTSTATUS TestEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path) { return KDriverEntry(Driver, Path); }

  void ClearLog() {
    std::lock_guard<std::mutex> l(m_Bus->Lock);
    m_Bus->Log.clear();
  }
  /* Minor codes of the requests of Major that reached a PDO. */
  std::vector<UCHAR> MinorsSeen(UCHAR Major) {
    std::lock_guard<std::mutex> l(m_Bus->Lock);
    std::vector<UCHAR> out;
    for (auto &s : m_Bus->Log)
      if (s.Major == Major) out.push_back(s.Minor);
    return out;
  }
  std::vector<Seen> Log() {
    std::lock_guard<std::mutex> l(m_Bus->Lock);
    return m_Bus->Log;
  }
  /* Waits until the PDOs keep N device controls; returns the kept ones. */
  std::vector<PIRP> WaitKept(size_t N) {
    std::unique_lock<std::mutex> l(m_Bus->Lock);
    m_Bus->Changed.wait_for(l, kLimit, [&] { return m_Bus->Kept.size() >= N; });
    return m_Bus->Kept;
  }
  void CompleteKept() {
    std::vector<PIRP> kept;
    {
      std::lock_guard<std::mutex> l(m_Bus->Lock);
      kept.swap(m_Bus->Kept);
    }
    for (PIRP irp : kept) Finish(irp, STATUS_SUCCESS);
  }
  std::vector<ULONG> Handled() {
    std::lock_guard<std::mutex> l(m_Counters->Lock);
    return m_Counters->Handled;
  }

  HANDLE Open(ULONG Unit = 0) {
    HANDLE h = nullptr;
    std::string name = "\\Device\\NvPnpDevice" + std::to_string(Unit);
    EXPECT_EQ(nt::io::Open(name, &h), STATUS_SUCCESS);
    return h;
  }

  std::unique_ptr<BusState> m_Bus;
  std::unique_ptr<DeviceCounters> m_Counters;
  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_BusPdo = nullptr;
  std::vector<PDEVICE_OBJECT> m_Children;
};

}  // namespace pnptest

