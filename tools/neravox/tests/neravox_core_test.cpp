/*
 * The parts of the neravox command that decide what a person reads: the
 * Windows error an NTSTATUS becomes, the framing arithmetic behind the line
 * rate, the checksum both ends print and the trace filter.
 */
#include <gtest/gtest.h>

#include "port.h"
#include "system.h"
#include "transfer.h"

namespace {

using namespace neravox;

struct StatusCase {
  NTSTATUS Status;
  const char *Text;
};

TEST(NeravoxDescribeStatus, NamesTheWindowsError) {
  const StatusCase cases[] = {
      {STATUS_SUCCESS, "ERROR_SUCCESS (0)"},
      {STATUS_ACCESS_DENIED, "ERROR_ACCESS_DENIED (5)"},
      {STATUS_OBJECT_NAME_NOT_FOUND, "ERROR_FILE_NOT_FOUND (2)"},
      {STATUS_NO_SUCH_DEVICE, "ERROR_FILE_NOT_FOUND (2)"},
      {STATUS_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER (87)"},
      {STATUS_INSUFFICIENT_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES (1450)"},
      {STATUS_CANCELLED, "ERROR_OPERATION_ABORTED (995)"},
      {STATUS_DELETE_PENDING, "ERROR_ACCESS_DENIED (5)"},
      {STATUS_TIMEOUT, "ERROR_TIMEOUT (1460)"},
      /* Without an entry the status itself is shown, so nothing is hidden. */
      {static_cast<NTSTATUS>(0xC0001234), "ERROR_MR_MID_NOT_FOUND (317), status 0xC0001234"},
  };
  for (const StatusCase &c : cases) EXPECT_EQ(DescribeStatus(c.Status), c.Text) << std::hex << c.Status;
}

struct FramingCase {
  UCHAR Data, Parity, Stop;
  double Bits;
  const char *Text;
};

TEST(NeravoxFraming, BitsOnTheWireAndName) {
  const FramingCase cases[] = {
      {8, NO_PARITY, STOP_BIT_1, 10.0, "8N1"},
      {7, EVEN_PARITY, STOP_BITS_2, 11.0, "7E2"},
      {5, NO_PARITY, STOP_BITS_1_5, 7.5, "5N1.5"},
      {8, MARK_PARITY, STOP_BIT_1, 11.0, "8M1"},
      {6, SPACE_PARITY, STOP_BITS_2, 10.0, "6S2"},
  };
  for (const FramingCase &c : cases) {
    Framing f;
    f.DataBits = c.Data;
    f.Parity = c.Parity;
    f.StopBits = c.Stop;
    EXPECT_DOUBLE_EQ(f.BitsPerCharacter(), c.Bits) << c.Text;
    EXPECT_EQ(f.Text(), c.Text);
  }
}

TEST(NeravoxFraming, OptionTexts) {
  EXPECT_EQ(ParseParity("odd"), ODD_PARITY);
  EXPECT_EQ(ParseParity("space"), SPACE_PARITY);
  EXPECT_FALSE(ParseParity("ODD").has_value());
  EXPECT_EQ(ParseStopBits("1.5"), STOP_BITS_1_5);
  EXPECT_FALSE(ParseStopBits("3").has_value());
}

TEST(NeravoxCrc32, StandardCheckValueAndChaining) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("6789", Crc32("12345")), 0xCBF43926u);
}

TEST(NeravoxTestPattern, EveryByteValueShowsUp) {
  const std::string p = TestPattern(65536);
  bool seen[256] = {};
  for (unsigned char c : p) seen[c] = true;
  for (int i = 0; i < 256; ++i) EXPECT_TRUE(seen[i]) << i;
  EXPECT_EQ(TestPattern(100), p.substr(0, 100));
}

struct TraceCase {
  bool Enabled;
  const char *Text;
  int Unit;
  const char *Line;
  bool Shown;
};

TEST(NeravoxTraceFilter, TextAndUnitFilters) {
  const TraceCase cases[] = {
      {false, "", -1, "PN : [02], x", false},
      {true, "", -1, "anything", true},
      {true, "Isr", -1, "PN : [02], Isr", true},
      {true, "Isr", -1, "PN : [02], Dpc", false},
      {true, "", 2, "PN : [02], Dpc", true},
      {true, "", 2, "PN : [12], Dpc", false},
      {true, "", 2, "NERAVOX: IRP", false},
      {true, "", 12, "PN : [12], Dpc", true},
      {true, "Dpc", 2, "PN : [02], Isr", false},
  };
  for (const TraceCase &c : cases) {
    TraceOptions t;
    t.Enabled = c.Enabled;
    t.Text = c.Text;
    t.Unit = c.Unit;
    EXPECT_EQ(TraceAccepts(t, c.Line), c.Shown) << c.Line << " / " << c.Text << " / " << c.Unit;
  }
}

}  // namespace
