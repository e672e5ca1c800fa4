#include "ki.h"

void ObpInitialize() {}
void ObpShutdown() {}
