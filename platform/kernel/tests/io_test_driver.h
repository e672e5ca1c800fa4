/*
 * A small test driver for the I/O tests: one driver object whose dispatch
 * routine hands every IRP to a per-device handler (a lambda), and a record
 * of what each device was sent. Devices it creates are detached and deleted
 * when it goes.
 */
#pragma once

#include <gtest/gtest.h>
#include <nt/system.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/iop.h"

namespace iotest {

constexpr LONGLONG kLimit100ns = -10LL * 1000 * 1000 * 10; /* 10 s: only a broken run waits this long */

inline NTSTATUS WaitLimit(PVOID Object) {
  LARGE_INTEGER t;
  t.QuadPart = kLimit100ns;
  return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &t);
}

inline std::u16string U(const char *s) {
  std::u16string out;
  for (; *s; ++s) out += (char16_t)*s;
  return out;
}

/* A UNICODE_STRING that owns its text. */
struct Name {
  std::u16string Text;
  UNICODE_STRING String;
  explicit Name(const char *s) : Text(U(s)) { String = IopView(Text); }
  Name(const Name &other) : Text(other.Text) { String = IopView(Text); }
};

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestDriver;
struct Extension {
  Handler *OnIrp;
  int Id;
  TestDriver *Owner;
};

struct Call {
  int Device;
  UCHAR Major;
  UCHAR Minor;
};

class TestDriver {
 public:
  explicit TestDriver(const char *name = "\\Driver\\IoTest") {
    Name n(name);
    EXPECT_EQ(IopCreateDriverObject(&n.String, NULL, &Driver), STATUS_SUCCESS);
    for (auto &entry : Driver->MajorFunction) entry = Dispatch;
  }
  ~TestDriver() {
    /* Top-most devices first: detach each from what it was attached to. */
    for (auto it = m_Devices.rbegin(); it != m_Devices.rend(); ++it) {
      PDEVICE_OBJECT lower = IoGetLowerDeviceObject(*it);
      if (lower != NULL) {
        IoDetachDevice(lower);
        ObDereferenceObject(lower);
      }
    }
    for (auto it = m_Devices.rbegin(); it != m_Devices.rend(); ++it) IoDeleteDevice(*it);
    IopDeleteDriverObject(Driver);
  }

  /* Completes every IRP with Status unless given a handler. */
  PDEVICE_OBJECT Create(const char *name, Handler handler, ULONG flags = 0, BOOLEAN exclusive = FALSE) {
    PDEVICE_OBJECT device = NULL;
    Name n(name ? name : "");
    NTSTATUS status = IoCreateDevice(Driver, sizeof(Extension), name ? &n.String : NULL, FILE_DEVICE_UNKNOWN, 0,
                                     exclusive, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return NULL;
    m_Handlers.push_back(std::make_unique<Handler>(std::move(handler)));
    auto *x = (Extension *)device->DeviceExtension;
    x->OnIrp = m_Handlers.back().get();
    x->Id = (int)m_Devices.size();
    x->Owner = this;
    device->Flags |= flags;
    m_Devices.push_back(device);
    return device;
  }

  /* Deletes a device before the driver goes (it must be detached). */
  void Delete(PDEVICE_OBJECT device) {
    for (auto it = m_Devices.begin(); it != m_Devices.end(); ++it)
      if (*it == device) {
        m_Devices.erase(it);
        break;
      }
    IoDeleteDevice(device);
  }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Calls;
  }

  static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
  }

  PDRIVER_OBJECT Driver = NULL;

 private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    auto *x = (Extension *)Device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    {
      std::lock_guard<std::mutex> guard(x->Owner->m_Lock);
      x->Owner->m_Calls.push_back(Call{x->Id, sp->MajorFunction, sp->MinorFunction});
    }
    return (*x->OnIrp)(Device, Irp);
  }

  std::mutex m_Lock;
  std::vector<Call> m_Calls;
  std::vector<PDEVICE_OBJECT> m_Devices;
  std::vector<std::unique_ptr<Handler>> m_Handlers;
};

inline Handler CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
  return [status, information](PDEVICE_OBJECT, PIRP Irp) { return TestDriver::Complete(Irp, status, information); };
}

/* Boots a fresh system for each test. */
class IoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }
};

}  // namespace iotest
