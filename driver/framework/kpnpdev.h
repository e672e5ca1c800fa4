/*
 * KPnpDevice: a KDevice that takes part in Plug and Play.
 *
 * Every request for the device passes the gate (DeviceIrpDispatch), which
 * counts it in m_OutstandingRequests, fails it after removal, holds it
 * before start and while a stop or removal is pending, and otherwise hands
 * it to the handler of its major code. IRP_MJ_PNP goes to the dispatcher
 * (Pnp), which keeps m_PnpState and calls one hook per minor code;
 * IRP_MJ_POWER goes to DefaultPower. What the base does at each step is
 * steered by m_Policies, which a subclass fills with SetDefaultPnpPolicy.
 *
 * Every request that passes the gate holds one count until it is completed
 * (KIrp::PnpComplete) or passed down (KPnpLowerDevice::PnpCall or
 * PnpPowerCall); the gate releases the count itself when it fails or holds
 * the request. A held request holds no count.
 *
 * What a subclass does in its constructor: attach its KPnpLowerDevice to the
 * PDO, SetLowerDevice, and call KPnpDevice::SetDefaultPnpPolicy directly.
 * It implements DefaultPnp (pass down skipping, or complete) and
 * DefaultPower (PoStartNextPowerIrp, copy the location down, PnpPowerCall).
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"
#include "kdevice.h"
#include "kevent.h"
#include "kmutex.h"
#include "kpnplow.h"

/* Bits of m_PnpState. */
#define KPNP_STOP_PENDING 0x01
#define KPNP_REMOVE_PENDING 0x02
#define KPNP_REMOVED 0x04
#define KPNP_STARTED 0x08
#define KPNP_REMOVING 0x10
#define KPNP_SURPRISE_REMOVED 0x20

/* KPnpPolicies::General */
#define KPNP_FAIL_IF_REMOVED 0x01
#define KPNP_FAIL_IF_NOT_STARTED 0x02
#define KPNP_DELETE_ON_REMOVE 0x04
#define KPNP_WAIT_ON_REMOVE 0x08
#define KPNP_DETACH_ON_REMOVE 0x10
#define KPNP_KEEP_DEVICE_OBJECT 0x20
#define KPNP_MANAGE_INTERFACES 0x40

/* KPnpPolicies::QueryStop */
#define KPNP_QS_BUSY_IF_OPEN 0x01
#define KPNP_QS_BUSY_IF_ACTIVE 0x02

/* KPnpPolicies::QueryRemove */
#define KPNP_QR_BUSY_IF_OPEN 0x01
#define KPNP_QR_CANCEL_DEVICE_QUEUE 0x04
#define KPNP_QR_WAIT_FOR_REQUESTS 0x10

/* KPnpPolicies::Hold */
#define KPNP_HOLD_IF_REMOVE_PENDING 0x01
#define KPNP_HOLD_IF_STOP_PENDING 0x02
#define KPNP_HOLD_IF_NOT_STARTED 0x04
#define KPNP_CANCEL_ON_CLEANUP 0x08
#define KPNP_FAIL_ON_REMOVE 0x10
#define KPNP_RELEASE_ON_CANCEL_STOP 0x40
#define KPNP_RELEASE_ON_CANCEL_REMOVE 0x80

/* KPnpPolicies::PassDown: one bit per managed minor code. */
#define KPNP_PD_START 0x001         /* before the hook, waiting */
#define KPNP_PD_CANCEL_STOP 0x002   /* before the hook, waiting */
#define KPNP_PD_CANCEL_REMOVE 0x004 /* before the hook, waiting */
#define KPNP_PD_QUERY_STOP 0x008
#define KPNP_PD_STOP 0x010
#define KPNP_PD_QUERY_REMOVE 0x020
#define KPNP_PD_REMOVE 0x040
#define KPNP_PD_QUERY_STATE 0x080
#define KPNP_PD_SURPRISE 0x100

/* KPnpPolicies::Complete: one bit per managed minor code. */
#define KPNP_C_START 0x001
#define KPNP_C_STOP 0x002
#define KPNP_C_QUERY_REMOVE 0x004
#define KPNP_C_QUERY_STOP 0x008
#define KPNP_C_CANCEL_REMOVE 0x010
#define KPNP_C_CANCEL_STOP 0x020
#define KPNP_C_REMOVE 0x040
#define KPNP_C_QUERY_STATE 0x080
#define KPNP_C_SURPRISE 0x100

/* Time-outs in 100-ns units; 0 waits without limit. */
struct KPnpPolicies {
  ULONG General;
  LONGLONG RemoveTimeout;
  ULONG QueryStop;
  LONGLONG QueryStopTimeout;
  ULONG QueryRemove;
  LONGLONG QueryRemoveTimeout;
  ULONG Hold;
  ULONG PassDown;
  ULONG Complete;
};

/* One registered device interface; owned by m_Interfaces. */
struct KPnpInterface {
  const GUID *ClassGuid;
  UNICODE_STRING SymbolicLinkName; /* allocated by IoRegisterDeviceInterface */
  LIST_ENTRY Link;
};

/* A request list whose spin lock is taken, at DISPATCH_LEVEL, around each
   single operation. Whoever also looks at a request's cancel state holds
   the cancel spin lock around the operation, always taken first. */
class KPnpRequestList {
 public:
  KPnpRequestList() {
    InitializeListHead(&m_Head);
    KeInitializeSpinLock(&m_Lock);
  }
  VOID InsertTail(PIRP Irp);
  VOID Remove(PIRP Irp);
  PIRP RemoveHead(); /* NULL when empty */
  BOOLEAN IsEmpty();

 private:
  KPnpRequestList(const KPnpRequestList &) = delete;
  KPnpRequestList &operator=(const KPnpRequestList &) = delete;

  LIST_ENTRY m_Head; /* through Irp->Tail.Overlay.ListEntry */
  KSPIN_LOCK m_Lock;
};

class KPnpDevice : public KDevice {
 public:
  KPnpDevice(PDEVICE_OBJECT Pdo, const GUID *ClassGuid);
  ~KPnpDevice() override;

  VOID SetLowerDevice(KPnpLowerDevice *Lower) { m_TopOfStackDevice = Lower; }
  KPnpLowerDevice *LowerDevice() const { return m_TopOfStackDevice; }
  PDEVICE_OBJECT PhysicalDeviceObject() const { return m_pPhysicalDeviceObject; }

  LONG IncrementOutstandingRequestCount();
  LONG DecrementOutstandingRequestCount();
  LONG OutstandingRequests() { return InterlockedCompareExchange(&m_OutstandingRequests, 0, 0); }
  LONG OpenHandles() { return InterlockedCompareExchange(&m_OpenHandles, 0, 0); }
  ULONG PnpState() { return (ULONG)InterlockedCompareExchange((LONG volatile *)&m_PnpState, 0, 0); }
  const KPnpPolicies &Policies() const { return m_Policies; }

  VOID CancelHeldRequests(PFILE_OBJECT File);

  PUNICODE_STRING RegisterInterface(const GUID *ClassGuid, PCUNICODE_STRING ReferenceString);
  VOID EnableInterfaces(PUNICODE_STRING Name);
  VOID DisableInterfaces(PUNICODE_STRING Name);
  /* The first registered interface, then the one after Entry; NULL after
     the last. */
  KPnpInterface *FirstInterface();
  KPnpInterface *NextInterface(KPnpInterface *Entry);

  /* The gate. */
  NTSTATUS DeviceIrpDispatch(KIrp I) override;
  NTSTATUS Power(KIrp I) override;
  NTSTATUS Pnp(KIrp I) override;

  /* Hooks, one per minor code; slot order matters. */
  virtual NTSTATUS OnStartDevice(KIrp I);
  virtual NTSTATUS OnStopDevice(KIrp I);
  virtual NTSTATUS OnQueryRemoveDevice(KIrp I);
  virtual NTSTATUS OnRemoveDevice(KIrp I);
  virtual NTSTATUS OnCancelRemoveDevice(KIrp I);
  virtual NTSTATUS OnQueryStopDevice(KIrp I);
  virtual NTSTATUS OnCancelStopDevice(KIrp I);
  virtual NTSTATUS OnQueryDeviceRelations(KIrp I);
  virtual NTSTATUS OnQueryInterface(KIrp I);
  virtual NTSTATUS OnQueryCapabilities(KIrp I);
  virtual NTSTATUS OnQueryResources(KIrp I);
  virtual NTSTATUS OnQueryResourceRequirements(KIrp I);
  virtual NTSTATUS OnReadConfig(KIrp I);
  virtual NTSTATUS OnWriteConfig(KIrp I);
  virtual NTSTATUS OnEject(KIrp I);
  virtual NTSTATUS OnSetLock(KIrp I);
  virtual NTSTATUS OnQueryId(KIrp I);
  virtual NTSTATUS OnQueryPnpDeviceState(KIrp I);
  virtual NTSTATUS OnQueryBusInformation(KIrp I);
  virtual NTSTATUS OnQueryDeviceText(KIrp I);
  virtual NTSTATUS OnFilterResourceRequirements(KIrp I);
  virtual NTSTATUS OnDeviceUsageNotification(KIrp I);
  virtual NTSTATUS OnSurpriseRemoval(KIrp I);
  virtual NTSTATUS OnPnpMinor87(KIrp I);
  virtual VOID SetDefaultPnpPolicy();
  virtual NTSTATUS DefaultPnp(KIrp I) = 0;
  virtual NTSTATUS DefaultPower(KIrp I) = 0;
  virtual NTSTATUS HoldRequest(KIrp I);
  virtual VOID ReleaseHeldRequests(BOOLEAN Fail);
  virtual NTSTATUS WaitForRequestsDrained(LONGLONG Timeout);
  virtual NTSTATUS WaitForNoRequests(LONGLONG Timeout);

 protected:
  KPnpLowerDevice *m_TopOfStackDevice;    /* NULL after detaching at removal */
  PDEVICE_OBJECT m_pPhysicalDeviceObject;
  LONG volatile m_OutstandingRequests;    /* interlocked only; 1 when idle, 0 after removal */
  LONG volatile m_OpenHandles;            /* interlocked only */
  KMutex m_PnpMutex;                      /* held by the removal from its start to its end */
  KEvent m_RequestsDrained;               /* set when the count falls to 1, cleared when it rises to 2 */
  KEvent m_NoRequests;                    /* set when the count falls to 0 */
  KPnpRequestList m_HeldRequests;         /* changed under the cancel spin lock */
  ULONG volatile m_PnpState;              /* written only by the PnP dispatcher (interlocked); read by the gate */
  KPnpPolicies m_Policies;
  LIST_ENTRY m_Interfaces;                /* KPnpInterface; changes only in construction and destruction */

 private:
  /* Who may still destroy the object once it is removed: one for the
     device's place in the PnP stack, dropped at the end of the removal, and
     one per open handle. Whoever drops the last one destroys the object,
     and touches nothing of it after a drop that was not the last, so the
     removal and a racing last close destroy it exactly once. Interlocked
     only. */
  LONG volatile m_Holders;

  NTSTATUS GateComplete(KIrp I, NTSTATUS Status);
  NTSTATUS PassDownSkipping(KIrp I);
  NTSTATUS PassDownAndWait(KIrp I);
  VOID SetState(ULONG Bits) { InterlockedOr((LONG volatile *)&m_PnpState, (LONG)Bits); }
  VOID ClearState(ULONG Bits) { InterlockedAnd((LONG volatile *)&m_PnpState, ~(LONG)Bits); }
  BOOLEAN DropHolder();
  VOID CleanUpDeviceQueue();

  NTSTATUS PnpStart(KIrp I);
  NTSTATUS PnpQueryRemove(KIrp I);
  NTSTATUS PnpRemove(KIrp I);
  NTSTATUS PnpCancelRemove(KIrp I);
  NTSTATUS PnpStop(KIrp I);
  NTSTATUS PnpQueryStop(KIrp I);
  NTSTATUS PnpCancelStop(KIrp I);
  NTSTATUS PnpQueryState(KIrp I);
  NTSTATUS PnpSurpriseRemoval(KIrp I);

  friend VOID KPnpHeldRequestCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
};

/* The cancel routine of held requests. */
VOID KPnpHeldRequestCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
