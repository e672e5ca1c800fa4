/*
 * KPnpLowerDevice: the device below in the PnP stack, attached during the
 * owner's construction and detached by the PnP base at removal.
 */
#pragma once

#include "klower.h"

class KDevice;
class KPnpDevice;

class KPnpLowerDevice : public KLowerDevice {
 public:
  KPnpLowerDevice();

  NTSTATUS Initialize(KDevice *Owner, PDEVICE_OBJECT Pdo);

  /* Pass-down that first releases the device's outstanding-request count
     (defined with the PnP device base). */
  NTSTATUS PnpCall(KPnpDevice *Device, KIrp I);
  NTSTATUS PnpPowerCall(KPnpDevice *Device, KIrp I);

  PDEVICE_OBJECT PhysicalDeviceObject() const { return m_pPhysicalDeviceObject; }

 protected:
  PDEVICE_OBJECT m_pPhysicalDeviceObject; /* NULL if the attachment failed */
};
