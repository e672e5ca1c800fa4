#include "ki.h"

void KiInitialize() {
  KiLockGraphReset();
  KiTimersInitialize();
  KiDpcInitialize();
  KiWorkersInitialize();
}

/* System threads first (they may set timers and queue DPCs), then the
   timer thread (it queues DPCs), the DPC thread (its routines queue work
   items) and the workers. */
void KiShutdown() {
  KiThreadsShutdown();
  KiTimersShutdown();
  KiDpcShutdown();
  KiWorkersShutdown();
  KiLockGraphReset();
}
