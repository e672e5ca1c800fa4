/*
 * The kernel C runtime's string functions for 16-bit WCHAR (the host's wcs*
 * work on 32-bit characters and are renamed away by <km/rtl.h>), and the
 * ntstrsafe copy, concatenation and length functions.
 */
#include "rtl/rtlp.h"

namespace {

WCHAR FoldWide(WCHAR c) { return RtlUpcaseUnicodeChar(c); }
int FoldNarrow(int c) { return (c >= 'a' && c <= 'z') ? c - 0x20 : c; }

template <typename C>
size_t Length(const C *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

/* Copies src behind the first `used` characters of dest (cch in total),
 * always terminating; STATUS_BUFFER_OVERFLOW when it had to cut. */
template <typename C>
NTSTATUS CopyAt(C *dest, size_t cch, size_t used, const C *src) {
  size_t i = used;
  for (; i + 1 < cch && *src; ++i) dest[i] = *src++;
  dest[i] = 0;
  return *src ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename C>
NTSTATUS SafeCopy(C *dest, size_t cch, const C *src) {
  if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  if (!src) {
    dest[0] = 0;
    return STATUS_SUCCESS;
  }
  return CopyAt(dest, cch, 0, src);
}

template <typename C>
NTSTATUS SafeCat(C *dest, size_t cch, const C *src) {
  if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
  size_t used = 0;
  while (used < cch && dest[used]) ++used;
  if (used == cch) return STATUS_INVALID_PARAMETER; /* dest was not terminated */
  if (!src) return STATUS_SUCCESS;
  return CopyAt(dest, cch, used, src);
}

template <typename C>
NTSTATUS SafeLength(const C *s, size_t cchMax, size_t *length) {
  if (!s || cchMax > NTSTRSAFE_MAX_CCH) {
    if (length) *length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && s[n]) ++n;
  if (n == cchMax) {
    if (length) *length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (length) *length = n;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

size_t RtlpCrtWcslen(const WCHAR *s) { return Length(s); }

size_t RtlpCrtWcsnlen(const WCHAR *s, size_t n) {
  size_t i = 0;
  while (i < n && s[i]) ++i;
  return i;
}

WCHAR *RtlpCrtWcscpy(WCHAR *d, const WCHAR *s) {
  WCHAR *r = d;
  while ((*d++ = *s++) != 0) {
  }
  return r;
}

WCHAR *RtlpCrtWcsncpy(WCHAR *d, const WCHAR *s, size_t n) {
  size_t i = 0;
  for (; i < n && s[i]; ++i) d[i] = s[i];
  for (; i < n; ++i) d[i] = 0;
  return d;
}

WCHAR *RtlpCrtWcscat(WCHAR *d, const WCHAR *s) {
  RtlpCrtWcscpy(d + Length(d), s);
  return d;
}

int RtlpCrtWcscmp(const WCHAR *a, const WCHAR *b) {
  for (;; ++a, ++b) {
    if (*a != *b) return (USHORT)*a < (USHORT)*b ? -1 : 1;
    if (!*a) return 0;
  }
}

int RtlpCrtWcsncmp(const WCHAR *a, const WCHAR *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return (USHORT)a[i] < (USHORT)b[i] ? -1 : 1;
    if (!a[i]) return 0;
  }
  return 0;
}

WCHAR *RtlpCrtWcschr(const WCHAR *s, WCHAR c) {
  for (;; ++s) {
    if (*s == c) return (WCHAR *)s;
    if (!*s) return nullptr;
  }
}

WCHAR *RtlpCrtWcsrchr(const WCHAR *s, WCHAR c) {
  const WCHAR *found = nullptr;
  for (;; ++s) {
    if (*s == c) found = s;
    if (!*s) return (WCHAR *)found;
  }
}

WCHAR *RtlpCrtWcsstr(const WCHAR *s, const WCHAR *find) {
  size_t n = Length(find);
  if (n == 0) return (WCHAR *)s;
  for (; *s; ++s)
    if (RtlpCrtWcsncmp(s, find, n) == 0) return (WCHAR *)s;
  return nullptr;
}

int _wcsicmp(const WCHAR *a, const WCHAR *b) { return _wcsnicmp(a, b, (size_t)-1); }

/* Case is folded to upper case, as the kernel's runtime does. */
int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    USHORT x = (USHORT)FoldWide(a[i]), y = (USHORT)FoldWide(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
  return 0;
}

int _stricmp(const char *a, const char *b) { return _strnicmp(a, b, (size_t)-1); }

int _strnicmp(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int x = FoldNarrow((unsigned char)a[i]), y = FoldNarrow((unsigned char)b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
  return 0;
}

NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
  return SafeCopy(pszDest, cbDest, pszSrc);
}
NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
  return SafeCopy(pszDest, cchDest, pszSrc);
}
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
  return SafeCopy(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return SafeCopy(pszDest, cchDest, pszSrc);
}
NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
  return SafeCat(pszDest, cbDest, pszSrc);
}
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
  return SafeCat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
  return SafeCat(pszDest, cchDest, pszSrc);
}
NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t *pcbLength) {
  return SafeLength(psz, cbMax, pcbLength);
}
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t *pcbLength) {
  NTSTATUS s = SafeLength(psz, cbMax / sizeof(WCHAR), pcbLength);
  if (NT_SUCCESS(s) && pcbLength) *pcbLength *= sizeof(WCHAR);
  return s;
}
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t *pcchLength) {
  return SafeLength(psz, cchMax, pcchLength);
}

}  // extern "C"
