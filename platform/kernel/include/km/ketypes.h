/*
 * Kernel object layouts shared by every component: IRQL, dispatcher objects,
 * DPCs, timers and device queues, with their x64 sizes.
 */
#pragma once

#include "ntdef.h"

typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef enum _KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;

/* Type byte of a dispatcher header. */
typedef enum _KOBJECTS {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  GateObject = 7,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
  DpcObject = 19,
  DeviceQueueObject = 21,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size; /* in LONGs */
  UCHAR Inserted;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD, *PETHREAD;
struct _KPROCESS;
typedef struct _KPROCESS *PKPROCESS, *PEPROCESS;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  struct _KTHREAD *OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef void KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

typedef struct _KDPC {
  union {
    ULONG TargetInfoAsUlong;
    struct {
      UCHAR Type;
      UCHAR Importance;
      volatile USHORT Number;
    };
  };
  SINGLE_LIST_ENTRY DpcListEntry;
  KAFFINITY ProcessorHistory;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData; /* non-NULL while the DPC is queued */
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime; /* interrupt time, 100 ns */
  LIST_ENTRY TimerListEntry;
  struct _KDPC *Dpc;
  ULONG Processor;
  ULONG Period; /* ms */
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KDEVICE_QUEUE_ENTRY {
  LIST_ENTRY DeviceListEntry;
  ULONG SortKey;
  BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY, *PRKDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
  CSHORT Type;
  CSHORT Size;
  LIST_ENTRY DeviceListHead;
  KSPIN_LOCK Lock;
  BOOLEAN Busy;
} KDEVICE_QUEUE, *PKDEVICE_QUEUE, *PRKDEVICE_QUEUE;

typedef struct _KAPC {
  UCHAR Type;
  UCHAR SpareByte0;
  UCHAR Size;
  UCHAR SpareByte1;
  ULONG SpareLong0;
  struct _KTHREAD *Thread;
  LIST_ENTRY ApcListEntry;
  PVOID Reserved[3];
  PVOID NormalContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  CCHAR ApcStateIndex;
  KPROCESSOR_MODE ApcMode;
  BOOLEAN Inserted;
} KAPC, *PKAPC, *PRKAPC;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  UCHAR WaitType;
  volatile UCHAR BlockState;
  USHORT WaitKey;
  LONG SpareLong;
  PVOID Thread;
  PVOID Object;
  PVOID SparePtr;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

C_ASSERT(sizeof(DISPATCHER_HEADER) == 24);
C_ASSERT(sizeof(KEVENT) == 24);
C_ASSERT(sizeof(KMUTEX) == 56);
C_ASSERT(sizeof(KDPC) == 64);
C_ASSERT(sizeof(KTIMER) == 64);
C_ASSERT(sizeof(KDEVICE_QUEUE) == 40);
C_ASSERT(sizeof(KDEVICE_QUEUE_ENTRY) == 24);
C_ASSERT(sizeof(KAPC) == 88);
C_ASSERT(sizeof(KWAIT_BLOCK) == 48);
