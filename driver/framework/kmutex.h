/* KMutex: a kernel mutex embedded in its wrapper. */
#pragma once

#include "kevent.h"

class KMutex : public KDispatcherObject {
 public:
  KMutex(ULONG Level);
  ~KMutex() {}

  LONG Release(BOOLEAN Wait = FALSE) { return KeReleaseMutex(&m_Mutex, Wait); }
  PKMUTEX MutexObject() { return &m_Mutex; }

 private:
  KMUTEX m_Mutex;
};
