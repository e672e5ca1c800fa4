/*
 * Power: pass-down of power IRPs, the power state the kernel keeps per
 * device, and power IRPs requested by a driver. Every PoStartNextPowerIrp
 * and PoCallDriver is recorded in order for tests.
 */
#include <mutex>

#include "io/iop.h"

namespace {

std::mutex g_PowerLock;
std::vector<IOP_POWER_EVENT> g_PowerEvents; /* guarded by g_PowerLock */

void Record(IOP_POWER_EVENT::KindOf Kind, PIRP Irp, PDEVICE_OBJECT Device, UCHAR Minor) {
  std::lock_guard<std::mutex> guard(g_PowerLock);
  g_PowerEvents.push_back(IOP_POWER_EVENT{Kind, Irp, Device, Minor});
}

struct PowerRequest {
  PDEVICE_OBJECT Device; /* referenced until the callback has run */
  UCHAR MinorFunction;
  POWER_STATE State;
  PREQUEST_POWER_COMPLETE Completion;
  PVOID Context;
};

void PowerRequestDone(PIRP Irp, PVOID Context) {
  auto *request = (PowerRequest *)Context;
  if (request->Completion != NULL) {
    IO_STATUS_BLOCK status = Irp->IoStatus;
    KiDriverScope scope(request->Device->DriverObject);
    request->Completion(request->Device, request->MinorFunction, request->State, request->Context, &status);
  }
  ObDereferenceObject(request->Device);
  delete request;
}

}  // namespace

VOID PoStartNextPowerIrp(PIRP Irp) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  Record(IOP_POWER_EVENT::StartNextPowerIrp, Irp, NULL, IoGetCurrentIrpStackLocation(Irp)->MinorFunction);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  Record(IOP_POWER_EVENT::CallDriver, Irp, DeviceObject, IoGetNextIrpStackLocation(Irp)->MinorFunction);
  return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  PDEVOBJ_EXTENSION x = DeviceObject->DeviceObjectExtension;
  POWER_STATE old;
  std::lock_guard<std::mutex> guard(g_PowerLock);
  if (Type == SystemPowerState) {
    old.SystemState = x->SystemPowerState;
    x->SystemPowerState = State.SystemState;
  } else {
    old.DeviceState = x->DevicePowerState;
    x->DevicePowerState = State.DeviceState;
  }
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
  KiCheckIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  auto *request = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  IOP_REQUEST r;
  r.MajorFunction = IRP_MJ_POWER;
  r.MinorFunction = MinorFunction;
  r.DeviceObject = top;
  r.FinalRoutine = PowerRequestDone;
  r.FinalContext = request;
  PIRP irp = IopBuildRequest(r);
  if (irp == NULL) {
    delete request;
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ObReferenceObject(DeviceObject);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = PowerState;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (Irp != NULL) *Irp = irp;
  PoCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}

std::vector<IOP_POWER_EVENT> IopPowerEvents() {
  std::lock_guard<std::mutex> guard(g_PowerLock);
  return g_PowerEvents;
}

void IopClearPowerEvents() {
  std::lock_guard<std::mutex> guard(g_PowerLock);
  g_PowerEvents.clear();
}

void IopPowerShutdown() { IopClearPowerEvents(); }
