#include "ktrace.h"
#include "klower.h"

#define KUNIT "ktrace"

KTrace *g_Trace = NULL;

/* Message buffers shared by every trace object; bit n of the mask is set
   while buffer n holds a message. */
static CHAR s_Buffers[KTRACE_BUFFER_COUNT][KTRACE_BUFFER_SIZE];
static volatile LONG s_BufferMask = 0;

/* The message channel device's entries, looked up once per driver load. */
static BOOLEAN s_ChannelLookedUp = FALSE;
static KTRACE_CHANNEL_OPEN s_ChannelOpen = NULL;
static KTRACE_CHANNEL_WRITE s_ChannelWrite = NULL;
static KTRACE_CHANNEL_CLOSE s_ChannelClose = NULL;

#define IOCTL_CHANNEL_GET_ENTRIES 0x222003

/* Called by the framework entry so that each load looks the channel up anew. */
VOID KTraceForgetChannel() {
  s_ChannelLookedUp = FALSE;
  s_ChannelOpen = NULL;
  s_ChannelWrite = NULL;
  s_ChannelClose = NULL;
}

static VOID LookUpChannel() {
  s_ChannelLookedUp = TRUE;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  KLowerDevice channel;
  channel.Initialize(L"\\Device\\DebugMessageDevice", FILE_ALL_ACCESS);
  if (!NT_SUCCESS(channel.ConstructorStatus())) return;
  PVOID entries[3] = {NULL, NULL, NULL};
  ULONG_PTR information = 0;
  NTSTATUS status = channel.DeviceIoControl(IOCTL_CHANNEL_GET_ENTRIES, NULL, 0, entries, sizeof(entries), TRUE,
                                            &information);
  if (NT_SUCCESS(status)) {
    s_ChannelOpen = (KTRACE_CHANNEL_OPEN)entries[0];
    s_ChannelWrite = (KTRACE_CHANNEL_WRITE)entries[1];
    s_ChannelClose = (KTRACE_CHANNEL_CLOSE)entries[2];
  }
  channel.Release();
}

static ULONG StringLength(PCSTR s) {
  ULONG n = 0;
  while (s[n] != 0) n++;
  return n;
}

KTrace::KTrace(PCSTR Name, ULONG Flags, LONG OutputThreshold, LONG BreakThreshold, PCSTR ChannelName,
               PVOID InterruptObject)
    : m_Flags(Flags),
      m_OutputThreshold(OutputThreshold),
      m_BreakThreshold(BreakThreshold),
      m_Prefix(NULL),
      m_PrefixLength(0),
      m_Channel(NULL),
      m_AtLineStart(TRUE),
      m_InsertionLevel(0),
      m_NumberForm(0),
      m_OwnsPrefix(FALSE) {
  if ((Flags & KTRACE_CHANNEL) && !s_ChannelLookedUp) LookUpChannel();

  if (Name != NULL) {
    ULONG length = StringLength(Name);
    /* A prefix longer than a message buffer would leave no room for the
       message itself. */
    if (length + 3 < KTRACE_BUFFER_SIZE) {
      m_Prefix = (PCHAR)KAllocate(NonPagedPool, length + 4);
      if (m_Prefix != NULL) {
        RtlCopyMemory(m_Prefix, Name, length);
        m_Prefix[length] = ':';
        m_Prefix[length + 1] = ' ';
        m_Prefix[length + 2] = 0;
        m_PrefixLength = length + 2;
        m_OwnsPrefix = TRUE;
      }
    }
  }

  if (s_ChannelOpen != NULL) {
    if (ChannelName != NULL) {
      m_Channel = s_ChannelOpen(ChannelName, InterruptObject, Flags);
      KASSERT(m_Channel != NULL);
    } else {
      KASSERT_TEXT(InterruptObject == NULL, "intobject == NULL", __LINE__);
    }
  }
}

KTrace::~KTrace() {
  if (m_Channel != NULL && s_ChannelClose != NULL) s_ChannelClose(m_Channel);
  m_Channel = NULL;
  if (m_OwnsPrefix && m_Prefix != NULL) KFree(m_Prefix);
  m_Prefix = NULL;
  m_PrefixLength = 0;
  m_OwnsPrefix = FALSE;
}

static LONG ClaimBuffer() {
  for (;;) {
    LONG mask = InterlockedCompareExchange(&s_BufferMask, 0, 0);
    LONG slot = -1;
    for (LONG i = 0; i < KTRACE_BUFFER_COUNT; i++) {
      if ((mask & (1 << i)) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) return -1;
    if (InterlockedCompareExchange(&s_BufferMask, mask | (1 << slot), mask) == mask) return slot;
  }
}

static VOID ReleaseBuffer(LONG Slot) { InterlockedAnd(&s_BufferMask, ~(1 << Slot)); }

VOID KTrace::Trace(LONG Level, PCSTR Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  TraceV(Level, Format, arguments);
  va_end(arguments);
}

VOID KTrace::TraceV(LONG Level, PCSTR Format, va_list Arguments) {
  LONG slot = ClaimBuffer();
  if (slot < 0) {
    DbgPrint("KTrace: Dropping a trace message due to lack of buffer space\n");
    return;
  }
  PCHAR buffer = s_Buffers[slot];

  if (Level != 5 && (Level == 0 || Level >= m_OutputThreshold)) {
    ULONG prefixLength = m_PrefixLength;
    PCHAR text = buffer + prefixLength;
    ULONG room = KTRACE_BUFFER_SIZE - prefixLength;
    va_list arguments;
    va_copy(arguments, Arguments);
    /* The kernel's formatter: %lx is 32 bits on every target. It leaves a
       message that does not fit unterminated. */
    _vsnprintf(text, room, Format, arguments);
    va_end(arguments);
    buffer[KTRACE_BUFFER_SIZE - 1] = 0;
    if (prefixLength != 0) RtlCopyMemory(buffer, m_Prefix, prefixLength);

    ULONG textLength = StringLength(text);
    BOOLEAN endsLine = textLength != 0 && text[textLength - 1] == '\n';
    /* Writers share the flag without a lock; each access is one atomic
       byte, so concurrent lines may interleave but never tear it. */
    BOOLEAN fromPrefix = __atomic_load_n(&m_AtLineStart, __ATOMIC_RELAXED);

    if (m_Flags & KTRACE_DBGPRINT) {
      if (m_Flags & KTRACE_DOUBLE_PERCENT) {
        /* Double in place from the back; whatever passes the last byte is
           cut, and the last byte stays a NUL. */
        ULONG length = prefixLength + textLength;
        ULONG percents = 0;
        for (ULONG i = 0; i < length; i++)
          if (buffer[i] == '%') percents++;
        if (percents != 0) {
          ULONG newLength = length + percents;
          if (newLength > KTRACE_BUFFER_SIZE - 1) newLength = KTRACE_BUFFER_SIZE - 1;
          LONG to = (LONG)length + (LONG)percents - 1;
          for (LONG from = (LONG)length - 1; from >= 0; from--) {
            CHAR c = buffer[from];
            if (to < (LONG)newLength) buffer[to] = c;
            to--;
            if (c == '%') {
              if (to < (LONG)newLength) buffer[to] = c;
              to--;
            }
          }
          /* A '%' split by the cut would start a conversion: drop it. */
          if (newLength > 0 && buffer[newLength - 1] == '%') {
            ULONG run = 0;
            for (LONG i = (LONG)newLength - 1; i >= 0 && buffer[i] == '%'; i--) run++;
            if (run & 1) newLength--;
          }
          buffer[newLength] = 0;
        }
      }
      DbgPrint(fromPrefix ? buffer : buffer + prefixLength);
    } else if ((m_Flags & KTRACE_CHANNEL) && s_ChannelWrite != NULL) {
      s_ChannelWrite(m_Channel, fromPrefix ? buffer : buffer + prefixLength);
    }
    __atomic_store_n(&m_AtLineStart, endsLine, __ATOMIC_RELAXED);
  }

  if ((Level == 0 || Level >= m_BreakThreshold) && m_BreakThreshold != 5) DbgBreakPoint();

  ReleaseBuffer(slot);
}

KTrace &KTrace::operator<<(PCSTR Text) {
  Trace((LONG)m_InsertionLevel, "%s", Text);
  return *this;
}

KTrace &KTrace::operator<<(ULONG Number) {
  Trace((LONG)m_InsertionLevel, m_NumberForm == 0 ? "0x%08x" : "%d", Number);
  return *this;
}

KTrace &KTrace::operator<<(LONG Number) {
  Trace((LONG)m_InsertionLevel, m_NumberForm == 0 ? "0x%08lx" : "%u", Number);
  return *this;
}

/* ---- request decoder ---- */

static PCSTR const s_MajorNames[] = {
    "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};

static PCSTR const s_PnpMinorNames[] = {
    "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "<unknown minor function>", "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};

static PCSTR const s_PowerMinorNames[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                          "IRP_MN_QUERY_POWER"};

static PCSTR const s_WmiMinorNames[] = {
    "IRP_MN_QUERY_ALL_DATA", "IRP_MN_QUERY_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_ITEM", "IRP_MN_ENABLE_EVENTS", "IRP_MN_DISABLE_EVENTS", "IRP_MN_ENABLE_COLLECTION",
    "IRP_MN_DISABLE_COLLECTION", "IRP_MN_REGINFO", "IRP_MN_EXECUTE_METHOD", "<unknown minor function>",
    "IRP_MN_REGINFO_EX"};

static PCSTR const s_SystemPowerStateNames[] = {
    "PowerSystemUnspecified", "PowerSystemWorking", "PowerSystemSleeping1", "PowerSystemSleeping2",
    "PowerSystemSleeping3", "PowerSystemHibernate", "PowerSystemShutdown", "PowerSystemMaximum"};

static PCSTR const s_DevicePowerStateNames[] = {"PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
                                                "PowerDeviceD2", "PowerDeviceD3", "PowerDeviceMaximum"};

#define NAME_OF(table, code, other) ((code) < RTL_NUMBER_OF(table) ? (table)[(code)] : (other))

PCSTR KTraceMajorName(ULONG Major) { return NAME_OF(s_MajorNames, Major, "<unknown major function>"); }
PCSTR KTracePnpMinorName(ULONG Minor) { return NAME_OF(s_PnpMinorNames, Minor, "<unknown minor function>"); }
PCSTR KTracePowerMinorName(ULONG Minor) { return NAME_OF(s_PowerMinorNames, Minor, "<unknown minor function>"); }
PCSTR KTraceWmiMinorName(ULONG Minor) { return NAME_OF(s_WmiMinorNames, Minor, "<unknown minor function>"); }
PCSTR KTraceSystemPowerStateName(ULONG State) {
  return NAME_OF(s_SystemPowerStateNames, State, "<unknown system power state>");
}
PCSTR KTraceDevicePowerStateName(ULONG State) {
  return NAME_OF(s_DevicePowerStateNames, State, "<unknown device power state>");
}

KTrace &KTrace::operator<<(KIrp I) {
  LONG level = (LONG)m_InsertionLevel;
  PIRP irp = I;
  ULONG major = I.MajorFunction(CURRENT);
  ULONG minor = I.MinorFunction(CURRENT);
  ULONG flags = irp->Flags;

  Trace(level, "IRP: Major=%s", KTraceMajorName(major));
  switch (major) {
    case IRP_MJ_PNP:
      Trace(level, " Minor=%s (0x%x) Flags=0x%x\n", KTracePnpMinorName(minor), minor, flags);
      break;
    case IRP_MJ_POWER:
      Trace(level, " Minor=%s (0x%x) Flags=0x%x  ", KTracePowerMinorName(minor), minor, flags);
      if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        ULONG type = I.IoctlInputBufferSize(CURRENT);
        ULONG state = I.IoctlCode(CURRENT);
        Trace(level, "%s\n",
              type == DevicePowerState ? KTraceDevicePowerStateName(state) : KTraceSystemPowerStateName(state));
      } else {
        Trace(level, "\n");
      }
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      Trace(level, " Minor=%s (0x%x) Flags=0x%x\n", KTraceWmiMinorName(minor), minor, flags);
      break;
    default:
      Trace(level, "  Minor=0x%x Flags=0x%x\n", minor, flags);
      break;
  }
  switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      Trace(level, " Length=0x%x\n", I.ReadSize(CURRENT));
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      Trace(level, " Code=0x%x InputSize=0x%x OutputSize=0x%x\n", I.IoctlCode(CURRENT),
            I.IoctlInputBufferSize(CURRENT), I.IoctlOutputBufferSize(CURRENT));
      break;
    default:
      break;
  }
  return *this;
}
