#include "kpnplow.h"
#include "kdevice.h"
#include "kdebugdev.h"

#define KUNIT "kpnplow"

KPnpLowerDevice::KPnpLowerDevice() : m_pPhysicalDeviceObject(NULL) {}

NTSTATUS KPnpLowerDevice::Initialize(KDevice *Owner, PDEVICE_OBJECT Pdo) {
  KASSERT_AT(m_pDeviceObject == NULL, 68);
  /* Attaching the owner a second time would put it into the stack twice. */
  if (m_pDeviceObject != NULL) return STATUS_INVALID_DEVICE_STATE;
  m_pDeviceObject = IoAttachDeviceToDeviceStack(Owner->DeviceObject(), Pdo);
  m_pFileObject = NULL;
  if (m_pDeviceObject == NULL) {
    m_pPhysicalDeviceObject = NULL;
    m_ConstructorStatus = STATUS_NO_SUCH_DEVICE;
  } else {
    m_pPhysicalDeviceObject = Pdo;
  }
  KDebugReport(KDEBUG_EVENT_ATTACHED, (ULONG_PTR)this, (ULONG_PTR)(LONG_PTR)m_ConstructorStatus);
  return m_ConstructorStatus;
}
