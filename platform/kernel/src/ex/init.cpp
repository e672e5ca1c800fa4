#include "ki.h"

void ExpInitialize() {}
void ExpShutdown() {}
