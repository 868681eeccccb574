#include "runner_lines.h"

namespace corvatel::testing {
namespace {

constexpr std::size_t kLineLimit = 511;

enum class PieceEnd { newline, full, unfinished };

// Calls take(piece, end) for each piece of `bytes` in order.
template <typename Take>
void cut_pieces(std::string_view bytes, Take take) {
  std::string piece;
  for (char c : bytes) {
    if (c == '\n') {
      take(piece, PieceEnd::newline);
      piece.clear();
      continue;
    }
    if (piece.size() == kLineLimit) {
      take(piece, PieceEnd::full);
      piece.clear();
    }
    piece += c;
  }
  if (!piece.empty()) take(piece, PieceEnd::unfinished);
}

}  // namespace

RunnerStdout runner_stdout(std::string_view bytes, bool (*refuses)(const std::string& line)) {
  RunnerStdout out;
  cut_pieces(bytes, [&](const std::string& piece, PieceEnd end) {
    if (end != PieceEnd::newline) out.failed = true;
    if (end == PieceEnd::unfinished) return;
    if (piece.find('\0') != std::string::npos) {
      ++out.nul_messages;
      out.failed = true;
      return;
    }
    if (out.failed) return;
    out.lines.push_back(piece);
    if (refuses != nullptr && refuses(piece)) out.failed = true;
  });
  return out;
}

std::vector<std::string> runner_stderr_messages(std::string_view bytes) {
  std::vector<std::string> messages;
  cut_pieces(bytes, [&](const std::string& piece, PieceEnd) {
    std::size_t last = piece.find_last_not_of(" \t\n\v\f\r");
    if (last == std::string::npos) return;
    std::string message = "Error: zfs: ";
    for (std::size_t i = 0; i <= last; ++i) {
      if (piece[i] == '\0')
        message += "\\x00";
      else
        message += piece[i];
    }
    messages.push_back(message);
  });
  return messages;
}

}  // namespace corvatel::testing
