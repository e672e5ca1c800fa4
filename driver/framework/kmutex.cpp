#include "kmutex.h"

#define KUNIT "kmutex"

KMutex::KMutex(ULONG Level) {
  KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  Attach(&m_Mutex);
  KeInitializeMutex(&m_Mutex, Level);
}
