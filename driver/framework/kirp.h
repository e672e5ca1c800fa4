/*
 * KIrp: a copyable view of one I/O request packet. It holds the pointer and
 * owns nothing; handlers take it by value.
 */
#pragma once

#include "kplatform.h"

class KPnpDevice;

enum EStackLocation { CURRENT = 0, NEXT = 1 };

class KIrp {
 public:
  KIrp(PIRP Irp = NULL) : m_Irp(Irp) {}

  BOOLEAN IsNull() const { return m_Irp == NULL; }
  operator PIRP() const { return m_Irp; }

  /* Parameters of a stack location (references into the request). */
  UCHAR &MajorFunction(EStackLocation Where);
  UCHAR &MinorFunction(EStackLocation Where);
  /* Read length, write length and control output length share one word. */
  ULONG &ReadSize(EStackLocation Where);
  ULONG &WriteSize(EStackLocation Where);
  ULONG &IoctlOutputBufferSize(EStackLocation Where);
  /* Control input length; for power requests the power-state type. */
  ULONG &IoctlInputBufferSize(EStackLocation Where);
  /* Control code; for power requests the power state. */
  ULONG &IoctlCode(EStackLocation Where);
  PDEVICE_OBJECT &DeviceObject(EStackLocation Where);
  PFILE_OBJECT &FileObject(EStackLocation Where);

  /* Request-wide fields. */
  NTSTATUS &Status() { return m_Irp->IoStatus.Status; }
  ULONG_PTR &Information() { return m_Irp->IoStatus.Information; }
  PVOID &SystemBuffer() { return m_Irp->AssociatedIrp.SystemBuffer; }
  PVOID &UserBuffer() { return m_Irp->UserBuffer; }
  KIRQL &CancelIrql() { return m_Irp->CancelIrql; }

  VOID MarkPending();
  VOID MarkPending(NTSTATUS Status);
  PDRIVER_CANCEL SetCancelRoutine(PDRIVER_CANCEL Routine);
  BOOLEAN WasCanceled(BOOLEAN TakeCancelLock);
  VOID CopyParametersDown();
  VOID SkipLocation();
  VOID SetCompletionRoutine(PIO_COMPLETION_ROUTINE Routine, PVOID Context, BOOLEAN InvokeOnSuccess = TRUE,
                            BOOLEAN InvokeOnError = TRUE, BOOLEAN InvokeOnCancel = TRUE);

  NTSTATUS Complete(NTSTATUS Status, CCHAR Boost = IO_NO_INCREMENT);
  VOID StartNextPowerIrp();

  /* Completion of a request of a PnP device: releases the device's
     outstanding-request count first (defined with the PnP device base). */
  NTSTATUS PnpComplete(KPnpDevice *Device, NTSTATUS Status, CCHAR Boost = IO_NO_INCREMENT);
  NTSTATUS PnpComplete(NTSTATUS Status, CCHAR Boost = IO_NO_INCREMENT);

 protected:
  PIO_STACK_LOCATION Location(EStackLocation Where);

  PIRP m_Irp;
};
