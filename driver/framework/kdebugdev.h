/*
 * The debugging-tool event hook. A debugging tool that is present registers
 * a notification entry when the driver starts; the framework then reports
 * its internal events to it (device creation, links, lower calls, registry
 * access, PnP steps). Without the tool every report goes to an empty
 * routine and does nothing.
 *
 * The message-channel device, the other optional debug device, is looked up
 * by the trace (ktrace).
 */
#pragma once

#include "kplatform.h"

/* The tool's device; it answers KDEBUG_IOCTL_REGISTER. */
#define KDEBUG_TOOL_DEVICE_NAME L"\\Device\\DebugEventDevice"
/* Internal device control, METHOD_NEITHER; the output buffer (the request's
   UserBuffer) is the registration block. */
#define KDEBUG_IOCTL_REGISTER 0x84000017UL
/* Revisions the driver accepts: at least this, below 0x7FFFFFFF. */
#define KDEBUG_MINIMUM_REVISION 0x100UL

/* The tool's notification entry: the event code (the tool's base code plus
   the event number), the driver object of the block, then the event's own
   arguments in order, each widened to ULONG_PTR; unused ones are 0. */
typedef VOID (*KDEBUG_NOTIFY)(ULONG EventCode, PDRIVER_OBJECT DriverObject, ULONG_PTR Argument1,
                              ULONG_PTR Argument2, ULONG_PTR Argument3, ULONG_PTR Argument4,
                              ULONG_PTR Argument5, ULONG_PTR Argument6);

/* The registration block: 40 bytes, filled partly by the driver, partly by
   the tool. */
struct KDEBUG_REGISTRATION {
  ULONG Revision;      /* by the tool */
  ULONG Reserved1;
  KDEBUG_NOTIFY Notify; /* by the tool */
  ULONG BaseEventCode; /* by the tool */
  ULONG Reserved2;
  PDRIVER_OBJECT DriverObject; /* by the driver */
  ULONG_PTR Reserved3;
};
static_assert(sizeof(KDEBUG_REGISTRATION) == 40, "registration block layout");
static_assert(offsetof(KDEBUG_REGISTRATION, Notify) == 8, "registration block layout");
static_assert(offsetof(KDEBUG_REGISTRATION, BaseEventCode) == 16, "registration block layout");
static_assert(offsetof(KDEBUG_REGISTRATION, DriverObject) == 24, "registration block layout");

/* Event numbers. */
#define KDEBUG_EVENT_PLATFORM_FAMILY 3     /* driver object, family text */
#define KDEBUG_EVENT_DRIVER_INITIALIZED 5  /* driver instance, registry path, status */
#define KDEBUG_EVENT_DRIVER_UNLOADED 6     /* driver instance */
#define KDEBUG_EVENT_DISPATCH 7            /* driver instance, request */
#define KDEBUG_EVENT_LOWER_CALL 10         /* lower device, request */
#define KDEBUG_EVENT_LOWER_POWER_CALL 11   /* lower device, request */
#define KDEBUG_EVENT_LOWER_CALL_DONE 12    /* lower device, status, information */
#define KDEBUG_EVENT_LOWER_RELEASED 13     /* lower device */
#define KDEBUG_EVENT_DEVICE_CREATED 14     /* device, given name, status */
#define KDEBUG_EVENT_LINK_CREATED 15       /* device, link name, status */
#define KDEBUG_EVENT_LINK_DELETED 17       /* device, link name */
#define KDEBUG_EVENT_DETACHED 18           /* device, lower device */
#define KDEBUG_EVENT_NO_MEMORY 23          /* object, operation text, size */
#define KDEBUG_EVENT_ATTACHED 24           /* lower device, status */
#define KDEBUG_EVENT_LOWER_OPENED 52       /* lower device, device object, status */
#define KDEBUG_EVENT_KEY_OPENED 63         /* key, path, status */
#define KDEBUG_EVENT_VALUE_QUERIED 64      /* key, value name, type, buffer, size, status */
/* Steps of the PnP handling: device, request, the status the step returns. */
#define KDEBUG_EVENT_PNP_START 72
#define KDEBUG_EVENT_PNP_QUERY_REMOVE 73
#define KDEBUG_EVENT_PNP_REMOVE 74
#define KDEBUG_EVENT_PNP_CANCEL_REMOVE 75
#define KDEBUG_EVENT_PNP_STOP 76
#define KDEBUG_EVENT_PNP_QUERY_STOP 77
#define KDEBUG_EVENT_PNP_CANCEL_STOP 78
#define KDEBUG_EVENT_PNP_QUERY_STATE 79
#define KDEBUG_EVENT_PNP_SURPRISE_REMOVAL 80
#define KDEBUG_EVENT_PNP_HOOK 81           /* a minor code that only has its hook */
#define KDEBUG_EVENT_PNP_DEFAULT 82        /* any other minor code, to DefaultPnp */
#define KDEBUG_EVENT_HOLD 83               /* device, request, STATUS_PENDING or STATUS_CANCELLED */
#define KDEBUG_EVENT_RELEASE_DISPATCH 85   /* device, request: a held request dispatched again */
#define KDEBUG_EVENT_RELEASE_COMPLETE 86   /* device, request, status: a held request completed by the release */
#define KDEBUG_EVENT_COUNT_RAISED 87       /* device, new count */
#define KDEBUG_EVENT_COUNT_LOWERED 88      /* device, new count */
#define KDEBUG_EVENT_WAIT_DRAINED 89       /* device, time-out */
#define KDEBUG_EVENT_WAIT_DRAINED_DONE 90  /* device, wait status */
#define KDEBUG_EVENT_WAIT_NO_REQUESTS 91   /* device, time-out */
#define KDEBUG_EVENT_WAIT_NO_REQUESTS_DONE 92 /* device, wait status */
#define KDEBUG_EVENT_WAIT_PNP_MUTEX 101    /* device, time-out */
#define KDEBUG_EVENT_WAIT_PNP_MUTEX_DONE 102 /* device, wait status */

/* The first step of the framework entry. Points the notification entry at
   the empty routine, then lets a present tool register. Returns
   STATUS_SUCCESS when the tool's entries are kept, otherwise the failure
   (STATUS_REVISION_MISMATCH for an unsuitable answer); either way the
   entry sequence goes on. A second call for the same driver object within
   one load changes nothing and returns the first result. */
NTSTATUS KDebugHookInitialize(PDRIVER_OBJECT DriverObject);
/* At unload: the empty routine again. */
VOID KDebugHookTerminate();
/* Whether a tool's entries are in place. */
BOOLEAN KDebugHookActive();

/* Reports one event; a no-op without a tool. The block is written only at
   entry and unload, so reports need no lock. */
VOID KDebugReport(ULONG Event, ULONG_PTR Argument1 = 0, ULONG_PTR Argument2 = 0, ULONG_PTR Argument3 = 0,
                  ULONG_PTR Argument4 = 0, ULONG_PTR Argument5 = 0, ULONG_PTR Argument6 = 0);
