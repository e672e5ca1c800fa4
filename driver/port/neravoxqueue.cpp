#include "neravoxqueue.h"
#include "kdevice.h"
#include "ktrace.h"

#define KUNIT "neravoxqueue"

VOID NERAVOXQueue::StartIo(KIrp I) {
  PIRP irp = I;
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXQueue::StartIo++.  IRP %p\n", irp);
  PDEVICE_OBJECT deviceObject = I.DeviceObject(CURRENT);
  KDevice *pDev = deviceObject != NULL ? (KDevice *)deviceObject->DeviceExtension : NULL;
  KASSERT(pDev);
  switch (I.MajorFunction(CURRENT)) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      if (pDev != NULL) pDev->StartIo(I);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      KASSERT(FALSE);
      break;
    default:
      KASSERT(FALSE);
      I.Status() = STATUS_INVALID_PARAMETER;
      /* Completed here, so its request count is released here too. */
      PnpNextIrp(I, IO_NO_INCREMENT);
      break;
  }
  if (g_Trace != NULL) g_Trace->Trace(1, "NERAVOXQueue::StartIo--.  IRP %p\n", irp);
}
