/*
 * KVirtualCom: the serial port base. A PnP device that holds the standard
 * serial settings of one port, answers every serial control request through
 * one virtual operation per request, and carries a request engine of its
 * own: four serialising queues, reads with the serial time-outs, waits on
 * serial events and purges. A subclass that keeps the default handlers
 * feeds received bytes to ReceiveBytes and supplies TransmitBytes.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"
#include "kpnpdev.h"
#include "kevent.h"
#include "kworkitm.h"
#include "kdmqcsq.h"

class KVirtualCom;

/* One block of received bytes; header and data in one allocation. */
struct RxChunk {
  LIST_ENTRY Link;
  ULONG Size;     /* data bytes */
  ULONG Consumed; /* bytes already given to reads */
  UCHAR Data[1];
};

/* A queue of the port base: its StartIo calls the owner's operation. */
class KVirtualComQueue : public KDriverManagedQueueCsq {
 public:
  enum EKind { WRITE_QUEUE, READ_QUEUE, WAIT_QUEUE, PURGE_QUEUE };
  KVirtualComQueue(KVirtualCom *Owner, EKind Kind) : KDriverManagedQueueCsq(TRUE, NULL), m_Owner(Owner), m_Kind(Kind) {}
  VOID StartIo(KIrp I) override;

 private:
  KVirtualCom *m_Owner;
  EKind m_Kind;
};

/* m_ReadRefs */
#define KVC_READ_WAITING 0x1
#define KVC_READ_CANCEL_ROUTINE 0x2
#define KVC_READ_TOTAL_TIMER 0x4
#define KVC_READ_INTERVAL_TIMER 0x8

/* m_ReadState as the code of the path that ended a read */
#define KVC_READ_CANCELLED 0xFFFFFFFF
#define KVC_READ_TIMED_OUT 0xFFFFFFFE
#define KVC_READ_SATISFIED 0xFFFFFFFD

/* Not every kernel header set names these two. */
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

/* The most bytes that wait in m_RxChunks. */
#define KVC_RX_LIMIT 128

class KVirtualCom : public KPnpDevice {
 public:
  KVirtualCom(PDEVICE_OBJECT Pdo, const GUID *ClassGuid = NULL);
  ~KVirtualCom() override;

  NTSTATUS Create(KIrp I) override;
  NTSTATUS Close(KIrp I) override;
  NTSTATUS Read(KIrp I) override;
  NTSTATUS Write(KIrp I) override;
  NTSTATUS DeviceControl(KIrp I) override;

  /* The engine and the serial operations; slot order matters. */
  virtual VOID StartWrite(KIrp I);
  virtual VOID StartRead(KIrp I);
  virtual VOID StartWait(KIrp I);
  virtual VOID StartPurge(KIrp I);
  virtual NTSTATUS ReceiveBytes(PUCHAR Bytes, ULONG Count);
  virtual VOID DetectReceiveEvents(PUCHAR Bytes, ULONG Count);
  virtual BOOLEAN FillCurrentRead();
  virtual VOID TransmitBytes(PUCHAR Bytes, ULONG Count);
  virtual VOID CancelQueue(BOOLEAN Writes);
  virtual VOID EndRead();
  virtual VOID CompleteCurrentRead();
  virtual NTSTATUS IoCtlSetBaudRate(PSERIAL_BAUD_RATE BaudRate);
  virtual NTSTATUS IoCtlGetBaudRate(KIrp I);
  virtual NTSTATUS IoCtlSetLineControl(PSERIAL_LINE_CONTROL LineControl);
  virtual NTSTATUS IoCtlGetLineControl(KIrp I);
  virtual NTSTATUS IoCtlGetHandFlow(KIrp I);
  virtual NTSTATUS IoCtlSetHandFlow(PSERIAL_HANDFLOW HandFlow);
  virtual NTSTATUS IoCtlSetDTR(BOOLEAN On);
  virtual NTSTATUS IoCtlSetRTS(BOOLEAN On);
  virtual NTSTATUS IoCtlGetSpecialCharacters(KIrp I);
  virtual NTSTATUS IoCtlSetSpecialCharacters(PSERIAL_CHARS Chars);
  virtual NTSTATUS IoCtlSetTimeouts(PSERIAL_TIMEOUTS Timeouts);
  virtual NTSTATUS IoCtlGetTimeouts(KIrp I);
  virtual NTSTATUS IoCtlGetStats(KIrp I);
  virtual NTSTATUS IoCtlClearStats();
  virtual NTSTATUS IoCtlGetWaitMask(KIrp I);
  virtual NTSTATUS IoCtlSetWaitMask(ULONG Mask);
  virtual NTSTATUS IoCtlGetProperties(KIrp I);
  virtual NTSTATUS IoCtlGetModemStatus(KIrp I);
  virtual NTSTATUS IoCtlGetCommStatus(KIrp I);
  virtual NTSTATUS IoCtlSetQueueSize(PSERIAL_QUEUE_SIZE QueueSize);
  virtual NTSTATUS IoCtlConfigSize(KIrp I);
  virtual NTSTATUS IoCtlSetBreakOff(KIrp I);
  virtual NTSTATUS IoCtlXoffCounter(KIrp I);
  virtual NTSTATUS IoCtlGetCommConfig(KIrp I);
  virtual NTSTATUS IoCtlSetCommConfig(KIrp I);
  virtual NTSTATUS IoCtlSetBreakOn(KIrp I);
  virtual NTSTATUS IoCtlImmediateChar(KIrp I);
  virtual NTSTATUS IoCtlSetXoff(KIrp I);
  virtual NTSTATUS IoCtlSetXon(KIrp I);
  virtual NTSTATUS IoCtlGetDtrRts(KIrp I);
  virtual NTSTATUS IoCtlLsrMstInsert(KIrp I);
  virtual NTSTATUS IoCtlResetDevice(KIrp I);
  virtual NTSTATUS IoCtlPurge(KIrp I);

 protected:
  /* The flow settings that SET_HANDFLOW accepts. */
  static BOOLEAN IsValidHandFlow(const SERIAL_HANDFLOW *HandFlow);

  ULONG volatile m_Opened;        /* 0 or 1; interlocked only */
  ULONG m_WaitMask;               /* m_Lock */
  ULONG m_EventHistory;           /* m_Lock */
  ULONG m_BaudRate;
  SERIAL_HANDFLOW m_HandFlow;
  SERIAL_TIMEOUTS m_Timeouts;     /* written and copied under m_Lock */
  LONGLONG m_IntervalTime;        /* 100-ns units; m_Lock */
  LONGLONG m_IntervalPeriod;      /* relative due time; m_Lock */
  LONGLONG m_TotalTime;           /* relative due time; m_Lock */
  LONGLONG m_LongIntervalLimit;
  LONGLONG m_LongIntervalPeriod;
  LONGLONG m_ShortIntervalPeriod;
  LONGLONG m_LastCharTime;        /* system time; m_Lock */
  KTimedCallback m_TotalTimer;
  KTimedCallback m_IntervalTimer;
  SERIAL_CHARS m_Chars;           /* written under m_Lock, read by the receive path */
  SERIALPERF_STATS m_PerfStats;
  ULONG volatile m_Errors;        /* interlocked */
  KVirtualComQueue m_WriteQueue;
  KVirtualComQueue m_ReadQueue;
  KVirtualComQueue m_WaitQueue;
  KVirtualComQueue m_PurgeQueue;
  ULONG m_AmountInOutQueue;
  ULONG m_RxBuffered;             /* m_Lock */
  UCHAR m_LineControl;            /* with m_DataMask, written under m_Lock */
  KIrp m_CurrentWaitIrp;          /* m_Lock */
  LIST_ENTRY m_RxChunks;          /* RxChunk, arrival order; m_Lock */
  ULONG m_ReadRefs;               /* KVC_READ_*; m_Lock */
  ULONG m_CharsSinceTick;         /* m_Lock */
  ULONG m_ReadState;              /* m_Lock */
  KSPIN_LOCK m_Lock;
  UCHAR m_DataMask;
  KDeferredCall m_WaitDpc;

  /* The read that the engine works on from StartRead until the path that
     ends it completes it; NULL otherwise. m_Lock. */
  PIRP m_ReadIrp;
  /* The read returns as soon as it holds any data. m_Lock. */
  BOOLEAN m_ReadAnyData;
  /* Waits satisfied under m_Lock, for m_WaitDpc to complete, linked through
     Tail.Overlay.ListEntry; a second wait satisfied before the call runs
     joins the first. m_Lock. */
  LIST_ENTRY m_SatisfiedWaits;

 private:
  VOID ResetSettings();
  VOID FreeRxChunks();
  BOOLEAN ReadIsDone();
  VOID StopRead(ULONG Leave);
  PIRP TakeFinishedRead(NTSTATUS *Status);
  VOID FinishRead(PIRP Irp, NTSTATUS Status);
  VOID IntervalTick();
  VOID TotalTimeout();
  VOID ReadCancelled(PIRP Irp);
  VOID WaitCancelled(PIRP Irp);
  VOID CompleteSatisfiedWaits();
  NTSTATUS CompleteControl(KIrp I, NTSTATUS Status);

  static VOID IntervalDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  static VOID TotalDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  static VOID WaitDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  static VOID ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  static VOID WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);

  friend class KVirtualComQueue;
};
