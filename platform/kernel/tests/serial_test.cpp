#include <gtest/gtest.h>
#include <ntddk.h>
#include <ntddser.h>

namespace {

struct Code {
  const char *Name;
  ULONG Value, Expected;
};

/* The control codes as Windows numbers them. */
class SerialCodes : public ::testing::TestWithParam<Code> {};

TEST_P(SerialCodes, MatchWindowsNumbers) { EXPECT_EQ(GetParam().Value, GetParam().Expected) << GetParam().Name; }

#define C(name, value) Code{#name, IOCTL_SERIAL_##name, value}
INSTANTIATE_TEST_SUITE_P(
    Ioctl, SerialCodes,
    ::testing::Values(C(SET_BAUD_RATE, 0x1B0004), C(SET_QUEUE_SIZE, 0x1B0008), C(SET_LINE_CONTROL, 0x1B000C),
                      C(SET_BREAK_ON, 0x1B0010), C(SET_BREAK_OFF, 0x1B0014), C(IMMEDIATE_CHAR, 0x1B0018),
                      C(SET_TIMEOUTS, 0x1B001C), C(GET_TIMEOUTS, 0x1B0020), C(SET_DTR, 0x1B0024),
                      C(CLR_DTR, 0x1B0028), C(RESET_DEVICE, 0x1B002C), C(SET_RTS, 0x1B0030), C(CLR_RTS, 0x1B0034),
                      C(SET_XOFF, 0x1B0038), C(SET_XON, 0x1B003C), C(GET_WAIT_MASK, 0x1B0040),
                      C(SET_WAIT_MASK, 0x1B0044), C(WAIT_ON_MASK, 0x1B0048), C(PURGE, 0x1B004C),
                      C(GET_BAUD_RATE, 0x1B0050), C(GET_LINE_CONTROL, 0x1B0054), C(GET_CHARS, 0x1B0058),
                      C(SET_CHARS, 0x1B005C), C(GET_HANDFLOW, 0x1B0060), C(SET_HANDFLOW, 0x1B0064),
                      C(GET_MODEMSTATUS, 0x1B0068), C(GET_COMMSTATUS, 0x1B006C), C(XOFF_COUNTER, 0x1B0070),
                      C(GET_PROPERTIES, 0x1B0074), C(GET_DTRRTS, 0x1B0078), C(LSRMST_INSERT, 0x1B007C),
                      C(CONFIG_SIZE, 0x1B0080), C(GET_COMMCONFIG, 0x1B0084), C(SET_COMMCONFIG, 0x1B0088),
                      C(GET_STATS, 0x1B008C), C(CLEAR_STATS, 0x1B0090), C(GET_MODEM_CONTROL, 0x1B0094),
                      C(SET_MODEM_CONTROL, 0x1B0098), C(SET_FIFO_CONTROL, 0x1B009C)),
    [](const auto &info) { return std::string(info.param.Name); });
#undef C

/* The bits the port and its callers exchange. */
INSTANTIATE_TEST_SUITE_P(
    Masks, SerialCodes,
    ::testing::Values(Code{"EV_RXCHAR", SERIAL_EV_RXCHAR, 0x1}, Code{"EV_TXEMPTY", SERIAL_EV_TXEMPTY, 0x4},
                      Code{"EV_EVENT2", SERIAL_EV_EVENT2, 0x1000}, Code{"PURGE_TXABORT", SERIAL_PURGE_TXABORT, 0x1},
                      Code{"PURGE_RXABORT", SERIAL_PURGE_RXABORT, 0x2}, Code{"PURGE_TXCLEAR", SERIAL_PURGE_TXCLEAR, 0x4},
                      Code{"PURGE_RXCLEAR", SERIAL_PURGE_RXCLEAR, 0x8}, Code{"ERROR_FRAMING", SERIAL_ERROR_FRAMING, 0x2},
                      Code{"ERROR_OVERRUN", SERIAL_ERROR_OVERRUN, 0x4},
                      Code{"ERROR_QUEUEOVERRUN", SERIAL_ERROR_QUEUEOVERRUN, 0x8},
                      Code{"ERROR_PARITY", SERIAL_ERROR_PARITY, 0x10}, Code{"DTR_MASK", SERIAL_DTR_MASK, 0x3},
                      Code{"DTR_HANDSHAKE", SERIAL_DTR_HANDSHAKE, 0x2}, Code{"RTS_MASK", SERIAL_RTS_MASK, 0xC0},
                      Code{"CONTROL_INVALID", SERIAL_CONTROL_INVALID, 0x7FFFFF84},
                      Code{"FLOW_INVALID", SERIAL_FLOW_INVALID, 0x7FFFFF20}, Code{"STOP_BITS_2", STOP_BITS_2, 2},
                      Code{"SPACE_PARITY", SPACE_PARITY, 4}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST(SerialRecords, FieldsSitWhereWindowsPutsThem) {
  /* a SERIAL_STATUS as a 64-bit Windows driver writes it into the buffer */
  UCHAR raw[20] = {};
  raw[0] = 0x12;  /* Errors */
  raw[8] = 7;     /* AmountInInQueue */
  raw[16] = 1;    /* EofReceived */
  SERIAL_STATUS s;
  memcpy(&s, raw, sizeof s);
  EXPECT_EQ(s.Errors, 0x12u);
  EXPECT_EQ(s.AmountInInQueue, 7u);
  EXPECT_EQ(s.EofReceived, 1);
  EXPECT_EQ(s.WaitForImmediate, 0);
  SERIAL_CHARS c;
  const UCHAR chars[6] = {0x1A, 0, 0, 0, 0x11, 0x13};
  memcpy(&c, chars, sizeof c);
  EXPECT_EQ(c.EofChar, 0x1A);
  EXPECT_EQ(c.XonChar, 0x11);
  EXPECT_EQ(c.XoffChar, 0x13);
}

}  // namespace
