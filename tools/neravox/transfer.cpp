#include "transfer.h"

#include <unistd.h>

#include <algorithm>
#include <array>

namespace neravox {

namespace {

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

/* The port's receive ring holds 4095 bytes: a read never gets more. */
constexpr ULONG kReadPiece = 4095;

}  // namespace

uint32_t Crc32(std::string_view Bytes, uint32_t Crc) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  uint32_t c = ~Crc;
  for (unsigned char b : Bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return ~c;
}

std::string TestPattern(size_t Count) {
  std::string s(Count, '\0');
  uint32_t x = 0x2B72u;
  for (size_t i = 0; i < Count; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>((x >> 16) & 0xFF);
  }
  return s;
}

std::string Rate(double BytesPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f KiB/s", BytesPerSecond / 1024.0);
  return text;
}

bool Progress::IsTerminal(FILE *Out) { return ::isatty(::fileno(Out)) == 1; }

Progress::Progress(std::string Label, uint64_t Total, FILE *Out)
    : m_Label(std::move(Label)), m_Total(Total), m_Out(Out), m_Tty(IsTerminal(Out)) {
  m_Start = std::chrono::steady_clock::now();
  m_LastDraw = m_Start - std::chrono::seconds(1);
  m_NextMark = m_Total / 4;
}

void Progress::Update(uint64_t Done) {
  if (m_Finished) return;
  if (m_Tty) {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_LastDraw < std::chrono::milliseconds(100)) return;
    m_LastDraw = now;
    Draw(Done, false);
    return;
  }
  /* Plain lines at each quarter of a known total, or every 64 KiB. */
  const uint64_t step = m_Total > 0 ? std::max<uint64_t>(m_Total / 4, 1) : 65536;
  if (m_NextMark == 0) m_NextMark = step;
  if (Done < m_NextMark || (m_Total > 0 && Done >= m_Total)) return;
  while (m_NextMark <= Done) m_NextMark += step;
  Draw(Done, false);
}

void Progress::Finish(uint64_t Done) {
  if (m_Finished) return;
  Draw(Done, true);
  m_Finished = true;
}

void Progress::Draw(uint64_t Done, bool Last) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
  const std::string rate = seconds > 0 ? Rate(static_cast<double>(Done) / seconds) : std::string("-");
  if (m_Tty) {
    std::string bar;
    if (m_Total > 0) {
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(std::min<uint64_t>(Done, m_Total) * kWidth / m_Total);
      bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
      std::fprintf(m_Out, "\r%s %s%3u %%  %llu/%llu bytes  %s\x1b[K", m_Label.c_str(), bar.c_str(),
                   static_cast<unsigned>(std::min<uint64_t>(Done, m_Total) * 100 / m_Total),
                   static_cast<unsigned long long>(Done), static_cast<unsigned long long>(m_Total), rate.c_str());
    } else {
      std::fprintf(m_Out, "\r%s %llu bytes  %s\x1b[K", m_Label.c_str(), static_cast<unsigned long long>(Done),
                   rate.c_str());
    }
    if (Last) std::fputc('\n', m_Out);
  } else if (m_Total > 0) {
    std::fprintf(m_Out, "%s: %llu of %llu bytes (%u %%)\n", m_Label.c_str(), static_cast<unsigned long long>(Done),
                 static_cast<unsigned long long>(m_Total),
                 static_cast<unsigned>(std::min<uint64_t>(Done, m_Total) * 100 / m_Total));
  } else {
    std::fprintf(m_Out, "%s: %llu bytes\n", m_Label.c_str(), static_cast<unsigned long long>(Done));
  }
  std::fflush(m_Out);
}

PumpResult SendAll(Port &P, std::string_view Data, ULONG Piece, const ProgressFn &OnProgress) {
  PumpResult r;
  while (r.Bytes < Data.size()) {
    const ULONG length = static_cast<ULONG>(std::min<uint64_t>(Piece, Data.size() - r.Bytes));
    ULONG written = 0;
    r.Status = P.Write(Data.data() + r.Bytes, length, &written);
    r.Bytes += written;
    if (OnProgress) OnProgress(r.Bytes);
    if (!NT_SUCCESS(r.Status)) break;
    if (written < length) {
      /* The port took less than asked without failing: nothing more would go. */
      r.Status = STATUS_IO_TIMEOUT;
      break;
    }
  }
  return r;
}

PumpResult ReceiveUntilIdle(Port &P, uint64_t Limit, std::string *Out, const ProgressFn &OnProgress) {
  PumpResult r;
  std::string piece(kReadPiece, '\0');
  while (Limit == 0 || r.Bytes < Limit) {
    const ULONG length =
        static_cast<ULONG>(Limit == 0 ? kReadPiece : std::min<uint64_t>(kReadPiece, Limit - r.Bytes));
    ULONG got = 0;
    r.Status = P.Read(piece.data(), length, &got);
    if (!NT_SUCCESS(r.Status)) break;
    Out->append(piece.data(), got);
    r.Bytes += got;
    if (got > 0 && OnProgress) OnProgress(r.Bytes);
    if (got == 0) {
      r.Status = STATUS_TIMEOUT;
      break;
    }
  }
  if (NT_SUCCESS(r.Status) && r.Status != STATUS_TIMEOUT) r.Status = STATUS_SUCCESS;
  return r;
}

}  // namespace neravox
