#ifndef CORVATEL_CHECK_MESSAGES_H
#define CORVATEL_CHECK_MESSAGES_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"

namespace corvatel {

/// While alive, takes what the shared library logs (log_event: rejected configuration lines,
/// zfs's standard error, unusable output) into memory instead of a log file, so that the check
/// can report it; corvatel's own log is never written. Restores the log state when it ends.
class LibraryMessages {
 public:
  LibraryMessages();
  ~LibraryMessages();
  LibraryMessages(const LibraryMessages&) = delete;
  LibraryMessages& operator=(const LibraryMessages&) = delete;

  /// The messages logged since the last take(), oldest first, without stamps; empty when no
  /// memory stream could be opened (the messages are then lost).
  std::vector<std::string> take();

 private:
  LogState saved_;
  std::FILE* stream_ = nullptr;
  char* buffer_ = nullptr;  // open_memstream's, freed with free()
  std::size_t size_ = 0;
  std::size_t taken_ = 0;
};

}  // namespace corvatel

#endif
