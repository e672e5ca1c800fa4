/*
 * neravox term: stdin goes out of the port, what the port receives goes to
 * stdout. The port is read on a thread of its own with a short read
 * time-out, so it notices the end of the session; stdin is read on the
 * calling thread, which also waits for that reader to report a failure.
 */
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "commands.h"
#include "transfer.h"

namespace neravox {

namespace {

constexpr unsigned char kQuitKey = 0x1D; /* Ctrl-] */
constexpr ULONG kReadWakeMs = 100;
constexpr ULONG kWritePiece = 1024;

/* The terminal settings to put back, also from a signal handler. */
struct termios g_SavedTermios;
volatile sig_atomic_t g_RawActive = 0;

void RestoreTerminal() {
  if (g_RawActive) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_SavedTermios);
    g_RawActive = 0;
  }
}

void OnFatalSignal(int Signal) {
  RestoreTerminal();
  ::signal(Signal, SIG_DFL);
  ::raise(Signal);
}

/* Raw input while the session lasts: every key is a byte for the port, no
 * echo, no line editing, no signals from the keyboard. Output processing
 * stays as it was, so received line ends look as they do elsewhere. */
class RawStdin {
 public:
  RawStdin() {
    if (::tcgetattr(STDIN_FILENO, &g_SavedTermios) != 0) return;
    struct termios raw = g_SavedTermios;
    ::cfmakeraw(&raw);
    raw.c_oflag = g_SavedTermios.c_oflag;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, OnFatalSignal);
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0) g_RawActive = 1;
  }
  ~RawStdin() { RestoreTerminal(); }
  RawStdin(const RawStdin &) = delete;
  RawStdin &operator=(const RawStdin &) = delete;
};

bool WriteOut(int Fd, const char *Data, size_t Length) {
  while (Length > 0) {
    const ssize_t n = ::write(Fd, Data, Length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    Data += n;
    Length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int RunTerm(const CommonOptions &Common, const std::string &ComName, const LineOptions &Line) {
  SystemOptions options = MakeSystemOptions(Common);
  if (Line.Pty) options.PtyPort = ComName;
  System sys;
  if (!sys.Start(options)) return kExitFailure;
  Port port;
  if (!OpenPort(sys, ComName, port) || !ConfigurePort(port, Line)) return kExitFailure;
  NTSTATUS status = port.SetReadTimeouts(MAXULONG, MAXULONG, kReadWakeMs);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "neravox: %s: read time-outs refused: %s\n", port.Name().c_str(),
                 DescribeStatus(status).c_str());
    return kExitFailure;
  }

  const bool tty = ::isatty(STDIN_FILENO) == 1;
  std::fprintf(stderr, "neravox: %s at %lu baud %s%s\n", port.Name().c_str(), static_cast<unsigned long>(Line.Baud),
               Line.Frame.Text().c_str(), tty ? ", Ctrl-] quits" : "");
  std::fflush(stderr);
  ::signal(SIGPIPE, SIG_IGN);

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "neravox: pipe: %s\n", std::strerror(errno));
    return kExitFailure;
  }

  std::atomic<bool> stop{false};
  std::mutex failLock; /* guards readFailure */
  std::string readFailure;
  std::thread reader([&] {
    std::string buffer(4095, '\0');
    for (;;) {
      const bool last = stop.load();
      if (last) {
        /* What is in the ring now, without waiting for more. */
        NTSTATUS s = port.SetReadTimeouts(MAXULONG, 0, 0);
        if (!NT_SUCCESS(s)) break;
      }
      ULONG got = 0;
      NTSTATUS s = port.Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got);
      if (!NT_SUCCESS(s)) {
        std::lock_guard<std::mutex> l(failLock);
        readFailure = DescribeStatus(s);
        break;
      }
      if (got > 0 && !WriteOut(STDOUT_FILENO, buffer.data(), got)) {
        std::lock_guard<std::mutex> l(failLock);
        readFailure = std::string("stdout: ") + std::strerror(errno);
        break;
      }
      if (last) break;
    }
    const char c = 1;
    while (::write(wake[1], &c, 1) < 0 && errno == EINTR) {
    }
  });

  int rc = 0;
  {
    std::optional<RawStdin> raw;
    if (tty) raw.emplace();
    char buffer[4096];
    bool done = false;
    while (!done) {
      struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break; /* the reader gave up */
      if (fds[0].revents == 0) continue;
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        std::fprintf(stderr, "neravox: stdin: %s\n", std::strerror(errno));
        rc = kExitFailure;
        break;
      }
      if (n == 0) break; /* end of input */
      size_t length = static_cast<size_t>(n);
      if (tty) {
        if (const void *q = std::memchr(buffer, kQuitKey, length)) {
          length = static_cast<size_t>(static_cast<const char *>(q) - buffer);
          done = true;
        }
      }
      PumpResult w = SendAll(port, std::string_view(buffer, length), kWritePiece);
      if (!NT_SUCCESS(w.Status)) {
        std::fprintf(stderr, "neravox: %s: write failed: %s\n", port.Name().c_str(), DescribeStatus(w.Status).c_str());
        rc = kExitFailure;
        break;
      }
    }
  }
  stop = true;
  reader.join();
  ::close(wake[0]);
  ::close(wake[1]);
  {
    std::lock_guard<std::mutex> l(failLock);
    if (!readFailure.empty()) {
      std::fprintf(stderr, "neravox: %s: read failed: %s\n", port.Name().c_str(), readFailure.c_str());
      rc = kExitFailure;
    }
  }
  return rc;
}

}  // namespace neravox
