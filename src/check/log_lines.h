#ifndef CORVATEL_CHECK_LOG_LINES_H
#define CORVATEL_CHECK_LOG_LINES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "check/entries.h"

namespace corvatel {

/// What the log said of one entry in the lines read.
struct EntryLogLines {
  std::size_t failing = 0;                  // error lines naming it
  std::size_t prune_failures = 0;           // error lines of its failed destroys
  std::vector<std::string> failing_shown;   // the first of them, as logged
  std::vector<std::string> prune_shown;
  std::size_t created = 0;                  // Created= and Pruned= lines
  std::size_t pruned = 0;
};

/// What the lines read from corvatel's log said.
struct LogLines {
  std::vector<EntryLogLines> entries;       // one per entry, in the entries' order
  std::size_t error_lines = 0;              // every Error: line read
  std::size_t unattributed = 0;             // failing lines that name no entry
  std::vector<std::string> unattributed_shown;
};

/// At most this many lines are kept to be shown, per entry and for those naming none.
inline constexpr std::size_t kShownLines = 10;

/// Finds the entries that a name in a log line stands for.
class EntryIndex {
 public:
  explicit EntryIndex(const std::vector<CheckEntry>& entries);

  /// Which entries of a dataset a message concerns.
  enum class Kind { any, standard, recursive };

  /// The entries of `dataset` of that kind.
  std::vector<std::size_t> of_dataset(std::string_view dataset, Kind kind) const;
  /// The entry whose own name form `snapshot` (dataset@prefix_timestamp) has.
  std::optional<std::size_t> of_snapshot(std::string_view snapshot, Kind kind) const;
  std::size_t size() const { return entries_.size(); }

 private:
  const std::vector<CheckEntry>& entries_;
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_dataset_;
};

/// Sorts corvatel's log lines into what they say of the entries. A zfs line (Error: zfs: ...)
/// belongs to the line after it, which says what corvatel made of it: lines are therefore
/// taken in order, and the zfs lines at the end wait for their line until finish().
class LogLineSorter {
 public:
  LogLineSorter(const EntryIndex& index, LogLines& lines);

  /// Takes one whole line of the log, stamp included.
  void take(std::string_view line);
  /// The zfs lines still waiting for the line after them: their stamps' moments (nullopt for
  /// an unknown time), oldest first.
  std::vector<std::optional<std::int64_t>> waiting_moments() const;
  /// Drops the waiting zfs lines (they will be read again).
  void put_back_waiting();
  /// Counts the waiting zfs lines as failing lines on their own.
  void finish();

 private:
  void take_judgement(std::string_view line, std::string_view message);
  void count_failing(std::string_view line, const std::vector<std::size_t>& entries);
  void count_prune_failure(std::string_view line, std::size_t entry);
  std::vector<std::size_t> entries_named_by_zfs(std::string_view message) const;

  const EntryIndex& index_;
  LogLines& lines_;
  std::vector<std::string> waiting_;  // zfs lines, as logged
};

/// The message of a log line, after its stamp ("YYYY-MM-DD HH:MM:SS " or "unknown-time ..."),
/// and the stamp's moment in local time (nullopt when unknown).
std::string_view log_message(std::string_view line, std::optional<std::int64_t>* moment = nullptr);

}  // namespace corvatel

#endif
