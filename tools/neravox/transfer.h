/*
 * Moving bytes through ports: the checksum both ends print, the progress
 * display, and the send and receive loops of the transfers.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "port.h"

namespace neravox {

/* CRC-32 as zip and Ethernet compute it (reflected, 0xEDB88320). */
uint32_t Crc32(std::string_view Bytes, uint32_t Crc = 0);
/* A pattern in which loss, duplication and reordering show. */
std::string TestPattern(size_t Count);
/* "11.25 KiB/s". */
std::string Rate(double BytesPerSecond);

/* What the transfer has done so far, on one line: a bar redrawn in place on
 * a terminal, plain lines at each quarter otherwise. Used by one thread. */
class Progress {
 public:
  /* Total 0: not known in advance. */
  Progress(std::string Label, uint64_t Total, FILE *Out = stdout);
  void Update(uint64_t Done);
  /* Ends the display with the final count. */
  void Finish(uint64_t Done);
  static bool IsTerminal(FILE *Out);

 private:
  void Draw(uint64_t Done, bool Last);

  std::string m_Label;
  uint64_t m_Total;
  FILE *m_Out;
  bool m_Tty;
  std::chrono::steady_clock::time_point m_Start;
  std::chrono::steady_clock::time_point m_LastDraw;
  uint64_t m_NextMark = 0; /* plain lines: the next count that gets one */
  bool m_Finished = false;
};

using ProgressFn = std::function<void(uint64_t Done)>;

struct PumpResult {
  NTSTATUS Status = STATUS_SUCCESS; /* of the request that ended it */
  uint64_t Bytes = 0;
};

/* Writes Data in pieces of at most Piece bytes; ends at the first failed
 * or short write. */
PumpResult SendAll(Port &P, std::string_view Data, ULONG Piece, const ProgressFn &OnProgress = {});

/* Reads until Limit bytes came (0: no limit) or a read found nothing within
 * the port's read time-out (Status STATUS_TIMEOUT), appending to *Out.
 * The port should be set to RI=MAXULONG, RM=MAXULONG, RC=<idle time>. */
PumpResult ReceiveUntilIdle(Port &P, uint64_t Limit, std::string *Out, const ProgressFn &OnProgress = {});

}  // namespace neravox
