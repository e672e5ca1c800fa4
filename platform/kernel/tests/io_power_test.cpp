/* Power IRPs: pass-down, the recorded order, power state, requested IRPs. */
#include "io_test_driver.h"

using namespace iotest;

namespace {

using Power = IoTest;

TEST_F(Power, StartNextPowerIrpAndPoCallDriverAreRecordedInOrder) {
  TestDriver driver;
  PDEVICE_OBJECT pdo = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    return TestDriver::Complete(Irp, STATUS_SUCCESS);
  });
  PDEVICE_OBJECT fdo = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return PoCallDriver(pdo, Irp);
  });
  IoAttachDeviceToDeviceStack(fdo, pdo);
  IopClearPowerEvents();
  IO_STATUS_BLOCK iosb = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_POWER, fdo, NULL, 0, NULL, &event, &iosb);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MinorFunction = IRP_MN_SET_POWER;
  sp->Parameters.Power.Type = DevicePowerState;
  sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
  EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  auto events = IopPowerEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].Kind, IOP_POWER_EVENT::StartNextPowerIrp); /* the FDO, before passing it down */
  EXPECT_EQ(events[1].Kind, IOP_POWER_EVENT::CallDriver);
  EXPECT_EQ(events[1].DeviceObject, pdo);
  EXPECT_EQ(events[1].MinorFunction, IRP_MN_SET_POWER);
  EXPECT_EQ(events[2].Kind, IOP_POWER_EVENT::StartNextPowerIrp); /* the PDO */
  EXPECT_EQ(events[0].Irp, irp);
}

TEST_F(Power, SetPowerStateReturnsThePreviousState) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_SUCCESS));
  POWER_STATE d3, s3;
  d3.DeviceState = PowerDeviceD3;
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d3).DeviceState, PowerDeviceUnspecified);
  EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d3).DeviceState, PowerDeviceD3);
  EXPECT_EQ(PoSetPowerState(device, SystemPowerState, s3).SystemState, PowerSystemWorking);
}

TEST_F(Power, RequestedPowerIrpGoesToTheTopAndCallsBack) {
  TestDriver driver;
  PDEVICE_OBJECT pdo = driver.Create(NULL, [](PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_POWER);
    EXPECT_EQ(sp->Parameters.Power.State.DeviceState, PowerDeviceD0);
    EXPECT_EQ(Irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    return TestDriver::Complete(Irp, STATUS_SUCCESS);
  });
  PDEVICE_OBJECT fdo = driver.Create(NULL, [&](PDEVICE_OBJECT, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(pdo, Irp);
  });
  IoAttachDeviceToDeviceStack(fdo, pdo);
  struct Result {
    bool Called = false;
    PDEVICE_OBJECT Device = NULL;
    UCHAR Minor = 0xFF;
    NTSTATUS Status = 0;
  } result;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PIRP irp = NULL;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0,
                              [](PDEVICE_OBJECT Device, UCHAR Minor, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK Io) {
                                auto *r = (Result *)Context;
                                r->Called = true;
                                r->Device = Device;
                                r->Minor = Minor;
                                r->Status = Io->Status;
                              },
                              &result, &irp),
            STATUS_PENDING);
  EXPECT_NE(irp, nullptr);
  EXPECT_TRUE(result.Called);
  EXPECT_EQ(result.Device, pdo);
  EXPECT_EQ(result.Minor, IRP_MN_SET_POWER);
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  auto calls = driver.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Device, 1); /* the top first */
  EXPECT_EQ(PoRequestPowerIrp(pdo, 0x07, d0, NULL, NULL, NULL), STATUS_INVALID_PARAMETER_2);
}

}  // namespace
