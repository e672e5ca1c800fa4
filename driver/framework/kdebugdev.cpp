#include "kdebugdev.h"
#include "klower.h"

#define KUNIT "kdebugdev"

static VOID KDebugEmptyNotify(ULONG EventCode, PDRIVER_OBJECT DriverObject, ULONG_PTR Argument1,
                              ULONG_PTR Argument2, ULONG_PTR Argument3, ULONG_PTR Argument4, ULONG_PTR Argument5,
                              ULONG_PTR Argument6) {}

/* Written at entry and unload only, before and after every report. */
static KDEBUG_REGISTRATION s_Block = {0, 0, KDebugEmptyNotify, 0, 0, NULL, 0};
static BOOLEAN s_Initialized = FALSE;
static NTSTATUS s_Result = STATUS_UNSUCCESSFUL;

static NTSTATUS Register(PDRIVER_OBJECT DriverObject) {
  RtlZeroMemory(&s_Block, sizeof(s_Block));
  s_Block.DriverObject = DriverObject;
  s_Block.Notify = KDebugEmptyNotify;
  /* The tool answers into a block of its own; the reports of the lower
     device's steps (the call's end in particular) must not reach an entry
     that is not yet checked. */
  KDEBUG_REGISTRATION answer = s_Block;

  KLowerDevice tool;
  NTSTATUS status = tool.Initialize(KDEBUG_TOOL_DEVICE_NAME, FILE_READ_DATA);
  if (!NT_SUCCESS(status)) return status;

  PIRP irp = IoAllocateIrp(tool.DeviceObject()->StackSize, FALSE);
  if (irp == NULL) {
    tool.Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = 0;
  next->Parameters.DeviceIoControl.IoControlCode = KDEBUG_IOCTL_REGISTER;
  next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(answer);
  next->Parameters.DeviceIoControl.InputBufferLength = 0;
  next->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
  next->FileObject = tool.FileObject();
  irp->UserBuffer = &answer;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  status = tool.CallWaitComplete(KIrp(irp), TRUE, NULL);
  IoFreeIrp(irp);

  if (NT_SUCCESS(status) &&
      (answer.Notify == NULL || answer.Revision < KDEBUG_MINIMUM_REVISION || answer.Revision >= 0x7FFFFFFFUL))
    status = STATUS_REVISION_MISMATCH;
  if (NT_SUCCESS(status)) {
    s_Block = answer;
    s_Block.DriverObject = DriverObject;
  }
  tool.Release();
  return status;
}

NTSTATUS KDebugHookInitialize(PDRIVER_OBJECT DriverObject) {
  if (s_Initialized && s_Block.DriverObject == DriverObject) return s_Result;
  s_Result = Register(DriverObject);
  s_Initialized = TRUE;
  return s_Result;
}

VOID KDebugHookTerminate() {
  RtlZeroMemory(&s_Block, sizeof(s_Block));
  s_Block.Notify = KDebugEmptyNotify;
  s_Initialized = FALSE;
  s_Result = STATUS_UNSUCCESSFUL;
}

BOOLEAN KDebugHookActive() { return s_Block.Notify != KDebugEmptyNotify; }

VOID KDebugReport(ULONG Event, ULONG_PTR Argument1, ULONG_PTR Argument2, ULONG_PTR Argument3, ULONG_PTR Argument4,
                  ULONG_PTR Argument5, ULONG_PTR Argument6) {
  KDEBUG_NOTIFY notify = s_Block.Notify;
  if (notify == KDebugEmptyNotify) return;
  notify(s_Block.BaseEventCode + Event, s_Block.DriverObject, Argument1, Argument2, Argument3, Argument4, Argument5,
         Argument6);
}
