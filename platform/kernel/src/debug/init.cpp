#include "ki.h"

void KdInitialize() {}
void KdShutdown() {}
