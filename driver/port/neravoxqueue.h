/*
 * NERAVOXQueue: the port device's driver-managed queue. It starts every
 * request in the caller's context and completes through the PnP device.
 */
#pragma once

#include "kdmqcsq.h"

class NERAVOXQueue : public KDriverManagedQueueCsq {
 public:
  NERAVOXQueue() : KDriverManagedQueueCsq(TRUE, NULL) {}

  VOID StartIo(KIrp I) override;
};
