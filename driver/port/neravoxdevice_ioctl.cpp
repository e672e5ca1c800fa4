/*
 * NERAVOXDevice: the serial control requests, the port's versions of the
 * base's serial operations, and the two helpers of the open path.
 */
#define KUNIT "neravoxdevice_ioctl"
#include "neravoxdevice.h"
#include "ktrace.h"

/* Rates the UART's clock divides exactly enough; the divisor is the
   product class's reference divided by the rate. */
static const ULONG g_BaudRates[] = {110,   300,   1200,  2400,   4800,   9600,   14400,
                                    19200, 38400, 57600, 115200, 230400, 460800, 921600};

ULONG NERAVOXDevice::BaudDivisor(USHORT ProductId, ULONG Rate) {
  ULONG reference = (ProductId == 0x2B71 || ProductId == 0x2B72) ? 1382400 : 921600;
  for (ULONG i = 0; i < sizeof(g_BaudRates) / sizeof(g_BaudRates[0]); i++)
    if (g_BaudRates[i] == Rate) return reference / Rate;
  return 0;
}

NTSTATUS NERAVOXDevice::IoCtlSetBaudRate(PSERIAL_BAUD_RATE BaudRate) {
  ULONG divisor = BaudDivisor((USHORT)m_ProductId, BaudRate->BaudRate);
  /* A rate the table does not have cannot be programmed: refused, and
     neither the UART nor the stored rate changes. */
  if (divisor == 0) return STATUS_INVALID_PARAMETER;
  BusRequest(4, BUS_PORT_SET_DIVISOR, NULL, NULL, NULL, NULL, divisor);
  return KVirtualCom::IoCtlSetBaudRate(BaudRate);
}

NTSTATUS NERAVOXDevice::IoCtlSetLineControl(PSERIAL_LINE_CONTROL LineControl) {
  NTSTATUS status = KVirtualCom::IoCtlSetLineControl(LineControl);
  if (!NT_SUCCESS(status)) return status;
  ULONG parity;
  switch (LineControl->Parity) {
    case ODD_PARITY: parity = BUS_PORT_PARITY_ODD; break;
    case EVEN_PARITY: parity = BUS_PORT_PARITY_EVEN; break;
    case MARK_PARITY: parity = BUS_PORT_PARITY_MARK; break;
    case SPACE_PARITY: parity = BUS_PORT_PARITY_SPACE; break;
    default: parity = BUS_PORT_PARITY_NONE; break;
  }
  BusRequest(6, BUS_PORT_SET_LINE, NULL, NULL, NULL, NULL, (ULONG)LineControl->WordLength - 5, parity,
             (ULONG)LineControl->StopBits);
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::IoCtlSetHandFlow(PSERIAL_HANDFLOW HandFlow) {
  m_HandFlow = *HandFlow;
  DbgPrint("PN : [%02d], IoCtlSetHandFlow : Device does not support SetHandFlow func. \n", m_Unit);
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::IoCtlSetDTR(BOOLEAN On) {
  DbgPrint("PN : [%02d], IoCtlSetDTR : Device does not support DTR Control. \n", m_Unit);
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::IoCtlSetRTS(BOOLEAN On) {
  DbgPrint("PN : [%02d], IoCtlSetRTS : Device does not support RTS Control. \n", m_Unit);
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::IoCtlSetSpecialCharacters(PSERIAL_CHARS Chars) {
  DbgPrint("PN : [%02d], IoCtlSetSpecialCharacters : Device does not support SetSpecialCharacters func. \n", m_Unit);
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::IoCtlGetModemStatus(KIrp I) {
  DbgPrint("PN : [%02d], IoCtlGetModemStatus : Device does not support GetModemStatus func. \n", m_Unit);
  return STATUS_SUCCESS;
}

ULONG NERAVOXDevice::GetPortMode() {
  DbgPrint("GetPortMode DevID : %d\n", m_BusInterface.DevID);
  ULONG in = 0, out = 0;
  BusRequest(2, BUS_PORT_GET_MODE, &in, &out, NULL, NULL);
  return out;
}

NTSTATUS NERAVOXDevice::SetTxFIFOTrgLevel(ULONG Unit, UCHAR Level) {
  DbgPrint("PN : [%02d], %s++\n", Unit, "NERAVOXDevice::SetTxFIFOTrgLevel");
  UCHAR code;
  if (Level == 0)
    code = 0;
  else if (Level >= 4 && Level <= 60)
    code = (UCHAR)(Level / 4);
  else
    return STATUS_UNSUCCESSFUL;

  UCHAR lcr = ReadRegister(3);
  WriteRegister(3, 0xBF);
  UCHAR efr = ReadRegister(2);
  WriteRegister(2, (UCHAR)(efr | 0x10));
  WriteRegister(3, 0x00);
  UCHAR mcr = ReadRegister(4);
  WriteRegister(4, (UCHAR)(mcr | 0x40));
  WriteRegister(7, (UCHAR)(ReadRegister(7) | code));
  /* MCR is restored while the normal map is still selected: with LCR at
     0xBF register 4 is XON1, and MCR would keep bit 6. */
  WriteRegister(4, mcr);
  WriteRegister(3, 0xBF);
  WriteRegister(2, efr);
  WriteRegister(3, lcr);
  return STATUS_SUCCESS;
}

/* ---- dispatch ---- */

NTSTATUS NERAVOXDevice::DeviceControl(KIrp I) {
  I.Information() = 0;
  ULONG code = I.IoctlCode(CURRENT);
  ULONG in = I.IoctlInputBufferSize(CURRENT);
  ULONG out = I.IoctlOutputBufferSize(CURRENT);
  PVOID buffer = I.SystemBuffer();
  NTSTATUS status;

  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_BAUD_RATE\n", m_Unit);
      if (in < sizeof(SERIAL_BAUD_RATE)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        if (g_Trace != NULL)
          *g_Trace << "#IOCTL_SERIAL_SET_BAUD_RATE#" << (ULONG)((PSERIAL_BAUD_RATE)buffer)->BaudRate << "\n";
        status = IoCtlSetBaudRate((PSERIAL_BAUD_RATE)buffer);
      }
      break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      status = STATUS_SUCCESS;
      break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_LINE_CONTROL\n", m_Unit);
      status = in < sizeof(SERIAL_LINE_CONTROL) ? STATUS_BUFFER_TOO_SMALL
                                                : IoCtlSetLineControl((PSERIAL_LINE_CONTROL)buffer);
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_TIMEOUTS\n", m_Unit);
      if (in < sizeof(SERIAL_TIMEOUTS)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        status = KVirtualCom::IoCtlSetTimeouts((PSERIAL_TIMEOUTS)buffer);
        DbgPrint("ReadIntervalTimeout        == [%04d]\n", m_Timeouts.ReadIntervalTimeout);
        DbgPrint("ReadTotalTimeoutMultiplier == [%04d]\n", m_Timeouts.ReadTotalTimeoutMultiplier);
        DbgPrint("ReadTotalTimeoutConstant   == [%04d]\n", m_Timeouts.ReadTotalTimeoutConstant);
        DbgPrint("WriteTotalTimeoutMultiplier == [%04d]\n", m_Timeouts.WriteTotalTimeoutMultiplier);
        DbgPrint("WriteTotalTimeoutConstant   == [%04d]\n", m_Timeouts.WriteTotalTimeoutConstant);
      }
      break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      status = out < sizeof(SERIAL_TIMEOUTS) ? STATUS_BUFFER_TOO_SMALL : KVirtualCom::IoCtlGetTimeouts(I);
      break;
    case IOCTL_SERIAL_SET_DTR:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_DTR\n", m_Unit);
      status = (m_HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? STATUS_INVALID_PARAMETER
                                                                                         : IoCtlSetDTR(TRUE);
      break;
    case IOCTL_SERIAL_CLR_DTR:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_CLR_DTR\n", m_Unit);
      status = IoCtlSetDTR(FALSE);
      break;
    case IOCTL_SERIAL_SET_RTS:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_RTS\n", m_Unit);
      status = IoCtlSetRTS(TRUE);
      break;
    case IOCTL_SERIAL_CLR_RTS:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_CLR_RTS\n", m_Unit);
      status = IoCtlSetRTS(FALSE);
      break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
      if (out < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        KIRQL irql;
        KeAcquireSpinLock(&m_WaitLock, &irql);
        *(PULONG)buffer = deviceExtension.Wm;
        KeReleaseSpinLock(&m_WaitLock, irql);
        I.Information() = sizeof(ULONG);
        status = STATUS_SUCCESS;
      }
      break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_WAIT_MASK\n", m_Unit);
      status = in < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : SetWaitMask(I);
      break;
    case IOCTL_SERIAL_WAIT_ON_MASK: {
      DbgPrint("PN : [%02d], IOCTL_SERIAL_WAIT_ON_MASK\n", m_Unit);
      KIRQL irql;
      KeAcquireSpinLock(&m_WaitLock, &irql);
      ULONG wm = deviceExtension.Wm;
      KeReleaseSpinLock(&m_WaitLock, irql);
      if (wm == 0)
        status = STATUS_INVALID_PARAMETER;
      else if (out < sizeof(ULONG))
        status = STATUS_BUFFER_TOO_SMALL;
      else
        return WaitOnMask(I); /* pending, or completed there */
      break;
    }
    case IOCTL_SERIAL_PURGE:
      status = in < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : Purge(*(PULONG)buffer);
      if (NT_SUCCESS(status)) I.Information() = sizeof(ULONG);
      break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_GET_BAUD_RATE\n", m_Unit);
      status = out < sizeof(SERIAL_BAUD_RATE) ? STATUS_BUFFER_TOO_SMALL : KVirtualCom::IoCtlGetBaudRate(I);
      break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_GET_LINE_CONTROL\n", m_Unit);
      status = out < sizeof(SERIAL_LINE_CONTROL) ? STATUS_INVALID_PARAMETER : KVirtualCom::IoCtlGetLineControl(I);
      break;
    case IOCTL_SERIAL_GET_CHARS:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_GET_CHARS\n", m_Unit);
      status = out < sizeof(SERIAL_CHARS) ? STATUS_BUFFER_TOO_SMALL : KVirtualCom::IoCtlGetSpecialCharacters(I);
      break;
    case IOCTL_SERIAL_SET_CHARS:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_CHARS\n", m_Unit);
      status = in < sizeof(SERIAL_CHARS) ? STATUS_BUFFER_TOO_SMALL : IoCtlSetSpecialCharacters((PSERIAL_CHARS)buffer);
      break;
    case IOCTL_SERIAL_GET_HANDFLOW:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_GET_HANDFLOW\n", m_Unit);
      status = out < sizeof(SERIAL_HANDFLOW) ? STATUS_BUFFER_TOO_SMALL : KVirtualCom::IoCtlGetHandFlow(I);
      break;
    case IOCTL_SERIAL_SET_HANDFLOW:
      DbgPrint("PN : [%02d], IOCTL_SERIAL_SET_HANDFLOW\n", m_Unit);
      if (in < sizeof(SERIAL_HANDFLOW))
        status = STATUS_BUFFER_TOO_SMALL;
      else if (!IsValidHandFlow((PSERIAL_HANDFLOW)buffer))
        status = STATUS_INVALID_PARAMETER;
      else
        status = IoCtlSetHandFlow((PSERIAL_HANDFLOW)buffer);
      break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      if (out < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        IoCtlGetModemStatus(I);
        status = STATUS_SUCCESS;
      }
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
      status = out < sizeof(SERIAL_STATUS) ? STATUS_BUFFER_TOO_SMALL : GetCommStatus(I);
      break;
    case IOCTL_SERIAL_GET_PROPERTIES:
      status = STATUS_SUCCESS;
      break;
    case IOCTL_SERIAL_CONFIG_SIZE:
      status = out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : KVirtualCom::IoCtlConfigSize(I);
      break;
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  if (!NT_SUCCESS(status)) I.Information() = 0;
  return I.PnpComplete(this, status, IO_NO_INCREMENT);
}

/* ---- waits ---- */

NTSTATUS NERAVOXDevice::SetWaitMask(KIrp I) {
  ULONG mask = *(PULONG)I.SystemBuffer();
  KIRQL irql;
  KeAcquireSpinLock(&m_WaitLock, &irql);
  PIRP oldest = WaitRingPop();
  if (oldest != NULL) {
    KeReleaseSpinLock(&m_WaitLock, irql);
    if (IoSetCancelRoutine(oldest, NULL) != NULL) {
      KIrp w(oldest);
      *(PULONG)w.SystemBuffer() = 0;
      w.Information() = sizeof(ULONG);
      w.PnpComplete(this, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
    }
    /* else: its cancel routine runs and completes it. */
    KeAcquireSpinLock(&m_WaitLock, &irql);
  }
  deviceExtension.Wm |= mask;
  DbgPrint("PN : [%2d], IOCTL_SERIAL_SET_WAIT_MASK : (dwEvtMask = 0x%4x)\n", m_Unit, deviceExtension.Wm);
  if (mask == 0) deviceExtension.Wm = 0;
  KeReleaseSpinLock(&m_WaitLock, irql);
  return KVirtualCom::IoCtlSetWaitMask(mask);
}

NTSTATUS NERAVOXDevice::WaitOnMask(KIrp I) {
  PIRP irp = I;
  DbgPrint("PN : [%02d], IOCTL_SERIAL_WAIT_ON_MASK ++ \n", m_Unit);
  KIRQL irql;
  KeAcquireSpinLock(&m_WaitLock, &irql);
  if (WaitRingCount() >= NERAVOX_WAIT_RING_SLOTS - 1) {
    /* The ring cannot hold it, and nothing would ever complete a wait
       kept outside it. */
    KeReleaseSpinLock(&m_WaitLock, irql);
    DbgPrint("PN : [%02d], IOCTL_SERIAL_WAIT_ON_MASK -- \n", m_Unit);
    return I.PnpComplete(this, STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT);
  }
  I.MarkPending(STATUS_PENDING);
  IoSetCancelRoutine(irp, WaitCancelRoutine);
  BOOLEAN cancelled = FALSE;
  if (I.WasCanceled(FALSE)) {
    if (IoSetCancelRoutine(irp, NULL) != NULL) cancelled = TRUE;
    /* else: the cancel routine has it and completes it. */
  } else {
    WaitRingPush(irp);
  }
  KeReleaseSpinLock(&m_WaitLock, irql);
  if (cancelled) {
    I.Information() = 0;
    I.PnpComplete(this, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
  }
  DbgPrint("PN : [%02d], IOCTL_SERIAL_WAIT_ON_MASK -- \n", m_Unit);
  return STATUS_PENDING;
}

/* ---- purge and status ---- */

NTSTATUS NERAVOXDevice::Purge(ULONG Mask) {
  KIRQL irql;
  /* SERIAL_PURGE_RXABORT: reads are not aborted. */
  if (Mask & SERIAL_PURGE_RXCLEAR) {
    KeAcquireSpinLock(&m_RxLock, &irql);
    /* The interrupt callback stores without this lock: the ring is emptied
       from the reading side only, so a byte stored meanwhile is neither
       lost nor replaced by a stale one. */
    DiscardCircularBuffer(&m_RxBuffer);
    m_RxPurged = TRUE;
    if (NT_SUCCESS(IoAcquireRemoveLock(&m_RemoveLock, (PVOID)(ULONG_PTR)m_Unit))) {
      WriteRegister(2, 0x13);
      IoReleaseRemoveLock(&m_RemoveLock, (PVOID)(ULONG_PTR)m_Unit);
    }
    KeReleaseSpinLock(&m_RxLock, irql);
  }
  if (Mask & SERIAL_PURGE_TXABORT) {
    KeAcquireSpinLock(&m_TxLock, &irql);
    KeSetEvent(&m_TxAbortEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&m_TxLock, irql);
  }
  if (Mask & SERIAL_PURGE_TXCLEAR) {
    KeAcquireSpinLock(&m_TxLock, &irql);
    m_TxBuffer.WriteIndex = 0;
    m_TxBuffer.ReadIndex = 0;
    if (NT_SUCCESS(IoAcquireRemoveLock(&m_RemoveLock, (PVOID)(ULONG_PTR)m_Unit))) {
      WriteRegister(2, 0x15);
      IoReleaseRemoveLock(&m_RemoveLock, (PVOID)(ULONG_PTR)m_Unit);
    }
    KeReleaseSpinLock(&m_TxLock, irql);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::GetCommStatus(KIrp I) {
  PSERIAL_STATUS s = (PSERIAL_STATUS)I.SystemBuffer();
  RtlZeroMemory(s, sizeof(SERIAL_STATUS));
  if (__atomic_load_n(&m_PerfStats.FrameErrorCount, __ATOMIC_RELAXED) != 0) s->Errors |= SERIAL_ERROR_FRAMING;
  if (__atomic_load_n(&m_PerfStats.SerialOverrunErrorCount, __ATOMIC_RELAXED) != 0) s->Errors |= SERIAL_ERROR_OVERRUN;
  if (__atomic_load_n(&m_PerfStats.BufferOverrunErrorCount, __ATOMIC_RELAXED) != 0)
    s->Errors |= SERIAL_ERROR_QUEUEOVERRUN;
  if (__atomic_load_n(&m_PerfStats.ParityErrorCount, __ATOMIC_RELAXED) != 0) s->Errors |= SERIAL_ERROR_PARITY;
  s->HoldReasons = 0;
  s->AmountInInQueue = GetCircularBufferCount(&m_RxBuffer);
  s->AmountInOutQueue = 0;
  s->EofReceived = FALSE;
  s->WaitForImmediate = FALSE;
  I.Information() = sizeof(SERIAL_STATUS);
  return STATUS_SUCCESS;
}
