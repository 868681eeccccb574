// corvatel's log, line by line: which lines are errors, what each error concerns (a failure,
// a failed destroy, a rejected configuration line), and which entry it names, read from the
// message forms corvatel writes.
#include "check/log_lines.h"

#include "check/times.h"
#include "snapshot/prune.h"

namespace corvatel {
namespace {

constexpr std::string_view kError = "Error: ";
constexpr std::string_view kZfs = "Error: zfs: ";
constexpr std::string_view kConfigError = "Error: Config error";
constexpr std::string_view kUnknownTime = "unknown-time ";
constexpr std::size_t kStampLength = 19;  // "YYYY-MM-DD HH:MM:SS"

using Kind = EntryIndex::Kind;

// An error message that names an entry: the name follows `head`, ends where the last `tail`
// begins (or at the end when `tail` is empty), and starts after `skip` when that is given.
struct Form {
  std::string_view head;
  std::string_view skip;
  std::string_view tail;
  bool snapshot;  // the name is a snapshot's, not a dataset's
  Kind kind;
  bool prune_failure;
};

constexpr Form kForms[] = {
    {"Error: Configured dataset not found or has invalid written metric: ", "", "", false,
     Kind::standard, false},
    {"Error: Configured recursive dataset not found or has invalid written metric: ", "", "",
     false, Kind::recursive, false},
    {"Error: Invalid written metric for ", ", excluding from recursive total for ", "", false,
     Kind::recursive, false},
    {"Error: Recursive written metric total overflows for ", "", "", false, Kind::recursive,
     false},
    {"Error: Snapshot not created: ", "", "; pruning skipped for dataset '", true,
     Kind::standard, false},
    {"Error: Recursive Snapshot not created: ", "", "; pruning skipped for dataset '", true,
     Kind::recursive, false},
    {"Error: Unable to verify snapshot exists: ", "", "", true, Kind::standard, false},
    {"Error: Unable to verify recursive snapshot exists: ", "", "", true, Kind::recursive, false},
    {"Error: Unable to prune snapshots for ", "", ": snapshot inventory unavailable", false,
     Kind::standard, false},
    {"Error: Unable to prune recursive snapshots for ", "", ": snapshot inventory unavailable",
     false, Kind::recursive, false},
    {"Error: Failed to format snapshot name for ", "", "", false, Kind::standard, false},
    {"Error: Failed to format recursive snapshot name for ", "", "", false, Kind::recursive,
     false},
    {"Error: Failed to allocate prune match list for ", "", "", false, Kind::any, false},
    {"Error: Failed to track config entry for ", "", "", false, Kind::any, false},
    {"Error: Failed to allocate batch entry for ", "", "", false, Kind::any, false},
    {"Error: Failed to prune snapshot ", "", "", true, Kind::any, true},
};

// The name that `form` finds in `message`; false when the message is not of that form.
bool name_in(const Form& form, std::string_view message, std::string_view& name) {
  if (!message.starts_with(form.head)) return false;
  std::string_view rest = message.substr(form.head.size());
  if (!form.skip.empty()) {
    std::size_t skip = rest.find(form.skip);
    if (skip == std::string_view::npos) return false;
    rest.remove_prefix(skip + form.skip.size());
  }
  if (!form.tail.empty()) {
    std::size_t tail = rest.rfind(form.tail);
    if (tail == std::string_view::npos) return false;
    rest = rest.substr(0, tail);
  }
  name = rest;
  return !name.empty();
}

// The snapshot a Created= or Pruned= line names, and whether it ends in " Recursive".
std::string_view reported_snapshot(std::string_view message, std::string_view head,
                                   bool& recursive) {
  std::string_view rest = message.substr(head.size());
  recursive = rest.ends_with(" Recursive");
  if (recursive) rest.remove_suffix(10);
  std::size_t written = rest.rfind(" Written=");
  return written == std::string_view::npos ? rest : rest.substr(0, written);
}

void keep_shown(std::vector<std::string>& shown, std::string_view line) {
  if (shown.size() < kShownLines) shown.emplace_back(line);
}

}  // namespace

EntryIndex::EntryIndex(const std::vector<CheckEntry>& entries) : entries_(entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) by_dataset_[entries[i].dataset].push_back(i);
}

std::vector<std::size_t> EntryIndex::of_dataset(std::string_view dataset, Kind kind) const {
  std::vector<std::size_t> found;
  auto listed = by_dataset_.find(dataset);
  if (listed == by_dataset_.end()) return found;
  for (std::size_t i : listed->second) {
    if (kind == Kind::any || entries_[i].recursive == (kind == Kind::recursive))
      found.push_back(i);
  }
  return found;
}

std::optional<std::size_t> EntryIndex::of_snapshot(std::string_view snapshot, Kind kind) const {
  std::size_t at = snapshot.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  for (std::size_t i : of_dataset(snapshot.substr(0, at), kind)) {
    if (is_prune_form(snapshot.substr(at + 1), entries_[i].prefix)) return i;
  }
  return std::nullopt;
}

std::string_view log_message(std::string_view line, std::optional<std::int64_t>* moment) {
  if (moment != nullptr) *moment = std::nullopt;
  if (line.starts_with(kUnknownTime)) {
    line.remove_prefix(kUnknownTime.size());
    // The note in brackets that says why the time is unknown.
    if (line.starts_with('[')) {
      std::size_t end = line.find("] ");
      if (end != std::string_view::npos) line.remove_prefix(end + 2);
    }
    return line;
  }
  if (line.size() <= kStampLength || line[kStampLength] != ' ') return line;
  if (moment != nullptr) *moment = log_stamp_moment(line.substr(0, kStampLength));
  return line.substr(kStampLength + 1);
}

LogLineSorter::LogLineSorter(const EntryIndex& index, LogLines& lines)
    : index_(index), lines_(lines) {
  lines_.entries.resize(index.size());
}

void LogLineSorter::take(std::string_view line) {
  std::string_view message = log_message(line);
  if (message.starts_with(kZfs)) {
    waiting_.emplace_back(line);
    return;
  }
  if (message.starts_with("Created=") || message.starts_with("Pruned=")) {
    bool created = message.starts_with("Created=");
    bool recursive = false;
    std::string_view snapshot =
        reported_snapshot(message, created ? "Created=" : "Pruned=", recursive);
    auto entry = index_.of_snapshot(snapshot, recursive ? Kind::recursive : Kind::standard);
    if (entry) ++(created ? lines_.entries[*entry].created : lines_.entries[*entry].pruned);
  }
  take_judgement(line, message);
}

void LogLineSorter::take_judgement(std::string_view line, std::string_view message) {
  std::vector<std::string> zfs_lines;
  zfs_lines.swap(waiting_);
  if (!message.starts_with(kError)) {
    // Nothing says what the zfs lines meant: each is a failure of its own.
    for (const std::string& zfs : zfs_lines) count_failing(zfs, entries_named_by_zfs(zfs));
    return;
  }
  ++lines_.error_lines;
  if (message.starts_with(kConfigError)) return;  // the check reads the configuration itself
  for (const Form& form : kForms) {
    std::string_view name;
    if (!name_in(form, message, name)) continue;
    if (form.prune_failure) {
      if (auto entry = index_.of_snapshot(name, form.kind)) {
        for (const std::string& zfs : zfs_lines) count_prune_failure(zfs, *entry);
        count_prune_failure(line, *entry);
        return;
      }
      break;
    }
    std::vector<std::size_t> named;
    if (!form.snapshot) {
      named = index_.of_dataset(name, form.kind);
    } else if (auto entry = index_.of_snapshot(name, form.kind)) {
      named.push_back(*entry);
    }
    for (const std::string& zfs : zfs_lines) count_failing(zfs, named);
    count_failing(line, named);
    return;
  }
  for (const std::string& zfs : zfs_lines) count_failing(zfs, entries_named_by_zfs(zfs));
  count_failing(line, {});
}

void LogLineSorter::count_failing(std::string_view line, const std::vector<std::size_t>& entries) {
  if (log_message(line).starts_with(kZfs)) ++lines_.error_lines;
  if (entries.empty()) {
    ++lines_.unattributed;
    keep_shown(lines_.unattributed_shown, line);
    return;
  }
  for (std::size_t i : entries) {
    ++lines_.entries[i].failing;
    keep_shown(lines_.entries[i].failing_shown, line);
  }
}

void LogLineSorter::count_prune_failure(std::string_view line, std::size_t entry) {
  if (log_message(line).starts_with(kZfs)) ++lines_.error_lines;
  ++lines_.entries[entry].prune_failures;
  keep_shown(lines_.entries[entry].prune_shown, line);
}

// zfs names what it could not do in quotes: 'tank/a@h_...' or 'tank/a'.
std::vector<std::size_t> LogLineSorter::entries_named_by_zfs(std::string_view line) const {
  std::string_view message = log_message(line);
  std::size_t open = message.find('\'');
  if (open == std::string_view::npos) return {};
  std::size_t close = message.find('\'', open + 1);
  if (close == std::string_view::npos) return {};
  std::string_view name = message.substr(open + 1, close - open - 1);
  if (name.find('@') == std::string_view::npos) return index_.of_dataset(name, Kind::any);
  if (auto entry = index_.of_snapshot(name, Kind::any)) return {*entry};
  return {};
}

std::vector<std::optional<std::int64_t>> LogLineSorter::waiting_moments() const {
  std::vector<std::optional<std::int64_t>> moments;
  for (const std::string& line : waiting_) {
    std::optional<std::int64_t> moment;
    log_message(line, &moment);
    moments.push_back(moment);
  }
  return moments;
}

void LogLineSorter::put_back_waiting() { waiting_.clear(); }

void LogLineSorter::finish() {
  std::vector<std::string> zfs_lines;
  zfs_lines.swap(waiting_);
  for (const std::string& zfs : zfs_lines) count_failing(zfs, entries_named_by_zfs(zfs));
}

}  // namespace corvatel
