#ifndef CORVATEL_LOG_LOG_H
#define CORVATEL_LOG_LOG_H

#include <cstdio>
#include <ctime>

namespace corvatel {

/// The time sources a log line is stamped with; tests replace them to reach the fallbacks.
struct LogClock {
  std::time_t (*time)(std::time_t*) = ::time;
  std::tm* (*localtime)(const std::time_t*, std::tm*) = localtime_r;
  std::size_t (*strftime)(char*, std::size_t, const char*, const std::tm*) = ::strftime;
};

/// The process-wide log state shared by the run frame and log_event.
struct LogState {
  std::FILE* stream = nullptr;  // none until the frame opens the log
  bool write_failed = false;    // set by any failed write; read in the final log checks
  LogClock clock;
};

/// The one log state of the process.
LogState& log_state();

/// Appends one timestamped line to the log stream; does nothing while no log is open.
void log_event(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Writes the message and a newline to standard error; errors are ignored.
void warn_stderr(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// The log file of a run: opening it makes it the stream log_event writes to, and close() makes
/// the final checks. The destructor only closes, for paths that end before the checks.
class LogFile {
 public:
  /// `path` and `program` (the name standard-error messages begin with) must outlive it.
  LogFile(const char* path, const char* program) : path_(path), program_(program) {}
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile();

  /// Opens the log for appending, line-buffered where possible, and clears the write-failure
  /// flag; -1 (on standard error) when it cannot be opened.
  [[nodiscard]] int open();

  /// Reports a failed write, then closes and reports a failed flush, each on standard error;
  /// each raises `exit_status` to 1, which is returned.
  [[nodiscard]] int close(int exit_status);

 private:
  const char* path_;
  const char* program_;
};

}  // namespace corvatel

#endif
