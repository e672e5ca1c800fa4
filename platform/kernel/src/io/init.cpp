#include "io/iop.h"

void IopInitialize() {
  IopIrpInitialize();
  IopNamespaceInitialize();
}

void IopShutdown() {
  IopPowerShutdown();
  IopInterfacesShutdown();
  IopNamespaceShutdown();
  IopIrpShutdown();
}
