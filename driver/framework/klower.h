/*
 * KLowerDevice: a device to which requests are sent. Bound by name
 * (IoGetDeviceObjectPointer, holding the file object's reference) or, as
 * KPnpLowerDevice, attached below in the PnP stack.
 *
 * No lock: written only while the owner is constructed, removed (after the
 * PnP base waited for the requests in progress) and destroyed.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"
#include "kevent.h"

class KLowerDevice {
 public:
  KLowerDevice();

  NTSTATUS Initialize(PCWSTR Name, ACCESS_MASK Access);
  VOID Release();

  NTSTATUS Call(KIrp I);
  NTSTATUS CallWaitComplete(KIrp I, BOOLEAN Reclaim, ULONG_PTR *pInformation);
  NTSTATUS DeviceIoControl(ULONG Code, PVOID In, ULONG InLength, PVOID Out, ULONG OutLength, BOOLEAN Internal,
                           ULONG_PTR *pInformation);

  PDEVICE_OBJECT DeviceObject() const { return m_pDeviceObject; }
  PFILE_OBJECT FileObject() const { return m_pFileObject; }
  NTSTATUS ConstructorStatus() const { return m_ConstructorStatus; }

 protected:
  NTSTATUS m_ConstructorStatus;
  PDEVICE_OBJECT m_pDeviceObject;
  PFILE_OBJECT m_pFileObject; /* set only by the by-name binding */
};

/* What CallWaitComplete keeps on the caller's stack while the request is
   below. */
struct KLowerCallFrame {
  KEvent m_Done;
  PIO_COMPLETION_ROUTINE m_SavedRoutine;
  PVOID m_SavedContext;
  NTSTATUS m_Status;
  ULONG_PTR m_Information;
  BOOLEAN m_Reclaim;

  KLowerCallFrame() : m_Done(NotificationEvent, FALSE) {}
};

/* The framework's completion routine of CallWaitComplete. */
EXTERN_C NTSTATUS KLowerDeviceCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
