/*
 * Deferred work: KDeferredCall (a DPC; the wrapper is the kernel object) and
 * KWorkItem (an I/O work item run at PASSIVE_LEVEL on a worker thread).
 */
#pragma once

#include "kplatform.h"

class KDeferredCall : public KDPC {
 public:
  KDeferredCall() { RtlZeroMemory(static_cast<KDPC *>(this), sizeof(KDPC)); }

  VOID Initialize(PKDEFERRED_ROUTINE Routine, PVOID Context) { KeInitializeDpc(this, Routine, Context); }
  /* FALSE when the call was already queued: it runs once. */
  BOOLEAN Queue(PVOID Argument1 = NULL, PVOID Argument2 = NULL) {
    return KeInsertQueueDpc(this, Argument1, Argument2);
  }

 private:
  KDeferredCall(const KDeferredCall &) = delete;
  KDeferredCall &operator=(const KDeferredCall &) = delete;
};

class KWorkItem {
 public:
  KWorkItem() : m_pItem(NULL) {}
  ~KWorkItem();

  NTSTATUS Initialize(PDEVICE_OBJECT DeviceObject);
  VOID Queue(PIO_WORKITEM_ROUTINE Routine, PVOID Context, WORK_QUEUE_TYPE QueueType = DelayedWorkQueue);

 private:
  KWorkItem(const KWorkItem &) = delete;
  KWorkItem &operator=(const KWorkItem &) = delete;

  PIO_WORKITEM m_pItem;
};
