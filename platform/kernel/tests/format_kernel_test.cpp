/* The kernel formatter: Windows size rules, string kinds, flags, and the
 * buffer contracts of _snprintf, sprintf and the ntstrsafe functions. */
#include <ntddk.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

/* UTF-16 text as a host string of its units, for comparisons. */
std::u16string U16(const WCHAR *s) { return std::u16string((const char16_t *)s, wcslen(s)); }

struct FormatCase {
  const char *Expected;
  std::function<int(char *, size_t)> Print;
};

#define CASE(expected, ...) \
  FormatCase { expected, [](char *b, size_t n) { return _snprintf(b, n, __VA_ARGS__); } }

TEST(KernelFormat, ConversionTable) {
  const FormatCase cases[] = {
      CASE("-5", "%d", -5),
      CASE("42", "%i", 42),
      CASE("4294967295", "%u", 0xFFFFFFFFu),
      CASE("beef BEEF", "%x %X", 0xBEEFu, 0xBEEFu),
      CASE("17", "%o", 15u),
      /* "l" is 32 bits: the upper half of a 64-bit argument is not read. */
      CASE("c0000001", "%lx", (ULONG)0xC0000001),
      CASE("55667788 7", "%lx %d", 0x1122334455667788ULL, 7),
      CASE("00001234", "%08lx", (ULONG)0x1234),
      CASE("1122334455667788", "%I64x", 0x1122334455667788ULL),
      CASE("1122334455667788", "%llx", 0x1122334455667788ULL),
      CASE("-9000000000", "%I64d", -9000000000LL),
      CASE("18446744073709551615", "%Iu", (ULONG_PTR)-1),
      CASE("123456789012", "%zu", (SIZE_T)123456789012ULL),
      CASE("-7", "%I32d", -7),
      CASE("-1 2345", "%hd %hx", 65535, 0x12345),
      CASE("0000000000001234", "%p", (void *)0x1234),
      CASE("0000000000000000", "%p", (void *)nullptr),
      CASE("FFFFF80012345678", "%p", (void *)0xFFFFF80012345678ULL),
      CASE("A Z Q", "%c %C %wc", 'A', (WCHAR)L'Z', (WCHAR)L'Q'),
      CASE("abc", "%s", "abc"),
      CASE("(null)", "%s", (const char *)nullptr),
      CASE("ab", "%.2s", "abcdef"),
      CASE("   ab|ab   |", "%5s|%-5s|", "ab", "ab"),
      CASE("wide wide wide", "%ws %S %ls", L"wide", L"wide", L"wide"),
      CASE("(null)", "%ws", (const WCHAR *)nullptr),
      CASE("caf\xC3\xA9", "%ws", L"caf\u00E9"),
      CASE("hi", "%hs", "hi"),
      CASE("+5 | 5", "%+d |% d", 5, 5),
      CASE("-0042", "%05d", -42),
      CASE("42   |", "%-5d|", 42),
      CASE("0xff 0XFF 0", "%#x %#X %#x", 255u, 255u, 0u),
      CASE("010", "%#o", 8u),
      CASE("007", "%.3d", 7),
      CASE("[]", "[%.0d]", 0),
      CASE("     00f", "%8.3x", 15u),
      CASE("   42", "%*d", 5, 42),
      CASE("1   |", "%*d|", -4, 1),
      CASE("abc", "%.*s", 3, "abcdef"),
      CASE("100%", "100%%"),
      CASE("PN : [03], ", "PN : [%02d], ", 3),
      CASE("1.500000", "%f", 1.5),
      CASE("y", "%y"),
  };
  for (const FormatCase &c : cases) {
    char buffer[128];
    int n = c.Print(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), c.Expected);
    EXPECT_EQ(n, (int)strlen(c.Expected)) << c.Expected;
  }
}

TEST(KernelFormat, CountedStrings) {
  WCHAR text[] = L"COM51";
  UNICODE_STRING us{8, sizeof text, text}; /* "COM5": Length, not the terminator, ends it */
  char ansi[] = "ansi!";
  ANSI_STRING as{4, sizeof ansi, ansi};
  UNICODE_STRING noBuffer{0, 0, nullptr};
  char buffer[128];
  _snprintf(buffer, sizeof buffer, "%wZ|%Z|%wZ|%wZ|%.2wZ", &us, &as, (PUNICODE_STRING) nullptr, &noBuffer, &us);
  EXPECT_STREQ(buffer, "COM5|ansi|(null)|(null)|CO");
}

TEST(KernelFormat, PercentNWritesNothing) {
  int target = 99;
  char buffer[16];
  _snprintf(buffer, sizeof buffer, "a%nb", &target);
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(target, 99);
}

TEST(KernelFormat, HostileWidthIsBounded) {
  char buffer[8];
  /* Must neither overrun nor take forever. */
  EXPECT_EQ(_snprintf(buffer, sizeof buffer, "%*d", 0x7FFFFFFF, 1), -1);
}

/* _snprintf: at most Count characters, -1 when cut, terminator only if room. */
TEST(KernelFormat, SnprintfBufferContract) {
  struct {
    size_t Count;
    int Result;
    const char *Written; /* what lands in the buffer */
    bool Terminated;
  } cases[] = {
      {4, -1, "abcd", false},   /* cut */
      {6, 6, "abcdef", false},  /* fits exactly: no room for the terminator */
      {7, 6, "abcdef", true},
      {0, -1, "", false},
  };
  for (auto &c : cases) {
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    size_t n = strlen(c.Written);
    EXPECT_EQ(_snprintf(buffer, c.Count, "%s", "abcdef"), c.Result) << c.Count;
    EXPECT_EQ(std::string(buffer, n), std::string(c.Written)) << c.Count;
    EXPECT_EQ(buffer[n], c.Terminated ? '\0' : '#') << c.Count;
    if (c.Count > n) {
      EXPECT_EQ(buffer[c.Count], '#') << "nothing past Count";
    }
  }
}

TEST(KernelFormat, SprintfIsTheKernelOne) {
  char buffer[32];
  EXPECT_EQ(sprintf(buffer, "%lx|%ws", 0x1122334455667788ULL, L"w"), 10);
  EXPECT_STREQ(buffer, "55667788|w");
}

TEST(KernelFormat, SafePrintfNarrow) {
  char buffer[8];
  EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "%s-%d", "ab", 12), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "ab-12");
  /* Cut, but always terminated. */
  EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "%s", "0123456789"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "0123456");
  /* Exactly full: the terminator takes the last byte, so seven characters fit. */
  EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "%s", "0123456"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCbPrintfA(buffer, 0, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%04X", 0xABu), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "00AB");
}

TEST(KernelFormat, SafePrintfWide) {
  WCHAR buffer[8];
  /* In a wide format "%s" is wide and "%S" narrow. */
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, L"%s=%d %S", L"x", 5, "n"), STATUS_SUCCESS);
  EXPECT_EQ(U16(buffer), u"x=5 n");
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 4, L"%u", 123456u), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(U16(buffer), u"123");
  EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, L"%wZ", (PUNICODE_STRING) nullptr), STATUS_SUCCESS);
  EXPECT_EQ(U16(buffer), u"(null)");
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(_snwprintf(buffer, 8, L"%c%C%d", L'w', 'n', 7), 3);
  EXPECT_EQ(U16(buffer), u"wn7");
  /* Non-ASCII narrow text is UTF-8 and becomes one WCHAR. */
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, L"%S", "\xC3\xA9"), STATUS_SUCCESS);
  EXPECT_EQ(U16(buffer), u"\u00E9");
}

}  // namespace
