/*
 * What the serial port base's tests run on: the framework tests' small bus,
 * and a function driver whose device (TestPort) keeps every default handler
 * of KVirtualCom and sends what it transmits into a buffer. Tests use the
 * port through the I/O manager as an application would. One test binary
 * includes this once.
 */
#pragma once

#include "fwtest.h"
#include "testbus.h"

#include <kdriver.h>
#include <kunitnam.h>
#include <kvirtualcom.h>
#include <nt/io.h>
#include <nt/pnp.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace porttest {

constexpr unsigned kLimitMs = 10000;

class TestPort : public KVirtualCom {
 public:
  TestPort(PDEVICE_OBJECT Pdo) : KVirtualCom(Pdo, NULL) {
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    m_Lower.Initialize(this, Pdo);
    SetLowerDevice(&m_Lower);
    KPnpDevice::SetDefaultPnpPolicy();
  }
  ~TestPort() override {
    if (m_Lower.DeviceObject() != nullptr && m_TopOfStackDevice != nullptr) IoDetachDevice(m_Lower.DeviceObject());
    m_Lower.Release();
  }

  VOID TransmitBytes(PUCHAR Bytes, ULONG Count) override {
    std::lock_guard<std::mutex> l(m_SentLock);
    m_Sent.insert(m_Sent.end(), Bytes, Bytes + Count);
  }
  NTSTATUS CleanUp(KIrp I) override {
    CancelQueue(TRUE);
    CancelQueue(FALSE);
    return I.PnpComplete(this, STATUS_SUCCESS);
  }
  NTSTATUS DefaultPnp(KIrp I) override {
    if (m_TopOfStackDevice == nullptr) return I.PnpComplete(this, I.Status());
    I.SkipLocation();
    return m_TopOfStackDevice->PnpCall(this, I);
  }
  NTSTATUS DefaultPower(KIrp I) override {
    I.StartNextPowerIrp();
    if (m_TopOfStackDevice == nullptr) return I.PnpComplete(this, STATUS_SUCCESS);
    I.CopyParametersDown();
    return m_TopOfStackDevice->PnpPowerCall(this, I);
  }

  /* What the hardware side of a subclass does. */
  NTSTATUS Receive(std::vector<UCHAR> Bytes) { return ReceiveBytes(Bytes.data(), (ULONG)Bytes.size()); }
  NTSTATUS ReceiveAtDispatch(std::vector<UCHAR> Bytes) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = ReceiveBytes(Bytes.data(), (ULONG)Bytes.size());
    KeLowerIrql(old);
    return status;
  }
  std::vector<UCHAR> Sent() {
    std::lock_guard<std::mutex> l(m_SentLock);
    return m_Sent;
  }
  ULONG Buffered() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    ULONG n = m_RxBuffered;
    KeReleaseSpinLock(&m_Lock, irql);
    return n;
  }
  LONGLONG IntervalPeriod() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    LONGLONG p = m_IntervalPeriod;
    KeReleaseSpinLock(&m_Lock, irql);
    return p;
  }
  BOOLEAN Opened() { return InterlockedCompareExchange((LONG volatile *)&m_Opened, 0, 0) != 0; }
  VOID AddErrors(ULONG Errors) { InterlockedOr((LONG volatile *)&m_Errors, (LONG)Errors); }
  KDriverManagedQueueCsq &WriteQueue() { return m_WriteQueue; }

 private:
  KPnpLowerDevice m_Lower;
  std::mutex m_SentLock;
  std::vector<UCHAR> m_Sent;
};

class TestDriver : public KDriver {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING) override {
    m_NextUnit = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS AddDevice(PDEVICE_OBJECT Pdo) override {
    TestPort *device = nullptr;
    {
      KUnitName name(L"NvSerTest", m_NextUnit, 10);
      if (name.Buffer() != nullptr)
        device = new (name.Buffer(), FILE_DEVICE_SERIAL_PORT, nullptr, 0, DO_BUFFERED_IO | DO_POWER_PAGABLE)
            TestPort(Pdo);
    }
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = device->ConstructorStatus();
    if (!NT_SUCCESS(status)) {
      device->Destroy();
      return status;
    }
    device->DeviceObject()->Flags &= ~DO_DEVICE_INITIALIZING;
    m_NextUnit++;
    return status;
  }

 private:
  ULONG m_NextUnit = 0;
};

inline const char *kDriverName = "NvSerTest";

/* An overlapped request on a handle. */
struct Pending {
  KEVENT Event;
  IO_STATUS_BLOCK Io{};
  NTSTATUS Returned = STATUS_SUCCESS;
  UCHAR Buffer[256] = {};
  Pending() {
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    Io.Status = 0x7FFFFFFF;
  }
  bool Done() { return KeReadStateEvent(&Event) != 0; }
  bool Wait() { return nt::io::Wait(&Event, kLimitMs); }
};

class PortTest : public SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    ASSERT_EQ(nt::LoadDriver(kDriverName, Entry, &m_Driver), STATUS_SUCCESS);
    nt::pnp::FunctionDriver function;
    function.Name = kDriverName;
    function.Entry = Entry;
    ASSERT_EQ(nt::pnp::AttachFunctionDriver(testbus::kName, function), STATUS_SUCCESS);
    ASSERT_EQ(nt::pnp::StartBus(testbus::kName, testbus::Entry, &m_BusPdo), STATUS_SUCCESS);
    m_Children = nt::pnp::Children(m_BusPdo);
    ASSERT_FALSE(m_Children.empty());
    ASSERT_EQ(nt::io::Open("\\Device\\NvSerTest0", &m_Handle), STATUS_SUCCESS);
    m_Port = Port(0);
    ASSERT_NE(m_Port, nullptr);
  }
  void TearDown() override {
    if (m_Handle != nullptr) nt::io::Close(m_Handle);
    SystemTest::TearDown();
  }

  static NTSTATUS Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path) { return KDriverEntry(Driver, Path); }

  TestPort *Port(size_t Child) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(m_Children[Child]);
    if (top == m_Children[Child]) return nullptr;
    return static_cast<TestPort *>((KDevice *)top->DeviceExtension);
  }

  NTSTATUS Control(ULONG Code, const void *In, ULONG InLength, void *Out, ULONG OutLength,
                   ULONG_PTR *Information = nullptr, HANDLE Handle = nullptr) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status =
        nt::io::DeviceIoControl(Handle ? Handle : m_Handle, Code, In, InLength, Out, OutLength, &io);
    if (Information != nullptr) *Information = io.Information;
    return status;
  }
  template <typename T>
  NTSTATUS Set(ULONG Code, const T &Value) {
    return Control(Code, &Value, sizeof(T), nullptr, 0);
  }
  void Timeouts(ULONG Interval, ULONG Multiplier, ULONG Constant) {
    SERIAL_TIMEOUTS t{Interval, Multiplier, Constant, 0, 0};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, t), STATUS_SUCCESS);
  }
  void StartRead(Pending *P, ULONG Length, HANDLE Handle = nullptr) {
    P->Returned = nt::io::Read(Handle ? Handle : m_Handle, P->Buffer, Length, &P->Io, &P->Event);
  }
  void StartControl(Pending *P, ULONG Code, const void *In, ULONG InLength, ULONG OutLength) {
    P->Returned = nt::io::DeviceIoControl(m_Handle, Code, In, InLength, P->Buffer, OutLength, &P->Io, &P->Event);
  }

  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_BusPdo = nullptr;
  std::vector<PDEVICE_OBJECT> m_Children;
  HANDLE m_Handle = nullptr;
  TestPort *m_Port = nullptr;
};

}  // namespace porttest

DECLARE_KDRIVER(porttest::TestDriver)
