#ifndef CORVATEL_CONFIG_CONFIGURATION_H
#define CORVATEL_CONFIG_CONFIGURATION_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "config/job_list.h"

namespace corvatel {

/// Hashes a stored key and a looked-up view alike, so that a lookup builds no std::string.
struct ConfigKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};

/// The config keys of every valid line read so far.
using ConfigKeySet = std::unordered_set<std::string, ConfigKeyHash, std::equal_to<>>;

/// Registers dataset+prefix: 0 added, 1 present, -1 when memory ran out or the key is longer
/// than a configuration line may make (nothing added). A present key needs no memory.
[[nodiscard]] int config_key_set_add(ConfigKeySet& set, std::string_view dataset,
                                     std::string_view prefix);

/// The due test: an entry with `interval` (1 or more) is due when the minute of the day,
/// counted from local midnight, is a multiple of it.
bool entry_is_due(std::int64_t interval, std::int64_t minute_of_day);

/// getline's growable buffer; the frame frees it (release()) just before closing the stream.
struct LineBuffer {
  char* data = nullptr;  // malloc'd by getline, so freed with free()
  std::size_t size = 0;

  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer();
  /// Frees the buffer; the object is then empty again.
  void release();
};

/// read_configuration's result when a line was rejected for want of memory. Such a line is
/// not the administrator's mistake, and the lines read are not the whole configuration: a
/// recursive line lost so would leave its children uncovered, free to prune the snapshots it
/// shares with them to their own retention.
inline constexpr int kConfigLineLost = 2;

/// Reads every line until getline returns -1; returns the configuration error flag: 0, 1 when a
/// line was rejected, or kConfigLineLost (which outranks 1). `read_errno` receives errno saved
/// immediately after the final getline, for the caller's end-of-input check.
[[nodiscard]] int read_configuration(std::FILE* stream, LineBuffer& line,
                                     std::int64_t minute_of_day, JobList& standard,
                                     JobList& recursive, ConfigKeySet& keys, int& read_errno);

}  // namespace corvatel

#endif
