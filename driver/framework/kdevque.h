/*
 * KDeviceQueue over a system device queue (such as the one in a device
 * object), the spin lock holder it locks with, and the cancel spin lock.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"

class KPnpDevice;

/* Takes a spin lock at or up to DISPATCH_LEVEL. */
class KSpinLockHolder {
 public:
  explicit KSpinLockHolder(PKSPIN_LOCK Lock) : m_pLock(Lock) {}
  /* Returns the IRQL to give back to Unlock. */
  KIRQL Lock(BOOLEAN AtDispatchLevel);
  VOID Unlock(KIRQL Irql);

 private:
  PKSPIN_LOCK m_pLock;
};

/* The system's cancel spin lock. Only its holder reads or writes the saved
   IRQL, so one global serves every caller. */
class KCancelSpinLock {
 public:
  static KIRQL Acquire();
  static VOID Release();
  /* For cancel routines, which get the lock held and must restore the
     request's CancelIrql. */
  static VOID Release(KIRQL Irql);

 private:
  static KIRQL m_Irql;
};

class KDeviceQueue {
 public:
  explicit KDeviceQueue(PKDEVICE_QUEUE Queue) : m_pdq(Queue), m_Owned(FALSE) {}
  ~KDeviceQueue();

  KIRQL Lock(BOOLEAN AtDispatchLevel = FALSE);
  VOID Unlock(KIRQL Irql);

  /* The walk: call these with the queue locked. NULL when empty. */
  PIRP Head();
  PIRP Tail();
  /* The request after Irp; after the last one (or for NULL) the head. */
  PIRP Next(PIRP Irp);

  /* TRUE when the request was still queued. */
  BOOLEAN RemoveEntry(PIRP Irp);

  /* Cancels the queued requests of File (all with NULL) through the PnP
     device's completion (defined with the PnP device base). */
  VOID CleanUp(KPnpDevice *Device, PFILE_OBJECT File);

 private:
  KDeviceQueue(const KDeviceQueue &) = delete;
  KDeviceQueue &operator=(const KDeviceQueue &) = delete;

  PKDEVICE_QUEUE m_pdq;
  BOOLEAN m_Owned; /* the wrapper allocated the queue */
};
