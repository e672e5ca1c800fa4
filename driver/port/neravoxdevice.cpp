/*
 * NERAVOXDevice: construction and destruction, the PnP and power hooks,
 * open, cleanup and close, and the ring of held wait requests.
 */
#define KUNIT "neravoxdevice"
#include "neravoxdevice.h"
#include "kregkey.h"
#include "ktrace.h"

#define NV_TRACE(...) \
  do { \
    if (g_Trace != NULL) g_Trace->Trace(1, __VA_ARGS__); \
  } while (0)

/* 'Serl' */
#define NV_REMOVE_LOCK_TAG ((ULONG)'S' | ((ULONG)'e' << 8) | ((ULONG)'r' << 16) | ((ULONG)'l' << 24))

NERAVOXDevice::NERAVOXDevice(PDEVICE_OBJECT Pdo, ULONG Unit)
    : KVirtualCom(Pdo, &GUID_PORT_BUS_INTERFACE),
      m_Lower(),
      m_PortQueue1(),
      m_PortQueue2(),
      m_PortName(NULL),
      m_Unit(Unit),
      m_PortMode(BUS_PORT_MODE_RS232),
      m_PollThread(NULL),
      m_EndReads(0) {
  for (ULONG i = 0; i < NERAVOX_WAIT_RING_SLOTS; i++) deviceExtension.WaitRing[i] = KIrp(NULL);
  deviceExtension.WaitRingIn = deviceExtension.WaitRingOut = 0;
  deviceExtension.Wm = 0;
  deviceExtension.LastRxWriteIndex = 0;
  m_RxBuffer.Buffer = NULL;
  m_RxBuffer.Length = 0;
  m_RxBuffer.ReadIndex = m_RxBuffer.WriteIndex = 0;
  m_TxBuffer = m_RxBuffer;
  m_RxPurged = FALSE;
  if (!NT_SUCCESS(m_ConstructorStatus)) return;

  m_Lower.Initialize(this, Pdo);
  SetLowerDevice(&m_Lower);
  KPnpDevice::SetDefaultPnpPolicy();

  RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
  RtlZeroMemory(&m_BoardInfo, sizeof(m_BoardInfo));
  m_ProductId = 0;
  m_RegIndex = 0;
  deviceExtension.Wm = 0;

  KeInitializeDpc(&m_SendDpc, SendDpcRoutine, this);
  KeInitializeDpc(&m_ReceivedDpc, ReceivedDpcRoutine, this);

  IoInitializeRemoveLock(&m_RemoveLock, NV_REMOVE_LOCK_TAG, 0, 0);
  KeInitializeSpinLock(&m_RxLock);
  KeInitializeSpinLock(&m_TxLock);
  KeInitializeSpinLock(&m_WaitLock);
  KeInitializeEvent(&m_BusEvent1, NotificationEvent, FALSE);
  KeInitializeEvent(&m_InputBufferEventCancel, NotificationEvent, FALSE);
  KeInitializeEvent(&m_InputBufferEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_BusEvent2, NotificationEvent, FALSE);
  KeInitializeEvent(&m_TxAbortEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension.ThreadStopEvent, NotificationEvent, FALSE);
  KeInitializeTimer(&m_ReadTimer);

  if (InitializeCircularBuffer(&m_TxBuffer, NERAVOX_RING_SIZE) == STATUS_INSUFFICIENT_RESOURCES)
    DbgPrint("PN : [%02d], InitializeCircularBuffer(TX) == STATUS_INSUFFICIENT_RESOURCES\n", m_Unit);
  if (InitializeCircularBuffer(&m_RxBuffer, NERAVOX_RING_SIZE) == STATUS_INSUFFICIENT_RESOURCES)
    DbgPrint("PN : [%02d], InitializeCircularBuffer(RX) == STATUS_INSUFFICIENT_RESOURCES\n", m_Unit);

  deviceExtension.WaitRingIn = deviceExtension.WaitRingOut = 0;
  m_EventHistory = 0;
  m_BaudRate = 9600;
  m_LineControl = 0x03;
  m_DataMask = 0xFF;
  m_HandFlow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT;
  m_HandFlow.FlowReplace = SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE;
  m_HandFlow.XonLimit = 80;
  m_HandFlow.XoffLimit = 200;
  m_Chars.EofChar = 0;
  m_Chars.ErrorChar = 0;
  m_Chars.BreakChar = 0;
  m_Chars.EventChar = 0;
  m_Chars.XonChar = 17;
  m_Chars.XoffChar = 19;
  RtlZeroMemory(&m_Timeouts, sizeof(m_Timeouts));
  m_LongIntervalLimit = 200000000;
  m_LongIntervalPeriod = -10000000;
  m_ShortIntervalPeriod = -1;
}

NERAVOXDevice::~NERAVOXDevice() {
  /* Cleanup normally ended the thread; a port torn down without one must
     not leave it running over freed memory. */
  if (m_PollThread != NULL) {
    KeSetEvent(&deviceExtension.ThreadStopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(m_PollThread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(m_PollThread);
    m_PollThread = NULL;
  }
  ReleaseBusInterface();
  KeRemoveQueueDpc(&m_SendDpc);
  KeRemoveQueueDpc(&m_ReceivedDpc);
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) KeFlushQueuedDpcs();

  FreeCircularBuffer(&m_RxBuffer);
  FreeCircularBuffer(&m_TxBuffer);
  ReleasePortName();
  if (m_TopOfStackDevice != NULL && m_Lower.DeviceObject() != NULL) {
    IoDetachDevice(m_Lower.DeviceObject());
    m_TopOfStackDevice = NULL;
  }
  m_Lower.Release();
}

/* ---- PnP and power ---- */

/* To the PDO with the stack location skipped; once detached there is
   nobody below, and the request is finished here. */
NTSTATUS NERAVOXDevice::PassDown(KIrp I) {
  if (m_TopOfStackDevice == NULL) return I.PnpComplete(this, I.Status(), IO_NO_INCREMENT);
  I.SkipLocation();
  return m_Lower.PnpCall(this, I);
}

VOID NERAVOXDevice::ReleasePortName() {
  if (m_PortName == NULL) return;
  DestroyLink(m_PortName);
  ExFreePool(m_PortName);
  m_PortName = NULL;
}

NTSTATUS NERAVOXDevice::DefaultPnp(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::DefaultPnp++.  IRP %p\n", irp);
  if (g_Trace != NULL) *g_Trace << I;
  NTSTATUS status = PassDown(I);
  NV_TRACE("NERAVOXDevice::DefaultPnp--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

NTSTATUS NERAVOXDevice::DefaultPower(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::DefaultPower++.  IRP %p\n", irp);
  if (g_Trace != NULL) *g_Trace << I;
  PoStartNextPowerIrp(irp);
  NTSTATUS status;
  if (m_TopOfStackDevice == NULL) {
    status = I.PnpComplete(this, STATUS_SUCCESS, IO_NO_INCREMENT);
  } else {
    I.CopyParametersDown();
    status = m_Lower.PnpPowerCall(this, I);
  }
  NV_TRACE("NERAVOXDevice::DefaultPower--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

NTSTATUS NERAVOXDevice::SystemControl(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::SystemControl++.  IRP %p\n", irp);
  NTSTATUS status = PassDown(I);
  NV_TRACE("NERAVOXDevice::SystemControl--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

/* A name is usable only when it is a whole number of characters with a
   terminator inside what was read. */
static BOOLEAN IsTerminatedName(PCWSTR Name, ULONG Size) {
  if (Name == NULL || Size < sizeof(WCHAR) || (Size % sizeof(WCHAR)) != 0) return FALSE;
  for (ULONG i = 0; i < Size / sizeof(WCHAR); i++)
    if (Name[i] == 0) return TRUE;
  return FALSE;
}

NTSTATUS NERAVOXDevice::OnStartDevice(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::OnStartDevice++.  IRP %p\n", irp);
  I.Information() = 0;
  ReleasePortName(); /* a start without a stop in between: the name is read afresh */

  KRegistryKey key;
  key.Initialize(m_pPhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS);
  PVOID buffer = NULL;
  ULONG size = 0;
  NTSTATUS status = key.Status();
  if (NT_SUCCESS(status)) status = key.QueryValue(L"PortName", &buffer, &size, PagedPool);
  if (NT_SUCCESS(status) && !IsTerminatedName((PCWSTR)buffer, size)) status = STATUS_OBJECT_NAME_INVALID;
  if (!NT_SUCCESS(status) && buffer != NULL) {
    /* Whatever the read left is not a name: nothing may measure it. */
    ExFreePool(buffer);
    buffer = NULL;
  }
  m_PortName = (PWSTR)buffer;

  if (NT_SUCCESS(status) && m_PortName != NULL && m_PortName[0] != 0) {
    status = CreateLink(m_PortName, TRUE);
    if (!NT_SUCCESS(status)) {
      /* The name may be another port's link: stop and removal must not
         delete a link this port never made. */
      ExFreePool(m_PortName);
      m_PortName = NULL;
    }
  } else {
    DbgPrint("Failed to get COM port name\n");
  }
  return status;
}

NTSTATUS NERAVOXDevice::OnStopDevice(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::OnStopDevice++.  IRP %p\n", irp);
  if (g_Trace != NULL) *g_Trace << "Entering NERAVOXDevice::OnStopDevice\n";
  ReleasePortName();
  NV_TRACE("NERAVOXDevice::OnStopDevice--.  IRP %p, STATUS %x\n", irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS NERAVOXDevice::OnRemoveDevice(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::OnRemoveDevice++.  IRP %p\n", irp);
  if (g_Trace != NULL) *g_Trace << "Entering NERAVOXDevice::OnRemoveDevice\n";
  ReleasePortName();
  /* The removal waits for the requests in progress; a read waiting for
     bytes that will never come must end. */
  EndReadsInProgress();
  /* From here on reads and purges are refused the remove lock; the ones
     holding it are waited for. */
  if (NT_SUCCESS(IoAcquireRemoveLock(&m_RemoveLock, (PVOID)this)))
    IoReleaseRemoveLockAndWait(&m_RemoveLock, (PVOID)this);
  NV_TRACE("NERAVOXDevice::OnRemoveDevice--.  IRP %p, STATUS %x\n", irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

/* ---- open, cleanup, close ---- */

NTSTATUS NERAVOXDevice::BusRequest(ULONG First, ULONG Code, PVOID In, PVOID Out, PVOID Arg5, PVOID Arg6, ULONG V0,
                                   ULONG V1, ULONG V2) {
  if (m_BusInterface.Request == NULL) return STATUS_NO_SUCH_DEVICE;
  BUS_PORT_REQUEST r;
  r.Code = Code;
  r.Unit = m_Unit;
  r.DevID = m_BusInterface.DevID;
  r.Values[0] = V0;
  r.Values[1] = V1;
  r.Values[2] = V2;
  return m_BusInterface.Request(First, &r, In, Out, Arg5, Arg6);
}

VOID NERAVOXDevice::ReleaseBusInterface() {
  if (m_BusInterface.InterfaceDereference != NULL) m_BusInterface.InterfaceDereference(m_BusInterface.Context);
  RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
}

BOOLEAN NERAVOXDevice::HasShortRegisterBlock(ULONG ProductId) {
  return ProductId == 0x2B71 || ProductId == 0x2B72 || ProductId == 0x4D58 ||
         (ProductId >= 0x4E58 && ProductId <= 0x4E5C);
}

NTSTATUS NERAVOXDevice::Create(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::Create++.  IRP %p\n", irp);
  I.Information() = 0;

  /* Without its rings the port can carry nothing; every path below relies
     on them. */
  if (m_RxBuffer.Buffer == NULL || m_TxBuffer.Buffer == NULL) {
    NV_TRACE("NERAVOXDevice::Create failed %x\n", STATUS_INSUFFICIENT_RESOURCES);
    return I.PnpComplete(this, STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT);
  }

  NTSTATUS status;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(m_pDeviceObject);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP query = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &event, &iosb);
  if (query == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(query);
    sp->MinorFunction = IRP_MN_QUERY_INTERFACE;
    sp->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
    sp->Parameters.QueryInterface.Size = sizeof(BUS_PORT_INTERFACE);
    sp->Parameters.QueryInterface.Version = BUS_PORT_INTERFACE_VERSION;
    sp->Parameters.QueryInterface.Interface = (PINTERFACE)&m_BusInterface;
    sp->Parameters.QueryInterface.InterfaceSpecificData = NULL;
    query->IoStatus.Status = STATUS_NOT_SUPPORTED;
    status = IofCallDriver(top, query);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      status = iosb.Status;
    }
  }
  ObDereferenceObject(top);

  if (!NT_SUCCESS(status)) {
    if (g_Trace != NULL) *g_Trace << "NERAVOXDevice::Create failed " << (LONG)status << "\n";
    RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
    return I.PnpComplete(this, status, IO_NO_INCREMENT);
  }

  DbgPrint("~!~!~!~!~!~!~!~!~! Interface DevID = %d, Port = %d, IniPort = %d\n", m_BusInterface.DevID,
           m_BusInterface.Port, m_BusInterface.IniPort);
  m_Unit = m_BusInterface.Port - m_BusInterface.IniPort;

  RtlZeroMemory(&m_BoardInfo, sizeof(m_BoardInfo));
  BusRequest(3, BUS_PORT_GET_INFO, NULL, &m_BoardInfo, NULL, NULL);
  if (m_BoardInfo.RegisterBase == NULL) {
    /* No register window: nothing below may touch the UART. */
    if (g_Trace != NULL) *g_Trace << "NERAVOXDevice::Create failed " << (LONG)STATUS_DEVICE_NOT_READY << "\n";
    ReleaseBusInterface();
    return I.PnpComplete(this, STATUS_DEVICE_NOT_READY, IO_NO_INCREMENT);
  }
  m_ProductId = m_BoardInfo.ProductId;
  m_RegIndex = m_Unit * (HasShortRegisterBlock(m_ProductId) ? 8 : 16);

  KeClearEvent(&m_BusEvent1);
  KeClearEvent(&m_InputBufferEvent);
  KeClearEvent(&m_BusEvent2);
  KeClearEvent(&m_InputBufferEventCancel);
  KeClearEvent(&deviceExtension.ThreadStopEvent);
  InterlockedExchange(&m_EndReads, 0);

  BusRequest(3, BUS_PORT_SET_EVENT1, NULL, NULL, &m_BusEvent1, NULL);
  BusRequest(3, BUS_PORT_SET_INTERRUPT_CALLBACK, NULL, NULL, (PVOID)InterruptRoutine, this);
  BusRequest(3, BUS_PORT_SET_INPUT_EVENT, NULL, NULL, &m_InputBufferEvent, NULL);
  BusRequest(3, BUS_PORT_SET_EVENT2, NULL, NULL, &m_BusEvent2, NULL);
  BusRequest(3, BUS_PORT_SET_RX_RING, NULL, NULL, &m_RxBuffer, NULL);

  m_PortMode = GetPortMode();
  SetTxFIFOTrgLevel(m_Unit, 60);
  WriteRegister(1, 0x01);

  HANDLE thread;
  status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, PollingThreadRoutine, this);
  if (!NT_SUCCESS(status)) {
    /* No close follows a failed open: the bus must not keep calling a port
       that nobody will close. */
    ReleaseBusInterface();
    return I.PnpComplete(this, status, IO_NO_INCREMENT);
  }
  PVOID object = NULL;
  status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, NULL);
  m_PollThread = NT_SUCCESS(status) ? (PKTHREAD)object : NULL;
  ZwClose(thread);

  DbgPrint("nRtn : %x \n", ReadLsr());
  DbgPrint("nRtn : %x \n", ReadRegister(4));
  NV_TRACE("NERAVOXDevice::Create--.  IRP %p\n", irp);
  return I.PnpComplete(this, STATUS_SUCCESS, IO_NO_INCREMENT);
}

VOID NERAVOXDevice::EndReadsInProgress() {
  InterlockedExchange(&m_EndReads, 1);
  KeSetEvent(&m_InputBufferEventCancel, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NERAVOXDevice::CleanUp(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::CleanUp++.  IRP %p\n", irp);
  CleanUpReadPendingThread();
  EndReadsInProgress();
  if (m_PollThread != NULL) {
    /* Told to stop, the thread ends within its period; until it has, it
       may still touch the port, so it is waited for to the end. */
    KeWaitForSingleObject(m_PollThread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(m_PollThread);
    m_PollThread = NULL;
  }
  NTSTATUS status = I.PnpComplete(this, STATUS_SUCCESS, IO_NO_INCREMENT);
  NV_TRACE("NERAVOXDevice::CleanUp--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

NTSTATUS NERAVOXDevice::Close(KIrp I) {
  PIRP irp = I;
  NV_TRACE("NERAVOXDevice::Close++.  IRP %p\n", irp);
  ReleaseBusInterface();
  I.Information() = 0;
  NTSTATUS status = I.PnpComplete(this, STATUS_SUCCESS, IO_NO_INCREMENT);
  NV_TRACE("NERAVOXDevice::Close--.  IRP %p, STATUS %x\n", irp, status);
  return status;
}

/* ---- held waits ---- */

/* The ring operations run under m_WaitLock, so at DISPATCH_LEVEL. */
ULONG NERAVOXDevice::WaitRingCount() {
  ULONG in = deviceExtension.WaitRingIn, out = deviceExtension.WaitRingOut;
  if (in == out) return 0;
  return out > in ? NERAVOX_WAIT_RING_SLOTS - out + in : in - out;
}

PIRP NERAVOXDevice::WaitRingPop() {
  if (deviceExtension.WaitRingIn == deviceExtension.WaitRingOut) return NULL;
  PIRP irp = deviceExtension.WaitRing[deviceExtension.WaitRingOut];
  deviceExtension.WaitRing[deviceExtension.WaitRingOut] = KIrp(NULL);
  deviceExtension.WaitRingOut = (deviceExtension.WaitRingOut + 1) % NERAVOX_WAIT_RING_SLOTS;
  return irp;
}

BOOLEAN NERAVOXDevice::WaitRingPush(PIRP Irp) {
  ULONG next = (deviceExtension.WaitRingIn + 1) % NERAVOX_WAIT_RING_SLOTS;
  if (next == deviceExtension.WaitRingOut) return FALSE;
  deviceExtension.WaitRing[deviceExtension.WaitRingIn] = KIrp(Irp);
  deviceExtension.WaitRingIn = next;
  return TRUE;
}

VOID NERAVOXDevice::WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NERAVOXDevice *port = static_cast<NERAVOXDevice *>((KDevice *)DeviceObject->DeviceExtension);
  port->CancelInProgressReadIrp(KIrp(Irp));
}

VOID NERAVOXDevice::CancelInProgressReadIrp(KIrp I) {
  PIRP irp = I;
  DbgPrint("PN : [%02d], %s++\n", m_Unit, "NERAVOXDevice::CancelInProgressReadIrp");
  KeAcquireSpinLockAtDpcLevel(&m_WaitLock);
  ULONG n = WaitRingCount();
  DbgPrint("KIrp Count = %d\n", n);
  for (ULONG i = 0; i < n; i++) {
    PIRP held = WaitRingPop();
    if (held == irp) break;
    WaitRingPush(held);
  }
  KeReleaseSpinLockFromDpcLevel(&m_WaitLock);
  IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  DbgPrint(">> Pending IRP CANCELLED\n");
  I.Information() = 0;
  I.PnpComplete(this, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
  DbgPrint("PN : [%02d], %s--\n", m_Unit, "NERAVOXDevice::CancelInProgressReadIrp");
}

VOID NERAVOXDevice::CleanUpReadPendingThread() {
  DbgPrint("%s++", "NERAVOXDevice::CleanUpReadPendingThread");
  KIRQL irql;
  KeAcquireSpinLock(&m_WaitLock, &irql);
  ULONG n = WaitRingCount();
  DbgPrint("Count = %d\n", n);
  for (ULONG i = 0; i < n; i++) {
    PIRP held = WaitRingPop();
    if (held == NULL) break;
    KeReleaseSpinLock(&m_WaitLock, irql);
    DbgPrint(">> Pending IRP CANCELLED\n");
    if (IoSetCancelRoutine(held, NULL) != NULL) {
      KIrp w(held);
      w.Information() = 0;
      w.PnpComplete(this, STATUS_CANCELLED, IO_SERIAL_INCREMENT);
    }
    KeAcquireSpinLock(&m_WaitLock, &irql);
  }
  KeReleaseSpinLock(&m_WaitLock, irql);
  KeSetEvent(&deviceExtension.ThreadStopEvent, IO_NO_INCREMENT, FALSE);
  DbgPrint("%s--", "NERAVOXDevice::CleanUpReadPendingThread");
}
