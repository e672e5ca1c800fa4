/*
 * A port as the neravox command uses it: a handle of the I/O manager with
 * the serial requests the command needs, and the Windows error that a
 * failed request means to an application.
 */
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace neravox {

/* The Win32 error an NTSTATUS becomes at the application's side, and its
 * name ("ERROR_ACCESS_DENIED"). Statuses without an entry become
 * ERROR_MR_MID_NOT_FOUND (317), as the system's own translation does. */
uint32_t Win32Error(NTSTATUS Status);
const char *Win32ErrorName(uint32_t Error);
/* "ERROR_ACCESS_DENIED (5)". */
std::string DescribeStatus(NTSTATUS Status);

/* Word length, parity and stop bits of a line. */
struct Framing {
  UCHAR DataBits = 8;
  UCHAR Parity = NO_PARITY;
  UCHAR StopBits = STOP_BIT_1;
  /* Bits on the wire per character: start, data, parity, stop. */
  double BitsPerCharacter() const;
  /* "8N1", "7E2", "5N1.5". */
  std::string Text() const;
};
/* The option texts: "none|odd|even|mark|space" and "1|1.5|2". */
std::optional<UCHAR> ParseParity(std::string_view Text);
std::optional<UCHAR> ParseStopBits(std::string_view Text);

/* An open port. The handle is closed with the object. */
class Port {
 public:
  Port() = default;
  ~Port();
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;

  /* Opens \\.\<ComName>; the status of the open. */
  NTSTATUS Open(const std::string &ComName);
  void Close();
  bool IsOpen() const { return m_Handle != nullptr; }
  HANDLE Handle() const { return m_Handle; }
  const std::string &Name() const { return m_Name; }

  NTSTATUS SetBaud(ULONG Rate);
  NTSTATUS SetFraming(const Framing &F);
  NTSTATUS SetReadTimeouts(ULONG Interval, ULONG Multiplier, ULONG Constant);
  NTSTATUS Purge(ULONG Mask);
  NTSTATUS CommStatus(SERIAL_STATUS *Status);

  /* Synchronous: returns once the bytes were sent. */
  NTSTATUS Write(const void *Data, ULONG Length, ULONG *Written);
  /* Synchronous; how it ends is up to the port's read time-outs. */
  NTSTATUS Read(void *Buffer, ULONG Length, ULONG *Got);
  /* Cancels every request of this handle in progress (from any thread). */
  void CancelAll();

 private:
  NTSTATUS Ioctl(ULONG Code, const void *In, ULONG InLength, void *Out = nullptr, ULONG OutLength = 0);

  HANDLE m_Handle = nullptr;
  std::string m_Name;
};

}  // namespace neravox
