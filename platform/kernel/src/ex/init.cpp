#include "ex/exp.h"
#include "ki.h"

void ExpInitialize() { ExpInitializePool(); }

void ExpShutdown() { ExpShutdownPool(); }
