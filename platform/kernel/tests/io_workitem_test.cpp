/* Work items. */
#include <atomic>
#include <thread>

#include "io_test_driver.h"

using namespace iotest;

namespace {

using WorkItems = IoTest;

struct WorkRun {
  KEVENT Done;
  PDEVICE_OBJECT Device = NULL;
  KIRQL Irql = 0xFF;
  LONG DeviceRefs = 0;
  PDRIVER_OBJECT Charged = NULL;
  std::thread::id Thread;
  int Times = 0;
  PIO_WORKITEM Item = NULL;
  bool FreeItself = false;
};

VOID Routine(PDEVICE_OBJECT Device, PVOID Context) {
  auto *run = (WorkRun *)Context;
  run->Device = Device;
  run->Irql = KeGetCurrentIrql();
  run->DeviceRefs = ObpReferenceCount(Device);
  run->Charged = KiCurrentDriver();
  run->Thread = std::this_thread::get_id();
  if (++run->Times == 1 && run->FreeItself) {
    IoQueueWorkItem(run->Item, Routine, DelayedWorkQueue, run); /* once more, from inside */
    return;
  }
  if (run->FreeItself) IoFreeWorkItem(run->Item);
  KeSetEvent(&run->Done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItems, RunOnAWorkerAtPassiveWithTheDeviceHeld) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_SUCCESS));
  LONG refs = ObpReferenceCount(device);
  WorkRun run;
  KeInitializeEvent(&run.Done, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old); /* queueing is allowed at DISPATCH_LEVEL */
  IoQueueWorkItem(item, Routine, DelayedWorkQueue, &run);
  KeLowerIrql(old);
  ASSERT_EQ(WaitLimit(&run.Done), STATUS_WAIT_0);
  EXPECT_EQ(run.Device, device);
  EXPECT_EQ(run.Irql, PASSIVE_LEVEL);
  EXPECT_EQ(run.DeviceRefs, refs + 1);
  EXPECT_EQ(run.Charged, driver.Driver);
  EXPECT_NE(run.Thread, std::this_thread::get_id());
  IoFreeWorkItem(item);
}

TEST_F(WorkItems, ARoutineMayRequeueAndFreeItsOwnItem) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.Create(NULL, CompleteWith(STATUS_SUCCESS));
  WorkRun run;
  run.FreeItself = true;
  KeInitializeEvent(&run.Done, NotificationEvent, FALSE);
  run.Item = IoAllocateWorkItem(device);
  IoQueueWorkItem(run.Item, Routine, DelayedWorkQueue, &run);
  ASSERT_EQ(WaitLimit(&run.Done), STATUS_WAIT_0);
  EXPECT_EQ(run.Times, 2);
}

}  // namespace
