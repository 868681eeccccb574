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

}  // namespace corvatel

#endif
