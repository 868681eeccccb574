#ifndef CORVATEL_CHECK_STATE_FILE_H
#define CORVATEL_CHECK_STATE_FILE_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/log_scan.h"
#include "base/unique_fd.h"

namespace corvatel {

/// One entry as a check left it for the next.
struct EntryRecord {
  std::string dataset;
  std::string prefix;
  bool recursive = false;
  std::int64_t interval = 0;
  std::int64_t min_bytes = 0;
  // Since when the entry's written bytes have been seen at or above its threshold, at every
  // check, with no new snapshot of its dataset: the start of the evidence of a missed snapshot.
  std::optional<std::int64_t> pending_since;
  std::string newest_any;  // the newest snapshot of its dataset then (see EntrySurvey); "": none
};

/// What one check leaves for the next.
struct CheckState {
  std::int64_t observed = 0;      // the wall clock at the check
  std::int64_t monotonic_ms = 0;  // the monotonic clock then, to tell a stepped wall clock
  std::optional<LogPosition> log;
  std::vector<EntryRecord> entries;
};

/// The state file, open and locked (flock) while the object lives, so that two checks never
/// interleave. Its text, one record a line, fields separated by tabs:
///   corvatel-check state 1
///   observed WALL MONOTONIC_MS
///   log DEVICE INODE OFFSET FINGERPRINT       (absent before the log was first seen)
///   entry DATASET PREFIX yes|no INTERVAL MIN_BYTES PENDING_SINCE|- NEWEST_SNAPSHOT|-
class StateFile {
 public:
  /// Opens the file at `path`, creating it (and its folder when only that is missing), and
  /// locks it, waiting for another check until `deadline` at most. -1 with `problem` set.
  [[nodiscard]] int open(const std::string& path, std::chrono::steady_clock::time_point deadline,
                         std::string& problem);
  /// The state the previous check left; false with `why` set when the file is new, unreadable
  /// or not of this form.
  bool read(CheckState& state, std::string& why);
  /// Replaces the file whole with `state`, through a new file renamed over it. -1 with
  /// `problem` set.
  [[nodiscard]] int write(const CheckState& state, std::string& problem);

 private:
  std::string path_;
  UniqueFd fd_;
};

/// The text of a state, as written.
std::string format_state(const CheckState& state);
/// Reads the text of a state; false when it is not of that form.
bool parse_state(std::string_view text, CheckState& state);

}  // namespace corvatel

#endif
