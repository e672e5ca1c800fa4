/*
 * The kernel's scheduling core and object manager as drivers see them: IRQL,
 * spin locks, dispatcher objects and waits, time, DPCs, timers, device
 * queues, system threads, object references and handles.
 *
 * IRQL is bookkeeping per host thread (every host thread starts at
 * PASSIVE_LEVEL); spin locks give real mutual exclusion between host threads.
 * Misuse that Windows or its Driver Verifier would stop on stops the run with
 * a bug check naming the rule broken.
 */
#pragma once

#include "ntdef.h"
#include "ketypes.h"

/* ---- access rights ---- */
#ifndef DELETE
#define DELETE ((ACCESS_MASK)0x00010000L)
#endif
#ifndef READ_CONTROL
#define READ_CONTROL ((ACCESS_MASK)0x00020000L)
#endif
#ifndef WRITE_DAC
#define WRITE_DAC ((ACCESS_MASK)0x00040000L)
#endif
#ifndef WRITE_OWNER
#define WRITE_OWNER ((ACCESS_MASK)0x00080000L)
#endif
#ifndef SYNCHRONIZE
#define SYNCHRONIZE ((ACCESS_MASK)0x00100000L)
#endif
#ifndef STANDARD_RIGHTS_REQUIRED
#define STANDARD_RIGHTS_REQUIRED ((ACCESS_MASK)0x000F0000L)
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL ((ACCESS_MASK)0x001F0000L)
#endif
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED ((ACCESS_MASK)0x02000000L)
#endif
#ifndef GENERIC_READ
#define GENERIC_READ ((ACCESS_MASK)0x80000000L)
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE ((ACCESS_MASK)0x40000000L)
#endif
#ifndef GENERIC_EXECUTE
#define GENERIC_EXECUTE ((ACCESS_MASK)0x20000000L)
#endif
#ifndef GENERIC_ALL
#define GENERIC_ALL ((ACCESS_MASK)0x10000000L)
#endif
#ifndef THREAD_ALL_ACCESS
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#endif
#ifndef EVENT_ALL_ACCESS
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#endif

/* ---- object attributes, client ids, thread start routines ---- */
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;
C_ASSERT(sizeof(OBJECT_ATTRIBUTES) == 48);

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

EXTERN_C_START

/* ---- IRQL ----
 * Raising to a lower level, or lowering to a higher one, bug-checks. */
NTKERNELAPI KIRQL KeGetCurrentIrql(void);
NTKERNELAPI KIRQL KfRaiseIrql(KIRQL NewIrql);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel(void);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))

/* ---- spin locks ----
 * The lock value is 0 when free and names its holder otherwise. Releasing a
 * lock the caller does not hold, acquiring one it holds, the AtDpcLevel
 * forms below DISPATCH_LEVEL, and acquiring in an order that closes a cycle
 * with an order seen before, all bug-check. */
NTKERNELAPI VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL KeAcquireSpinLockForDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLockForDpc(PKSPIN_LOCK SpinLock, KIRQL OldIrql);
NTKERNELAPI BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

typedef struct _KSPIN_LOCK_QUEUE {
  struct _KSPIN_LOCK_QUEUE *volatile Next;
  PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
  KSPIN_LOCK_QUEUE LockQueue;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;
C_ASSERT(sizeof(KLOCK_QUEUE_HANDLE) == 24);

NTKERNELAPI VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

/* ---- dispatcher objects ---- */
NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
NTKERNELAPI LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

NTKERNELAPI VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG KeReadStateMutex(PRKMUTEX Mutex);

NTKERNELAPI VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTKERNELAPI LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
NTKERNELAPI LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

/* ---- waits ----
 * Timeout: NULL waits for ever, a negative value is relative (100 ns units),
 * a positive one an absolute system time, zero polls and never blocks.
 * No APCs are delivered on this system: WaitMode and Alertable change
 * nothing and a wait never ends with STATUS_ALERTED or STATUS_USER_APC.
 * Waiting with any time-out but zero needs IRQL <= APC_LEVEL. More than
 * THREAD_WAIT_OBJECTS objects need a WaitBlockArray of Count entries. */
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                           BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                              KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                              PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
/* Busy-waits; the caller's thread does not give up the processor. */
NTKERNELAPI VOID KeStallExecutionProcessor(ULONG MicroSeconds);

/* ---- time ----
 * Interrupt time: the host's monotonic clock in 100 ns units. System time:
 * 100 ns units since 1601-01-01 UTC. */
NTKERNELAPI ULONGLONG KeQueryInterruptTime(void);
/* The spin-wait hint. On the processor it only pauses the pipeline; here
 * it gives the host processor up for the shortest sleep, so a driver that
 * polls a register does not starve the threads that play its hardware. */
NTKERNELAPI VOID YieldProcessor(void);
NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG KeQueryTimeIncrement(void);
NTKERNELAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

/* ---- DPCs ----
 * One DPC thread runs them at DISPATCH_LEVEL, in queue order (high
 * importance ones go to the front). A DPC already queued is not queued
 * again. */
NTKERNELAPI VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
NTKERNELAPI VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);
/* Returns once every DPC queued before the call has run. PASSIVE_LEVEL. */
NTKERNELAPI VOID KeFlushQueuedDpcs(void);

/* ---- timers ----
 * DueTime as for waits; Period in milliseconds (0: one-shot). Setting a set
 * timer restarts it and returns TRUE. At expiry the timer is signalled and
 * its DPC, if any, queued. */
NTKERNELAPI VOID KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN KeReadStateTimer(PKTIMER Timer);

/* ---- device queues ----
 * Insert returns FALSE (and marks the queue busy) when the queue was idle:
 * the caller starts the entry itself. Remove returns NULL (and marks the
 * queue idle) when nothing is queued. DISPATCH_LEVEL or below. */
NTKERNELAPI VOID KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue);
NTKERNELAPI BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);
NTKERNELAPI BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry,
                                             ULONG SortKey);
NTKERNELAPI PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue);
NTKERNELAPI PKDEVICE_QUEUE_ENTRY KeRemoveByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, ULONG SortKey);
NTKERNELAPI BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);

/* ---- threads ----
 * Every host thread has a thread object; one that the kernel did not create
 * gets it the first time it asks. */
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

NTKERNELAPI PKTHREAD KeGetCurrentThread(void);
NTKERNELAPI PETHREAD PsGetCurrentThread(void);
NTKERNELAPI HANDLE PsGetCurrentThreadId(void);
NTKERNELAPI KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
#define KeGetPriorityThread KeQueryPriorityThread
NTKERNELAPI ULONG KeGetCurrentProcessorNumber(void);
NTKERNELAPI VOID KeEnterCriticalRegion(void);
NTKERNELAPI VOID KeLeaveCriticalRegion(void);

/* Starts StartRoutine(StartContext) on a new thread at PASSIVE_LEVEL and
 * returns a kernel handle to its thread object, which is signalled when the
 * thread ends. ProcessHandle must be NULL (the system process). */
NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                          PVOID StartContext);
/* Ends the calling system thread; does not return. Called from a thread the
 * kernel did not create, it returns STATUS_INVALID_PARAMETER. */
NTKERNELAPI NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
/* STATUS_PENDING while the thread runs. */
NTKERNELAPI NTSTATUS PsGetThreadExitStatus(PETHREAD Thread);

/* ---- objects and handles ---- */
struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;
extern POBJECT_TYPE *PsThreadType;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#define ObReferenceObjectWithTag(Object, Tag) ObfReferenceObject(Object)
#define ObDereferenceObjectWithTag(Object, Tag) ObfDereferenceObject(Object)
/* ObjectType NULL accepts any type. */
NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                               KPROCESSOR_MODE AccessMode, PVOID *Object,
                                               POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode);

/* Closing a handle that is not open gives STATUS_INVALID_HANDLE. */
NTSYSAPI NTSTATUS ZwClose(HANDLE Handle);
NTSYSAPI NTSTATUS NtClose(HANDLE Handle);

EXTERN_C_END

/* Pseudo-handle of the calling thread, accepted by ObReferenceObjectByHandle. */
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()
