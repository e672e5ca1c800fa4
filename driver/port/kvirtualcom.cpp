/*
 * KVirtualCom: construction, the default request handlers and the serial
 * settings operations. The request engine is in kvirtualcom_engine.cpp.
 */
#include "kvirtualcom.h"
#include "ktrace.h"

#define KUNIT "kvirtualcom"

#define KVC_TRACE(...) \
  do {                 \
    if (g_Trace != NULL) g_Trace->Trace(1, __VA_ARGS__); \
  } while (0)

VOID KVirtualComQueue::StartIo(KIrp I) {
  switch (m_Kind) {
    case WRITE_QUEUE:
      m_Owner->StartWrite(I);
      break;
    case READ_QUEUE:
      m_Owner->StartRead(I);
      break;
    case WAIT_QUEUE:
      m_Owner->StartWait(I);
      break;
    case PURGE_QUEUE:
      m_Owner->StartPurge(I);
      break;
  }
}

KVirtualCom::KVirtualCom(PDEVICE_OBJECT Pdo, const GUID *ClassGuid)
    : KPnpDevice(Pdo, ClassGuid),
      m_Opened(0),
      m_WaitMask(0),
      m_EventHistory(0),
      m_BaudRate(0),
      m_IntervalTime(0),
      m_IntervalPeriod(0),
      m_TotalTime(0),
      m_LongIntervalLimit(200000000),
      m_LongIntervalPeriod(-10000000),
      m_ShortIntervalPeriod(-1),
      m_LastCharTime(0),
      m_Errors(0),
      m_WriteQueue(this, KVirtualComQueue::WRITE_QUEUE),
      m_ReadQueue(this, KVirtualComQueue::READ_QUEUE),
      m_WaitQueue(this, KVirtualComQueue::WAIT_QUEUE),
      m_PurgeQueue(this, KVirtualComQueue::PURGE_QUEUE),
      m_AmountInOutQueue(0),
      m_RxBuffered(0),
      m_LineControl(0x03),
      m_CurrentWaitIrp(NULL),
      m_ReadRefs(0),
      m_CharsSinceTick(0),
      m_ReadState(0),
      m_DataMask(0xFF),
      m_ReadIrp(NULL),
      m_ReadAnyData(FALSE) {
  RtlZeroMemory(&m_HandFlow, sizeof(m_HandFlow));
  RtlZeroMemory(&m_Timeouts, sizeof(m_Timeouts));
  RtlZeroMemory(&m_Chars, sizeof(m_Chars));
  RtlZeroMemory(&m_PerfStats, sizeof(m_PerfStats));
  InitializeListHead(&m_RxChunks);
  InitializeListHead(&m_SatisfiedWaits);
  KeInitializeSpinLock(&m_Lock);
  m_WaitDpc.Initialize(WaitDpc, this);

  /* Only reads may start at DISPATCH_LEVEL (when a timer or the receive
     path completes the one before). */
  m_WriteQueue.SetDirectStart(FALSE);
  m_WaitQueue.SetDirectStart(FALSE);
  m_PurgeQueue.SetDirectStart(FALSE);
  if (!NT_SUCCESS(m_ConstructorStatus)) return;
  KVirtualComQueue *queues[] = {&m_WriteQueue, &m_ReadQueue, &m_WaitQueue, &m_PurgeQueue};
  for (ULONG i = 0; i < 4; i++) {
    NTSTATUS status = queues[i]->Initialize(Pdo);
    if (!NT_SUCCESS(status)) {
      m_ConstructorStatus = status;
      return;
    }
  }
}

KVirtualCom::~KVirtualCom() {
  m_TotalTimer.Cancel();
  m_IntervalTimer.Cancel();
  /* A timer or wait call that already runs must be over before the object
     that it works on goes away. */
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) KeFlushQueuedDpcs();
  FreeRxChunks();
}

/* Caller holds m_Lock (or is the only user of the object). */
VOID KVirtualCom::FreeRxChunks() {
  while (!IsListEmpty(&m_RxChunks)) {
    RxChunk *chunk = CONTAINING_RECORD(RemoveHeadList(&m_RxChunks), RxChunk, Link);
    ExFreePoolWithTag(chunk, NERAVOX_POOL_TAG);
  }
  m_RxBuffered = 0;
}

VOID KVirtualCom::ResetSettings() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_WaitMask = 0;
  m_EventHistory = 0;
  RtlZeroMemory(&m_Timeouts, sizeof(m_Timeouts));
  m_Chars.EofChar = 0;
  m_Chars.ErrorChar = 0;
  m_Chars.BreakChar = 0;
  m_Chars.EventChar = 0;
  m_Chars.XonChar = 0x11;
  m_Chars.XoffChar = 0x13;
  m_HandFlow.ControlHandShake = SERIAL_ERROR_ABORT | SERIAL_DTR_CONTROL;
  m_HandFlow.FlowReplace = SERIAL_XOFF_CONTINUE | SERIAL_RTS_CONTROL;
  m_HandFlow.XonLimit = 80;
  m_HandFlow.XoffLimit = 200;
  FreeRxChunks();
  m_AmountInOutQueue = 0;
  InterlockedExchange((LONG volatile *)&m_Errors, 0);
  m_BaudRate = 2400;
  m_LineControl = 0x03;
  m_DataMask = 0xFF;
  m_ShortIntervalPeriod = -1;
  m_LongIntervalPeriod = -10000000;
  m_LongIntervalLimit = 200000000;
  KeReleaseSpinLock(&m_Lock, irql);
}

/* ---- default request handlers ---- */

NTSTATUS KVirtualCom::Create(KIrp I) {
  PIRP irp = I;
  KVC_TRACE("KVirtualCom::Create++.  IRP %p\n", irp);
  NTSTATUS status = STATUS_SUCCESS;
  if (InterlockedCompareExchange((LONG volatile *)&m_Opened, 1, 0) != 0)
    status = STATUS_DEVICE_BUSY;
  else
    ResetSettings();
  I.Information() = 0;
  KVC_TRACE("KVirtualCom::Create--.  IRP %p, STATUS %x\n", irp, status);
  return I.PnpComplete(this, status, IO_NO_INCREMENT);
}

NTSTATUS KVirtualCom::Close(KIrp I) {
  PIRP irp = I;
  KVC_TRACE("KVirtualCom::Close++.  IRP %p\n", irp);
  InterlockedExchange((LONG volatile *)&m_Opened, 0);
  CancelQueue(TRUE);
  CancelQueue(FALSE);

  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PIRP wait = m_CurrentWaitIrp;
  if (wait != NULL && IoSetCancelRoutine(wait, NULL) != NULL)
    m_CurrentWaitIrp = NULL;
  else
    wait = NULL; /* none, or its cancel routine finishes it */
  KeReleaseSpinLock(&m_Lock, irql);
  if (wait != NULL) {
    KIrp w(wait);
    w.Information() = 0;
    w.PnpComplete(this, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
  }

  KeAcquireSpinLock(&m_Lock, &irql);
  FreeRxChunks();
  KeReleaseSpinLock(&m_Lock, irql);

  I.Information() = 0;
  KVC_TRACE("KVirtualCom::Close--.  IRP %p, STATUS %x\n", irp, STATUS_SUCCESS);
  return I.PnpComplete(this, STATUS_SUCCESS, IO_NO_INCREMENT);
}

NTSTATUS KVirtualCom::Read(KIrp I) {
  PIRP irp = I;
  KVC_TRACE("KVirtualCom::Read++.  IRP %p\n", irp);
  I.Information() = 0;
  NTSTATUS status;
  if (I.ReadSize(CURRENT) == 0)
    status = I.PnpComplete(this, STATUS_INVALID_PARAMETER, IO_NO_INCREMENT);
  else
    status = m_ReadQueue.QueueIrp(I);
  KVC_TRACE("KVirtualCom::Read--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

NTSTATUS KVirtualCom::Write(KIrp I) {
  PIRP irp = I;
  KVC_TRACE("KVirtualCom::Write++.  IRP %p\n", irp);
  I.Information() = 0;
  NTSTATUS status = m_WriteQueue.QueueIrp(I);
  KVC_TRACE("KVirtualCom::Write--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

NTSTATUS KVirtualCom::CompleteControl(KIrp I, NTSTATUS Status) { return I.PnpComplete(this, Status, IO_NO_INCREMENT); }

NTSTATUS KVirtualCom::DeviceControl(KIrp I) {
  PIRP irp = I;
  KVC_TRACE("KVirtualCom::DeviceControl++.  IRP %p\n", irp);
  I.Information() = 0;
  ULONG code = I.IoctlCode(CURRENT);
  ULONG in = I.IoctlInputBufferSize(CURRENT);
  ULONG out = I.IoctlOutputBufferSize(CURRENT);
  PVOID buffer = I.SystemBuffer();
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN queued = FALSE;

  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      status = in < sizeof(SERIAL_BAUD_RATE) ? STATUS_BUFFER_TOO_SMALL : IoCtlSetBaudRate((PSERIAL_BAUD_RATE)buffer);
      break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      if (in < sizeof(SERIAL_QUEUE_SIZE)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        queued = TRUE;
        status = m_ReadQueue.QueueIrp(I);
      }
      break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      status = in < sizeof(SERIAL_LINE_CONTROL) ? STATUS_BUFFER_TOO_SMALL
                                                : IoCtlSetLineControl((PSERIAL_LINE_CONTROL)buffer);
      break;
    case IOCTL_SERIAL_SET_BREAK_ON:
      status = IoCtlSetBreakOn(I);
      break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
      status = IoCtlSetBreakOff(I);
      break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      status = IoCtlImmediateChar(I);
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      status = in < sizeof(SERIAL_TIMEOUTS) ? STATUS_BUFFER_TOO_SMALL : IoCtlSetTimeouts((PSERIAL_TIMEOUTS)buffer);
      break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      status = out < sizeof(SERIAL_TIMEOUTS) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetTimeouts(I);
      break;
    case IOCTL_SERIAL_SET_DTR:
      status = (m_HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? STATUS_INVALID_PARAMETER
                                                                                      : IoCtlSetDTR(TRUE);
      break;
    case IOCTL_SERIAL_CLR_DTR:
      status = IoCtlSetDTR(FALSE);
      break;
    case IOCTL_SERIAL_RESET_DEVICE:
      status = IoCtlResetDevice(I);
      break;
    case IOCTL_SERIAL_SET_RTS:
      status = IoCtlSetRTS(TRUE);
      break;
    case IOCTL_SERIAL_CLR_RTS:
      status = IoCtlSetRTS(FALSE);
      break;
    case IOCTL_SERIAL_SET_XOFF:
      status = IoCtlSetXoff(I);
      break;
    case IOCTL_SERIAL_SET_XON:
      status = IoCtlSetXon(I);
      break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
      status = out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetWaitMask(I);
      break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
      if (in < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        status = IoCtlSetWaitMask(*(PULONG)buffer);
        if (NT_SUCCESS(status)) {
          queued = TRUE;
          status = m_WaitQueue.QueueIrp(I);
        }
      }
      break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
      if (out < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        queued = TRUE;
        status = m_WaitQueue.QueueIrp(I);
      }
      break;
    case IOCTL_SERIAL_PURGE:
      if (in < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else if (*(PULONG)buffer & ~(ULONG)(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                                           SERIAL_PURGE_RXCLEAR)) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        queued = TRUE;
        status = m_PurgeQueue.QueueIrp(I);
      }
      break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
      status = out < sizeof(SERIAL_BAUD_RATE) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetBaudRate(I);
      break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      status = out < sizeof(SERIAL_LINE_CONTROL) ? STATUS_INVALID_PARAMETER : IoCtlGetLineControl(I);
      break;
    case IOCTL_SERIAL_GET_CHARS:
      status = out < sizeof(SERIAL_CHARS) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetSpecialCharacters(I);
      break;
    case IOCTL_SERIAL_SET_CHARS:
      status = in < sizeof(SERIAL_CHARS) ? STATUS_BUFFER_TOO_SMALL : IoCtlSetSpecialCharacters((PSERIAL_CHARS)buffer);
      break;
    case IOCTL_SERIAL_GET_HANDFLOW:
      status = out < sizeof(SERIAL_HANDFLOW) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetHandFlow(I);
      break;
    case IOCTL_SERIAL_SET_HANDFLOW:
      if (in < sizeof(SERIAL_HANDFLOW)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        PSERIAL_HANDFLOW h = (PSERIAL_HANDFLOW)buffer;
        if (!IsValidHandFlow(h))
          status = STATUS_INVALID_PARAMETER;
        else
          status = IoCtlSetHandFlow(h);
      }
      break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      status = out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetModemStatus(I);
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
      status = out < sizeof(SERIAL_STATUS) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetCommStatus(I);
      break;
    case IOCTL_SERIAL_XOFF_COUNTER:
      status = IoCtlXoffCounter(I);
      break;
    case IOCTL_SERIAL_GET_PROPERTIES:
      status = out < sizeof(SERIAL_COMMPROP) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetProperties(I);
      break;
    case IOCTL_SERIAL_GET_DTRRTS:
      status = IoCtlGetDtrRts(I);
      break;
    case IOCTL_SERIAL_LSRMST_INSERT:
      status = IoCtlLsrMstInsert(I);
      break;
    case IOCTL_SERIAL_CONFIG_SIZE:
      status = out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : IoCtlConfigSize(I);
      break;
    case IOCTL_SERIAL_GET_COMMCONFIG:
      status = IoCtlGetCommConfig(I);
      break;
    case IOCTL_SERIAL_SET_COMMCONFIG:
      status = IoCtlSetCommConfig(I);
      break;
    case IOCTL_SERIAL_GET_STATS:
      status = out < sizeof(SERIALPERF_STATS) ? STATUS_BUFFER_TOO_SMALL : IoCtlGetStats(I);
      break;
    case IOCTL_SERIAL_CLEAR_STATS:
      status = IoCtlClearStats();
      break;
    default:
      DbgPrint("Unknown Ioctl code = 0x%X\n", code);
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  if (!queued) {
    /* A failed check hands back nothing. */
    if (!NT_SUCCESS(status)) I.Information() = 0;
    status = CompleteControl(I, status);
  }
  KVC_TRACE("KVirtualCom::DeviceControl--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

/* ---- serial operations ---- */

VOID KVirtualCom::TransmitBytes(PUCHAR Bytes, ULONG Count) { KASSERT(FALSE); }

NTSTATUS KVirtualCom::IoCtlSetBaudRate(PSERIAL_BAUD_RATE BaudRate) {
  m_BaudRate = BaudRate->BaudRate;
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetBaudRate(KIrp I) {
  ((PSERIAL_BAUD_RATE)I.SystemBuffer())->BaudRate = m_BaudRate;
  I.Information() = sizeof(SERIAL_BAUD_RATE);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetLineControl(PSERIAL_LINE_CONTROL LineControl) {
  static const UCHAR masks[4] = {0x1F, 0x3F, 0x7F, 0xFF};
  UCHAR image = 0;
  if (LineControl->WordLength < 5 || LineControl->WordLength > 8) return STATUS_INVALID_PARAMETER;
  image |= (UCHAR)(LineControl->WordLength - 5);
  switch (LineControl->Parity) {
    case NO_PARITY:
      break;
    case ODD_PARITY:
      image |= 0x08;
      break;
    case EVEN_PARITY:
      image |= 0x18;
      break;
    case MARK_PARITY:
      image |= 0x28;
      break;
    case SPACE_PARITY:
      image |= 0x38;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  switch (LineControl->StopBits) {
    case STOP_BIT_1:
      break;
    case STOP_BITS_1_5:
      if (LineControl->WordLength != 5) return STATUS_INVALID_PARAMETER;
      image |= 0x04;
      break;
    case STOP_BITS_2:
      if (LineControl->WordLength == 5) return STATUS_INVALID_PARAMETER;
      image |= 0x04;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_LineControl = image;
  m_DataMask = masks[LineControl->WordLength - 5];
  KeReleaseSpinLock(&m_Lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetLineControl(KIrp I) {
  PSERIAL_LINE_CONTROL lc = (PSERIAL_LINE_CONTROL)I.SystemBuffer();
  UCHAR image = m_LineControl;
  lc->WordLength = (UCHAR)(5 + (image & 0x03));
  if (!(image & 0x04))
    lc->StopBits = STOP_BIT_1;
  else
    lc->StopBits = lc->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
  switch (image & 0x38) {
    case 0x08:
      lc->Parity = ODD_PARITY;
      break;
    case 0x18:
      lc->Parity = EVEN_PARITY;
      break;
    case 0x28:
      lc->Parity = MARK_PARITY;
      break;
    case 0x38:
      lc->Parity = SPACE_PARITY;
      break;
    default:
      lc->Parity = NO_PARITY;
      break;
  }
  I.Information() = sizeof(SERIAL_LINE_CONTROL);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetHandFlow(KIrp I) {
  RtlCopyMemory(I.SystemBuffer(), &m_HandFlow, sizeof(SERIAL_HANDFLOW));
  I.Information() = sizeof(SERIAL_HANDFLOW);
  return STATUS_SUCCESS;
}

BOOLEAN KVirtualCom::IsValidHandFlow(const SERIAL_HANDFLOW *h) {
  return (h->ControlHandShake & SERIAL_CONTROL_INVALID) == 0 && (h->FlowReplace & SERIAL_FLOW_INVALID) == 0 &&
         (h->ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK && h->XonLimit >= 0 && h->XoffLimit >= 0;
}

NTSTATUS KVirtualCom::IoCtlSetHandFlow(PSERIAL_HANDFLOW HandFlow) {
  m_HandFlow = *HandFlow;
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetDTR(BOOLEAN On) { return STATUS_SUCCESS; }

NTSTATUS KVirtualCom::IoCtlSetRTS(BOOLEAN On) { return STATUS_SUCCESS; }

NTSTATUS KVirtualCom::IoCtlGetSpecialCharacters(KIrp I) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  RtlCopyMemory(I.SystemBuffer(), &m_Chars, sizeof(SERIAL_CHARS));
  KeReleaseSpinLock(&m_Lock, irql);
  I.Information() = sizeof(SERIAL_CHARS);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetSpecialCharacters(PSERIAL_CHARS Chars) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_Chars = *Chars;
  KeReleaseSpinLock(&m_Lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetTimeouts(PSERIAL_TIMEOUTS Timeouts) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_Timeouts = *Timeouts;
  KeReleaseSpinLock(&m_Lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetTimeouts(KIrp I) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  RtlCopyMemory(I.SystemBuffer(), &m_Timeouts, sizeof(SERIAL_TIMEOUTS));
  KeReleaseSpinLock(&m_Lock, irql);
  I.Information() = sizeof(SERIAL_TIMEOUTS);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetStats(KIrp I) {
  RtlCopyMemory(I.SystemBuffer(), &m_PerfStats, sizeof(SERIALPERF_STATS));
  I.Information() = sizeof(SERIALPERF_STATS);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlClearStats() {
  RtlZeroMemory(&m_PerfStats, sizeof(m_PerfStats));
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetWaitMask(KIrp I) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  *(PULONG)I.SystemBuffer() = m_WaitMask;
  KeReleaseSpinLock(&m_Lock, irql);
  I.Information() = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetWaitMask(ULONG Mask) { return Mask > 0x1FFF ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS; }

/* The system buffer may hold what an earlier request left there: every
   byte reported is written. The values describe what this base does: any
   baud rate is stored, every word length, parity and stop-bit setting that
   IoCtlSetLineControl accepts, the serial time-outs, at most KVC_RX_LIMIT
   bytes waiting for reads and no transmit queue. */
NTSTATUS KVirtualCom::IoCtlGetProperties(KIrp I) {
  PSERIAL_COMMPROP p = (PSERIAL_COMMPROP)I.SystemBuffer();
  RtlZeroMemory(p, sizeof(SERIAL_COMMPROP));
  p->PacketLength = sizeof(SERIAL_COMMPROP);
  p->PacketVersion = 2;
  p->ServiceMask = SERIAL_SP_SERIALCOMM;
  p->MaxTxQueue = 0;
  p->MaxRxQueue = KVC_RX_LIMIT;
  p->MaxBaud = SERIAL_BAUD_USER;
  p->ProvSubType = SERIAL_SP_RS232;
  p->ProvCapabilities = SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
  p->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS;
  p->SettableBaud = SERIAL_BAUD_USER;
  p->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  p->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                          SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
  p->CurrentTxQueue = 0;
  p->CurrentRxQueue = KVC_RX_LIMIT;
  I.Information() = sizeof(SERIAL_COMMPROP);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetModemStatus(KIrp I) {
  *(PULONG)I.SystemBuffer() = 0;
  I.Information() = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlGetCommStatus(KIrp I) {
  PSERIAL_STATUS s = (PSERIAL_STATUS)I.SystemBuffer();
  RtlZeroMemory(s, sizeof(SERIAL_STATUS));
  s->Errors = (ULONG)InterlockedExchange((LONG volatile *)&m_Errors, 0);
  s->HoldReasons = 0;
  s->AmountInInQueue = 0;
  s->AmountInOutQueue = m_AmountInOutQueue;
  s->EofReceived = FALSE;
  s->WaitForImmediate = FALSE;
  I.Information() = sizeof(SERIAL_STATUS);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetQueueSize(PSERIAL_QUEUE_SIZE QueueSize) {
  if (QueueSize->InSize > KVC_RX_LIMIT || QueueSize->OutSize != 0) return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlConfigSize(KIrp I) {
  *(PULONG)I.SystemBuffer() = 0;
  I.Information() = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS KVirtualCom::IoCtlSetBreakOff(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlXoffCounter(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlGetCommConfig(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlSetCommConfig(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlSetBreakOn(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlImmediateChar(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlSetXoff(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlSetXon(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlGetDtrRts(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlLsrMstInsert(KIrp I) { return STATUS_SUCCESS; }
NTSTATUS KVirtualCom::IoCtlResetDevice(KIrp I) { return STATUS_SUCCESS; }
