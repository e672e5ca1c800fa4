#include "ki.h"

void KiInitialize() {}
void KiShutdown() {}
