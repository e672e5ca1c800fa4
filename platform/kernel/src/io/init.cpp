#include "ki.h"

void IopInitialize() {}
void IopShutdown() {}
