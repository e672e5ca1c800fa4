#include "port.h"

#include <nt/io.h>

#include <cstdio>

namespace neravox {

namespace {

struct ErrorName {
  uint32_t Code;
  const char *Name;
};

constexpr uint32_t kMrMidNotFound = 317;

constexpr ErrorName kErrorNames[] = {
    {0, "ERROR_SUCCESS"},
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {21, "ERROR_NOT_READY"},
    {22, "ERROR_BAD_COMMAND"},
    {31, "ERROR_GEN_FAILURE"},
    {32, "ERROR_SHARING_VIOLATION"},
    {38, "ERROR_HANDLE_EOF"},
    {50, "ERROR_NOT_SUPPORTED"},
    {55, "ERROR_DEV_NOT_EXIST"},
    {87, "ERROR_INVALID_PARAMETER"},
    {121, "ERROR_SEM_TIMEOUT"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {123, "ERROR_INVALID_NAME"},
    {161, "ERROR_BAD_PATHNAME"},
    {170, "ERROR_BUSY"},
    {183, "ERROR_ALREADY_EXISTS"},
    {234, "ERROR_MORE_DATA"},
    {kMrMidNotFound, "ERROR_MR_MID_NOT_FOUND"},
    {995, "ERROR_OPERATION_ABORTED"},
    {997, "ERROR_IO_PENDING"},
    {1121, "ERROR_COUNTER_TIMEOUT"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED"},
    {1168, "ERROR_NOT_FOUND"},
    {1450, "ERROR_NO_SYSTEM_RESOURCES"},
    {1460, "ERROR_TIMEOUT"},
    {1617, "ERROR_DEVICE_REMOVED"},
    {1784, "ERROR_INVALID_USER_BUFFER"},
};

struct StatusMapping {
  NTSTATUS Status;
  uint32_t Error;
};

constexpr StatusMapping kStatusMap[] = {
    {STATUS_SUCCESS, 0},
    {STATUS_PENDING, 997},
    {STATUS_TIMEOUT, 1460},
    {STATUS_BUFFER_OVERFLOW, 234},
    {STATUS_SERIAL_MORE_WRITES, 234},
    {STATUS_SERIAL_COUNTER_TIMEOUT, 1121},
    {STATUS_UNSUCCESSFUL, 31},
    {STATUS_NOT_IMPLEMENTED, 1},
    {STATUS_INVALID_DEVICE_REQUEST, 1},
    {STATUS_INVALID_HANDLE, 6},
    {STATUS_INVALID_PARAMETER, 87},
    {STATUS_INVALID_PARAMETER_1, 87},
    {STATUS_INVALID_PARAMETER_2, 87},
    {STATUS_INVALID_PARAMETER_3, 87},
    {STATUS_INVALID_PARAMETER_4, 87},
    {STATUS_NO_SUCH_DEVICE, 2},
    {STATUS_NO_SUCH_FILE, 2},
    {STATUS_END_OF_FILE, 38},
    {STATUS_NO_MEMORY, 8},
    {STATUS_ACCESS_DENIED, 5},
    {STATUS_DELETE_PENDING, 5},
    {STATUS_BUFFER_TOO_SMALL, 122},
    {STATUS_OBJECT_TYPE_MISMATCH, 6},
    {STATUS_OBJECT_NAME_INVALID, 123},
    {STATUS_OBJECT_NAME_NOT_FOUND, 2},
    {STATUS_OBJECT_NAME_COLLISION, 183},
    {STATUS_OBJECT_PATH_INVALID, 161},
    {STATUS_OBJECT_PATH_NOT_FOUND, 3},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, 161},
    {STATUS_SHARING_VIOLATION, 32},
    {STATUS_INSUFFICIENT_RESOURCES, 1450},
    {STATUS_DEVICE_NOT_READY, 21},
    {STATUS_DEVICE_CONFIGURATION_ERROR, 31},
    {STATUS_DEVICE_BUSY, 170},
    {STATUS_DEVICE_DOES_NOT_EXIST, 55},
    {STATUS_DEVICE_NOT_CONNECTED, 1167},
    {STATUS_DEVICE_REMOVED, 1617},
    {STATUS_INVALID_DEVICE_STATE, 22},
    {STATUS_IO_TIMEOUT, 121},
    {STATUS_CANCELLED, 995},
    {STATUS_NOT_SUPPORTED, 50},
    {STATUS_NOT_FOUND, 1168},
    {STATUS_INVALID_USER_BUFFER, 1784},
    {STATUS_INVALID_BUFFER_SIZE, 1784},
    {STATUS_FILE_CLOSED, 6},
    {STATUS_POWER_STATE_INVALID, 21},
};

}  // namespace

uint32_t Win32Error(NTSTATUS Status) {
  for (const StatusMapping &m : kStatusMap)
    if (m.Status == Status) return m.Error;
  return kMrMidNotFound;
}

const char *Win32ErrorName(uint32_t Error) {
  for (const ErrorName &e : kErrorNames)
    if (e.Code == Error) return e.Name;
  return "ERROR_UNKNOWN";
}

std::string DescribeStatus(NTSTATUS Status) {
  const uint32_t error = Win32Error(Status);
  char text[96];
  if (error == kMrMidNotFound)
    std::snprintf(text, sizeof text, "%s (%u), status 0x%08X", Win32ErrorName(error), error,
                  static_cast<unsigned>(Status));
  else
    std::snprintf(text, sizeof text, "%s (%u)", Win32ErrorName(error), error);
  return text;
}

double Framing::BitsPerCharacter() const {
  const double stop = StopBits == STOP_BIT_1 ? 1.0 : StopBits == STOP_BITS_1_5 ? 1.5 : 2.0;
  return 1.0 + DataBits + (Parity == NO_PARITY ? 0.0 : 1.0) + stop;
}

std::string Framing::Text() const {
  static const char kParity[] = "NOEMS";
  std::string s = std::to_string(DataBits);
  s += Parity < 5 ? kParity[Parity] : '?';
  s += StopBits == STOP_BIT_1 ? "1" : StopBits == STOP_BITS_1_5 ? "1.5" : "2";
  return s;
}

std::optional<UCHAR> ParseParity(std::string_view Text) {
  if (Text == "none") return NO_PARITY;
  if (Text == "odd") return ODD_PARITY;
  if (Text == "even") return EVEN_PARITY;
  if (Text == "mark") return MARK_PARITY;
  if (Text == "space") return SPACE_PARITY;
  return std::nullopt;
}

std::optional<UCHAR> ParseStopBits(std::string_view Text) {
  if (Text == "1") return STOP_BIT_1;
  if (Text == "1.5") return STOP_BITS_1_5;
  if (Text == "2") return STOP_BITS_2;
  return std::nullopt;
}

Port::~Port() { Close(); }

NTSTATUS Port::Open(const std::string &ComName) {
  Close();
  HANDLE h = nullptr;
  NTSTATUS status = nt::io::Open("\\\\.\\" + ComName, &h);
  if (NT_SUCCESS(status)) {
    m_Handle = h;
    m_Name = ComName;
  }
  return status;
}

void Port::Close() {
  if (m_Handle != nullptr) nt::io::Close(m_Handle);
  m_Handle = nullptr;
}

NTSTATUS Port::Ioctl(ULONG Code, const void *In, ULONG InLength, void *Out, ULONG OutLength) {
  IO_STATUS_BLOCK iosb{};
  return nt::io::DeviceIoControl(m_Handle, Code, In, InLength, Out, OutLength, &iosb);
}

NTSTATUS Port::SetBaud(ULONG Rate) {
  SERIAL_BAUD_RATE b{Rate};
  return Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &b, sizeof b);
}

NTSTATUS Port::SetFraming(const Framing &F) {
  SERIAL_LINE_CONTROL l{};
  l.StopBits = F.StopBits;
  l.Parity = F.Parity;
  l.WordLength = F.DataBits;
  return Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &l, sizeof l);
}

NTSTATUS Port::SetReadTimeouts(ULONG Interval, ULONG Multiplier, ULONG Constant) {
  SERIAL_TIMEOUTS t{};
  t.ReadIntervalTimeout = Interval;
  t.ReadTotalTimeoutMultiplier = Multiplier;
  t.ReadTotalTimeoutConstant = Constant;
  return Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
}

NTSTATUS Port::Purge(ULONG Mask) { return Ioctl(IOCTL_SERIAL_PURGE, &Mask, sizeof Mask); }

NTSTATUS Port::CommStatus(SERIAL_STATUS *Status) {
  *Status = SERIAL_STATUS{};
  return Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, Status, sizeof *Status);
}

NTSTATUS Port::Write(const void *Data, ULONG Length, ULONG *Written) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = nt::io::Write(m_Handle, Data, Length, &iosb);
  *Written = NT_SUCCESS(status) ? static_cast<ULONG>(iosb.Information) : 0;
  return status;
}

NTSTATUS Port::Read(void *Buffer, ULONG Length, ULONG *Got) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = nt::io::Read(m_Handle, Buffer, Length, &iosb);
  *Got = NT_SUCCESS(status) ? static_cast<ULONG>(iosb.Information) : 0;
  return status;
}

void Port::CancelAll() {
  if (m_Handle != nullptr) nt::io::CancelIoEx(m_Handle);
}

}  // namespace neravox
