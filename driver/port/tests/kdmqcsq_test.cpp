/* The driver-managed queue and NERAVOXQueue, on a PnP device whose reads,
   writes and device controls go into them and stay current until the test
   finishes them. */
#include "fwtest.h"
#include "testbus.h"

#include <kdmqcsq.h>
#include <kdriver.h>
#include <kpnpdev.h>
#include <kunitnam.h>
#include <neravoxqueue.h>
#include <nt/io.h>
#include <nt/pnp.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Started {
  PIRP Irp;
  ULONG Length; /* the request is gone once completed */
  KIRQL Irql;
  std::thread::id Thread;
};

/* Records each start and leaves the request current. */
class RecordingQueue : public KDriverManagedQueueCsq {
 public:
  RecordingQueue(BOOLEAN Direct, KQUEUE_COMPLETE_HOOK Hook = nullptr) : KDriverManagedQueueCsq(Direct, Hook) {}
  VOID StartIo(KIrp I) override {
    std::lock_guard<std::mutex> l(m_Lock);
    m_Started.push_back({(PIRP)I, I.ReadSize(CURRENT), KeGetCurrentIrql(), std::this_thread::get_id()});
  }
  std::vector<Started> Starts() {
    std::lock_guard<std::mutex> l(m_Lock);
    return m_Started;
  }

 private:
  std::mutex m_Lock;
  std::vector<Started> m_Started;
};

std::atomic<int> g_HookCalls{0};

class QueueDevice : public KPnpDevice {
 public:
  QueueDevice(PDEVICE_OBJECT Pdo) : KPnpDevice(Pdo, nullptr), m_Queue(FALSE), m_Hooked(TRUE, Hook) {
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    m_Lower.Initialize(this, Pdo);
    SetLowerDevice(&m_Lower);
    KPnpDevice::SetDefaultPnpPolicy();
    if (NT_SUCCESS(m_ConstructorStatus)) m_ConstructorStatus = m_Queue.Initialize(DeviceObject());
    if (NT_SUCCESS(m_ConstructorStatus)) m_ConstructorStatus = m_Hooked.Initialize(DeviceObject());
    if (NT_SUCCESS(m_ConstructorStatus)) m_ConstructorStatus = m_Neravox.Initialize(DeviceObject());
  }
  ~QueueDevice() override {
    if (m_Lower.DeviceObject() != nullptr && m_TopOfStackDevice != nullptr) IoDetachDevice(m_Lower.DeviceObject());
    m_Lower.Release();
  }

  NTSTATUS Create(KIrp I) override { return I.PnpComplete(this, STATUS_SUCCESS); }
  NTSTATUS Close(KIrp I) override { return I.PnpComplete(this, STATUS_SUCCESS); }
  NTSTATUS CleanUp(KIrp I) override { return I.PnpComplete(this, STATUS_SUCCESS); }
  /* Reads go to the recording queue, writes to the hooked one, device
     controls to NERAVOXQueue. */
  NTSTATUS Read(KIrp I) override {
    {
      std::lock_guard<std::mutex> l(m_HookLock);
      m_Arrived.push_back((PIRP)I);
    }
    return m_Queue.QueueIrp(I);
  }
  std::vector<PIRP> Arrived() {
    std::lock_guard<std::mutex> l(m_HookLock);
    return m_Arrived;
  }
  NTSTATUS Write(KIrp I) override { return m_Hooked.QueueIrp(I); }
  NTSTATUS DeviceControl(KIrp I) override { return m_Neravox.QueueIrp(I); }
  VOID StartIo(KIrp I) override {
    std::lock_guard<std::mutex> l(m_HookLock);
    m_StartIoHook.push_back((PIRP)I);
  }
  NTSTATUS DefaultPnp(KIrp I) override {
    I.SkipLocation();
    return m_TopOfStackDevice->PnpCall(this, I);
  }
  NTSTATUS DefaultPower(KIrp I) override {
    I.StartNextPowerIrp();
    I.CopyParametersDown();
    return m_TopOfStackDevice->PnpPowerCall(this, I);
  }

  /* The hooked queue's completions release the count themselves. */
  static VOID Hook(PDEVICE_OBJECT DeviceObject) {
    g_HookCalls++;
    static_cast<KPnpDevice *>((KDevice *)DeviceObject->DeviceExtension)->DecrementOutstandingRequestCount();
  }

  RecordingQueue m_Queue;
  RecordingQueue m_Hooked;
  NERAVOXQueue m_Neravox;
  std::mutex m_HookLock;
  std::vector<PIRP> m_StartIoHook;
  std::vector<PIRP> m_Arrived;

 private:
  KPnpLowerDevice m_Lower;
};

class QueueDriver : public KDriver {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING) override { return STATUS_SUCCESS; }
  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override {
    QueueDevice *device = nullptr;
    {
      KUnitName name(L"NvQueueTest", m_Next, 10);
      if (name.Buffer() != nullptr)
        device = new (name.Buffer(), FILE_DEVICE_SERIAL_PORT, nullptr, 0, DO_BUFFERED_IO) QueueDevice(Pdo);
    }
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = device->ConstructorStatus();
    if (!NT_SUCCESS(status)) {
      device->Destroy();
      return status;
    }
    device->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    m_Next++;
    return status;
  }

 private:
  ULONG m_Next = 0;
};

struct Pending {
  KEVENT Event;
  IO_STATUS_BLOCK Io{};
  NTSTATUS Returned = STATUS_SUCCESS;
  UCHAR Buffer[16] = {};
  Pending() { KeInitializeEvent(&Event, NotificationEvent, FALSE); }
  bool Done() { return KeReadStateEvent(&Event) != 0; }
  bool Wait() { return nt::io::Wait(&Event, 10000); }
};

bool WaitUntil(const std::function<bool()> &Condition) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

class QueueTest : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    g_HookCalls = 0;
    ASSERT_EQ(nt::LoadDriver("NvQueueTest", Entry), STATUS_SUCCESS);
    nt::pnp::FunctionDriver function;
    function.Name = "NvQueueTest";
    function.Entry = Entry;
    ASSERT_EQ(nt::pnp::AttachFunctionDriver(testbus::kName, function), STATUS_SUCCESS);
    PDEVICE_OBJECT bus = nullptr;
    ASSERT_EQ(nt::pnp::StartBus(testbus::kName, testbus::Entry, &bus), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = nt::pnp::Children(bus).at(0);
    m_Device = static_cast<QueueDevice *>((KDevice *)IoGetAttachedDevice(pdo)->DeviceExtension);
    ASSERT_EQ(nt::io::Open("\\Device\\NvQueueTest0", &m_A), STATUS_SUCCESS);
    ASSERT_EQ(nt::io::Open("\\Device\\NvQueueTest0", &m_B), STATUS_SUCCESS);
  }
  void TearDown() override {
    nt::io::Close(m_A);
    nt::io::Close(m_B);
    SystemTest::TearDown();
  }
  static NTSTATUS Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path) { return KDriverEntry(Driver, Path); }

  /* The read length tells the requests apart. */
  void Read(Pending *P, ULONG Length, HANDLE Handle) {
    P->Returned = nt::io::Read(Handle, P->Buffer, Length, &P->Io, &P->Event);
  }
  static ULONG LengthOf(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; }
  /* Finishes the current read with its length as Information. */
  void FinishCurrent(KDriverManagedQueueCsq &Queue, NTSTATUS Status = STATUS_SUCCESS) {
    KIrp current = Queue.CurrentIrp();
    ASSERT_FALSE(current.IsNull());
    current.Information() = 0;
    current.Status() = Status;
    Queue.PnpNextIrp(m_Device, current, IO_NO_INCREMENT);
  }
  std::vector<ULONG> StartedLengths() {
    std::vector<ULONG> out;
    for (auto &s : m_Device->m_Queue.Starts()) out.push_back(s.Length);
    return out;
  }

  QueueDevice *m_Device = nullptr;
  HANDLE m_A = nullptr, m_B = nullptr;
};

TEST_F(QueueTest, DirectStartAtPassiveLevelAndQueueingBehind) {
  Pending one, two;
  Read(&one, 1, m_A);
  EXPECT_EQ(one.Returned, STATUS_PENDING);
  auto starts = m_Device->m_Queue.Starts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].Irql, PASSIVE_LEVEL);
  EXPECT_EQ(starts[0].Thread, std::this_thread::get_id());
  Read(&two, 2, m_A);
  EXPECT_EQ(two.Returned, STATUS_PENDING);
  EXPECT_EQ(m_Device->m_Queue.Starts().size(), 1u);

  FinishCurrent(m_Device->m_Queue);
  ASSERT_TRUE(one.Wait());
  EXPECT_EQ(one.Io.Status, STATUS_SUCCESS);
  EXPECT_EQ(StartedLengths(), (std::vector<ULONG>{1, 2}));
  /* The last one leaves the queue idle and is still completed. */
  FinishCurrent(m_Device->m_Queue, STATUS_TIMEOUT);
  ASSERT_TRUE(two.Wait());
  EXPECT_EQ(two.Io.Status, STATUS_TIMEOUT);
  EXPECT_TRUE(m_Device->m_Queue.CurrentIrp().IsNull());
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);

  Pending three;
  Read(&three, 3, m_A);
  EXPECT_EQ(StartedLengths(), (std::vector<ULONG>{1, 2, 3}));
  FinishCurrent(m_Device->m_Queue);
  ASSERT_TRUE(three.Wait());
}

TEST_F(QueueTest, StartWantedAtDispatchLevelRunsFromTheWorkItem) {
  Pending one, two;
  Read(&one, 1, m_A);
  Read(&two, 2, m_A);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  FinishCurrent(m_Device->m_Queue);
  KeLowerIrql(old);
  ASSERT_TRUE(WaitUntil([&] { return m_Device->m_Queue.Starts().size() == 2; }));
  auto starts = m_Device->m_Queue.Starts();
  EXPECT_EQ(starts[1].Length, 2u);
  EXPECT_EQ(starts[1].Irql, PASSIVE_LEVEL);
  EXPECT_NE(starts[1].Thread, std::this_thread::get_id());
  ASSERT_TRUE(one.Wait());
  FinishCurrent(m_Device->m_Queue);
  ASSERT_TRUE(two.Wait());
}

TEST_F(QueueTest, QueueIrpOnAnIdleQueueAtDispatchLevel) {
  PIRP irp = IoAllocateIrp(m_Device->DeviceObject()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  UCHAR buffer[4];
  irp->AssociatedIrp.SystemBuffer = buffer;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_READ;
  s->Parameters.Read.Length = 4;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID Context) -> NTSTATUS {
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = IoCallDriver(m_Device->DeviceObject(), irp);
  KeLowerIrql(old);
  EXPECT_EQ(status, STATUS_PENDING);
  ASSERT_TRUE(WaitUntil([&] { return m_Device->m_Queue.Starts().size() == 1; }));
  EXPECT_EQ(m_Device->m_Queue.Starts()[0].Irql, PASSIVE_LEVEL);
  EXPECT_NE(m_Device->m_Queue.Starts()[0].Thread, std::this_thread::get_id());
  FinishCurrent(m_Device->m_Queue);
  LARGE_INTEGER limit;
  limit.QuadPart = -100000000LL;
  ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(QueueTest, CancelAllByFileObjectKeepsTheOthersInOrder) {
  Pending r[5];
  HANDLE owner[5] = {m_A, m_A, m_B, m_A, m_B};
  for (int i = 0; i < 5; i++) Read(&r[i], (ULONG)i + 1, owner[i]);
  m_Device->m_Queue.CancelAll(m_Device, nt::io::FileObject(m_A));
  ASSERT_TRUE(r[1].Wait());
  ASSERT_TRUE(r[3].Wait());
  EXPECT_EQ(r[1].Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(r[3].Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(r[1].Io.Information, 0u);
  EXPECT_FALSE(r[0].Done()); /* the current one is not touched */
  EXPECT_FALSE(r[2].Done());
  EXPECT_FALSE(r[4].Done());
  for (int i : {0, 2, 4}) {
    FinishCurrent(m_Device->m_Queue);
    ASSERT_TRUE(r[i].Wait());
    EXPECT_EQ(r[i].Io.Status, STATUS_SUCCESS);
  }
  EXPECT_EQ(StartedLengths(), (std::vector<ULONG>{1, 3, 5}));
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

TEST_F(QueueTest, SystemCancelOfAWaitingRequestAndCancelIrpOfTheCurrent) {
  Pending r[4];
  for (int i = 0; i < 4; i++) Read(&r[i], (ULONG)i + 1, m_A);
  /* The system's cancel of a waiting request. */
  ASSERT_EQ(nt::io::CancelIoEx(m_A, &r[1].Io), STATUS_SUCCESS);
  ASSERT_TRUE(r[1].Wait());
  EXPECT_EQ(r[1].Io.Status, STATUS_CANCELLED);
  /* The queue's own: a waiting request, then the current one, which
     starts the next. */
  ASSERT_EQ(LengthOf(m_Device->m_Queue.CurrentIrp()), 1u);
  FinishCurrent(m_Device->m_Queue);
  ASSERT_TRUE(r[0].Wait());
  PIRP third = m_Device->m_Queue.CurrentIrp();
  ASSERT_EQ(LengthOf(third), 3u);
  m_Device->m_Queue.CancelIrp(KIrp(third));
  ASSERT_TRUE(r[2].Wait());
  EXPECT_EQ(r[2].Io.Status, STATUS_CANCELLED);
  KIrp fourth = m_Device->m_Queue.CurrentIrp();
  ASSERT_FALSE(fourth.IsNull());
  EXPECT_EQ(LengthOf(fourth), 4u);
  FinishCurrent(m_Device->m_Queue);
  ASSERT_TRUE(r[3].Wait());
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

TEST_F(QueueTest, CancelIrpOfAWaitingRequestTakesItOut) {
  Pending r[3];
  for (int i = 0; i < 3; i++) Read(&r[i], (ULONG)i + 1, m_A);
  std::vector<PIRP> arrived = m_Device->Arrived();
  ASSERT_EQ(arrived.size(), 3u);
  m_Device->m_Queue.CancelIrp(KIrp(arrived[1]));
  ASSERT_TRUE(r[1].Wait());
  EXPECT_EQ(r[1].Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(r[1].Io.Information, 0u);
  EXPECT_FALSE(r[0].Done());
  EXPECT_FALSE(r[2].Done());
  FinishCurrent(m_Device->m_Queue);
  FinishCurrent(m_Device->m_Queue);
  ASSERT_TRUE(r[0].Wait());
  ASSERT_TRUE(r[2].Wait());
  EXPECT_EQ(StartedLengths(), (std::vector<ULONG>{1, 3}));
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

TEST_F(QueueTest, HookReplacesTheCountRelease) {
  Pending w1, w2;
  w1.Returned = nt::io::Write(m_A, "a", 1, &w1.Io, &w1.Event);
  w2.Returned = nt::io::Write(m_B, "bb", 2, &w2.Io, &w2.Event);
  m_Device->m_Hooked.CancelAll(m_Device, nt::io::FileObject(m_B));
  ASSERT_TRUE(w2.Wait());
  EXPECT_EQ(w2.Io.Status, STATUS_CANCELLED);
  EXPECT_EQ(g_HookCalls.load(), 1);
  KIrp current = m_Device->m_Hooked.CurrentIrp();
  current.Status() = STATUS_SUCCESS;
  m_Device->m_Hooked.PnpNextIrp(m_Device, current, IO_NO_INCREMENT);
  ASSERT_TRUE(w1.Wait());
  EXPECT_EQ(g_HookCalls.load(), 2);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

/* A request queued while the current one finishes is started, never left
   in the list of an idle queue. */
TEST_F(QueueTest, QueueingRacesWithFinishing) {
  for (int round = 0; round < 300; round++) {
    Pending first, second;
    Read(&first, 1, m_A);
    size_t before = m_Device->m_Queue.Starts().size();
    std::thread finisher([&] { FinishCurrent(m_Device->m_Queue); });
    Read(&second, 2, m_B);
    finisher.join();
    ASSERT_TRUE(first.Wait());
    ASSERT_TRUE(WaitUntil([&] { return m_Device->m_Queue.Starts().size() == before + 1; })) << "round " << round;
    ASSERT_EQ(LengthOf(m_Device->m_Queue.CurrentIrp()), 2u);
    FinishCurrent(m_Device->m_Queue);
    ASSERT_TRUE(second.Wait());
  }
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

TEST_F(QueueTest, NeravoxQueueStartsReadsAndWritesThroughTheDeviceHook) {
  /* A device control is not a request of this queue: reported and left. */
  Pending control;
  control.Returned = nt::io::DeviceIoControl(m_A, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, control.Buffer, 4,
                                             &control.Io, &control.Event);
  EXPECT_EQ(control.Returned, STATUS_PENDING);
  EXPECT_TRUE(HasAssertion("FALSE"));
  EXPECT_TRUE(nt::debug::Contains("NERAVOXQueue::StartIo++.  IRP"));
  EXPECT_TRUE(nt::debug::Contains("NERAVOXQueue::StartIo--.  IRP"));
  KIrp current = m_Device->m_Neravox.CurrentIrp();
  ASSERT_FALSE(current.IsNull());
  /* A read reaches the device's hook; change the current one's major code
     to see both, then an unknown one fails with STATUS_INVALID_PARAMETER. */
  IoGetCurrentIrpStackLocation(current)->MajorFunction = IRP_MJ_READ;
  m_Device->m_Neravox.StartIo(current);
  {
    std::lock_guard<std::mutex> l(m_Device->m_HookLock);
    ASSERT_EQ(m_Device->m_StartIoHook.size(), 1u);
    EXPECT_EQ(m_Device->m_StartIoHook[0], (PIRP)current);
  }
  IoGetCurrentIrpStackLocation(current)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  nt::debug::Clear();
  m_Device->m_Neravox.StartIo(current);
  EXPECT_TRUE(HasAssertion("FALSE"));
  ASSERT_TRUE(control.Wait());
  EXPECT_EQ(control.Io.Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m_Device->OutstandingRequests(), 1);
}

}  // namespace

DECLARE_KDRIVER(QueueDriver)
