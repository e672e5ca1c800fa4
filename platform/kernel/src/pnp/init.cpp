#include "ki.h"

void PnpInitialize() {}
void PnpShutdown() {}
