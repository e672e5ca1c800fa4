/*
 * NERAVOXDevice: the UART registers, the interrupt callback and its two
 * deferred calls, the write path, the read path and the polling thread.
 */
#define KUNIT "neravoxdevice_io"
#include "neravoxdevice.h"
#include "ktrace.h"

/* 'READ' */
#define NV_READ_TAG ((ULONG)'R' | ((ULONG)'E' << 8) | ((ULONG)'A' << 16) | ((ULONG)'D' << 24))

/* A read that has to wait for bytes sleeps on its events rather than
   spinning; this bounds each sleep, 10 ms in 100-ns units. */
#define NV_READ_POLL_PERIOD 100000LL
/* The polling thread's period, 10 ms. */
#define NV_THREAD_PERIOD 100000LL
/* The transmitter is given this many character times at the programmed
   rate to drain (more than the deepest FIFO and the shift register), plus
   NV_LSR_MARGIN for a loaded host, before a write gives up on it. */
#define NV_LSR_CHARACTERS 256
#define NV_LSR_MARGIN 20000000LL /* 2 s */

/* ---- registers ---- */

UCHAR NERAVOXDevice::ReadRegister(ULONG Index) {
  if (m_BoardInfo.RegisterBase == NULL) return 0;
  return (UCHAR)(READ_REGISTER_ULONG((PULONG)(m_BoardInfo.RegisterBase + (m_RegIndex + Index) * 4)) & 0xFF);
}

VOID NERAVOXDevice::WriteRegister(ULONG Index, UCHAR Value) {
  if (m_BoardInfo.RegisterBase == NULL) return;
  WRITE_REGISTER_ULONG((PULONG)(m_BoardInfo.RegisterBase + (m_RegIndex + Index) * 4), (ULONG)Value);
  KeMemoryBarrier();
}

/* Reading LSR clears its overrun bit, whichever path reads it (the
   receive loop, the transmit polls, the open): characters the UART had to
   drop are lost as surely as those the ring refuses, and both are counted
   as overruns. */
UCHAR NERAVOXDevice::ReadLsr() {
  UCHAR lsr = ReadRegister(5);
  if (lsr & 0x02) {
    InterlockedIncrement((LONG volatile *)&m_PerfStats.SerialOverrunErrorCount);
    InterlockedOr((LONG volatile *)&m_Errors, SERIAL_ERROR_OVERRUN);
  }
  return lsr;
}

VOID NERAVOXDevice::WritePmc(ULONG Value) {
  if (m_BoardInfo.PmcBase == NULL) return;
  WRITE_REGISTER_ULONG((PULONG)(m_BoardInfo.PmcBase + 0x40 + m_Unit * 4), Value);
  KeMemoryBarrier();
}

static BOOLEAN IsKv50xClass(ULONG ProductId) { return ProductId == 0x2B71 || ProductId == 0x2B72; }
static BOOLEAN IsPmcClass(ULONG ProductId) {
  return ProductId == 0x4D58 || (ProductId >= 0x4E58 && ProductId <= 0x4E5C);
}

/* Every product class switches its line driver in RS-485 and RS-422 and
   leaves it alone in RS-232. */
BOOLEAN NERAVOXDevice::SwitchesTransmitter() {
  return m_PortMode == BUS_PORT_MODE_RS485 || m_PortMode == BUS_PORT_MODE_RS422;
}

VOID NERAVOXDevice::TransmitterOn() {
  if (!SwitchesTransmitter()) return;
  if (IsKv50xClass(m_ProductId)) {
    WriteRegister(4, (UCHAR)(ReadRegister(4) & ~0x02));
  } else if (IsPmcClass(m_ProductId)) {
    WritePmc(1);
  } else if (m_PortMode == BUS_PORT_MODE_RS485) {
    WriteRegister(10, 1);
    WriteRegister(11, 1);
  } else {
    WriteRegister(9, 1);
  }
}

BOOLEAN NERAVOXDevice::WaitForLsr(UCHAR Bits, ULONG Characters) {
  if ((ReadLsr() & Bits) == Bits) return TRUE;
  /* One character: start bit, data bits, parity, stop bits. */
  ULONG bits = 1 + 5 + (m_LineControl & 0x03) + ((m_LineControl & 0x08) ? 1 : 0) + ((m_LineControl & 0x04) ? 2 : 1);
  ULONG rate = m_BaudRate != 0 ? m_BaudRate : 9600;
  ULONGLONG character = ((ULONGLONG)bits * 10000000ULL + rate - 1) / rate;
  ULONGLONG deadline = KeQueryInterruptTime() + character * Characters + NV_LSR_MARGIN;
  for (;;) {
    if ((ReadLsr() & Bits) == Bits) return TRUE;
    if (KeQueryInterruptTime() > deadline) return FALSE;
    YieldProcessor();
  }
}

BOOLEAN NERAVOXDevice::TransmitterOff(BOOLEAN Wait) {
  if (!SwitchesTransmitter()) return TRUE;
  BOOLEAN drained = Wait ? WaitForLsr(0x40, NV_LSR_CHARACTERS) : FALSE;
  if (IsKv50xClass(m_ProductId)) {
    WriteRegister(4, (UCHAR)(ReadRegister(4) | 0x02));
  } else if (IsPmcClass(m_ProductId)) {
    WritePmc(0);
  } else if (m_PortMode == BUS_PORT_MODE_RS485) {
    WriteRegister(10, 0);
    WriteRegister(11, 0);
  } else {
    WriteRegister(9, 0);
  }
  return drained;
}

/* ---- interrupt events ---- */

BOOLEAN NERAVOXDevice::InterruptRoutine(PVOID Context, UCHAR InterruptId) {
  return static_cast<NERAVOXDevice *>(Context)->InterruptCallback(InterruptId);
}

BOOLEAN NERAVOXDevice::InterruptCallback(UCHAR InterruptId) {
  DbgPrint("PN [%02d] : Isr Iir = 0x%x\n", m_Unit, InterruptId);
  switch (InterruptId) {
    case SR_IIR_THR_EMPTY:
      DbgPrint("PN : [%02d], SR_IIR_THR_EMPTY ++", m_Unit);
      KeInsertQueueDpc(&m_SendDpc, NULL, NULL);
      DbgPrint("PN : [%02d], SR_IIR_THR_EMPTY --", m_Unit);
      break;
    case SR_IIR_DATA_RECEIVED:
      DbgPrint("PN : [%02d], SR_IIR_DATA_RECEIVED ++", m_Unit);
      for (;;) {
        UCHAR lsr = ReadLsr();
        if (!(lsr & 0x01)) break;
        UCHAR c = ReadRegister(0);
        if (WriteCircularBuffer(&m_RxBuffer, c) == STATUS_BUFFER_TOO_SMALL) {
          InterlockedIncrement((LONG volatile *)&m_PerfStats.SerialOverrunErrorCount);
          InterlockedOr((LONG volatile *)&m_Errors, SERIAL_ERROR_OVERRUN);
        }
      }
      KeInsertQueueDpc(&m_ReceivedDpc, NULL, NULL);
      DbgPrint("PN : [%02d], SR_IIR_DATA_RECEIVED --", m_Unit);
      break;
    case SR_IIR_ERROR:
      DbgPrint("PN : [%02d], SR_IIR_ERROR (in ClientDriver)\n", m_Unit);
      break;
    default:
      break;
  }
  DbgPrint("Isr Out -- \n");
  return TRUE;
}

VOID NERAVOXDevice::SendDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  static_cast<NERAVOXDevice *>(Context)->NeravoxIsrSendDpc(Argument1, Argument2);
}

VOID NERAVOXDevice::ReceivedDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  static_cast<NERAVOXDevice *>(Context)->NeravoxIsrReceivedDpc(Argument1, Argument2);
}

VOID NERAVOXDevice::NeravoxIsrSendDpc(PVOID Argument1, PVOID Argument2) {
  DbgPrint("PN : [%02d], %s ++\n", m_Unit, "NERAVOXDevice::NeravoxIsrSendDpc");
  WriteRegister(1, (UCHAR)(ReadRegister(1) & ~0x02));
  DbgPrint("PN : [%02d], %s -- (TX_Bye)\n", m_Unit, "NERAVOXDevice::NeravoxIsrSendDpc");
}

VOID NERAVOXDevice::NeravoxIsrReceivedDpc(PVOID Argument1, PVOID Argument2) {
  DbgPrint("PN : [%02d], %s++", m_Unit, "NERAVOXDevice::NeravoxIsrReceivedDpc");
  DbgPrint("PN : [%02d], %s--", m_Unit, "NERAVOXDevice::NeravoxIsrReceivedDpc");
}

/* ---- write path ---- */

NTSTATUS NERAVOXDevice::Write(KIrp I) {
  PIRP irp = I;
  DbgPrint("PN : [%02d], %s++\n", m_Unit, "NERAVOXDevice::Write");
  ULONG stored = 0;
  ULONG length = I.WriteSize(CURRENT);
  PUCHAR buffer = (PUCHAR)I.SystemBuffer();
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.Write.ByteOffset.QuadPart != 0 || buffer == NULL || length == 0 || m_TxBuffer.Buffer == NULL) {
    NTSTATUS status = m_TxBuffer.Buffer == NULL && buffer != NULL && length != 0 ? STATUS_INSUFFICIENT_RESOURCES
                                                                                 : STATUS_INVALID_PARAMETER;
    I.Information() = 0;
    status = I.PnpComplete(this, status, IO_SERIAL_INCREMENT);
    if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXDevice::Write--.  IRP %p\n", irp);
    return status;
  }

  I.Status() = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&m_TxLock, &irql);
  while (stored < length) {
    if (NT_SUCCESS(WriteCircularBuffer(&m_TxBuffer, buffer[stored]))) {
      stored++;
      continue;
    }
    KeReleaseSpinLock(&m_TxLock, irql);
    SerialSendByte(I);
    KeAcquireSpinLock(&m_TxLock, &irql);
    if (I.Status() == STATUS_IO_TIMEOUT) break;
  }
  KeReleaseSpinLock(&m_TxLock, irql);
  if (I.Status() != STATUS_IO_TIMEOUT) SerialSendByte(I);

  IoSetCancelRoutine(irp, NULL);
  I.Information() = stored;
  NTSTATUS status = I.Status();
  I.PnpComplete(this, status, IO_SERIAL_INCREMENT);
  DbgPrint("PN : [%02d], %s--\n", m_Unit, "NERAVOXDevice::Write");
  return status;
}

VOID NERAVOXDevice::SerialSendByte(KIrp I) {
  DbgPrint("PN : [%02d], %s ++\n", m_Unit, "NERAVOXDevice::SerialSendByte");
  KIRQL irql;
  KeAcquireSpinLock(&m_TxLock, &irql);
  TransmitterOn();
  KeClearEvent(&m_TxAbortEvent);
  m_PerfStats.TransmittedCount = 0;

  for (;;) {
    if (IsCircularBufferEmpty(&m_TxBuffer)) goto normal_end;
    UCHAR c = 0;
    NTSTATUS taken = ReadCircularBuffer(&m_TxBuffer, &c);
    DbgPrint("PN : [%02d], W: H[0x%x] C[%c] I[%d] W[%d] R[%d] TXCnt[%d] (SerialSendByte) \n", m_Unit, c, c,
             GetCircularBufferCount(&m_TxBuffer), m_TxBuffer.WriteIndex, m_TxBuffer.ReadIndex,
             m_PerfStats.TransmittedCount);
    if (!NT_SUCCESS(taken)) goto normal_end;
    if (m_PerfStats.TransmittedCount % 60 == 0) {
      KeReleaseSpinLock(&m_TxLock, irql);
      DbgPrint("nRtn : %x \n", ReadLsr());
      DbgPrint("m_Unit : %d\n", m_Unit);
      BOOLEAN empty = WaitForLsr(0x20, NV_LSR_CHARACTERS);
      KeAcquireSpinLock(&m_TxLock, &irql);
      if (!empty) goto stuck;
    }
    WriteRegister(0, c);
    m_PerfStats.TransmittedCount++;
    if (KeReadStateEvent(&m_TxAbortEvent)) goto abort;
  }

abort:
  KeClearEvent(&m_TxAbortEvent);
  DbgPrint("PN : [%02d], TX Abort signaled. (SerialSendByte) \n", m_Unit);
  WriteRegister(1, (UCHAR)(ReadRegister(1) & ~0x02));
  DiscardCircularBuffer(&m_TxBuffer);
  WriteRegister(2, 0x15);
  TransmitterOff(TRUE);
  I.Status() = STATUS_CANCELLED;
  KeReleaseSpinLock(&m_TxLock, irql);
  goto bye;

stuck:
  /* The holding register never emptied: the rest of the write is dropped
     and the FIFO reset, so nothing of it leaves later, and a line driver
     that was switched on is released at once. */
  DbgPrint("PN : [%02d], TX stuck: transmitter did not drain. (SerialSendByte) \n", m_Unit);
  DiscardCircularBuffer(&m_TxBuffer);
  WriteRegister(2, 0x15);
  TransmitterOff(FALSE);
  I.Status() = STATUS_IO_TIMEOUT;
  KeReleaseSpinLock(&m_TxLock, irql);
  goto bye;

normal_end: {
  KeReleaseSpinLock(&m_TxLock, irql);
  BOOLEAN announce = SwitchesTransmitter() && (IsPmcClass(m_ProductId) ||
                                               (!IsKv50xClass(m_ProductId) && m_PortMode == BUS_PORT_MODE_RS485));
  if (announce) DbgPrint("PN : [%02d], TxEn(PMC) OFF ++[PORT_MODE_RS485]\n", m_Unit);
  BOOLEAN drained = TransmitterOff(TRUE);
  if (announce) DbgPrint("PN : [%02d], TxEn(PMC) OFF --[PORT_MODE_RS485]\n", m_Unit);
  if (drained) {
    I.Status() = STATUS_SUCCESS;
    DbgPrint("PN : [%02d], %s -- (Normal Complete)\n", m_Unit, "NERAVOXDevice::SerialSendByte");
  } else {
    /* Switched off with characters still in the UART: they are cut off. */
    I.Status() = STATUS_IO_TIMEOUT;
  }
}

bye:
  KeClearEvent(&m_TxAbortEvent);
  DbgPrint("PN : [%02d], %s -- (TX_Bye)\n", m_Unit, "NERAVOXDevice::SerialSendByte");
}

/* ---- read path ---- */

VOID NERAVOXDevice::ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  NERAVOXDevice *port = static_cast<NERAVOXDevice *>((KDevice *)DeviceObject->DeviceExtension);
  KeSetEvent(&port->m_InputBufferEventCancel, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NERAVOXDevice::Read(KIrp I) {
  PIRP irp = I;
  DbgPrint("PN : [%02d], %s++\n", m_Unit, "NERAVOXDevice::Read");
  ULONG length = I.ReadSize(CURRENT);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ReadContext *context = NULL;
  NTSTATUS status;
  I.Information() = 0;

  /* A zero-length read has no system buffer under buffered I/O: it is
     answered before the buffer is looked for. */
  if (sp->Parameters.Read.ByteOffset.QuadPart != 0) {
    status = STATUS_INVALID_PARAMETER;
  } else if (length == 0) {
    status = STATUS_SUCCESS;
  } else if (I.SystemBuffer() == NULL) {
    status = STATUS_INVALID_PARAMETER;
  } else if ((context = (ReadContext *)ExAllocatePoolWithTag(PagedPool, sizeof(ReadContext), NV_READ_TAG)) == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    RtlZeroMemory((PVOID)context, sizeof(ReadContext));
    context->Request = I;
    SERIAL_TIMEOUTS t;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    t = m_Timeouts;
    KeReleaseSpinLock(&m_Lock, irql);
    const ULONG RI = t.ReadIntervalTimeout, RM = t.ReadTotalTimeoutMultiplier, RC = t.ReadTotalTimeoutConstant;
    const ULONG total = RC + RM * length; /* wraps, as the time-out arithmetic is 32-bit */
    if (RI == MAXULONG) {
      if (RM == 0 && RC == 0) {
        context->ReturnAvailable = TRUE;
      } else if (RC == MAXULONG) {
        /* Waits for the whole length. */
      } else if (RM == MAXULONG) {
        context->UseTotal = TRUE;
        context->TotalTimeout = (LONGLONG)RC * 10000;
        context->ReturnAvailable = TRUE;
        context->WaitFirstByte = TRUE;
      } else {
        context->UseTotal = TRUE;
        context->TotalTimeout = (LONGLONG)total * 10000;
      }
    } else if (RM != 0 || RC != 0) {
      context->UseTotal = TRUE;
      context->TotalTimeout = (LONGLONG)total * 10000;
    } else {
      context->ReturnAvailable = TRUE;
    }

    status = IoAcquireRemoveLock(&m_RemoveLock, (PVOID)(ULONG_PTR)m_Unit);
    if (NT_SUCCESS(status)) {
      ReadBytes(sp->DeviceObject, I, context);
      status = I.Status();
      IoReleaseRemoveLock(&m_RemoveLock, (PVOID)(ULONG_PTR)m_Unit);
    }
  }

  if (context != NULL) ExFreePoolWithTag(context, NV_READ_TAG);
  if (NT_ERROR(status)) I.Information() = 0;
  I.PnpComplete(this, status, IO_SERIAL_INCREMENT);
  DbgPrint("PN : [%02d], %s--\n", m_Unit, "NERAVOXDevice::Read");
  return status;
}

VOID NERAVOXDevice::ReadBytes(PDEVICE_OBJECT DeviceObject, KIrp I, ReadContext *WorkItemData) {
  KASSERT_TEXT(DeviceObject != NULL, "DeviceObject", __LINE__);
  KASSERT_TEXT(WorkItemData != NULL, "WorkItemData", __LINE__);
  if (DeviceObject == NULL || WorkItemData == NULL) return;
  ReadContext *context = WorkItemData;
  PIRP irp = I;
  PUCHAR buffer = (PUCHAR)I.SystemBuffer();
  ULONG length = I.ReadSize(CURRENT);
  ULONG copied = 0, remaining = length;
  DbgPrint("Length : %d\n", length);

  KeClearEvent(&m_InputBufferEvent);
  KeClearEvent(&m_InputBufferEventCancel);
  PVOID objects[3] = {&m_InputBufferEvent, &m_InputBufferEventCancel, &m_ReadTimer};
  ULONG count = 2;
  if (context->UseTotal) {
    context->TotalTimeout = -context->TotalTimeout;
    LARGE_INTEGER due;
    due.QuadPart = context->TotalTimeout;
    KeInitializeTimer(&m_ReadTimer);
    KeSetTimer(&m_ReadTimer, due, NULL);
    count = 3;
  }
  /* A read ends early when it is cancelled, when its handle is cleaned up
     or when the port is removed: each of them signals the cancel event. */
  IoSetCancelRoutine(irp, ReadCancelRoutine);
  if (I.WasCanceled(FALSE) || InterlockedCompareExchange(&m_EndReads, 0, 0) != 0)
    KeSetEvent(&m_InputBufferEventCancel, IO_NO_INCREMENT, FALSE);

  NTSTATUS waited = STATUS_SUCCESS;
  while (remaining > 0) {
    KIRQL irql;
    KeAcquireSpinLock(&m_RxLock, &irql);
    while (!IsCircularBufferEmpty(&m_RxBuffer) && remaining > 0) {
      UCHAR c;
      if (!NT_SUCCESS(ReadCircularBuffer(&m_RxBuffer, &c))) break;
      KeReleaseSpinLock(&m_RxLock, irql);
      buffer[copied++] = c;
      remaining--;
      DbgPrint("PN : [%02d], R: H[0x%x] C[%c] L[%d] I[%d]\n", m_Unit, c, c, remaining, copied);
      KeAcquireSpinLock(&m_RxLock, &irql);
    }
    KeReleaseSpinLock(&m_RxLock, irql);

    if (context->ReturnAvailable && (!context->WaitFirstByte || copied > 0)) {
      DbgPrint("PN : [%02d], Buffer empty. Don't wait more bytes\n", m_Unit);
      break;
    }
    if (remaining == 0) {
      DbgPrint("PN : [%02d], Normal Operation completed. Status = 0x%08lx\n", m_Unit, waited);
      break;
    }
    LARGE_INTEGER poll;
    poll.QuadPart = -NV_READ_POLL_PERIOD;
    waited = KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, &poll, NULL);
    if (waited == STATUS_WAIT_0) {
      KeClearEvent(&m_InputBufferEvent);
      DbgPrint("PN : [%02d], Input Buffer Not Empty. Status = 0x%08lx\n", m_Unit, waited);
    } else if (waited == STATUS_WAIT_1) {
      KeClearEvent(&m_InputBufferEventCancel);
      context->Cancelled = TRUE;
      DbgPrint("PN : [%02d], Cancel when reading bytes, Status = 0x%08lx\n", m_Unit, waited);
      break;
    } else if (waited == STATUS_WAIT_2) {
      DbgPrint("PN : [%02d], [Total] [%d] Timeout when reading bytes. Status = 0x%08lx\n", m_Unit,
               (LONG)(context->TotalTimeout / 10000), waited);
      break;
    }
  }
  if (context->UseTotal) KeCancelTimer(&m_ReadTimer);
  if (IoSetCancelRoutine(irp, NULL) == NULL) {
    /* The cancel routine was called: let it finish with the request
       before the request is completed. */
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoReleaseCancelSpinLock(cancelIrql);
  }

  if (context->Cancelled) {
    DbgPrint("PN : [%02d], STATUS_CANCELED\n", m_Unit);
    I.Status() = STATUS_CANCELLED;
    I.Information() = 0;
    return;
  }
  I.Information() = copied;
  if (copied == 0) {
    I.Status() = STATUS_TIMEOUT;
    DbgPrint("PN : [%02d], STATUS_TIMEOUT\n", m_Unit);
  } else {
    I.Status() = STATUS_SUCCESS;
    DbgPrint("PN : [%02d], STATUS_SUCCESS\n", m_Unit);
  }
  DbgPrint("PN : [%02d], %s--\n", m_Unit, "NERAVOXDevice::ReadBytes");
}

/* ---- the polling thread ---- */

VOID NERAVOXDevice::PollingThreadRoutine(PVOID Context) {
  static_cast<NERAVOXDevice *>(Context)->pReadIRPPollingFunction();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NERAVOXDevice::pReadIRPPollingFunction() {
  KeSetPriorityThread(KeGetCurrentThread(), 16);
  DbgPrint("PN : [%02d], %s THREAD Run\n", m_Unit, "pReadIRPPollingFunction");
  deviceExtension.LastRxWriteIndex = 0;
  __atomic_store_n(&m_RxPurged, (BOOLEAN)FALSE, __ATOMIC_RELAXED);

  for (;;) {
    LARGE_INTEGER period;
    period.QuadPart = -NV_THREAD_PERIOD;
    NTSTATUS waited =
        KeWaitForSingleObject(&deviceExtension.ThreadStopEvent, Executive, KernelMode, FALSE, &period);
    if (waited != STATUS_TIMEOUT) break;

    PIRP complete = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&m_WaitLock, &irql);
    PIRP wait = WaitRingPop();
    if (wait != NULL) {
      ULONG writeIndex = GetCircularBufferWriteIndex(&m_RxBuffer);
      if (IsCircularBufferEmpty(&m_RxBuffer)) {
        WaitRingPush(wait);
      } else if (writeIndex != deviceExtension.LastRxWriteIndex || __atomic_load_n(&m_RxPurged, __ATOMIC_RELAXED)) {
        __atomic_store_n(&m_RxPurged, (BOOLEAN)FALSE, __ATOMIC_RELAXED);
        deviceExtension.LastRxWriteIndex = writeIndex;
        PULONG result = (PULONG)wait->AssociatedIrp.SystemBuffer;
        *result = 0;
        DbgPrint("PN : [%02d], pReadIRPPollingFunction : (deviceExtension->Wm = [0x%04x])\n", m_Unit,
                 deviceExtension.Wm);
        if (deviceExtension.Wm & SERIAL_EV_RXCHAR) *result |= SERIAL_EV_RXCHAR;
        if (*result != 0) {
          DbgPrint("PN : [%02d], %s Thread Process of [SERIAL_EV_RXCHAR]\n", m_Unit, "pReadIRPPollingFunction");
          if (IoSetCancelRoutine(wait, NULL) != NULL) complete = wait;
          /* else: CancelInProgressReadIrp has it. */
        } else {
          WaitRingPush(wait);
        }
      } else {
        WaitRingPush(wait);
      }
    }
    KeReleaseSpinLock(&m_WaitLock, irql);
    if (complete != NULL) {
      KIrp c(complete);
      c.Information() = sizeof(ULONG);
      c.PnpComplete(this, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
    }
  }

  KIRQL irql;
  KeAcquireSpinLock(&m_WaitLock, &irql);
  PIRP wait = WaitRingPop();
  PIRP complete = NULL;
  if (wait != NULL) {
    *(PULONG)wait->AssociatedIrp.SystemBuffer = 0;
    if (IoSetCancelRoutine(wait, NULL) != NULL) complete = wait;
  }
  KeReleaseSpinLock(&m_WaitLock, irql);
  if (complete != NULL) {
    KIrp c(complete);
    c.Information() = sizeof(ULONG);
    c.PnpComplete(this, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
  }
}
