#include "line/lines.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "uart/clock.h"

namespace sim::line {

namespace b = uart::bits;

namespace {
/* MCR outputs (bits 0-3) of one end as MSR inputs (bits 4-7) of the other,
 * crossed as a null modem or loopback plug wires them. */
uint8_t CrossedInputs(uint8_t outputs) {
  uint8_t in = 0;
  if (outputs & b::MCR_RTS) in |= b::MSR_CTS;
  if (outputs & b::MCR_DTR) in |= b::MSR_DSR | b::MSR_DCD;
  return in;
}
}  // namespace

/* ---------------------------------------------------------------- loopback */

LoopbackLine::LoopbackLine(Uart16550 &port) : m_Port(port) { m_Port.AttachLine(this); }
LoopbackLine::~LoopbackLine() { m_Port.AttachLine(nullptr); }

void LoopbackLine::Transmit(const Frame &frame) {
  if (frame.TransmitterEnabled) m_Port.Receive(frame);
}
void LoopbackLine::ModemOutputsChanged(uint8_t outputs) { m_Port.SetModemInputs(CrossedInputs(outputs)); }

/* --------------------------------------------------------------- null modem */

NullModemLine::NullModemLine(Uart16550 &a, Uart16550 &b) : m_A(a), m_B(b), m_ToB(b), m_ToA(a) {
  m_A.AttachLine(&m_ToB);
  m_B.AttachLine(&m_ToA);
}

NullModemLine::~NullModemLine() {
  m_A.AttachLine(nullptr);
  m_B.AttachLine(nullptr);
}

void NullModemLine::End::Transmit(const Frame &frame) {
  if (frame.TransmitterEnabled) m_Far.Receive(frame);
}
void NullModemLine::End::ModemOutputsChanged(uint8_t outputs) { m_Far.SetModemInputs(CrossedInputs(outputs)); }

/* -------------------------------------------------------------------- probe */

ProbeLine::ProbeLine(Uart16550 &port) : m_Port(port) { m_Port.AttachLine(this); }

ProbeLine::~ProbeLine() {
  m_Port.HoldTransmitter(false);
  m_Port.AttachLine(nullptr);
}

void ProbeLine::Transmit(const Frame &frame) {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Sent.push_back({frame, uart::SteadyClock::Instance().NowNs()});
  }
  m_Cv.notify_all();
}

void ProbeLine::ModemOutputsChanged(uint8_t outputs) {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Outputs = outputs;
}

std::vector<ProbeLine::Record> ProbeLine::Sent() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Sent;
}

std::string ProbeLine::SentBytes() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  std::string s;
  for (const Record &r : m_Sent)
    if (!r.F.Break) s.push_back(static_cast<char>(r.F.Data));
  return s;
}

void ProbeLine::ClearSent() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Sent.clear();
}

bool ProbeLine::WaitForSent(size_t Count, std::chrono::milliseconds Limit) const {
  std::unique_lock<std::mutex> lock(m_Lock);
  return m_Cv.wait_for(lock, Limit, [&] { return m_Sent.size() >= Count; });
}

void ProbeLine::Inject(std::string_view Bytes) {
  for (char c : Bytes) m_Port.Receive(m_Port.MakeFrame(static_cast<uint8_t>(c)));
}

void ProbeLine::InjectFrame(const Frame &F) { m_Port.Receive(F); }
void ProbeLine::HoldThre(bool Hold) { m_Port.HoldTransmitter(Hold); }
void ProbeLine::SetModemInputs(uint8_t Inputs) { m_Port.SetModemInputs(Inputs); }

uint8_t ProbeLine::ModemOutputs() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Outputs;
}

/* ---------------------------------------------------------- pseudo-terminal */

std::unique_ptr<PtyLine> PtyLine::Open(Uart16550 &Port, const std::string &ComName, const std::string &StateDir,
                                       std::string *Error, Announce Announcer) {
  auto fail = [&](const std::string &what) -> std::unique_ptr<PtyLine> {
    if (Error != nullptr) *Error = ComName + ": " + what + ": " + std::strerror(errno);
    return nullptr;
  };
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return fail("posix_openpt");
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
    const int e = errno;
    ::close(master);
    errno = e;
    return fail("pseudo-terminal set-up");
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    const int e = errno;
    ::close(master);
    errno = e;
    return fail(std::string("open ") + name);
  }
  /* Raw: bytes pass unchanged, no echo, no line editing. */
  struct termios tio;
  if (::tcgetattr(slave, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int e = errno;
    ::close(slave);
    ::close(master);
    errno = e;
    return fail("pipe");
  }

  /* The path for programs that look for it, written whole or not at all. */
  std::string pathFile;
  if (!StateDir.empty()) {
    ::mkdir(StateDir.c_str(), 0755);
    pathFile = StateDir + "/" + ComName + ".pty";
    const std::string tmp = pathFile + ".tmp." + std::to_string(::getpid());
    if (FILE *f = std::fopen(tmp.c_str(), "w")) {
      const bool ok = std::fprintf(f, "%s\n", name) > 0;
      if (std::fclose(f) == 0 && ok && std::rename(tmp.c_str(), pathFile.c_str()) == 0) {
      } else {
        std::remove(tmp.c_str());
        pathFile.clear();
      }
    } else {
      pathFile.clear();
    }
  }
  std::unique_ptr<PtyLine> line(new PtyLine(Port, master, slave, wake[0], wake[1], name, pathFile));
  const std::string message = ComName + ": pseudo-terminal " + name;
  if (Announcer) Announcer(message);
  else std::fprintf(stderr, "neravox: %s\n", message.c_str());
  return line;
}

PtyLine::PtyLine(Uart16550 &port, int master, int slave, int wakeRead, int wakeWrite, std::string slavePath,
                 std::string pathFile)
    : m_Port(port),
      m_Master(master),
      m_Slave(slave),
      m_WakeRead(wakeRead),
      m_WakeWrite(wakeWrite),
      m_SlavePath(std::move(slavePath)),
      m_PathFile(std::move(pathFile)) {
  m_Port.AttachLine(this);
  m_Thread = std::thread([this] { Reader(); });
}

PtyLine::~PtyLine() {
  m_Port.AttachLine(nullptr);
  const char stop = 1;
  while (::write(m_WakeWrite, &stop, 1) < 0 && errno == EINTR) {
  }
  m_Thread.join();
  if (!m_PathFile.empty()) std::remove(m_PathFile.c_str());
  ::close(m_WakeRead);
  ::close(m_WakeWrite);
  ::close(m_Slave);
  ::close(m_Master);
}

namespace {

int64_t SteadyNs() {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

/* What the program on the slave side writes arrives one character per
 * character time at the port's settings, as on a wire: a burst it writes
 * at once would otherwise land in the receive FIFO in one go. A late start
 * (the line was idle, or this thread was held up) is not made up for with
 * a burst. Waiting watches the wake pipe, so the destructor is never held
 * up by a slow line. */
void PtyLine::Reader() {
  int64_t next = 0;
  for (;;) {
    struct pollfd fds[2] = {{m_Master, POLLIN, 0}, {m_WakeRead, POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (!(fds[0].revents & POLLIN)) continue;
    unsigned char buffer[256];
    const ssize_t got = ::read(m_Master, buffer, sizeof buffer);
    for (ssize_t i = 0; i < got; ++i) {
      const int64_t character = static_cast<int64_t>(m_Port.CharacterTimeNs());
      int64_t now = SteadyNs();
      if (next < now - 4 * character) next = now;
      while (now < next) {
        struct pollfd wake = {m_WakeRead, POLLIN, 0};
        const int64_t left = next - now;
        struct timespec timeout = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        if (::ppoll(&wake, 1, &timeout, nullptr) > 0) return;
        now = SteadyNs();
      }
      m_Port.Receive(m_Port.MakeFrame(buffer[i]));
      next += character;
    }
  }
}

void PtyLine::Transmit(const Frame &frame) {
  if (!frame.TransmitterEnabled || frame.Break) return;
  const unsigned char c = frame.Data;
  ssize_t n;
  do {
    n = ::write(m_Master, &c, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) {
    /* Nobody is reading the slave side and its queue is full. */
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_Dropped;
  }
}

void PtyLine::ModemOutputsChanged(uint8_t) {
  /* A pseudo-terminal has no modem lines. */
}

uint64_t PtyLine::DroppedCharacters() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Dropped;
}

}  // namespace sim::line
