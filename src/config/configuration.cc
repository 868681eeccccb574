// Reading the configuration, the first stage of a run. Every line goes through one chain of
// checks, each logging its own message; a valid line registers its dataset/prefix key, and when
// it is due at this minute becomes a job of the standard or the recursive list, in file order.
// Takes the open stream and empty lists; leaves the lists, the key set and the configuration
// error flag. A rejected line is logged and sets the flag, and nothing of it reaches the lists
// or the key set.
#include "config/configuration.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/ascii.h"
#include "config/names.h"
#include "log/log.h"

namespace corvatel {
namespace {

constexpr std::size_t kDatasetTooLong = 256;
constexpr std::size_t kPrefixTooLong = 64;
constexpr std::size_t kRecursiveTooLong = 32;
// Leaves room for '@', '_' and the 24-character snapshot timestamp within 255 characters.
constexpr std::size_t kDatasetPrefixMax = 229;

static_assert(sizeof(long long) == sizeof(std::int64_t));

/// The fields of one entry line, each a NUL-terminated view into the line buffer.
struct Entry {
  std::string_view dataset;
  std::string_view prefix;
  std::string_view recursive;
  std::int64_t interval = 0;
  std::int64_t retention = 0;
  std::int64_t min_bytes = 0;
};

/// Hands out the comma-separated fields of a line, cutting each in place with a NUL.
class FieldCursor {
 public:
  FieldCursor(char* text, std::size_t size) : text_(text), size_(size) {}

  /// The next field; false when none is left (a final trailing comma leaves none).
  bool next(std::string_view& field) {
    if (pos_ >= size_) return false;
    std::size_t end = pos_;
    while (end < size_ && text_[end] != ',') ++end;
    text_[end] = '\0';
    field = std::string_view(text_ + pos_, end - pos_);
    pos_ = end + 1;
    return true;
  }

 private:
  char* text_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

/// Base-10 signed 64-bit value of the whole field, at least `minimum`.
bool parse_number(std::string_view field, std::int64_t minimum, std::int64_t& value) {
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(field.data(), &end, 10);
  if (errno != 0 || end == field.data() || *end != '\0' || parsed < minimum) return false;
  value = parsed;
  return true;
}

bool missing(const Entry& entry, const char* what) {
  log_event("Error: Config error for %s: %s", entry.dataset.data(), what);
  return false;
}

bool take_dataset(FieldCursor& fields, Entry& entry) {
  if (!fields.next(entry.dataset)) return false;  // unreachable: the line is a non-empty entry
  if (entry.dataset.size() >= kDatasetTooLong) {
    log_event("Error: Config error: dataset name too long");
    return false;
  }
  if (!dataset_name_is_valid(entry.dataset)) {
    log_event("Error: Config error: invalid dataset name '%s'", entry.dataset.data());
    return false;
  }
  return true;
}

bool take_count(FieldCursor& fields, const Entry& entry, const char* field_name,
                const char* label, std::int64_t& value) {
  std::string_view field;
  if (!fields.next(field)) return missing(entry, field_name);
  if (parse_number(field, 1, value)) return true;
  log_event("Error: Config error for %s: invalid %s '%s'", entry.dataset.data(), label,
            field.data());
  return false;
}

bool take_prefix(FieldCursor& fields, Entry& entry) {
  if (!fields.next(entry.prefix)) return missing(entry, "missing prefix field");
  const char* dataset = entry.dataset.data();
  if (entry.prefix.size() >= kPrefixTooLong) {
    log_event("Error: Config error for %s: prefix too long", dataset);
    return false;
  }
  if (!prefix_is_valid(entry.prefix)) {
    log_event("Error: Config error for %s: invalid prefix '%s'", dataset, entry.prefix.data());
    return false;
  }
  if (entry.dataset.size() + entry.prefix.size() > kDatasetPrefixMax) {
    log_event("Error: Config error for %s: dataset/prefix timestamp name exceeds ZFS limit",
              dataset);
    return false;
  }
  return true;
}

bool take_recursive(FieldCursor& fields, Entry& entry) {
  if (!fields.next(entry.recursive)) return missing(entry, "missing recursive field");
  if (entry.recursive.size() < kRecursiveTooLong) return true;
  log_event("Error: Config error for %s: recursive field too long", entry.dataset.data());
  return false;
}

bool take_min_bytes_and_end(FieldCursor& fields, Entry& entry) {
  std::string_view field;
  if (!fields.next(field)) return missing(entry, "missing min_bytes field");
  std::string_view seventh;
  if (parse_number(field, 0, entry.min_bytes) && !fields.next(seventh)) return true;
  log_event("Error: Config error for %s: invalid byte threshold or trailing garbage",
            entry.dataset.data());
  return false;
}

bool recursive_value_is_valid(const Entry& entry) {
  if (entry.recursive == "yes" || entry.recursive == "no") return true;
  log_event("Error: Config error for %s: invalid recursive flag option '%s'",
            entry.dataset.data(), entry.recursive.data());
  return false;
}

/// Checks the fields in their fixed order; logs the first fault and returns false.
bool parse_entry(char* text, std::size_t size, Entry& entry) {
  FieldCursor fields(text, size);
  return take_dataset(fields, entry) &&
         take_count(fields, entry, "missing interval field", "interval", entry.interval) &&
         take_count(fields, entry, "missing retention field", "retention count",
                    entry.retention) &&
         take_prefix(fields, entry) && take_recursive(fields, entry) &&
         take_min_bytes_and_end(fields, entry) && recursive_value_is_valid(entry);
}

/// Registers the key, applies the due test and appends; 1 when the line is rejected, 2 when it
/// is lost for want of memory.
int accept_entry(const Entry& entry, std::int64_t minute_of_day, JobList& standard,
                 JobList& recursive, ConfigKeySet& keys) {
  const char* dataset = entry.dataset.data();
  int added = config_key_set_add(keys, entry.dataset, entry.prefix);
  if (added == 1) {
    log_event("Error: Config error for %s: duplicate dataset/prefix '%s' in config, skipping",
              dataset, entry.prefix.data());
    return 1;
  }
  if (added != 0) {
    log_event("Error: Failed to track config entry for %s", dataset);
    return kConfigLineLost;
  }
  if (!entry_is_due(entry.interval, minute_of_day)) return 0;
  JobList& list = entry.recursive == "yes" ? recursive : standard;
  if (job_list_append(list, entry.dataset, entry.prefix, entry.retention, entry.min_bytes) == 0) {
    list.items.back().interval = entry.interval;
    return 0;
  }
  log_event("Error: Failed to allocate batch entry for %s", dataset);
  return kConfigLineLost;
}

/// Handles one line as read (`length` bytes); 1 when the line is rejected, 2 when it is lost
/// for want of memory.
int process_line(char* text, std::size_t length, std::int64_t minute_of_day, JobList& standard,
                 JobList& recursive, ConfigKeySet& keys) {
  if (std::memchr(text, '\0', length) != nullptr) {
    log_event("Error: Config error: NUL byte in line");
    return 1;
  }
  while (length > 0 && is_ascii_space(text[length - 1])) --length;
  std::string_view line(text, length);
  if (line.empty() || line.front() == '#') return 0;
  if (line.front() == ',' || line.find(",,") != std::string_view::npos) {
    log_event("Error: Config error: adjacent comma delimiters");
    return 1;
  }
  Entry entry;
  if (!parse_entry(text, length, entry)) return 1;
  return accept_entry(entry, minute_of_day, standard, recursive, keys);
}

}  // namespace

bool entry_is_due(std::int64_t interval, std::int64_t minute_of_day) {
  return minute_of_day % interval == 0;
}

int config_key_set_add(ConfigKeySet& set, std::string_view dataset, std::string_view prefix) {
  // Formed on the stack and looked up as a view: a duplicate line, which needs no memory, is
  // always reported as the duplicate it is.
  ConfigKeyBuffer buffer;
  std::string_view key = config_key(dataset, prefix, buffer);
  if (key.empty()) return -1;
  if (set.contains(key)) return 1;
  try {
    set.emplace(key);  // a single-element insert that throws adds nothing
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

LineBuffer::~LineBuffer() { release(); }

void LineBuffer::release() {
  std::free(data);
  data = nullptr;
  size = 0;
}

int read_configuration(std::FILE* stream, LineBuffer& line, std::int64_t minute_of_day,
                       JobList& standard, JobList& recursive, ConfigKeySet& keys,
                       int& read_errno) {
  int flag = 0;
  for (;;) {
    errno = 0;
    ssize_t length = getline(&line.data, &line.size, stream);
    if (length == -1) {
      read_errno = errno;
      return flag;
    }
    flag = std::max(flag, process_line(line.data, static_cast<std::size_t>(length),
                                       minute_of_day, standard, recursive, keys));
  }
}

}  // namespace corvatel
