/*
 * The private interface between the controller's bus driver and a port
 * device on one of its PDOs. A port obtains it with IRP_MN_QUERY_INTERFACE
 * (GUID_PORT_BUS_INTERFACE, Size 56, Version 1) and then talks to the bus
 * only through its Request function. Both sides include this header; the
 * layouts are the x64 ones and must not change.
 */
#pragma once

/* The kernel headers of the target, chosen in one place for both sides. */
#include "../framework/kplatform.h"

/* {5982390E-DC91-4AC7-81D0-D79F408F5B8D}. Defined here rather than with
 * DEFINE_GUID so that the bus and the port, linked into one process, do not
 * both define the symbol. */
#ifdef __cplusplus
inline constexpr GUID GUID_PORT_BUS_INTERFACE = {0x5982390E, 0xDC91, 0x4AC7, {0x81, 0xD0, 0xD7, 0x9F, 0x40, 0x8F, 0x5B, 0x8D}};
#else
static const GUID GUID_PORT_BUS_INTERFACE __attribute__((unused)) = {
    0x5982390E, 0xDC91, 0x4AC7, {0x81, 0xD0, 0xD7, 0x9F, 0x40, 0x8F, 0x5B, 0x8D}};
#endif

#define BUS_PORT_INTERFACE_VERSION 1

/* ---- request codes ---- */
#define BUS_PORT_GET_INFO 0xE001            /* Out = BUS_PORT_INFO */
#define BUS_PORT_SET_INTERRUPT_CALLBACK 0xE009 /* Arg5 = BUS_PORT_INTERRUPT_CALLBACK, Arg6 = its context */
#define BUS_PORT_SET_RX_RING 0xE00C         /* Arg5 = BUS_PORT_RING of the receive ring */
#define BUS_PORT_SET_EVENT1 0xE00D          /* Arg5 = KEVENT: signalled on a receive line error */
#define BUS_PORT_SET_INPUT_EVENT 0xE00E     /* Arg5 = KEVENT: signalled after received data */
#define BUS_PORT_SET_EVENT2 0xE00F          /* Arg5 = KEVENT: signalled on a THR-empty interrupt */
#define BUS_PORT_GET_MODE 0x1002            /* In = ULONG 0, Out = ULONG port mode */
#define BUS_PORT_SET_DIVISOR 0x2001         /* Values[0] = baud divisor */
#define BUS_PORT_SET_LINE 0x2002            /* Values[0..2] = word-length, parity, stop-bit codes */

/* Port modes (BUS_PORT_GET_MODE). */
#define BUS_PORT_MODE_RS485 0
#define BUS_PORT_MODE_RS232 1
#define BUS_PORT_MODE_RS422 2

/* Codes of BUS_PORT_SET_LINE. Word length: bits - 5 (0..3). */
#define BUS_PORT_PARITY_NONE 0
#define BUS_PORT_PARITY_ODD 1
#define BUS_PORT_PARITY_EVEN 2
#define BUS_PORT_PARITY_MARK 3
#define BUS_PORT_PARITY_SPACE 4
#define BUS_PORT_STOP_1 0
#define BUS_PORT_STOP_1_5 1 /* the UART sends 1.5 stop bits with 5-bit words, 2 otherwise */
#define BUS_PORT_STOP_2 2

/*
 * A request. Request has no context argument: DevID and Unit name the port,
 * and the three header fields are always read. The first argument of
 * Request bounds the values: Values[i] is read only when First > 3 + i, so
 * BUS_PORT_SET_DIVISOR needs 4 and BUS_PORT_SET_LINE 6 (fewer is
 * STATUS_INVALID_PARAMETER).
 */
typedef struct _BUS_PORT_REQUEST {
  ULONG Code;
  ULONG Unit;  /* port index within the controller */
  ULONG DevID; /* controller index */
  ULONG Values[3];
} BUS_PORT_REQUEST, *PBUS_PORT_REQUEST;

C_ASSERT(sizeof(BUS_PORT_REQUEST) == 24);
C_ASSERT(FIELD_OFFSET(BUS_PORT_REQUEST, Values) == 12);

/* Called at the controller's interrupt IRQL (above DISPATCH_LEVEL) with the
 * UART's interrupt identification: 2 THR empty, 4 received data (also for a
 * character time-out), 6 receive line status. */
typedef BOOLEAN BUS_PORT_INTERRUPT_CALLBACK(PVOID Context, UCHAR InterruptId);
typedef BUS_PORT_INTERRUPT_CALLBACK *PBUS_PORT_INTERRUPT_CALLBACK;

/* STATUS_SUCCESS, STATUS_INVALID_PARAMETER for a malformed request,
 * STATUS_NOT_SUPPORTED for an unknown code, STATUS_NO_SUCH_DEVICE once the
 * interface has been dereferenced or its port removed. */
typedef NTSTATUS BUS_PORT_REQUEST_ROUTINE(ULONG First, PBUS_PORT_REQUEST Request, PVOID In, PVOID Out, PVOID Arg5,
                                          PVOID Arg6);
typedef BUS_PORT_REQUEST_ROUTINE *PBUS_PORT_REQUEST_ROUTINE;

typedef struct _BUS_PORT_INTERFACE {
  /* The INTERFACE header. */
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference; /* withdraws every registration of the port */
  ULONG DevID;   /* controller index */
  ULONG Port;    /* port number */
  ULONG IniPort; /* first port number of the controller: the unit is Port - IniPort */
  PBUS_PORT_REQUEST_ROUTINE Request;
} BUS_PORT_INTERFACE, *PBUS_PORT_INTERFACE;

C_ASSERT(sizeof(BUS_PORT_INTERFACE) == 56);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, Context) == 8);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, InterfaceReference) == 16);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, InterfaceDereference) == 24);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, DevID) == 32);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, Port) == 36);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, IniPort) == 40);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INTERFACE, Request) == 48);

typedef struct _BUS_PORT_INFO {
  ULONG Size;             /* sizeof(BUS_PORT_INFO) */
  ULONG DevID;
  ULONG Port;
  ULONG IniPort;
  ULONG PortCount;        /* ports of the controller */
  ULONG Unit;             /* this port's index */
  ULONG RegistersPerPort; /* 8 or 16 */
  ULONG FifoDepth;        /* 64 or 128 */
  ULONG UartClock;        /* Hz */
  ULONG RegisterWindowLength; /* bytes */
  ULONG PmcWindowLength;      /* bytes */
  ULONG Reserved1[5];
  PUCHAR RegisterBase;    /* 0x40: the controller's UART register window */
  PUCHAR PmcBase;         /* 0x48: the transmitter-enable (PMC) window */
  ULONGLONG Reserved2[2];
  USHORT ProductId;       /* 0x60 */
  USHORT Reserved3;
  ULONG Reserved4;
} BUS_PORT_INFO, *PBUS_PORT_INFO;

C_ASSERT(sizeof(BUS_PORT_INFO) == 104);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INFO, RegisterBase) == 0x40);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INFO, PmcBase) == 0x48);
C_ASSERT(FIELD_OFFSET(BUS_PORT_INFO, ProductId) == 0x60);

/* The receive ring as the port registers it (BUS_PORT_SET_RX_RING): the
 * port's circular buffer, whose layout this mirrors. One slot stays free:
 * empty when ReadIndex == WriteIndex. */
typedef struct _BUS_PORT_RING {
  PUCHAR Buffer;
  ULONG Length;
  ULONG ReadIndex;
  ULONG WriteIndex;
} BUS_PORT_RING, *PBUS_PORT_RING;

C_ASSERT(FIELD_OFFSET(BUS_PORT_RING, Buffer) == 0);
C_ASSERT(FIELD_OFFSET(BUS_PORT_RING, Length) == 8);
C_ASSERT(FIELD_OFFSET(BUS_PORT_RING, ReadIndex) == 12);
C_ASSERT(FIELD_OFFSET(BUS_PORT_RING, WriteIndex) == 16);
