#include "controller/state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace sim::controller {

using nlohmann::json;

namespace {

constexpr const char *kFileName = "port-modes.json";
constexpr const char *kLockName = "port-modes.lock";

std::string Errno(const std::string &what) { return what + ": " + std::strerror(errno); }

/* mkdir -p; true if the directory exists afterwards. */
bool MakeDirectories(const std::string &path) {
  if (path.empty()) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) return false;
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReadWholeFile(const std::string &path, std::string &out, bool &missing) {
  missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return false;
  }
  out.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool IsValidPortMode(int Mode) { return Mode == PORT_MODE_RS485 || Mode == PORT_MODE_RS232 || Mode == PORT_MODE_RS422; }

std::string DefaultStateDirectory() {
  if (const char *dir = std::getenv("NERAVOX_STATE_DIR"); dir != nullptr && dir[0] != '\0') return dir;
  if (const char *xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] != '\0')
    return std::string(xdg) + "/neravox";
  if (const char *home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
    return std::string(home) + "/.local/state/neravox";
  return "/tmp/neravox-state";
}

/* (DevID, port) -> mode, as far as the file holds valid entries. */
struct StateStore::Snapshot {
  std::map<std::pair<uint32_t, uint32_t>, int> Modes;
  std::string Problem; /* empty when the file was read whole and valid */
};

StateStore::StateStore(std::string Directory, WarningSink Sink)
    : m_Directory(Directory.empty() ? DefaultStateDirectory() : std::move(Directory)), m_Sink(std::move(Sink)) {}

std::string StateStore::FilePath() const { return m_Directory + "/" + kFileName; }

void StateStore::Warn(const std::string &Message) const {
  {
    std::lock_guard<std::mutex> guard(m_WarnLock);
    if (Message == m_LastWarning) return;
    m_LastWarning = Message;
  }
  try {
    if (m_Sink) m_Sink(Message);
    else std::fprintf(stderr, "neravox: warning: %s\n", Message.c_str());
  } catch (...) {
  }
}

StateStore::Snapshot StateStore::Read() const {
  Snapshot snap;
  const std::string path = FilePath();
  std::string text;
  bool missing = false;
  if (!ReadWholeFile(path, text, missing)) {
    snap.Problem = missing ? path + ": no port-mode state yet; every port reads as RS-232"
                           : Errno(path + ": cannot be read; every port reads as RS-232");
    return snap;
  }
  try {
    const json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded() || !root.is_object() || !root.contains("modes") || !root["modes"].is_object()) {
      snap.Problem = path + ": damaged (not a port-mode state file); every port reads as RS-232";
      return snap;
    }
    for (auto c = root["modes"].begin(); c != root["modes"].end(); ++c) {
      char *end = nullptr;
      const unsigned long dev = std::strtoul(c.key().c_str(), &end, 10);
      if (c.key().empty() || *end != '\0' || dev > 0xFFFFFFFFul || !c.value().is_object()) {
        snap.Problem = path + ": damaged entry for controller \"" + c.key() + "\"; its ports read as RS-232";
        continue;
      }
      for (auto p = c.value().begin(); p != c.value().end(); ++p) {
        const unsigned long port = std::strtoul(p.key().c_str(), &end, 10);
        const bool okKey = !p.key().empty() && *end == '\0' && port <= 0xFFFFFFFFul;
        const bool okValue = p.value().is_number_integer() && IsValidPortMode(p.value().get<int>());
        if (!okKey || !okValue) {
          snap.Problem = path + ": damaged entry for controller " + c.key() + " port \"" + p.key() +
                         "\"; it reads as RS-232";
          continue;
        }
        snap.Modes[{static_cast<uint32_t>(dev), static_cast<uint32_t>(port)}] = p.value().get<int>();
      }
    }
  } catch (const std::exception &e) {
    snap.Modes.clear();
    snap.Problem = path + ": damaged (" + e.what() + "); every port reads as RS-232";
  }
  return snap;
}

int StateStore::GetMode(uint32_t DevID, uint32_t Port) const {
  const Snapshot snap = Read();
  if (!snap.Problem.empty()) Warn(snap.Problem);
  auto it = snap.Modes.find({DevID, Port});
  return it == snap.Modes.end() ? PORT_MODE_RS232 : it->second;
}

std::vector<int> StateStore::AllModes(uint32_t DevID, uint32_t PortCount) const {
  const Snapshot snap = Read();
  if (!snap.Problem.empty()) Warn(snap.Problem);
  std::vector<int> modes(PortCount, PORT_MODE_RS232);
  for (uint32_t p = 0; p < PortCount; ++p) {
    auto it = snap.Modes.find({DevID, p});
    if (it != snap.Modes.end()) modes[p] = it->second;
  }
  return modes;
}

bool StateStore::SetMode(uint32_t DevID, uint32_t Port, int Mode, std::string *Error) {
  auto fail = [&](const std::string &message) {
    if (Error != nullptr) *Error = message;
    return false;
  };
  if (!IsValidPortMode(Mode))
    return fail("port mode " + std::to_string(Mode) + " is not 0 (RS-485), 1 (RS-232) or 2 (RS-422)");
  if (!MakeDirectories(m_Directory)) return fail(Errno(m_Directory + ": cannot create the state directory"));

  const std::string lockPath = m_Directory + "/" + kLockName;
  const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0) return fail(Errno(lockPath + ": cannot be opened"));
  while (::flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const std::string message = Errno(lockPath + ": cannot be locked");
      ::close(lockFd);
      return fail(message);
    }
  }

  bool ok = false;
  std::string message;
  try {
    Snapshot snap = Read();
    /* A missing file is the normal first write; a damaged one is replaced. */
    if (!snap.Problem.empty() && ::access(FilePath().c_str(), F_OK) == 0) Warn(snap.Problem);
    snap.Modes[{DevID, Port}] = Mode;

    json modes = json::object();
    for (const auto &[key, mode] : snap.Modes) modes[std::to_string(key.first)][std::to_string(key.second)] = mode;
    const std::string text = json{{"modes", modes}}.dump(2) + "\n";

    const std::string tmp = FilePath() + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      message = Errno(tmp + ": cannot be created");
    } else {
      const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
      if (!written) message = Errno(tmp + ": cannot be written");
      if (::close(fd) != 0 && written) message = Errno(tmp + ": cannot be written");
      if (message.empty() && ::rename(tmp.c_str(), FilePath().c_str()) != 0)
        message = Errno(FilePath() + ": cannot be replaced");
      if (!message.empty()) {
        ::unlink(tmp.c_str());
      } else {
        /* Make the rename itself durable. */
        const int dirFd = ::open(m_Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
          ::fsync(dirFd);
          ::close(dirFd);
        }
        ok = true;
      }
    }
  } catch (const std::exception &e) {
    message = FilePath() + ": " + e.what();
  }
  ::flock(lockFd, LOCK_UN);
  ::close(lockFd);
  return ok ? true : fail(message);
}

}  // namespace sim::controller
