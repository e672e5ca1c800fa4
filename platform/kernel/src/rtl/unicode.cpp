/*
 * Counted strings (UNICODE_STRING, ANSI_STRING) and GUID text. Lengths are in
 * bytes; a buffer holds a terminator only when MaximumLength leaves room.
 */
#include "rtl/rtlp.h"

namespace {

constexpr SIZE_T kMaxCountedBytes = MAXUSHORT & ~1u; /* the largest even USHORT */

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

/* Upper-case mapping for the scripts the system's names use: Basic Latin,
 * Latin-1, Latin Extended-A, Greek and Cyrillic. Other characters map to
 * themselves. */
WCHAR Upcase(WCHAR c) {
  USHORT u = (USHORT)c;
  if (u < 'a') return c;
  if (u <= 'z') return (WCHAR)(u - 0x20);
  if (u < 0xB5) return c;
  if (u == 0xB5) return (WCHAR)0x39C;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return (WCHAR)(u - 0x20);
  if (u == 0xFF) return (WCHAR)0x178;
  if (u >= 0x100 && u <= 0x17F) {
    if (u == 0x131) return (WCHAR)'I';
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) return (WCHAR)((u & 1) ? u : u - 1);
    if (u == 0x138 || u == 0x149 || u == 0x17F) return c;
    return (WCHAR)(u & ~1u);
  }
  if (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) return (WCHAR)(u - 0x20);
  if (u >= 0x430 && u <= 0x44F) return (WCHAR)(u - 0x20);
  if (u >= 0x450 && u <= 0x45F) return (WCHAR)(u - 0x50);
  return c;
}

WCHAR Downcase(WCHAR c) {
  USHORT u = (USHORT)c;
  if (u < 'A') return c;
  if (u <= 'Z') return (WCHAR)(u + 0x20);
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return (WCHAR)(u + 0x20);
  if (u == 0x178) return (WCHAR)0xFF;
  if (u >= 0x100 && u <= 0x17F) {
    if (u == 0x130) return (WCHAR)'i';
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) return (WCHAR)((u & 1) ? u + 1 : u);
    if (u == 0x138 || u == 0x149 || u == 0x17F) return c;
    return (WCHAR)(u | 1u);
  }
  if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) return (WCHAR)(u + 0x20);
  if (u >= 0x410 && u <= 0x42F) return (WCHAR)(u + 0x20);
  if (u >= 0x400 && u <= 0x40F) return (WCHAR)(u + 0x50);
  return c;
}

char UpcaseAnsi(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 0x20) : c; }

PWCH AllocateString(SIZE_T bytes) { return (PWCH)ExAllocatePoolWithTag(PagedPool, bytes, RTLP_STRING_TAG); }

int HexDigit(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString) {
    SIZE_T bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = (PWCH)SourceString;
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString) {
    SIZE_T bytes = strlen(SourceString);
    if (bytes > MAXUSHORT - 1) bytes = MAXUSHORT - 1;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = (PCHAR)SourceString;
}

void RtlInitString(PSTRING DestinationString, PCSTR SourceString) { RtlInitAnsiString(DestinationString, SourceString); }

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString || !SourceString->Buffer) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                         : DestinationString->MaximumLength;
  bytes &= (USHORT)~1u;
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Source || Source->Length == 0) return STATUS_SUCCESS;
  SIZE_T total = (SIZE_T)Destination->Length + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  RtlMoveMemory((PUCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = (USHORT)total;
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  SIZE_T bytes = WideLength(Source) * sizeof(WCHAR);
  if (bytes > kMaxCountedBytes) return STATUS_BUFFER_TOO_SMALL;
  UNICODE_STRING s;
  s.Length = s.MaximumLength = (USHORT)bytes;
  s.Buffer = (PWCH)Source;
  return RtlAppendUnicodeStringToString(Destination, &s);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  size_t n = 0;
  do {
    digits[n++] = (WCHAR)"0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  /* The digits and their terminator must fit. */
  if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Buffer[n] = 0;
  String->Length = (USHORT)(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (!String || !Value) return STATUS_INVALID_PARAMETER;
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  const WCHAR *p = String->Buffer;
  size_t n = String->Buffer ? String->Length / sizeof(WCHAR) : 0;
  size_t i = 0;
  while (i < n && (p[i] == ' ' || p[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (p[i] == '-' || p[i] == '+')) negative = p[i++] == '-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && p[i] == '0') {
      WCHAR k = p[i + 1];
      if (k == 'x' || k == 'X') Base = 16, i += 2;
      else if (k == 'o' || k == 'O') Base = 8, i += 2;
      else if (k == 'b' || k == 'B') Base = 2, i += 2;
    }
  }
  ULONG v = 0;
  for (; i < n; ++i) {
    int d = HexDigit(p[i]);
    if (d < 0 || (ULONG)d >= Base) break;
    v = v * Base + (ULONG)d;
  }
  *Value = negative ? 0u - v : v;
  return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) a = Upcase(a), b = Upcase(b);
    if (a != b) return (LONG)(USHORT)a - (LONG)(USHORT)b;
  }
  return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

LONG RtlCompareString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive) {
  size_t n = String1->Length < String2->Length ? String1->Length : String2->Length;
  for (size_t i = 0; i < n; ++i) {
    char a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) a = UpcaseAnsi(a), b = UpcaseAnsi(b);
    if (a != b) return (LONG)(UCHAR)a - (LONG)(UCHAR)b;
  }
  return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN RtlEqualString(PCANSI_STRING String1, PCANSI_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length > String2->Length) return FALSE;
  for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) a = Upcase(a), b = Upcase(b);
    if (a != b) return FALSE;
  }
  return TRUE;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return Upcase(SourceCharacter); }
WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter) { return Downcase(SourceCharacter); }

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
  if (AllocateDestinationString) {
    PWCH buffer = AllocateString(SourceString->Length ? SourceString->Length : sizeof(WCHAR));
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = SourceString->Length;
  } else if (SourceString->Length > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < SourceString->Length / sizeof(WCHAR); ++i)
    DestinationString->Buffer[i] = Upcase(SourceString->Buffer[i]);
  DestinationString->Length = SourceString->Length;
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = NULL;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = NULL;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
  return (ULONG)((RtlpUtf8ToUtf16Length(AnsiString->Buffer, AnsiString->Length) + 1) * sizeof(WCHAR));
}

ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
  return (ULONG)(RtlpUtf16ToUtf8Length(UnicodeString->Buffer, UnicodeString->Length / sizeof(WCHAR)) + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  size_t units = RtlpUtf8ToUtf16Length(SourceString->Buffer, SourceString->Length);
  size_t bytes = (units + 1) * sizeof(WCHAR);
  if (bytes > kMaxCountedBytes) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    PWCH buffer = AllocateString(bytes);
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = (USHORT)bytes;
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  RtlpUtf8ToUtf16(SourceString->Buffer, SourceString->Length, DestinationString->Buffer, units, nullptr);
  DestinationString->Buffer[units] = 0;
  DestinationString->Length = (USHORT)(units * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  size_t count = SourceString->Length / sizeof(WCHAR);
  size_t bytes = RtlpUtf16ToUtf8Length(SourceString->Buffer, count) + 1;
  if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
  NTSTATUS status = STATUS_SUCCESS;
  size_t room;
  if (AllocateDestinationString) {
    PCHAR buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, bytes, RTLP_STRING_TAG);
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = (USHORT)bytes;
    room = bytes - 1;
  } else {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    room = DestinationString->MaximumLength - 1u;
    if (bytes - 1 > room) status = STATUS_BUFFER_OVERFLOW;
  }
  size_t n = RtlpUtf16ToUtf8(SourceString->Buffer, count, DestinationString->Buffer, room, nullptr);
  DestinationString->Buffer[n] = 0;
  DestinationString->Length = (USHORT)n;
  return status;
}

NTSTATUS RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut) {
  if (!StringIn || !StringOut || (Flags & ~3u)) return STATUS_INVALID_PARAMETER;
  bool terminate = (Flags & RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE) != 0;
  if (StringIn->Length == 0 && !(Flags & RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING)) {
    StringOut->Length = StringOut->MaximumLength = 0;
    StringOut->Buffer = NULL;
    return STATUS_SUCCESS;
  }
  SIZE_T bytes = StringIn->Length + (terminate ? sizeof(WCHAR) : 0);
  if (bytes > kMaxCountedBytes) return STATUS_INVALID_PARAMETER;
  PWCH buffer = AllocateString(bytes ? bytes : sizeof(WCHAR));
  if (!buffer) return STATUS_NO_MEMORY;
  RtlCopyMemory(buffer, StringIn->Buffer, StringIn->Length);
  if (terminate) buffer[StringIn->Length / sizeof(WCHAR)] = 0;
  StringOut->Buffer = buffer;
  StringOut->Length = StringIn->Length;
  StringOut->MaximumLength = (USHORT)bytes;
  return STATUS_SUCCESS;
}

}  // extern "C"

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
  char text[39];
  _snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
            Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
            Guid.Data4[6], Guid.Data4[7]);
  PWCH buffer = AllocateString(39 * sizeof(WCHAR));
  if (!buffer) return STATUS_NO_MEMORY;
  for (size_t i = 0; i < 39; ++i) buffer[i] = (WCHAR)text[i];
  GuidString->Buffer = buffer;
  GuidString->Length = 38 * sizeof(WCHAR);
  GuidString->MaximumLength = 39 * sizeof(WCHAR);
  return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID *Guid) {
  if (!GuidString || !Guid || !GuidString->Buffer || GuidString->Length != 38 * sizeof(WCHAR))
    return STATUS_INVALID_PARAMETER;
  const WCHAR *p = GuidString->Buffer;
  if (p[0] != '{' || p[9] != '-' || p[14] != '-' || p[19] != '-' || p[24] != '-' || p[37] != '}')
    return STATUS_INVALID_PARAMETER;
  auto hex = [&](size_t at, size_t digits, ULONGLONG *out) {
    ULONGLONG v = 0;
    for (size_t i = 0; i < digits; ++i) {
      int d = HexDigit(p[at + i]);
      if (d < 0) return false;
      v = (v << 4) | (ULONGLONG)d;
    }
    *out = v;
    return true;
  };
  ULONGLONG d1, d2, d3, b;
  GUID g;
  if (!hex(1, 8, &d1) || !hex(10, 4, &d2) || !hex(15, 4, &d3)) return STATUS_INVALID_PARAMETER;
  g.Data1 = (ULONG)d1;
  g.Data2 = (USHORT)d2;
  g.Data3 = (USHORT)d3;
  static const size_t at[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!hex(at[i], 2, &b)) return STATUS_INVALID_PARAMETER;
    g.Data4[i] = (UCHAR)b;
  }
  *Guid = g;
  return STATUS_SUCCESS;
}
