/*
 * NERAVOXDevice: one serial port of the controller, built by
 * NERAVOXDriver::AddDevice in the extension of a new device object and
 * attached above the port's PDO.
 *
 * The port replaces the serial port base's request engine with its own:
 * reads and writes run synchronously in the caller's thread over two byte
 * rings, the controller's bus driver reports received data through
 * InterruptCallback, and a polling thread per open completes wait-on-mask
 * requests held in deviceExtension.WaitRing.
 *
 * Lock order: the system cancel spin lock before m_WaitLock. m_RxLock,
 * m_TxLock and m_WaitLock are never nested in one another.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"
#include "kpnplow.h"
#include "kvirtualcom.h"
#include "neravoxqueue.h"
#include "circularbuffer.h"
#include "busport.h"

#define NERAVOX_WAIT_RING_SLOTS 10
#define NERAVOX_RING_SIZE 4096

/* Interrupt identifications the bus driver hands to InterruptCallback. */
#define SR_IIR_THR_EMPTY 2
#define SR_IIR_DATA_RECEIVED 4
#define SR_IIR_ERROR 6

/* Per-read record, paged pool, tag 'READ'. */
struct ReadContext {
  KIrp Request;
  BOOLEAN UseTotal;
  LONGLONG TotalTimeout; /* 100-ns units; made relative (negative) by ReadBytes */
  BOOLEAN ReturnAvailable;
  BOOLEAN WaitFirstByte;
  BOOLEAN Cancelled;
};

class NERAVOXDevice : public KVirtualCom {
 public:
  NERAVOXDevice(PDEVICE_OBJECT Pdo, ULONG Unit);
  ~NERAVOXDevice() override;

  NTSTATUS Create(KIrp I) override;
  NTSTATUS Close(KIrp I) override;
  NTSTATUS Read(KIrp I) override;
  NTSTATUS Write(KIrp I) override;
  NTSTATUS DeviceControl(KIrp I) override;
  NTSTATUS CleanUp(KIrp I) override;
  NTSTATUS SystemControl(KIrp I) override;
  NTSTATUS OnStartDevice(KIrp I) override;
  NTSTATUS OnStopDevice(KIrp I) override;
  NTSTATUS OnRemoveDevice(KIrp I) override;
  NTSTATUS DefaultPnp(KIrp I) override;
  NTSTATUS DefaultPower(KIrp I) override;
  NTSTATUS IoCtlSetBaudRate(PSERIAL_BAUD_RATE BaudRate) override;
  NTSTATUS IoCtlSetLineControl(PSERIAL_LINE_CONTROL LineControl) override;
  NTSTATUS IoCtlSetHandFlow(PSERIAL_HANDFLOW HandFlow) override;
  NTSTATUS IoCtlSetDTR(BOOLEAN On) override;
  NTSTATUS IoCtlSetRTS(BOOLEAN On) override;
  NTSTATUS IoCtlSetSpecialCharacters(PSERIAL_CHARS Chars) override;
  NTSTATUS IoCtlGetModemStatus(KIrp I) override;

  /* Write path. */
  VOID SerialSendByte(KIrp I);
  /* Read path. */
  VOID ReadBytes(PDEVICE_OBJECT DeviceObject, KIrp I, ReadContext *WorkItemData);
  VOID pReadIRPPollingFunction();
  /* Open-path helpers. */
  ULONG GetPortMode();
  NTSTATUS SetTxFIFOTrgLevel(ULONG Unit, UCHAR Level);
  /* Wait ring. */
  VOID CleanUpReadPendingThread();
  VOID CancelInProgressReadIrp(KIrp I);
  /* Interrupt events. */
  BOOLEAN InterruptCallback(UCHAR InterruptId);
  VOID NeravoxIsrSendDpc(PVOID Argument1, PVOID Argument2);
  VOID NeravoxIsrReceivedDpc(PVOID Argument1, PVOID Argument2);

  /* The divisor sent to the bus for Rate, 0 when the rate is not one of
     the table's. */
  static ULONG BaudDivisor(USHORT ProductId, ULONG Rate);
  /* 8 registers per port for this product, else 16. */
  static BOOLEAN HasShortRegisterBlock(ULONG ProductId);

  /* State of the polling thread and the held waits; m_WaitLock. */
  struct DeviceExtension {
    KEVENT ThreadStopEvent;
    KIrp WaitRing[NERAVOX_WAIT_RING_SLOTS];
    ULONG WaitRingIn;
    ULONG WaitRingOut;
    ULONG Wm;
    ULONG LastRxWriteIndex;
  };

 protected:
  KPnpLowerDevice m_Lower;
  BUS_PORT_INTERFACE m_BusInterface;
  NERAVOXQueue m_PortQueue1;
  NERAVOXQueue m_PortQueue2;
  PWSTR m_PortName;
  ULONG m_Unit;
  ULONG m_PortMode;
  IO_REMOVE_LOCK m_RemoveLock;
  BUS_PORT_INFO m_BoardInfo;
  DeviceExtension deviceExtension;
  ULONG m_ProductId;
  ULONG m_RegIndex;
  KDPC m_SendDpc;
  KDPC m_ReceivedDpc;
  CircularBuffer m_RxBuffer;
  BOOLEAN volatile m_RxPurged;
  KSPIN_LOCK m_RxLock;
  CircularBuffer m_TxBuffer;
  KSPIN_LOCK m_TxLock;
  KSPIN_LOCK m_WaitLock;
  KEVENT m_BusEvent1;
  KEVENT m_InputBufferEventCancel;
  KEVENT m_InputBufferEvent;
  KEVENT m_BusEvent2;
  KTIMER m_ReadTimer;
  KEVENT m_TxAbortEvent;
  PKTHREAD m_PollThread;
  /* Set by cleanup and removal, cleared by the next open: a read that
     starts or runs after it ends at once as cancelled. Interlocked. */
  LONG volatile m_EndReads;

 private:
  /* Registers of the port's UART block and its transmitter enable. */
  UCHAR ReadRegister(ULONG Index);
  VOID WriteRegister(ULONG Index, UCHAR Value);
  UCHAR ReadLsr();
  VOID WritePmc(ULONG Value);
  VOID TransmitterOn();
  /* Switches off once the UART is empty, waiting at most the bound; FALSE
     when it had to switch off without the UART having emptied. */
  BOOLEAN TransmitterOff(BOOLEAN Wait);
  BOOLEAN SwitchesTransmitter();
  /* Polls LSR until Bits are set or the bound for Characters characters
     at the programmed rate passes. */
  BOOLEAN WaitForLsr(UCHAR Bits, ULONG Characters);
  VOID EndReadsInProgress();
  NTSTATUS PassDown(KIrp I);
  /* Deletes the port's link and frees its name. */
  VOID ReleasePortName();
  VOID ReleaseBusInterface();

  ULONG WaitRingCount();
  PIRP WaitRingPop();
  BOOLEAN WaitRingPush(PIRP Irp);

  NTSTATUS Purge(ULONG Mask);
  NTSTATUS GetCommStatus(KIrp I);
  NTSTATUS SetWaitMask(KIrp I);
  NTSTATUS WaitOnMask(KIrp I);
  NTSTATUS BusRequest(ULONG First, ULONG Code, PVOID In, PVOID Out, PVOID Arg5, PVOID Arg6, ULONG V0 = 0,
                      ULONG V1 = 0, ULONG V2 = 0);

  static VOID SendDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  static VOID ReceivedDpcRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  static BOOLEAN InterruptRoutine(PVOID Context, UCHAR InterruptId);
  static VOID PollingThreadRoutine(PVOID Context);
  static VOID WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  static VOID ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
};
