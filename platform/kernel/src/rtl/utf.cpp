/*
 * The ANSI code page of this system is UTF-8. These conversions never emit a
 * partial sequence into a bounded buffer.
 */
#include "rtl/rtlp.h"

namespace {

/* Decodes one code point from UTF-16; returns the units used (1 or 2). */
size_t DecodeUtf16(const WCHAR *s, size_t n, uint32_t *cp) {
  uint32_t c = (USHORT)s[0];
  if (c >= 0xD800 && c <= 0xDBFF && n >= 2) {
    uint32_t d = (USHORT)s[1];
    if (d >= 0xDC00 && d <= 0xDFFF) {
      *cp = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
      return 2;
    }
  }
  *cp = (c >= 0xD800 && c <= 0xDFFF) ? '?' : c;
  return 1;
}

size_t Utf8Size(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

void EncodeUtf8(uint32_t cp, char *out) {
  if (cp < 0x80) {
    out[0] = (char)cp;
  } else if (cp < 0x800) {
    out[0] = (char)(0xC0 | (cp >> 6));
    out[1] = (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out[0] = (char)(0xE0 | (cp >> 12));
    out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (char)(0x80 | (cp & 0x3F));
  } else {
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
  }
}

/* Decodes one code point from UTF-8; returns the bytes used (at least 1). */
size_t DecodeUtf8(const char *p, size_t n, uint32_t *cp) {
  const unsigned char *s = (const unsigned char *)p;
  unsigned char c = s[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t need;
  uint32_t v, min;
  if ((c & 0xE0) == 0xC0) {
    need = 2, v = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    need = 3, v = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    need = 4, v = c & 0x07, min = 0x10000;
  } else {
    *cp = 0xFFFD;
    return 1;
  }
  if (n < need) {
    *cp = 0xFFFD;
    return 1;
  }
  for (size_t i = 1; i < need; ++i) {
    if ((s[i] & 0xC0) != 0x80) {
      *cp = 0xFFFD;
      return 1;
    }
    v = (v << 6) | (s[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) v = 0xFFFD;
  *cp = v;
  return need;
}

}  // namespace

size_t RtlpUtf16ToUtf8Length(const WCHAR *Source, size_t Count) {
  size_t bytes = 0;
  for (size_t i = 0; i < Count;) {
    uint32_t cp;
    i += DecodeUtf16(Source + i, Count - i, &cp);
    bytes += Utf8Size(cp);
  }
  return bytes;
}

size_t RtlpUtf16ToUtf8(const WCHAR *Source, size_t Count, char *Dest, size_t Capacity, size_t *Consumed) {
  size_t i = 0, out = 0;
  while (i < Count) {
    uint32_t cp;
    size_t used = DecodeUtf16(Source + i, Count - i, &cp);
    size_t size = Utf8Size(cp);
    if (out + size > Capacity) break;
    EncodeUtf8(cp, Dest + out);
    out += size;
    i += used;
  }
  if (Consumed) *Consumed = i;
  return out;
}

size_t RtlpUtf8ToUtf16Length(const char *Source, size_t Count) {
  size_t units = 0;
  for (size_t i = 0; i < Count;) {
    uint32_t cp;
    i += DecodeUtf8(Source + i, Count - i, &cp);
    units += cp >= 0x10000 ? 2 : 1;
  }
  return units;
}

size_t RtlpUtf8ToUtf16(const char *Source, size_t Count, WCHAR *Dest, size_t Capacity, size_t *Consumed) {
  size_t i = 0, out = 0;
  while (i < Count) {
    uint32_t cp;
    size_t used = DecodeUtf8(Source + i, Count - i, &cp);
    if (cp >= 0x10000) {
      if (out + 2 > Capacity) break;
      cp -= 0x10000;
      Dest[out++] = (WCHAR)(0xD800 + (cp >> 10));
      Dest[out++] = (WCHAR)(0xDC00 + (cp & 0x3FF));
    } else {
      if (out + 1 > Capacity) break;
      Dest[out++] = (WCHAR)cp;
    }
    i += used;
  }
  if (Consumed) *Consumed = i;
  return out;
}

std::string RtlpUtf16ToString(const WCHAR *Source, size_t Count) {
  std::string s(RtlpUtf16ToUtf8Length(Source, Count), '\0');
  RtlpUtf16ToUtf8(Source, Count, s.data(), s.size(), nullptr);
  return s;
}
