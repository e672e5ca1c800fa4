/*
 * KTrace: the driver's trace stream. Formats messages with the kernel's
 * formatter, puts the name in front of every line, filters by level and
 * writes to the kernel debugger.
 *
 * Levels: 0 is always written, 5 never, 1 to 4 when at least the output
 * threshold. A break threshold of 5 means never break.
 */
#pragma once

#include "kplatform.h"
#include "kirp.h"

#define KTRACE_CHANNEL 0x1      /* write to the message channel */
#define KTRACE_DBGPRINT 0x2     /* write through DbgPrint */
#define KTRACE_DOUBLE_PERCENT 0x4 /* double every '%' before DbgPrint */

#define KTRACE_BUFFER_SIZE 256
#define KTRACE_BUFFER_COUNT 4

class KTrace {
 public:
  KTrace(PCSTR Name, ULONG Flags, LONG OutputThreshold, LONG BreakThreshold, PCSTR ChannelName = NULL,
         PVOID InterruptObject = NULL);
  ~KTrace();

  /* Trace objects are built in storage of their owner's choosing (the
     global one in static storage) and destroyed explicitly. */
  static void *operator new(size_t Size, void *Storage) noexcept { return Storage; }
  static void operator delete(void *, void *) {}

  VOID Trace(LONG Level, PCSTR Format, ...);
  VOID TraceV(LONG Level, PCSTR Format, va_list Arguments);

  KTrace &operator<<(PCSTR Text);
  KTrace &operator<<(ULONG Number);        /* a 32-bit number */
  KTrace &operator<<(LONG Number);         /* a long number, such as an NTSTATUS */
  KTrace &operator<<(KIrp I);              /* the request decoder */

  ULONG Flags() const { return m_Flags; }
  PCSTR Prefix() const { return m_Prefix; }

 private:
  KTrace(const KTrace &) = delete;
  KTrace &operator=(const KTrace &) = delete;

  ULONG m_Flags;
  LONG m_OutputThreshold;
  LONG m_BreakThreshold;
  PCHAR m_Prefix;          /* name, ": ", NUL; non-paged pool; NULL without a name */
  ULONG m_PrefixLength;    /* without the NUL */
  PVOID m_Channel;
  BOOLEAN m_AtLineStart;   /* shared by every writer, atomic byte accesses, no lock */
  ULONG m_InsertionLevel;
  ULONG m_NumberForm;      /* 0: insert numbers in hexadecimal */
  BOOLEAN m_OwnsPrefix;
};

/* The global trace object, built by the framework entry in static storage
   and destroyed at unload; NULL outside that time. */
extern KTrace *g_Trace;

/* Each driver load looks the message channel up anew. */
VOID KTraceForgetChannel();

/* Names of request codes, as the decoder prints them. */
PCSTR KTraceMajorName(ULONG Major);
PCSTR KTracePnpMinorName(ULONG Minor);
PCSTR KTracePowerMinorName(ULONG Minor);
PCSTR KTraceWmiMinorName(ULONG Minor);
PCSTR KTraceSystemPowerStateName(ULONG State);
PCSTR KTraceDevicePowerStateName(ULONG State);

/* Message-channel entry points, once the channel device has been found. */
typedef PVOID (*KTRACE_CHANNEL_OPEN)(PCSTR ChannelName, PVOID InterruptObject, ULONG Flags);
typedef VOID (*KTRACE_CHANNEL_WRITE)(PVOID Channel, PCSTR Text);
typedef VOID (*KTRACE_CHANNEL_CLOSE)(PVOID Channel);
