#ifndef CORVATEL_CHECK_LOG_SCAN_H
#define CORVATEL_CHECK_LOG_SCAN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/log_lines.h"

namespace corvatel {

/// Where a check stopped reading corvatel's log: the file (device and inode; 0 and 0 when
/// there was none), the offset just after the last line taken, and a fingerprint of the bytes
/// before it, so that a file that merely reuses the inode is not taken for it.
struct LogPosition {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
  std::uint64_t fingerprint = 0;
};

/// What a reading of the log found, and where the next one goes on.
struct LogReading {
  LogLines lines;
  LogPosition end;
  std::vector<std::string> notes;  // how the log was read, when not simply on from before
};

/// Reads the lines corvatel logged since `previous` into `reading`. Without a previous
/// position it reads nothing and starts at the end. A log rotated since (renamed, or copied and
/// truncated) is read on in its previous file, when that is beside it uncompressed, and then
/// from the start of the new one. zfs lines at the end that are under a minute old (at `now`)
/// are left for the next reading, which will see the line saying what they meant. A missing
/// log reads as empty. -1 with `problem` when the log cannot be read.
[[nodiscard]] int read_log_since(const char* path, const std::optional<LogPosition>& previous,
                                 std::int64_t now, const EntryIndex& index, LogReading& reading,
                                 std::string& problem);

/// Reads the lines stamped at `from` or later (and those of unknown time among them) from the
/// log and the rotated copies beside it that are uncompressed and changed since `from`, oldest
/// first. -1 with `problem` when the log cannot be read.
[[nodiscard]] int read_log_window(const char* path, std::int64_t from, const EntryIndex& index,
                                  LogReading& reading, std::string& problem);

}  // namespace corvatel

#endif
