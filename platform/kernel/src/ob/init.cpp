#include "ki.h"

void ObpInitialize() {}

/* Handles left open are closed, so that their objects go as they would
   have at the owner's ZwClose. */
void ObpShutdown() { ObpCloseAllHandles(); }
