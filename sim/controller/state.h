/*
 * Persistent port modes of the simulated controllers, shared by the bus
 * driver and the controller library: what one process writes is what the
 * next query of any process reads.
 *
 * The modes live in one file, "port-modes.json", in the state directory:
 * $NERAVOX_STATE_DIR, else $XDG_STATE_HOME/neravox, else
 * ~/.local/state/neravox. Every query reads the file afresh. Every change is
 * a read-modify-write under an exclusive flock on "port-modes.lock" (a file
 * of its own, since the data file is replaced by rename), written to a
 * temporary file, fsynced and renamed over the old one, so a reader sees
 * either the old or the new file, never a torn one.
 *
 * A missing or damaged file, or a damaged entry, reads as RS-232 and is
 * reported once through the warning sink (the same condition is not repeated
 * until another has been reported). Nothing here throws.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim::controller {

/* Port modes as the driver and the utility number them. */
enum PortMode : int {
  PORT_MODE_RS485 = 0,
  PORT_MODE_RS232 = 1,
  PORT_MODE_RS422 = 2,
};

bool IsValidPortMode(int Mode);

/* $NERAVOX_STATE_DIR, else $XDG_STATE_HOME/neravox, else ~/.local/state/neravox. */
std::string DefaultStateDirectory();

class StateStore {
 public:
  using WarningSink = std::function<void(const std::string &Message)>;

  /* An empty Directory means DefaultStateDirectory(). Warnings go to stderr
   * unless a sink is given. */
  explicit StateStore(std::string Directory = {}, WarningSink Sink = {});

  const std::string &Directory() const { return m_Directory; }
  std::string FilePath() const;

  /* The mode of port Port (0-based within the controller) of controller
   * DevID; RS-232 when nothing valid is stored. */
  int GetMode(uint32_t DevID, uint32_t Port) const;

  /* Stores Mode; false with a message in *Error (if given) when Mode is not
   * 0, 1 or 2 or the file cannot be written. */
  bool SetMode(uint32_t DevID, uint32_t Port, int Mode, std::string *Error = nullptr);

  /* The modes of ports 0..PortCount-1 of controller DevID, from one read. */
  std::vector<int> AllModes(uint32_t DevID, uint32_t PortCount) const;

 private:
  struct Snapshot;
  Snapshot Read() const;
  void Warn(const std::string &Message) const;

  std::string m_Directory;
  WarningSink m_Sink;
  mutable std::mutex m_WarnLock; /* guards m_LastWarning */
  mutable std::string m_LastWarning;
};

}  // namespace sim::controller
