/*
 * What the kernel layer's components call in one another. Not visible to
 * drivers: they see only <ntddk.h> and <ntddser.h>.
 *
 *   ex/     pool, fault injection                          (Exp*)
 *   ke/     IRQL, spin locks, dispatcher objects, waits,
 *           DPCs, timers, device queues, time, threads      (Ki*)
 *   ob/     object headers, references, handles            (Obp*)
 *   io/     object namespace and links, devices, IRPs,
 *           cancel, CSQ, remove locks, work items,
 *           interfaces, power                               (Iop*)
 *   cm/     registry                                        (Cmp*)
 *   pnp/    PnP manager, driver loading                     (Pnp*)
 *   iomgr/  user-mode I/O (open, read, write, control)      (Iom*)
 *   debug/  DbgPrint capture, RtlAssert, bug checks         (Kd*)
 *   rtl/    strings, kernel formatting                      (Rtl*)
 *   hal/    register access                                 (Hal*)
 *   system/ boot and shutdown                               (nt::Boot)
 */
#pragma once

#include <ntddk.h>

/* ---- start-up and shut-down, called by nt::Boot / nt::Shutdown in this order
 *      (shutdown in reverse). Each must leave its component as new. ---- */
void KdInitialize();
void KdShutdown();
void ExpInitialize();
void ExpShutdown();
void KiInitialize(); /* starts the DPC, timer and worker threads */
void KiShutdown();
void ObpInitialize();
void ObpShutdown();
void IopInitialize();
void IopShutdown();
void CmpInitialize(); /* builds the machine's registry keys */
void CmpShutdown();
void PnpInitialize();
void PnpShutdown();

/* ---- bug checks (debug/) ----
 * Stops the run: prints the report (code, parameters, the rule broken, the
 * last debug-output lines, a host backtrace) to stderr and the report file,
 * then aborts. Codes use the Windows numbering (e.g. 0xC4 for a verifier
 * violation, 0x44 for an IRP completed twice). */
[[noreturn]] void KiBugCheck(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4,
                             const char *Rule);

/* ---- IRQL checks (ke/) ---- */
void KiCheckIrqlAtMost(KIRQL Max, const char *Routine); /* bug check 0xC4 above Max */

/* ---- pool checks (ke/ answers for ex/) ----
 * Whether a DPC queued, or a timer set, lies inside [Base, Base+Size). */
BOOLEAN KiDpcQueuedInRange(const void *Base, SIZE_T Size);
BOOLEAN KiTimerSetInRange(const void *Base, SIZE_T Size);

/* ---- object manager (ob/) ----
 * Every object the kernel hands out by pointer (threads, devices, drivers,
 * files, keys, links) has a header in front of its body, so that
 * ObReferenceObject/ObDereferenceObject work on any of them. */
struct OBP_OBJECT_TYPE {
  const char *Name;
  void (*Delete)(PVOID Object); /* last reference gone; may be NULL */
};
PVOID ObpCreateObject(const OBP_OBJECT_TYPE *Type, SIZE_T BodySize); /* zeroed, one reference; NULL if no memory */
const OBP_OBJECT_TYPE *ObpTypeOf(PVOID Object);                     /* NULL if not an object */
LONG ObpReferenceCount(PVOID Object);
NTSTATUS ObpCreateHandle(PVOID Object, PHANDLE Handle); /* takes a reference of its own */

/* ---- object namespace (io/) ----
 * Names are full paths ("\Device\X", "\??\COM5"); "\DosDevices" is "\??".
 * A name holds a reference on its object. */
NTSTATUS ObpInsertName(PCUNICODE_STRING Path, PVOID Object); /* STATUS_OBJECT_NAME_COLLISION */
NTSTATUS ObpRemoveName(PCUNICODE_STRING Path);
/* Follows symbolic links; returns a referenced object. */
NTSTATUS ObpLookupName(PCUNICODE_STRING Path, PVOID *Object);

/* ---- whose code is running (every component that calls into a driver) ----
 * The kernel sets this around every call into a driver (DriverEntry,
 * AddDevice, Unload, dispatch, completion, cancel, DPC, timer DPC, work item,
 * system thread start, CSQ callbacks) so that pool, devices and IRPs can be
 * charged to the driver and reported when it unloads. NULL: the system or a
 * test. */
struct _DRIVER_OBJECT;
inline thread_local struct _DRIVER_OBJECT *KiCurrentDriverValue = nullptr;
inline struct _DRIVER_OBJECT *KiCurrentDriver() { return KiCurrentDriverValue; }
/* RAII: charge what happens in this scope to Driver. */
class KiDriverScope {
 public:
  explicit KiDriverScope(struct _DRIVER_OBJECT *Driver) : m_Saved(KiCurrentDriverValue) { KiCurrentDriverValue = Driver; }
  ~KiDriverScope() { KiCurrentDriverValue = m_Saved; }
  KiDriverScope(const KiDriverScope &) = delete;
  KiDriverScope &operator=(const KiDriverScope &) = delete;

 private:
  struct _DRIVER_OBJECT *m_Saved;
};

/* ---- worker threads (ke/) ----
 * Runs Routine(Context) on a system worker thread at PASSIVE_LEVEL, with the
 * given driver charged; the base of IoQueueWorkItem. */
void KiQueueWorker(void (*Routine)(PVOID Context), PVOID Context, struct _DRIVER_OBJECT *Driver);

/* ---- spin-lock bookkeeping (ke/ answers for ex/) ----
 * Freed pool may be reused for other locks: forget the lock-order history of
 * any lock inside [Base, Base+Size). */
void KiForgetLocksInRange(const void *Base, SIZE_T Size);

/* ke/ */
/* ---- thread objects ----
 * The body of a thread object (an Ob object of type PsThreadType). Header is
 * signalled, under the dispatcher lock, when the thread ends. */
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  KPRIORITY Priority;              /* recorded only; host priorities are left alone */
  NTSTATUS ExitStatus;             /* valid once Header is signalled */
  CLIENT_ID Cid;
  BOOLEAN SystemThread;            /* created by PsCreateSystemThread */
  PKSTART_ROUTINE StartRoutine;
  PVOID StartContext;
  struct _DRIVER_OBJECT *Driver;   /* charged while the start routine runs */
};

/* Sub-codes (parameter 1) of bug check 0xC4 raised by ke/. */
#define KI_VERIFIER_RAISE_IRQL_LOWER 0x30    /* KeRaiseIrql to a lower IRQL */
#define KI_VERIFIER_LOWER_IRQL_HIGHER 0x31   /* KeLowerIrql to a higher IRQL */
#define KI_VERIFIER_SPIN_LOCK_LOW_IRQL 0x40  /* ...AtDpcLevel/...FromDpcLevel below DISPATCH_LEVEL */
#define KI_VERIFIER_LOCK_ORDER_CYCLE 0x1001  /* P2, P3: the two locks */
#define KI_VERIFIER_WAIT_AT_DISPATCH 0x1002  /* P2: IRQL */
#define KI_VERIFIER_IRQL_TOO_HIGH 0x1003     /* P2: IRQL, P3: highest allowed */
#define KI_VERIFIER_DPC_IRQL_CHANGED 0x1004  /* P2: routine, P3: IRQL on return */
#define KI_VERIFIER_THREAD_IRQL 0x1005       /* worker or system thread returned at IRQL P3 or holding locks */
#define KI_VERIFIER_BAD_WAIT_OBJECT 0x1006   /* P2: object */
#define KI_VERIFIER_SEMAPHORE_LIMIT 0x1007   /* P2: semaphore */
#define KI_VERIFIER_THREAD_AT_SHUTDOWN 0x1008 /* P2: thread object still running at shutdown */
#define KI_VERIFIER_KERNEL_LIMIT 0x1009      /* a limit of this kernel: locks held at once, no memory, not booted */

/* Spin locks the calling thread holds. */
ULONG KiHeldSpinLockCount();
/* Start-up and shut-down of the pieces of ke/, called by KiInitialize/KiShutdown. */
void KiLockGraphReset();
void KiDpcInitialize();
void KiDpcShutdown();
void KiWorkersInitialize();
void KiWorkersShutdown();
void KiTimersInitialize();
void KiTimersShutdown();
void KiThreadsShutdown();
/* Marks a thread object ended with ExitStatus and releases its waiters. */
void KiSignalThreadObject(PKTHREAD Thread, NTSTATUS ExitStatus);
/* Interrupt time at which a wait or timer with this time-out ends
 * (negative: relative, positive: absolute system time, zero: now). */
ULONGLONG KiDeadlineFromTimeout(LONGLONG Timeout);
/* The type object behind PsThreadType. */
extern const OBP_OBJECT_TYPE KiThreadObjectType;
/* Closes every handle in the kernel handle table (ob/, at shut-down). */
void ObpCloseAllHandles();

/* cm/ pnp/ iomgr/ */
/* User-mode handles (iomgr/): started after PnpInitialize; shut down before
 * PnpShutdown, closing every handle still open, so that the drivers see
 * their cleanup and close requests while they are still loaded. */
void IomInitialize();
void IomShutdown();
