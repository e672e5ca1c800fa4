/*
 * KVirtualCom's request engine: writes, reads with the serial time-outs,
 * waits on serial events and purges.
 *
 * A read that has to wait is held by up to four parties, one bit each in
 * m_ReadRefs: the waiting itself, its cancel routine and the two timers.
 * The first path that ends the read (interval tick, total time-out, cancel,
 * the receive path filling it) stores its code in m_ReadState; every path
 * then drops the holds it can take back, and the one that drops the last
 * completes the read with the status of that code. No request is completed
 * while m_Lock is held, and m_Lock and the cancel spin lock are never held
 * together.
 */
#include "kvirtualcom.h"

#define KUNIT "kvirtualcom"

/* The longest total time-out that a relative due time can express. */
#define KVC_MAX_TIMEOUT_MS ((ULONGLONG)0x7FFFFFFFFFFFFFFFULL / 10000)

/* ---- writes ---- */

VOID KVirtualCom::StartWrite(KIrp I) {
  PVOID buffer = I.SystemBuffer();
  if (buffer != NULL) {
    ULONG length = I.WriteSize(CURRENT);
    if (length != 0) TransmitBytes((PUCHAR)buffer, length);
    I.Information() = length;
    I.Status() = STATUS_SUCCESS;
    m_WriteQueue.PnpNextIrp(this, I, IO_NO_INCREMENT);
  } else {
    I.Information() = 0;
    I.Status() = STATUS_INSUFFICIENT_RESOURCES;
    m_WriteQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
  }
}

/* ---- reads ---- */

VOID KVirtualCom::StartRead(KIrp I) {
  if (I.MajorFunction(CURRENT) != IRP_MJ_READ) {
    /* IOCTL_SERIAL_SET_QUEUE_SIZE */
    I.Status() = IoCtlSetQueueSize((PSERIAL_QUEUE_SIZE)I.SystemBuffer());
    m_ReadQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
    return;
  }
  PIRP irp = I;
  ULONG length = I.ReadSize(CURRENT);

  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  SERIAL_TIMEOUTS t = m_Timeouts;

  BOOLEAN interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXULONG;
  if (interval) {
    m_IntervalTime = (LONGLONG)t.ReadIntervalTimeout * 10000;
    m_IntervalPeriod = m_IntervalTime < m_LongIntervalLimit ? m_ShortIntervalPeriod : m_LongIntervalPeriod;
  }

  BOOLEAN immediate = FALSE, anyData = FALSE, total = FALSE;
  ULONGLONG ms = 0;
  ULONG m = t.ReadTotalTimeoutMultiplier, c = t.ReadTotalTimeoutConstant;
  if (t.ReadIntervalTimeout == MAXULONG && m == 0 && c == 0) {
    immediate = TRUE;
  } else if (t.ReadIntervalTimeout == MAXULONG && m != MAXULONG && c != MAXULONG) {
    anyData = TRUE;
    total = TRUE;
    ms = (ULONGLONG)length * m + c;
  } else if (t.ReadIntervalTimeout == MAXULONG && m == MAXULONG && c != MAXULONG) {
    anyData = TRUE;
    total = TRUE;
    ms = c;
  } else if (t.ReadIntervalTimeout == MAXULONG && c == MAXULONG) {
    total = FALSE;
  } else if (m != 0 || c != 0) {
    total = TRUE;
    /* L x M alone fits in 64 bits; the sum may not. */
    ULONGLONG product = (ULONGLONG)length * m;
    ms = product > KVC_MAX_TIMEOUT_MS ? KVC_MAX_TIMEOUT_MS : product + c;
  }
  if (ms > KVC_MAX_TIMEOUT_MS) ms = KVC_MAX_TIMEOUT_MS;
  if (total) m_TotalTime = -(LONGLONG)(ms * 10000);

  /* From here the receive path may fill the read. */
  m_ReadIrp = irp;
  m_ReadAnyData = anyData;
  m_ReadRefs = KVC_READ_WAITING;
  BOOLEAN done = FillCurrentRead();
  if (immediate || done) {
    EndRead();
    m_ReadRefs = 0;
    m_ReadIrp = NULL;
    KeReleaseSpinLock(&m_Lock, irql);
    I.Status() = STATUS_SUCCESS;
    m_ReadQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
    return;
  }

  m_ReadRefs = 0;
  IoSetCancelRoutine(irp, ReadCancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    m_ReadIrp = NULL;
    KeReleaseSpinLock(&m_Lock, irql);
    I.Information() = 0;
    I.Status() = STATUS_CANCELLED;
    m_ReadQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
    return;
  }
  m_ReadRefs |= KVC_READ_CANCEL_ROUTINE | KVC_READ_WAITING;
  m_ReadState = (ULONG)I.Information();
  m_CharsSinceTick = 0;
  if (interval) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    m_LastCharTime = now.QuadPart;
    m_IntervalTimer.Set(m_IntervalPeriod, IntervalDpc, this);
    m_ReadRefs |= KVC_READ_INTERVAL_TIMER;
  }
  if (total) {
    m_TotalTimer.Set(m_TotalTime, TotalDpc, this);
    m_ReadRefs |= KVC_READ_TOTAL_TIMER;
  }
  KeReleaseSpinLock(&m_Lock, irql);
}

VOID KVirtualCom::EndRead() { m_ReadRefs &= ~(ULONG)KVC_READ_WAITING; }

/* m_Lock held. Whether the waiting read has what it waits for. */
BOOLEAN KVirtualCom::ReadIsDone() {
  KIrp I(m_ReadIrp);
  ULONG_PTR information = I.Information();
  return information == I.ReadSize(CURRENT) || (m_ReadAnyData && information != 0);
}

BOOLEAN KVirtualCom::FillCurrentRead() {
  /* Only a read that still waits takes bytes: one that a path has ended is
     about to be completed with the count it has. */
  if (m_ReadIrp == NULL || !(m_ReadRefs & KVC_READ_WAITING)) return FALSE;
  KIrp I(m_ReadIrp);
  if (I.MajorFunction(CURRENT) != IRP_MJ_READ) return FALSE;
  ULONG length = I.ReadSize(CURRENT);
  ULONG information = (ULONG)I.Information();
  PUCHAR destination = (PUCHAR)I.SystemBuffer() + information;
  ULONG remaining = length - information;
  ULONG copied = 0;
  while (remaining > 0 && !IsListEmpty(&m_RxChunks)) {
    RxChunk *chunk = CONTAINING_RECORD(m_RxChunks.Flink, RxChunk, Link);
    ULONG n = chunk->Size - chunk->Consumed;
    if (n > remaining) n = remaining;
    RtlCopyMemory(destination + copied, chunk->Data + chunk->Consumed, n);
    chunk->Consumed += n;
    if (chunk->Consumed == chunk->Size) {
      RemoveEntryList(&chunk->Link);
      ExFreePoolWithTag(chunk, NERAVOX_POOL_TAG);
    }
    copied += n;
    remaining -= n;
    m_RxBuffered -= n;
  }
  I.Information() = information + copied;
  m_CharsSinceTick += copied;
  return ReadIsDone();
}

/* m_Lock held. Drops every hold on the current read that can be taken
   back, except those in Leave, and ends its waiting. */
VOID KVirtualCom::StopRead(ULONG Leave) {
  if ((m_ReadRefs & KVC_READ_TOTAL_TIMER) && !(Leave & KVC_READ_TOTAL_TIMER) && m_TotalTimer.Cancel())
    m_ReadRefs &= ~(ULONG)KVC_READ_TOTAL_TIMER;
  if ((m_ReadRefs & KVC_READ_INTERVAL_TIMER) && !(Leave & KVC_READ_INTERVAL_TIMER) && m_IntervalTimer.Cancel())
    m_ReadRefs &= ~(ULONG)KVC_READ_INTERVAL_TIMER;
  if ((m_ReadRefs & KVC_READ_CANCEL_ROUTINE) && !(Leave & KVC_READ_CANCEL_ROUTINE) &&
      IoSetCancelRoutine(m_ReadIrp, NULL) != NULL)
    m_ReadRefs &= ~(ULONG)KVC_READ_CANCEL_ROUTINE;
  EndRead();
}

/* m_Lock held. The read, when the last hold on it is gone, with the status
   of the path that ended it; NULL otherwise. */
PIRP KVirtualCom::TakeFinishedRead(NTSTATUS *Status) {
  if (m_ReadRefs != 0 || m_ReadIrp == NULL) return NULL;
  PIRP irp = m_ReadIrp;
  m_ReadIrp = NULL;
  switch (m_ReadState) {
    case KVC_READ_CANCELLED:
      *Status = STATUS_CANCELLED;
      break;
    case KVC_READ_SATISFIED:
      *Status = STATUS_SUCCESS;
      break;
    default:
      *Status = STATUS_TIMEOUT;
      break;
  }
  return irp;
}

VOID KVirtualCom::FinishRead(PIRP Irp, NTSTATUS Status) {
  KIrp I(Irp);
  if (Status == STATUS_CANCELLED) I.Information() = 0;
  I.Status() = Status;
  m_ReadQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
}

VOID KVirtualCom::IntervalTick() {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (!(m_ReadRefs & KVC_READ_INTERVAL_TIMER)) {
    KeReleaseSpinLock(&m_Lock, irql);
    return;
  }
  m_ReadRefs &= ~(ULONG)KVC_READ_INTERVAL_TIMER;
  BOOLEAN restart = FALSE;
  if (!(m_ReadRefs & KVC_READ_WAITING)) {
    /* Another path ended the read; its code is in m_ReadState. */
    StopRead(0);
  } else if (m_ReadState == 0 && m_CharsSinceTick == 0) {
    restart = TRUE; /* the interval clock starts with the first character */
  } else if (m_CharsSinceTick != 0) {
    m_ReadState = m_CharsSinceTick;
    m_CharsSinceTick = 0;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    m_LastCharTime = now.QuadPart;
    restart = TRUE;
  } else {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - m_LastCharTime < m_IntervalTime) {
      restart = TRUE;
    } else {
      m_ReadState = KVC_READ_TIMED_OUT;
      StopRead(0);
    }
  }
  if (restart) {
    m_IntervalTimer.Set(m_IntervalPeriod, IntervalDpc, this);
    m_ReadRefs |= KVC_READ_INTERVAL_TIMER;
  }
  PIRP finished = TakeFinishedRead(&status);
  KeReleaseSpinLock(&m_Lock, irql);
  if (finished != NULL) FinishRead(finished, status);
}

VOID KVirtualCom::TotalTimeout() {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (!(m_ReadRefs & KVC_READ_TOTAL_TIMER)) {
    KeReleaseSpinLock(&m_Lock, irql);
    return;
  }
  if (m_ReadRefs & KVC_READ_WAITING) m_ReadState = KVC_READ_TIMED_OUT;
  StopRead(KVC_READ_TOTAL_TIMER);
  m_ReadRefs &= ~(ULONG)KVC_READ_TOTAL_TIMER;
  PIRP finished = TakeFinishedRead(&status);
  KeReleaseSpinLock(&m_Lock, irql);
  if (finished != NULL) FinishRead(finished, status);
}

VOID KVirtualCom::ReadCancelled(PIRP Irp) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (m_ReadIrp != Irp || !(m_ReadRefs & KVC_READ_CANCEL_ROUTINE)) {
    KeReleaseSpinLock(&m_Lock, irql);
    return;
  }
  if (m_ReadRefs & KVC_READ_WAITING) m_ReadState = KVC_READ_CANCELLED;
  StopRead(KVC_READ_CANCEL_ROUTINE);
  m_ReadRefs &= ~(ULONG)KVC_READ_CANCEL_ROUTINE;
  PIRP finished = TakeFinishedRead(&status);
  KeReleaseSpinLock(&m_Lock, irql);
  if (finished != NULL) FinishRead(finished, status);
}

VOID KVirtualCom::CompleteCurrentRead() {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  /* The read that was found full may have been ended, completed and
     followed by the next one since: only a waiting read that is done is
     satisfied. */
  if (m_ReadIrp == NULL || !(m_ReadRefs & KVC_READ_WAITING) || !ReadIsDone()) {
    KeReleaseSpinLock(&m_Lock, irql);
    return;
  }
  m_ReadState = KVC_READ_SATISFIED;
  StopRead(0);
  PIRP finished = TakeFinishedRead(&status);
  KeReleaseSpinLock(&m_Lock, irql);
  if (finished != NULL) FinishRead(finished, status);
}

VOID KVirtualCom::IntervalDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  ((KVirtualCom *)Context)->IntervalTick();
}

VOID KVirtualCom::TotalDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  ((KVirtualCom *)Context)->TotalTimeout();
}

VOID KVirtualCom::ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KVirtualCom *port = static_cast<KVirtualCom *>((KDevice *)DeviceObject->DeviceExtension);
  port->ReadCancelled(Irp);
}

/* ---- received bytes ---- */

NTSTATUS KVirtualCom::ReceiveBytes(PUCHAR Bytes, ULONG Count) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (Count > KVC_RX_LIMIT - m_RxBuffered) {
    KeReleaseSpinLock(&m_Lock, irql);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (Count != 0 && InterlockedCompareExchange((LONG volatile *)&m_Opened, 0, 0) != 0) {
    RxChunk *chunk =
        (RxChunk *)ExAllocatePoolWithTag(NonPagedPool, FIELD_OFFSET(RxChunk, Data) + Count, NERAVOX_POOL_TAG);
    if (chunk == NULL) {
      KeReleaseSpinLock(&m_Lock, irql);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_RxBuffered += Count;
    DetectReceiveEvents(Bytes, Count);
    chunk->Size = Count;
    chunk->Consumed = 0;
    RtlCopyMemory(chunk->Data, Bytes, Count);
    InsertTailList(&m_RxChunks, &chunk->Link);
  }
  BOOLEAN full = FillCurrentRead();
  KeReleaseSpinLock(&m_Lock, irql);
  if (full) CompleteCurrentRead();
  return STATUS_SUCCESS;
}

/* ---- waits ---- */

VOID KVirtualCom::DetectReceiveEvents(PUCHAR Bytes, ULONG Count) {
  if (m_WaitMask & SERIAL_EV_RXCHAR) m_EventHistory |= SERIAL_EV_RXCHAR;
  if (m_WaitMask & SERIAL_EV_RXFLAG) {
    for (ULONG i = 0; i < Count; i++) {
      Bytes[i] &= m_DataMask;
      if (Bytes[i] == m_Chars.EventChar) {
        m_EventHistory |= SERIAL_EV_RXFLAG;
        break;
      }
    }
  }
  if (m_EventHistory != 0 && !m_CurrentWaitIrp.IsNull()) {
    PIRP irp = m_CurrentWaitIrp;
    m_CurrentWaitIrp = KIrp(NULL);
    /* Without its cancel routine the wait is being cancelled, and the
       cancel routine completes it. */
    if (IoSetCancelRoutine(irp, NULL) == NULL) return;
    KIrp wait(irp);
    *(PULONG)wait.SystemBuffer() = m_EventHistory;
    wait.Information() = sizeof(ULONG);
    m_EventHistory = 0;
    InsertTailList(&m_SatisfiedWaits, &irp->Tail.Overlay.ListEntry);
    m_WaitDpc.Queue(irp, NULL);
  }
}

VOID KVirtualCom::CompleteSatisfiedWaits() {
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  while (!IsListEmpty(&m_SatisfiedWaits)) InsertTailList(&done, RemoveHeadList(&m_SatisfiedWaits));
  KeReleaseSpinLock(&m_Lock, irql);
  while (!IsListEmpty(&done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
    KIrp(irp).PnpComplete(this, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
  }
}

VOID KVirtualCom::WaitDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  ((KVirtualCom *)Context)->CompleteSatisfiedWaits();
}

VOID KVirtualCom::WaitCancelled(PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  KASSERT_TEXT(m_CurrentWaitIrp.IsNull() || ((PIRP)Irp == (PIRP)m_CurrentWaitIrp),
               "m_CurrentWaitIrp.IsNull() || ((PIRP)I == (PIRP)m_CurrentWaitIrp)", __LINE__);
  /* A newer wait held meanwhile stays held. */
  if ((PIRP)m_CurrentWaitIrp == Irp) m_CurrentWaitIrp = KIrp(NULL);
  KeReleaseSpinLock(&m_Lock, irql);
  KIrp I(Irp);
  I.Information() = 0;
  I.PnpComplete(this, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
}

VOID KVirtualCom::WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KVirtualCom *port = static_cast<KVirtualCom *>((KDevice *)DeviceObject->DeviceExtension);
  port->WaitCancelled(Irp);
}

VOID KVirtualCom::StartWait(KIrp I) {
  PIRP irp = I;
  KIRQL irql;
  if (I.IoctlCode(CURRENT) == IOCTL_SERIAL_SET_WAIT_MASK) {
    ULONG mask = *(PULONG)I.SystemBuffer();
    KeAcquireSpinLock(&m_Lock, &irql);
    m_WaitMask = mask;
    m_EventHistory &= mask;
    PIRP held = m_CurrentWaitIrp;
    if (held != NULL && IoSetCancelRoutine(held, NULL) != NULL)
      m_CurrentWaitIrp = KIrp(NULL);
    else
      held = NULL;
    KeReleaseSpinLock(&m_Lock, irql);
    if (held != NULL) {
      KIrp h(held);
      h.Information() = 0;
      h.PnpComplete(this, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
    }
    I.Status() = STATUS_SUCCESS;
    m_WaitQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
    return;
  }

  /* IOCTL_SERIAL_WAIT_ON_MASK */
  NTSTATUS status;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (m_WaitMask == 0) {
    status = STATUS_INVALID_PARAMETER;
  } else if (!m_CurrentWaitIrp.IsNull()) {
    I.Information() = 0;
    status = STATUS_SUCCESS;
  } else {
    ULONG history = m_EventHistory;
    m_EventHistory = 0;
    if (history != 0) {
      *(PULONG)I.SystemBuffer() = history;
      I.Information() = sizeof(ULONG);
      status = STATUS_SUCCESS;
    } else {
      IoSetCancelRoutine(irp, WaitCancelRoutine);
      if (!irp->Cancel) {
        m_CurrentWaitIrp = I;
        KeReleaseSpinLock(&m_Lock, irql);
        m_WaitQueue.NextIrp(KIrp(NULL), IO_SERIAL_INCREMENT);
        return;
      }
      if (IoSetCancelRoutine(irp, NULL) == NULL) {
        /* The cancel routine runs and completes it. */
        KeReleaseSpinLock(&m_Lock, irql);
        m_WaitQueue.NextIrp(KIrp(NULL), IO_SERIAL_INCREMENT);
        return;
      }
      I.Information() = 0;
      status = STATUS_CANCELLED;
    }
  }
  KeReleaseSpinLock(&m_Lock, irql);
  I.Status() = status;
  m_WaitQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
}

/* ---- purges ---- */

VOID KVirtualCom::StartPurge(KIrp I) { IoCtlPurge(I); }

NTSTATUS KVirtualCom::IoCtlPurge(KIrp I) {
  ULONG mask = *(PULONG)I.SystemBuffer();
  if (mask & SERIAL_PURGE_TXABORT) CancelQueue(TRUE);
  if (mask & SERIAL_PURGE_RXABORT) CancelQueue(FALSE);
  if (mask & SERIAL_PURGE_RXCLEAR) {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    FreeRxChunks();
    KeReleaseSpinLock(&m_Lock, irql);
  }
  I.Status() = STATUS_SUCCESS;
  m_PurgeQueue.PnpNextIrp(this, I, IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}

VOID KVirtualCom::CancelQueue(BOOLEAN Writes) {
  if (Writes) {
    m_WriteQueue.CancelAll(this, NULL);
    return;
  }
  m_ReadQueue.CancelAll(this, NULL);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PIRP irp = m_ReadIrp;
  if (irp == NULL || !(m_ReadRefs & KVC_READ_CANCEL_ROUTINE) || IoSetCancelRoutine(irp, NULL) == NULL) irp = NULL;
  KeReleaseSpinLock(&m_Lock, irql);
  if (irp == NULL) return;
  /* As IoCancelIrp would: the routine is entered with the cancel spin lock
     held and releases it. */
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  irp->Cancel = TRUE;
  irp->CancelIrql = cancelIrql;
  ReadCancelRoutine(DeviceObject(), irp);
}
