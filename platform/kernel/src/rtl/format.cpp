/*
 * The kernel's formatter: one implementation for narrow and wide output with
 * the Windows rules for sizes ("l" is 32 bits, "ll"/"I64" 64, "I"/"z"/"t"/"j"
 * pointer-sized or 64, "h" short, "hh" char), string kinds ("%s" is the
 * format's own character type, "%S" the other one, "%hs" narrow, "%ls"/"%ws"
 * wide, "%Z" PANSI_STRING, "%wZ" PUNICODE_STRING) and "%p" as 16 upper-case
 * hex digits. "%n" is refused: its argument is consumed and nothing written.
 * The host's printf is used only to render a single double for %e/%f/%g/%a.
 */
#include <limits.h>

#include <algorithm>
#include <cstdio>

#include "rtl/rtlp.h"

namespace {

/* Width and precision beyond this are treated as this: nothing the kernel
 * formats needs more, and a hostile "*" cannot make us pad for gigabytes. */
constexpr int kMaxField = 1 << 16;

/* Collects output up to a capacity and counts what would have been written. */
template <typename C>
struct Sink {
  C *Buffer;
  size_t Capacity;
  size_t Length = 0;

  void Put(C c) {
    if (Length < Capacity) Buffer[Length] = c;
    ++Length;
  }
  void Pad(C c, size_t n) {
    for (size_t i = 0; i < n && Length + i < Capacity; ++i) Buffer[Length + i] = c;
    Length += n;
  }
  void Append(const C *s, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(s[i]);
  }
};

enum class Len { Default, Char, Short, Long, LongLong, Ptr, Wide };

struct Field {
  bool Left = false, Plus = false, Space = false, Alt = false, Zero = false;
  int Width = 0;
  int Precision = -1;
  Len Size = Len::Default;
};

template <typename C>
void EmitPadded(Sink<C> &out, const Field &field, const C *text, size_t n) {
  size_t width = (size_t)field.Width;
  if (!field.Left && n < width) out.Pad(' ', width - n);
  out.Append(text, n);
  if (field.Left && n < width) out.Pad(' ', width - n);
}

/* Narrow text (UTF-8) into output of type C. */
template <typename C>
void EmitNarrow(Sink<C> &out, const Field &field, const char *s, size_t n) {
  if constexpr (sizeof(C) == 1) {
    EmitPadded(out, field, (const C *)s, n);
  } else {
    size_t units = RtlpUtf8ToUtf16Length(s, n);
    WCHAR small[128];
    WCHAR *tmp = units <= 128 ? small : new WCHAR[units];
    RtlpUtf8ToUtf16(s, n, tmp, units, nullptr);
    EmitPadded(out, field, (const C *)tmp, units);
    if (tmp != small) delete[] tmp;
  }
}

/* Wide text into output of type C. */
template <typename C>
void EmitWide(Sink<C> &out, const Field &field, const WCHAR *s, size_t n) {
  if constexpr (sizeof(C) == 2) {
    EmitPadded(out, field, (const C *)s, n);
  } else {
    size_t bytes = RtlpUtf16ToUtf8Length(s, n);
    char small[256];
    char *tmp = bytes <= 256 ? small : new char[bytes];
    RtlpUtf16ToUtf8(s, n, tmp, bytes, nullptr);
    EmitPadded(out, field, (const C *)tmp, bytes);
    if (tmp != small) delete[] tmp;
  }
}

size_t BoundedLength(const char *s, int precision) {
  size_t n = 0;
  while ((precision < 0 || n < (size_t)precision) && s[n]) ++n;
  return n;
}
size_t BoundedLength(const WCHAR *s, int precision) {
  size_t n = 0;
  while ((precision < 0 || n < (size_t)precision) && s[n]) ++n;
  return n;
}

template <typename C>
void EmitNull(Sink<C> &out, const Field &field) {
  static const char text[] = "(null)";
  size_t n = sizeof(text) - 1;
  if (field.Precision >= 0 && (size_t)field.Precision < n) n = (size_t)field.Precision;
  EmitNarrow(out, field, text, n);
}

template <typename C>
void EmitInteger(Sink<C> &out, const Field &field, ULONGLONG magnitude, bool negative, bool isSigned, int base,
                 bool upper) {
  char digits[32];
  size_t nd = 0;
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (ULONGLONG v = magnitude; v != 0; v /= (ULONGLONG)base) digits[nd++] = set[v % (ULONGLONG)base];
  /* Digits are collected backwards. */
  std::reverse(digits, digits + nd);

  char prefix[3];
  size_t np = 0;
  if (isSigned) {
    if (negative)
      prefix[np++] = '-';
    else if (field.Plus)
      prefix[np++] = '+';
    else if (field.Space)
      prefix[np++] = ' ';
  }
  if (field.Alt && base == 16 && magnitude != 0) {
    prefix[np++] = '0';
    prefix[np++] = upper ? 'X' : 'x';
  }

  size_t zeros = 0;
  if (field.Precision >= 0) {
    if ((size_t)field.Precision > nd) zeros = (size_t)field.Precision - nd;
  } else if (nd == 0) {
    zeros = 1; /* the value 0 prints one digit unless the precision is 0 */
  }
  if (field.Alt && base == 8 && zeros == 0 && (nd == 0 || digits[0] != '0')) zeros = 1;

  size_t body = np + zeros + nd;
  size_t width = (size_t)field.Width;
  if (field.Zero && !field.Left && field.Precision < 0 && body < width) {
    zeros += width - body;
    body = width;
  }
  if (!field.Left && body < width) out.Pad(' ', width - body);
  for (size_t i = 0; i < np; ++i) out.Put((C)prefix[i]);
  out.Pad('0', zeros);
  for (size_t i = 0; i < nd; ++i) out.Put((C)digits[i]);
  if (field.Left && body < width) out.Pad(' ', width - body);
}

template <typename C>
void EmitDouble(Sink<C> &out, const Field &field, C conv, double value) {
  char fmt[16];
  size_t n = 0;
  fmt[n++] = '%';
  if (field.Left) fmt[n++] = '-';
  if (field.Plus) fmt[n++] = '+';
  if (field.Space) fmt[n++] = ' ';
  if (field.Alt) fmt[n++] = '#';
  if (field.Zero) fmt[n++] = '0';
  fmt[n++] = '*';
  fmt[n++] = '.';
  fmt[n++] = '*';
  fmt[n++] = (char)conv;
  fmt[n] = 0;
  char small[128];
  int len = std::snprintf(small, sizeof small, fmt, field.Width, field.Precision, value);
  if (len < 0) return;
  if ((size_t)len < sizeof small) {
    for (int i = 0; i < len; ++i) out.Put((C)small[i]);
    return;
  }
  std::string big((size_t)len + 1, '\0');
  std::snprintf(big.data(), big.size(), fmt, field.Width, field.Precision, value);
  for (int i = 0; i < len; ++i) out.Put((C)big[(size_t)i]);
}

int ParseNumber(const char *&f) {
  long v = 0;
  while (*f >= '0' && *f <= '9') {
    if (v < kMaxField) v = v * 10 + (*f - '0');
    ++f;
  }
  return (int)std::min<long>(v, kMaxField);
}
int ParseNumber(const WCHAR *&f) {
  long v = 0;
  while (*f >= '0' && *f <= '9') {
    if (v < kMaxField) v = v * 10 + (*f - '0');
    ++f;
  }
  return (int)std::min<long>(v, kMaxField);
}

template <typename C>
void Format(Sink<C> &out, const C *f, va_list *ap) {
  constexpr bool wideFormat = sizeof(C) == 2;
  while (*f) {
    if (*f != '%') {
      out.Put(*f++);
      continue;
    }
    ++f;
    Field field;
    for (;; ++f) {
      if (*f == '-')
        field.Left = true;
      else if (*f == '+')
        field.Plus = true;
      else if (*f == ' ')
        field.Space = true;
      else if (*f == '#')
        field.Alt = true;
      else if (*f == '0')
        field.Zero = true;
      else
        break;
    }
    if (*f == '*') {
      int w = va_arg(*ap, int);
      if (w < 0) {
        field.Left = true;
        w = w == INT_MIN ? kMaxField : -w;
      }
      field.Width = std::min(w, kMaxField);
      ++f;
    } else {
      field.Width = ParseNumber(f);
    }
    if (*f == '.') {
      ++f;
      if (*f == '*') {
        int p = va_arg(*ap, int);
        field.Precision = p < 0 ? -1 : std::min(p, kMaxField);
        ++f;
      } else {
        field.Precision = ParseNumber(f);
      }
    }
    for (bool more = true; more;) {
      switch (*f) {
        case 'h':
          ++f;
          if (*f == 'h') {
            field.Size = Len::Char;
            ++f;
          } else {
            field.Size = Len::Short;
          }
          break;
        case 'l':
          ++f;
          if (*f == 'l') {
            field.Size = Len::LongLong;
            ++f;
          } else {
            field.Size = Len::Long;
          }
          break;
        case 'L':
          field.Size = Len::LongLong;
          ++f;
          break;
        case 'w':
          field.Size = Len::Wide;
          ++f;
          break;
        case 'I':
          if (f[1] == '6' && f[2] == '4') {
            field.Size = Len::LongLong;
            f += 3;
          } else if (f[1] == '3' && f[2] == '2') {
            field.Size = Len::Long;
            f += 3;
          } else {
            field.Size = Len::Ptr;
            ++f;
          }
          break;
        case 'z':
        case 't':
        case 'j':
          field.Size = Len::Ptr;
          ++f;
          break;
        default:
          more = false;
      }
    }
    C conv = *f;
    if (conv == 0) break;
    ++f;
    /* Which string kind %s/%c mean with this size and this format. */
    bool wideArg = field.Size == Len::Wide || field.Size == Len::Long;
    bool narrowArg = field.Size == Len::Short || field.Size == Len::Char;
    switch (conv) {
      case '%':
        out.Put('%');
        break;
      case 'c':
      case 'C': {
        int v = va_arg(*ap, int);
        bool wide = wideArg || (!narrowArg && ((conv == 'c') == wideFormat));
        if (wide) {
          WCHAR ch = (WCHAR)v;
          EmitWide(out, field, &ch, 1);
        } else {
          char ch = (char)v;
          EmitNarrow(out, field, &ch, 1);
        }
        break;
      }
      case 's':
      case 'S': {
        bool wide = wideArg || (!narrowArg && ((conv == 's') == wideFormat));
        if (wide) {
          const WCHAR *s = va_arg(*ap, const WCHAR *);
          if (!s)
            EmitNull(out, field);
          else
            EmitWide(out, field, s, BoundedLength(s, field.Precision));
        } else {
          const char *s = va_arg(*ap, const char *);
          if (!s)
            EmitNull(out, field);
          else
            EmitNarrow(out, field, s, BoundedLength(s, field.Precision));
        }
        break;
      }
      case 'Z': {
        if (wideArg) {
          PCUNICODE_STRING s = va_arg(*ap, PCUNICODE_STRING);
          if (!s || !s->Buffer) {
            EmitNull(out, field);
          } else {
            size_t n = s->Length / sizeof(WCHAR);
            if (field.Precision >= 0) n = std::min(n, (size_t)field.Precision);
            EmitWide(out, field, s->Buffer, n);
          }
        } else {
          PCANSI_STRING s = va_arg(*ap, PCANSI_STRING);
          if (!s || !s->Buffer) {
            EmitNull(out, field);
          } else {
            size_t n = s->Length;
            if (field.Precision >= 0) n = std::min(n, (size_t)field.Precision);
            EmitNarrow(out, field, s->Buffer, n);
          }
        }
        break;
      }
      case 'd':
      case 'i': {
        LONGLONG v;
        switch (field.Size) {
          case Len::LongLong:
          case Len::Ptr:
            v = va_arg(*ap, LONGLONG);
            break;
          case Len::Short:
            v = (SHORT)va_arg(*ap, int);
            break;
          case Len::Char:
            v = (signed char)va_arg(*ap, int);
            break;
          default:
            v = va_arg(*ap, int);
        }
        ULONGLONG magnitude = v < 0 ? 0 - (ULONGLONG)v : (ULONGLONG)v;
        EmitInteger(out, field, magnitude, v < 0, true, 10, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        ULONGLONG v;
        switch (field.Size) {
          case Len::LongLong:
          case Len::Ptr:
            v = va_arg(*ap, ULONGLONG);
            break;
          case Len::Short:
            v = (USHORT)va_arg(*ap, unsigned);
            break;
          case Len::Char:
            v = (UCHAR)va_arg(*ap, unsigned);
            break;
          default:
            v = va_arg(*ap, unsigned);
        }
        int base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
        EmitInteger(out, field, v, false, false, base, conv == 'X');
        break;
      }
      case 'p': {
        ULONG_PTR v = (ULONG_PTR)va_arg(*ap, void *);
        Field p;
        p.Left = field.Left;
        p.Width = field.Width;
        p.Precision = 16;
        EmitInteger(out, p, v, false, false, 16, true);
        break;
      }
      case 'n':
        (void)va_arg(*ap, void *);
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        EmitDouble(out, field, conv, va_arg(*ap, double));
        break;
      default:
        /* An unknown conversion prints as itself. */
        out.Put(conv);
    }
  }
}

template <typename C>
size_t FormatInto(C *buffer, size_t capacity, const C *format, va_list args) {
  Sink<C> out{buffer, capacity};
  va_list ap;
  va_copy(ap, args);
  Format(out, format, &ap);
  va_end(ap);
  return out.Length;
}

/* The _vsnprintf contract: -1 when cut, a terminator only if there is room. */
template <typename C>
int MsVsnprintf(C *buffer, size_t count, const C *format, va_list args) {
  if (!format) return -1;
  size_t n = FormatInto(buffer, count, format, args);
  if (n > count || n > (size_t)INT_MAX) return -1;
  if (n < count) buffer[n] = 0;
  return (int)n;
}

/* The ntstrsafe contract: always terminated, STATUS_BUFFER_OVERFLOW when cut. */
template <typename C>
NTSTATUS SafeVPrintf(C *dest, size_t cch, const C *format, va_list args) {
  if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  if (!format) {
    dest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = FormatInto(dest, cch - 1, format, args);
  if (n >= cch) {
    dest[cch - 1] = 0;
    return STATUS_BUFFER_OVERFLOW;
  }
  dest[n] = 0;
  return STATUS_SUCCESS;
}

}  // namespace

std::string RtlpFormatToString(const char *Format, va_list Args, size_t MaxChars) {
  if (!Format) return std::string();
  char small[512];
  size_t n = FormatInto(small, sizeof small, Format, Args);
  if (n <= sizeof small) return std::string(small, n);
  n = std::min(n, MaxChars);
  std::string s(n, '\0');
  FormatInto(s.data(), n, Format, Args);
  return s;
}

extern "C" {

int _vsnprintf(char *Buffer, size_t Count, const char *Format, va_list Args) {
  return MsVsnprintf(Buffer, Count, Format, Args);
}

int _snprintf(char *Buffer, size_t Count, const char *Format, ...) {
  va_list ap;
  va_start(ap, Format);
  int r = MsVsnprintf(Buffer, Count, Format, ap);
  va_end(ap);
  return r;
}

int _vsnwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, va_list Args) {
  return MsVsnprintf(Buffer, Count, Format, Args);
}

int _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...) {
  va_list ap;
  va_start(ap, Format);
  int r = MsVsnprintf(Buffer, Count, Format, ap);
  va_end(ap);
  return r;
}

int RtlpCrtVsprintf(char *Buffer, const char *Format, va_list Args) {
  /* sprintf trusts the caller's buffer, as it does everywhere. */
  size_t n = FormatInto(Buffer, (size_t)INT_MAX, Format, Args);
  Buffer[n] = 0;
  return (int)n;
}

int RtlpCrtSprintf(char *Buffer, const char *Format, ...) {
  va_list ap;
  va_start(ap, Format);
  int r = RtlpCrtVsprintf(Buffer, Format, ap);
  va_end(ap);
  return r;
}

int _vscprintf(const char *Format, va_list Args) {
  if (!Format) return -1;
  size_t n = FormatInto((char *)nullptr, 0, Format, Args);
  return n > (size_t)INT_MAX ? -1 : (int)n;
}

NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  return SafeVPrintf(pszDest, cbDest, pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = SafeVPrintf(pszDest, cbDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  return SafeVPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = SafeVPrintf(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  return SafeVPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = SafeVPrintf(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return s;
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  return SafeVPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS s = SafeVPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, ap);
  va_end(ap);
  return s;
}

}  // extern "C"
