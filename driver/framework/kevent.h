/*
 * Dispatcher-object wrappers: KEvent, and the timers KTimer and
 * KTimedCallback. Each embeds its kernel object, so it must neither move nor
 * be copied while the object is in use (waited on, set, queued).
 */
#pragma once

#include "kplatform.h"

class KDispatcherObject {
 public:
  KDispatcherObject() : m_Storage(0), m_Object(NULL), m_Referenced(FALSE) {}
  ~KDispatcherObject() { Release(); }

  VOID Attach(PVOID Object) {
    m_Storage = 0;
    m_Object = Object;
    m_Referenced = FALSE;
  }
  VOID Release();
  PVOID Object() const { return m_Object; }

  NTSTATUS Wait(KPROCESSOR_MODE Mode = KernelMode, BOOLEAN Alertable = FALSE, PLARGE_INTEGER Timeout = NULL,
                KWAIT_REASON Reason = Executive);

 private:
  KDispatcherObject(const KDispatcherObject &) = delete;
  KDispatcherObject &operator=(const KDispatcherObject &) = delete;

  ULONG_PTR m_Storage; /* 0: the kernel object is embedded in the wrapper */
  PVOID m_Object;
  BOOLEAN m_Referenced;
};

class KEvent : public KDispatcherObject {
 public:
  KEvent(EVENT_TYPE Type, BOOLEAN InitialState);
  ~KEvent() {}

  LONG Set(KPRIORITY Increment = IO_NO_INCREMENT, BOOLEAN Wait = FALSE) {
    return KeSetEvent(&m_Event, Increment, Wait);
  }
  VOID Clear() { KeClearEvent(&m_Event); }
  PKEVENT EventObject() { return &m_Event; }

 private:
  BOOLEAN m_OpenedByHandle;
  KEVENT m_Event;
};

class KTimer {
 public:
  KTimer();
  ~KTimer();

  /* Due times: negative values are relative, in 100-ns units. Return
     whether the timer was already set. */
  virtual BOOLEAN Set(LONGLONG DueTime);
  virtual BOOLEAN Set(LARGE_INTEGER DueTime);
  virtual BOOLEAN SetPeriodic(LONGLONG DueTime, LONG PeriodMs);
  virtual BOOLEAN SetPeriodic(LARGE_INTEGER DueTime, LONG PeriodMs);

  /* Returns whether the timer was set. */
  BOOLEAN Cancel() { return KeCancelTimer(&m_Timer); }
  NTSTATUS Wait(KPROCESSOR_MODE Mode = KernelMode, BOOLEAN Alertable = FALSE, PLARGE_INTEGER Timeout = NULL,
                KWAIT_REASON Reason = Executive) {
    return m_Dispatcher.Wait(Mode, Alertable, Timeout, Reason);
  }
  PKTIMER TimerObject() { return &m_Timer; }

 protected:
  KDispatcherObject m_Dispatcher;
  KTIMER m_Timer;

 private:
  KTimer(const KTimer &) = delete;
  KTimer &operator=(const KTimer &) = delete;
};

/* A timer whose expiry queues a deferred call. */
class KTimedCallback : public KTimer {
 public:
  KTimedCallback() { RtlZeroMemory(&m_Dpc, sizeof(m_Dpc)); }
  ~KTimedCallback();

  using KTimer::Set;
  using KTimer::SetPeriodic;
  virtual BOOLEAN Set(LONGLONG DueTime, PKDEFERRED_ROUTINE Routine, PVOID Context);
  virtual BOOLEAN Set(LARGE_INTEGER DueTime, PKDEFERRED_ROUTINE Routine, PVOID Context);
  virtual BOOLEAN SetPeriodic(LONGLONG DueTime, LONG PeriodMs, PKDEFERRED_ROUTINE Routine, PVOID Context);
  virtual BOOLEAN SetPeriodic(LARGE_INTEGER DueTime, LONG PeriodMs, PKDEFERRED_ROUTINE Routine, PVOID Context);

 protected:
  KDPC m_Dpc;
};
