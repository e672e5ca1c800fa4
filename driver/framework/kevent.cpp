#include "kevent.h"

#define KUNIT "kevent"

VOID KDispatcherObject::Release() {
  if (m_Object != NULL) {
    if (m_Referenced) ObDereferenceObject(m_Object);
    m_Referenced = FALSE;
    m_Object = NULL;
  }
}

NTSTATUS KDispatcherObject::Wait(KPROCESSOR_MODE Mode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                 KWAIT_REASON Reason) {
  return KeWaitForSingleObject(m_Object, Reason, Mode, Alertable, Timeout);
}

KEvent::KEvent(EVENT_TYPE Type, BOOLEAN InitialState) {
  KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  Attach(&m_Event);
  m_OpenedByHandle = FALSE;
  KeInitializeEvent(&m_Event, Type, InitialState);
}

KTimer::KTimer() {
  m_Dispatcher.Attach(&m_Timer);
  KeInitializeTimer(&m_Timer);
}

KTimer::~KTimer() {
  Cancel();
  m_Dispatcher.Release();
}

BOOLEAN KTimer::Set(LONGLONG DueTime) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  return KeSetTimer(&m_Timer, due, NULL);
}

BOOLEAN KTimer::Set(LARGE_INTEGER DueTime) { return KeSetTimer(&m_Timer, DueTime, NULL); }

BOOLEAN KTimer::SetPeriodic(LONGLONG DueTime, LONG PeriodMs) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  return KeSetTimerEx(&m_Timer, due, PeriodMs, NULL);
}

BOOLEAN KTimer::SetPeriodic(LARGE_INTEGER DueTime, LONG PeriodMs) {
  return KeSetTimerEx(&m_Timer, DueTime, PeriodMs, NULL);
}

KTimedCallback::~KTimedCallback() {
  /* The timer must not queue the deferred call once the object is gone. A
     call the timer queued just before is taken off the queue too: it would
     run on freed memory. */
  Cancel();
  KeRemoveQueueDpc(&m_Dpc);
}

BOOLEAN KTimedCallback::Set(LONGLONG DueTime, PKDEFERRED_ROUTINE Routine, PVOID Context) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  return Set(due, Routine, Context);
}

BOOLEAN KTimedCallback::Set(LARGE_INTEGER DueTime, PKDEFERRED_ROUTINE Routine, PVOID Context) {
  KeInitializeDpc(&m_Dpc, Routine, Context);
  return KeSetTimer(&m_Timer, DueTime, &m_Dpc);
}

BOOLEAN KTimedCallback::SetPeriodic(LONGLONG DueTime, LONG PeriodMs, PKDEFERRED_ROUTINE Routine, PVOID Context) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  return SetPeriodic(due, PeriodMs, Routine, Context);
}

BOOLEAN KTimedCallback::SetPeriodic(LARGE_INTEGER DueTime, LONG PeriodMs, PKDEFERRED_ROUTINE Routine,
                                    PVOID Context) {
  KeInitializeDpc(&m_Dpc, Routine, Context);
  return KeSetTimerEx(&m_Timer, DueTime, PeriodMs, &m_Dpc);
}
