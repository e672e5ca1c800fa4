#include "kworkitm.h"

#define KUNIT "kworkitm"

KWorkItem::~KWorkItem() {
  if (m_pItem != NULL) IoFreeWorkItem(m_pItem);
  m_pItem = NULL;
}

NTSTATUS KWorkItem::Initialize(PDEVICE_OBJECT DeviceObject) {
  KASSERT(!m_pItem);
  /* A second initialisation replaces the item; the first must not leak. */
  if (m_pItem != NULL) IoFreeWorkItem(m_pItem);
  m_pItem = IoAllocateWorkItem(DeviceObject);
  return m_pItem != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID KWorkItem::Queue(PIO_WORKITEM_ROUTINE Routine, PVOID Context, WORK_QUEUE_TYPE QueueType) {
  KASSERT(m_pItem);
  if (m_pItem != NULL) IoQueueWorkItem(m_pItem, Routine, QueueType, Context);
}
