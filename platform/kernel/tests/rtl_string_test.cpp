/* Counted strings, conversions, GUID text and the 16-bit wcs functions. */
#include <ntddk.h>
#include <nt/pool.h>
#include <nt/system.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string U16(PCUNICODE_STRING s) {
  return std::u16string((const char16_t *)s->Buffer, s->Length / sizeof(WCHAR));
}
std::u16string U16(const WCHAR *s) { return std::u16string((const char16_t *)s, wcslen(s)); }

class RtlString : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(nt::Boot(), STATUS_SUCCESS); }
  void TearDown() override { nt::Shutdown(); }
};

TEST_F(RtlString, InitSetsLengthsInBytes) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"COM5");
  EXPECT_EQ(u.Length, 8);
  EXPECT_EQ(u.MaximumLength, 10);
  RtlInitUnicodeString(&u, nullptr);
  EXPECT_EQ(u.Length, 0);
  EXPECT_EQ(u.MaximumLength, 0);
  EXPECT_EQ(u.Buffer, nullptr);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abc");
  EXPECT_EQ(a.Length, 3);
  EXPECT_EQ(a.MaximumLength, 4);
}

/* A destination of MaximumLength bytes over a larger buffer, with the bytes
 * after MaximumLength marked so writes past it show. */
struct Dest {
  WCHAR Storage[16];
  UNICODE_STRING S;
  Dest(USHORT maxBytes, const WCHAR *initial = L"") {
    for (WCHAR &c : Storage) c = (WCHAR)0x2323;
    S.Buffer = Storage;
    S.MaximumLength = maxBytes;
    S.Length = (USHORT)(wcslen(initial) * sizeof(WCHAR));
    memcpy(Storage, initial, S.Length);
  }
  bool UntouchedFrom(size_t index) const {
    for (size_t i = index; i < 16; ++i)
      if (Storage[i] != (WCHAR)0x2323) return false;
    return true;
  }
};

TEST_F(RtlString, CopyTruncatesToDestinationMaximum) {
  struct {
    USHORT Max;
    const WCHAR *Source;
    std::u16string Expected;
    bool Terminated;
  } cases[] = {
      {8, L"COM123", u"COM1", false}, /* cut to four characters, no room for a terminator */
      {20, L"COM123", u"COM123", true},
      {12, L"COM123", u"COM123", false}, /* exactly full */
      {7, L"COM123", u"COM", false},     /* an odd maximum never splits a character */
  };
  for (auto &c : cases) {
    Dest d(c.Max);
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, c.Source);
    RtlCopyUnicodeString(&d.S, &src);
    EXPECT_EQ(U16(&d.S), c.Expected);
    size_t n = c.Expected.size();
    if (c.Terminated) {
      EXPECT_EQ(d.Storage[n], 0);
      EXPECT_TRUE(d.UntouchedFrom(n + 1));
    } else {
      EXPECT_TRUE(d.UntouchedFrom(n)) << c.Max;
    }
  }
  Dest d(20, L"old");
  RtlCopyUnicodeString(&d.S, nullptr);
  EXPECT_EQ(d.S.Length, 0);
}

TEST_F(RtlString, AppendFailsWholeWhenItDoesNotFit) {
  struct {
    USHORT Max;
    const WCHAR *Initial, *Tail;
    NTSTATUS Status;
    std::u16string Expected;
  } cases[] = {
      {20, L"\\??\\", L"COM5", STATUS_SUCCESS, u"\\??\\COM5"},
      {16, L"\\??\\", L"COM5", STATUS_SUCCESS, u"\\??\\COM5"}, /* exactly full */
      {14, L"\\??\\", L"COM5", STATUS_BUFFER_TOO_SMALL, u"\\??\\"},
      {14, L"ab", L"", STATUS_SUCCESS, u"ab"},
  };
  for (auto &c : cases) {
    for (int useString = 0; useString < 2; ++useString) {
      Dest d(c.Max, c.Initial);
      NTSTATUS s;
      if (useString) {
        UNICODE_STRING tail;
        RtlInitUnicodeString(&tail, c.Tail);
        s = RtlAppendUnicodeStringToString(&d.S, &tail);
      } else {
        s = RtlAppendUnicodeToString(&d.S, c.Tail);
      }
      EXPECT_EQ(s, c.Status) << c.Max;
      EXPECT_EQ(U16(&d.S), c.Expected);
      if (s != STATUS_SUCCESS) {
        EXPECT_TRUE(d.UntouchedFrom(wcslen(c.Initial))) << "nothing written on failure";
      }
    }
  }
}

TEST_F(RtlString, IntegerToUnicodeString) {
  struct {
    ULONG Value, Base;
    USHORT Max;
    NTSTATUS Status;
    std::u16string Expected;
  } cases[] = {
      {0, 10, 32, STATUS_SUCCESS, u"0"},
      {123, 10, 32, STATUS_SUCCESS, u"123"},
      {7, 0, 32, STATUS_SUCCESS, u"7"}, /* base 0 is decimal */
      {255, 16, 32, STATUS_SUCCESS, u"FF"},
      {5, 2, 32, STATUS_SUCCESS, u"101"},
      {8, 8, 32, STATUS_SUCCESS, u"10"},
      {5, 3, 32, STATUS_INVALID_PARAMETER, u""},
      {123, 10, 8, STATUS_SUCCESS, u"123"},           /* three digits and the terminator: eight bytes */
      {1234, 10, 8, STATUS_BUFFER_OVERFLOW, u""},     /* no room for the terminator */
      {0xFFFFFFFF, 16, 18, STATUS_SUCCESS, u"FFFFFFFF"},
  };
  for (auto &c : cases) {
    WCHAR storage[40];
    UNICODE_STRING s{0, c.Max, storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(c.Value, c.Base, &s), c.Status) << c.Value << " base " << c.Base;
    if (c.Status == STATUS_SUCCESS) {
      EXPECT_EQ(U16(&s), c.Expected);
      EXPECT_EQ(storage[c.Expected.size()], 0);
    } else {
      EXPECT_EQ(s.Length, 0);
    }
  }
}

TEST_F(RtlString, UnicodeStringToInteger) {
  struct {
    const WCHAR *Text;
    ULONG Base;
    NTSTATUS Status;
    ULONG Value;
  } cases[] = {
      {L"123", 10, STATUS_SUCCESS, 123},   {L"  -5", 10, STATUS_SUCCESS, (ULONG)-5},
      {L"+42", 0, STATUS_SUCCESS, 42},     {L"0x1F", 0, STATUS_SUCCESS, 31},
      {L"1f", 16, STATUS_SUCCESS, 31},     {L"0b101", 0, STATUS_SUCCESS, 5},
      {L"0o17", 0, STATUS_SUCCESS, 15},    {L"12abc", 10, STATUS_SUCCESS, 12},
      {L"", 10, STATUS_SUCCESS, 0},        {L"9", 8, STATUS_SUCCESS, 0},
      {L"1", 7, STATUS_INVALID_PARAMETER, 0xDEAD},
  };
  for (auto &c : cases) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.Text);
    ULONG v = 0xDEAD;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.Base, &v), c.Status);
    EXPECT_EQ(v, c.Value);
  }
}

TEST_F(RtlString, CompareAndCase) {
  struct {
    const WCHAR *A, *B;
    BOOLEAN CaseInsensitive;
    int Sign;
  } cases[] = {
      {L"COM5", L"COM5", FALSE, 0}, {L"com5", L"COM5", TRUE, 0}, {L"com5", L"COM5", FALSE, 1},
      {L"ab", L"abc", FALSE, -1},   {L"abd", L"abc", TRUE, 1},   {L"\u00E9t\u00E9", L"\u00C9T\u00C9", TRUE, 0},
  };
  for (auto &c : cases) {
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, c.A);
    RtlInitUnicodeString(&b, c.B);
    LONG r = RtlCompareUnicodeString(&a, &b, c.CaseInsensitive);
    EXPECT_EQ((r > 0) - (r < 0), c.Sign);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.CaseInsensitive), c.Sign == 0);
  }
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'a'), L'A');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'Z'), L'Z');
  EXPECT_EQ(RtlUpcaseUnicodeChar(L'1'), L'1');
  EXPECT_EQ(RtlUpcaseUnicodeChar((WCHAR)0xE9), (WCHAR)0xC9);
  EXPECT_EQ(RtlUpcaseUnicodeChar((WCHAR)0x3B1), (WCHAR)0x391);
  EXPECT_EQ(RtlUpcaseUnicodeChar((WCHAR)0x430), (WCHAR)0x410);
}

TEST_F(RtlString, AnsiUnicodeConversionsAllocateAndFree) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "Port \xC3\xBC"); /* UTF-8 */
  UNICODE_STRING u;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(U16(&u), u"Port \u00FC");
  EXPECT_EQ(u.Buffer[u.Length / 2], 0);
  EXPECT_TRUE(nt::pool::IsPoolBlock(u.Buffer));

  ANSI_STRING back;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &u, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(back.Buffer, back.Length), "Port \xC3\xBC");
  EXPECT_EQ(back.Buffer[back.Length], 0);

  auto before = nt::pool::Outstanding();
  RtlFreeUnicodeString(&u);
  RtlFreeAnsiString(&back);
  EXPECT_EQ(u.Buffer, nullptr);
  EXPECT_EQ(u.Length, 0);
  EXPECT_EQ(nt::pool::Outstanding().Blocks, before.Blocks - 2);
}

TEST_F(RtlString, ConversionsIntoCallerBuffers) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abcdef");
  WCHAR small[4];
  UNICODE_STRING u{0, sizeof small, small};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_BUFFER_OVERFLOW);

  UNICODE_STRING src;
  RtlInitUnicodeString(&src, L"abcdef");
  char narrow[4];
  ANSI_STRING out{0, sizeof narrow, narrow};
  /* Cut and terminated. */
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&out, &src, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(narrow, "abc");
  char wide[8];
  ANSI_STRING fits{0, sizeof wide, wide};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&fits, &src, FALSE), STATUS_SUCCESS);
  EXPECT_STREQ(wide, "abcdef");
}

TEST_F(RtlString, AllocationFailureIsReported) {
  ANSI_STRING a;
  RtlInitAnsiString(&a, "x");
  UNICODE_STRING u{};
  nt::pool::FailNth(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(u.Buffer, nullptr);
  static const GUID g = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  nt::pool::FailNth(1);
  EXPECT_EQ(RtlStringFromGUID(g, &u), STATUS_NO_MEMORY);
}

TEST_F(RtlString, GuidText) {
  static const GUID g = {0x5982390E, 0xDC91, 0x4AC7, {0x81, 0xD0, 0xD7, 0x9F, 0x40, 0x8F, 0x5B, 0x8D}};
  UNICODE_STRING s;
  ASSERT_EQ(RtlStringFromGUID(g, &s), STATUS_SUCCESS);
  EXPECT_EQ(U16(&s), u"{5982390E-DC91-4AC7-81D0-D79F408F5B8D}");
  EXPECT_EQ(s.Buffer[38], 0);
  GUID parsed{};
  ASSERT_EQ(RtlGUIDFromString(&s, &parsed), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(parsed, g));
  RtlFreeUnicodeString(&s);

  UNICODE_STRING lower;
  RtlInitUnicodeString(&lower, L"{5982390e-dc91-4ac7-81d0-d79f408f5b8d}");
  ASSERT_EQ(RtlGUIDFromString(&lower, &parsed), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(parsed, g));

  const WCHAR *bad[] = {
      L"5982390E-DC91-4AC7-81D0-D79F408F5B8D",    /* no braces */
      L"{5982390E-DC91-4AC7-81D0-D79F408F5B8}",   /* short */
      L"{5982390E-DC91-4AC7-81D0-D79F408F5B8DD}", /* long */
      L"{5982390E-DC91-4AC7-81D0-D79F408F5B8G}",  /* not hex */
      L"{5982390E+DC91-4AC7-81D0-D79F408F5B8D}",  /* separator */
  };
  for (const WCHAR *text : bad) {
    UNICODE_STRING b;
    RtlInitUnicodeString(&b, text);
    GUID out = g;
    EXPECT_EQ(RtlGUIDFromString(&b, &out), STATUS_INVALID_PARAMETER) << U16(&b).size();
    EXPECT_TRUE(IsEqualGUID(out, g)) << "left alone on failure";
  }
}

TEST(RtlCrt, WideStringsAreSixteenBit) {
  EXPECT_EQ(wcslen(L"abc"), 3u);
  WCHAR buffer[8];
  EXPECT_EQ(wcscpy(buffer, L"COM5"), buffer);
  EXPECT_EQ(U16(buffer), u"COM5");
  EXPECT_EQ(wcscmp(buffer, L"COM5"), 0);
  EXPECT_LT(wcscmp(L"COM4", L"COM5"), 0);
  EXPECT_GT(wcscmp(L"COM50", L"COM5"), 0);
  EXPECT_EQ(_wcsicmp(L"Com5", L"cOM5"), 0);
  EXPECT_NE(_wcsicmp(L"Com5", L"cOM6"), 0);
  WCHAR padded[6];
  for (WCHAR &c : padded) c = L'#';
  wcsncpy(padded, L"ab", 5);
  EXPECT_EQ(padded[0], L'a');
  EXPECT_EQ(padded[2], 0);
  EXPECT_EQ(padded[4], 0);
  EXPECT_EQ(padded[5], L'#');
  const WCHAR *path = L"\\Device\\NERAVOXDevice0";
  EXPECT_EQ(wcsrchr(path, L'\\'), path + 7);
  EXPECT_EQ(wcsstr(path, L"NERAVOX"), path + 8);
  EXPECT_EQ(wcschr(path, L'N'), path + 8);
  EXPECT_EQ(wcschr(path, L'#'), nullptr);
}

TEST(RtlCrt, SafeCopyCatLength) {
  WCHAR buffer[6];
  EXPECT_EQ(RtlStringCchCopyW(buffer, 6, L"COM5"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatW(buffer, 6, L"12"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(U16(buffer), u"COM51");
  EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof buffer, L"toolong"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(U16(buffer), u"toolo");
  size_t n = 99;
  EXPECT_EQ(RtlStringCbLengthW(L"abc", 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(RtlStringCbLengthW(L"abcd", 8, &n), STATUS_INVALID_PARAMETER); /* no terminator within 8 bytes */
  char narrow[4];
  EXPECT_EQ(RtlStringCbCopyA(narrow, sizeof narrow, "abcd"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(narrow, "abc");
  EXPECT_EQ(RtlStringCbCopyA(narrow, 0, "a"), STATUS_INVALID_PARAMETER);
}

}  // namespace
