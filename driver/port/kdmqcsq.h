/*
 * KDriverManagedQueueCsq: a queue that serialises the requests of one kind.
 * One request at a time is current and is handed to StartIo; the others wait
 * in a cancel-safe list (IO_CSQ) until the current one is finished with
 * NextIrp or PnpNextIrp.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"
#include "kworkitm.h"

class KPnpDevice;

typedef VOID (*KQUEUE_COMPLETE_HOOK)(PDEVICE_OBJECT DeviceObject);

/* The cancel-safe list: the IO_CSQ with the lock and list its callbacks use. */
struct KQueueCsq {
  IO_CSQ Csq;
  KSPIN_LOCK Lock;
  LIST_ENTRY List; /* through Irp->Tail.Overlay.ListEntry; guarded by Lock */
  class KDriverManagedQueueCsq *Owner;
};

class KDriverManagedQueueCsq {
 public:
  KDriverManagedQueueCsq(BOOLEAN DirectStart, KQUEUE_COMPLETE_HOOK CompleteHook);
  ~KDriverManagedQueueCsq() {}

  NTSTATUS Initialize(PDEVICE_OBJECT DeviceObject);

  /* Starts the request at once when the queue is idle, else keeps it
     waiting; always STATUS_PENDING. */
  NTSTATUS QueueIrp(KIrp I);
  /* Makes the next waiting request current and starts it, then completes
     Finished (when given) with its own status and Boost. */
  VOID NextIrp(KIrp Finished, CCHAR Boost);
  /* NextIrp, then the completion hook or the release of the PnP device's
     request count for Finished. Device NULL: the device in the extension of
     Finished's device object. */
  VOID PnpNextIrp(KIrp Finished, CCHAR Boost);
  VOID PnpNextIrp(KPnpDevice *Device, KIrp Finished, CCHAR Boost);
  /* Every waiting request (of File, when given) completed with
     STATUS_CANCELLED; the current one is not touched. */
  VOID CancelAll(KPnpDevice *Device, PFILE_OBJECT File);
  KIrp CurrentIrp();
  BOOLEAN DirectStart() const { return m_DirectStart; }
  VOID SetDirectStart(BOOLEAN DirectStart) { m_DirectStart = DirectStart; }

  virtual VOID StartIo(KIrp I) = 0;
  /* Takes I out of the queue and completes it with STATUS_CANCELLED. For the
     current request the caller must own it: nothing else may finish it. */
  virtual VOID CancelIrp(KIrp I);

 protected:
  KQueueCsq m_Csq;
  KIrp m_CurrentIrp;           /* guarded by m_StateLock */
  BOOLEAN m_bBusy;             /* guarded by m_StateLock */
  BOOLEAN m_DirectStart;
  KWorkItem m_WorkItem;
  KQUEUE_COMPLETE_HOOK m_CompleteHook;

 private:
  KDriverManagedQueueCsq(const KDriverManagedQueueCsq &) = delete;
  KDriverManagedQueueCsq &operator=(const KDriverManagedQueueCsq &) = delete;

  /* Makes the test of m_bBusy and the insertion into the list, and the
     emptying of the list and the clearing of m_bBusy, one step each: a
     request queued while another finishes is then either started or found
     by the next NextIrp. Taken before m_Csq.Lock. */
  KSPIN_LOCK m_StateLock;

  VOID Start(PIRP Irp);
  VOID CompleteRemoved(KPnpDevice *Device, KIrp I);
  static KPnpDevice *PnpDeviceOf(KIrp I);
  static VOID StartWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
  static VOID CsqCompleteCanceled(PIO_CSQ Csq, PIRP Irp);
};
