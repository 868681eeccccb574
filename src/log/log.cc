// The log: one line per message, stamped with the local time of writing, appended to the file
// that LogFile opens for the run and checks when it closes. A failed write never stops the run:
// it sets the write-failure flag, which the close reports and turns into exit status 1.
#include "log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace corvatel {
namespace {

// Fills `stamp` with the time of writing; returns the fallback note when that failed.
const char* format_stamp(const LogClock& clock, char (&stamp)[32]) {
  errno = 0;
  std::time_t now = clock.time(nullptr);
  if (now == static_cast<std::time_t>(-1) && errno != 0)
    return "[clock read failed, using fallback timestamp] ";
  std::tm local{};
  if (clock.localtime(&now, &local) == nullptr)
    return "[localtime_r failed, using fallback timestamp] ";
  if (clock.strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return "[strftime failed, using fallback timestamp] ";
  return nullptr;
}

}  // namespace

LogState& log_state() {
  static LogState state;
  return state;
}

void log_event(const char* format, ...) {
  LogState& log = log_state();
  if (log.stream == nullptr) return;

  char stamp[32];
  const char* note = format_stamp(log.clock, stamp);
  // Each part is its own write so that one failure never stops the rest of the line.
  auto check = [&log](int written) {
    if (written < 0) log.write_failed = true;
  };
  check(std::fprintf(log.stream, "%s ", note ? "unknown-time" : stamp));
  if (note) check(std::fprintf(log.stream, "%s", note));
  std::va_list args;
  va_start(args, format);
  check(std::vfprintf(log.stream, format, args));
  va_end(args);
  check(std::fprintf(log.stream, "\n"));
}

void warn_stderr(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

LogFile::~LogFile() {
  LogState& log = log_state();
  if (log.stream == nullptr) return;
  std::fclose(log.stream);
  log.stream = nullptr;
}

int LogFile::open() {
  log_state().write_failed = false;
  std::FILE* stream = std::fopen(path_, "ae");
  if (stream == nullptr) {
    warn_stderr("%s: failed to open log file %s: %s", program_, path_, std::strerror(errno));
    return -1;
  }
  if (std::setvbuf(stream, nullptr, _IOLBF, 0) != 0)
    std::fprintf(stderr,
                 "%s: failed to enable line-buffered logging; continuing with fully-buffered "
                 "logging\n",
                 program_);
  log_state().stream = stream;
  return 0;
}

int LogFile::close(int exit_status) {
  LogState& log = log_state();
  if (log.write_failed) {
    std::fprintf(stderr, "%s: one or more writes to log file %s failed; log is incomplete\n",
                 program_, path_);
    exit_status = 1;
  }
  if (std::fclose(log.stream) != 0) {
    std::fprintf(stderr, "%s: failed to flush log file %s: %s\n", program_, path_,
                 std::strerror(errno));
    exit_status = 1;
  }
  log.stream = nullptr;
  return exit_status;
}

}  // namespace corvatel
