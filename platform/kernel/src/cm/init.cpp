#include "ki.h"

void CmpInitialize() {}
void CmpShutdown() {}
