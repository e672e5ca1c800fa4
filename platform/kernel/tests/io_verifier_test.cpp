/* Each I/O verifier rule, broken by a small bad driver, stops the run. */
#include <thread>

#include "io_test_driver.h"

using namespace iotest;

namespace {

class IoVerifier : public IoTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    IoTest::SetUp();
  }

  /* An IRP to device, built as the I/O manager would, sent. */
  static NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ) {
    IO_STATUS_BLOCK iosb;
    IOP_REQUEST r;
    r.MajorFunction = major;
    r.DeviceObject = device;
    r.Iosb = &iosb;
    PIRP irp = IopBuildRequest(r);
    return IoCallDriver(device, irp);
  }
};

TEST_F(IoVerifier, CompletingAnIrpTwiceStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
          Irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(Irp, IO_NO_INCREMENT);
          IoCompleteRequest(Irp, IO_NO_INCREMENT); /* the I/O manager freed it in the first */
          return STATUS_SUCCESS;
        });
        Send(device);
      },
      "STOP: 0x00000044.*Rule: IRP completed twice: IoCompleteRequest of an IRP that was already completed and freed");
}

TEST_F(IoVerifier, CompletingADriverAllocatedIrpTwiceStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
          Irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(Irp, IO_NO_INCREMENT);
          IoCompleteRequest(Irp, IO_NO_INCREMENT); /* still allocated: its completion reached the top */
          return STATUS_SUCCESS;
        });
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(device, irp);
      },
      "STOP: 0x00000044.*Rule: IRP completed twice: IoCompleteRequest of an IRP whose completion already reached");
}

TEST_F(IoVerifier, CompletingWithACancelRoutineSetStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
          IoSetCancelRoutine(Irp, [](PDEVICE_OBJECT, PIRP Irp) { IoReleaseCancelSpinLock(Irp->CancelIrql); });
          return TestDriver::Complete(Irp, STATUS_SUCCESS);
        });
        Send(device);
      },
      "STOP: 0x000000C9.*Rule: IoCompleteRequest called with a cancel routine still set");
}

TEST_F(IoVerifier, CompletingWithStatusPendingStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
          IoMarkIrpPending(Irp);
          TestDriver::Complete(Irp, STATUS_PENDING);
          return STATUS_PENDING;
        });
        Send(device);
      },
      "STOP: 0x000000C9.*Rule: IoCompleteRequest called with STATUS_PENDING");
}

/* The IRP was completed (and freed) before the dispatch routine returned. */
TEST_F(IoVerifier, PendingReturnedForAnUnmarkedIrpCompletedInlineStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
          TestDriver::Complete(Irp, STATUS_SUCCESS);
          return STATUS_PENDING;
        });
        Send(device);
      },
      "STOP: 0x000000C9.*Rule: dispatch routine returned STATUS_PENDING for an IRP it did not mark pending");
}

/* The dispatch routine has returned; the rule is found when completion
 * comes by, on another thread. */
TEST_F(IoVerifier, PendingReturnedForAnUnmarkedIrpCompletedLaterStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PIRP held = NULL;
        PDEVICE_OBJECT device = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
          held = Irp;
          return STATUS_PENDING;
        });
        Send(device);
        std::thread([&] { TestDriver::Complete(held, STATUS_SUCCESS); }).join();
      },
      "STOP: 0x000000C9.*Rule: dispatch routine returned STATUS_PENDING for an IRP it did not mark pending");
}

TEST_F(IoVerifier, MarkedAndPassedDownIsNotAViolation) {
  /* The two sound ways of returning STATUS_PENDING do not stop. */
  TestDriver driver;
  std::vector<std::thread> threads;
  PDEVICE_OBJECT lower = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IoMarkIrpPending(Irp);
    threads.emplace_back([Irp] { TestDriver::Complete(Irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  });
  PDEVICE_OBJECT upper = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp); /* no routine: the I/O manager marks the upper location */
    return IoCallDriver(lower, Irp);
  });
  IoAttachDeviceToDeviceStack(upper, lower);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  IOP_REQUEST r;
  r.MajorFunction = IRP_MJ_READ;
  r.DeviceObject = upper;
  r.Event = &done;
  r.Iosb = &iosb;
  EXPECT_EQ(IoCallDriver(upper, IopBuildRequest(r)), STATUS_PENDING);
  ASSERT_EQ(WaitLimit(&done), STATUS_WAIT_0);
  for (auto &t : threads) t.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(IoVerifier, DispatchReturningAtAnotherIrqlStops) {
  EXPECT_DEATH(
      {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old); /* and forgets to lower it */
          return TestDriver::Complete(Irp, STATUS_SUCCESS);
        });
        Send(device);
      },
      "STOP: 0x000000C9.*Rule: dispatch routine returned at another IRQL than it was called at");
}

TEST_F(IoVerifier, IrpRoutinesAboveDispatchLevelStop) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_SUCCESS));
  struct Case {
    const char *Rule;
    std::function<void(PIRP)> Call;
  } cases[] = {
      {"IofCallDriver called at IRQL 13", [&](PIRP Irp) { IoCallDriver(device, Irp); }},
      {"IofCompleteRequest called at IRQL 13", [&](PIRP Irp) { IoCompleteRequest(Irp, IO_NO_INCREMENT); }},
      {"IoCancelIrp called at IRQL 13", [&](PIRP Irp) { IoCancelIrp(Irp); }},
  };
  for (const Case &c : cases) {
    EXPECT_DEATH(
        {
          PIRP irp = IoAllocateIrp(1, FALSE); /* pool is not to be had above DISPATCH_LEVEL */
          IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
          KIRQL old;
          KeRaiseIrql(CLOCK_LEVEL, &old);
          c.Call(irp);
        },
        c.Rule);
  }
}

TEST_F(IoVerifier, PassiveOnlyRoutinesAbovePassiveStop) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_SUCCESS));
  Name name("\\Device\\Late"), link("\\??\\Late");
  struct Case {
    const char *Rule;
    std::function<void()> Call;
  } cases[] = {
      {"IoCreateDevice called at IRQL 2", [&] {
         PDEVICE_OBJECT d;
         IoCreateDevice(driver.Driver, 0, &name.String, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
       }},
      {"IoDeleteDevice called at IRQL 2", [&] { IoDeleteDevice(device); }},
      {"IoCreateSymbolicLink called at IRQL 2", [&] { IoCreateSymbolicLink(&link.String, &name.String); }},
      {"IoDeleteSymbolicLink called at IRQL 2", [&] { IoDeleteSymbolicLink(&link.String); }},
  };
  for (const Case &c : cases) {
    EXPECT_DEATH(
        {
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          c.Call();
        },
        c.Rule);
  }
}

TEST_F(IoVerifier, MisusedIrpsAndDevicesStop) {
  struct Case {
    const char *Rule;
    std::function<void(TestDriver &)> Call;
  } cases[] = {
      {"STOP: 0x000000C9.*IoCompleteRequest of an IRP that no driver holds",
       [](TestDriver &) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IoCompleteRequest(irp, IO_NO_INCREMENT); /* never sent */
       }},
      {"STOP: 0x00000035.*no stack location left",
       [](TestDriver &d) {
         PDEVICE_OBJECT lower = d.Create(NULL, CompleteWith(STATUS_SUCCESS));
         PDEVICE_OBJECT upper = d.Create(NULL, [lower](PDEVICE_OBJECT, PIRP Irp) {
           IoCopyCurrentIrpStackLocationToNext(Irp);
           return IoCallDriver(lower, Irp);
         });
         PIRP irp = IoAllocateIrp(1, FALSE); /* one too few for two devices */
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoCallDriver(upper, irp);
       }},
      {"STOP: 0x000000C9.*IoDeleteDevice of a device still attached to a lower device",
       [](TestDriver &d) {
         PDEVICE_OBJECT lower = d.Create(NULL, CompleteWith(STATUS_SUCCESS));
         PDEVICE_OBJECT upper = d.Create(NULL, CompleteWith(STATUS_SUCCESS));
         IoAttachDeviceToDeviceStack(upper, lower);
         d.Delete(upper);
       }},
      {"STOP: 0x000000C9.*IoCancelIrp called with IRP .* that was already completed and freed",
       [](TestDriver &d) {
         PDEVICE_OBJECT device = d.Create(NULL, CompleteWith(STATUS_SUCCESS));
         IO_STATUS_BLOCK iosb;
         PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, NULL, 0, NULL, &iosb);
         IoCallDriver(device, irp);
         IoCancelIrp(irp);
       }},
  };
  for (const Case &c : cases) {
    EXPECT_DEATH(
        {
          TestDriver driver;
          c.Call(driver);
        },
        c.Rule);
  }
}

}  // namespace
