#include "debug/kdp.h"
#include "ki.h"

void KdInitialize() { KdpResetCapture(); }

void KdShutdown() { KdpCloseOpenLines(); }
