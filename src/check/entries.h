#ifndef CORVATEL_CHECK_ENTRIES_H
#define CORVATEL_CHECK_ENTRIES_H

#include <cstdint>
#include <string>
#include <vector>

namespace corvatel {

/// One valid line of corvatel's configuration.
struct CheckEntry {
  std::string dataset;
  std::string prefix;
  bool recursive = false;
  std::int64_t interval = 0;
  std::int64_t retention = 0;
  std::int64_t min_bytes = 0;

  /// "dataset@prefix", the entry's name in the check's output.
  std::string label() const { return dataset + "@" + prefix; }
};

/// The configuration as corvatel reads it, whatever the minute.
struct CheckConfiguration {
  std::vector<CheckEntry> entries;     // ordered by dataset, then prefix
  std::vector<std::string> rejected;   // the message of each rejected line, in file order
};

class LibraryMessages;

/// Reads every valid entry of the configuration file at `path` with corvatel's own rules, the
/// messages of rejected lines taken from `messages`. 0, or -1 with `problem` set when the file
/// cannot be opened, read to its end or closed, or a line was lost for want of memory.
[[nodiscard]] int read_check_configuration(const char* path, LibraryMessages& messages,
                                           CheckConfiguration& configuration,
                                           std::string& problem);

}  // namespace corvatel

#endif
