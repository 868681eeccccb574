#ifndef CORVATEL_RUN_RUN_H
#define CORVATEL_RUN_RUN_H

#include <cstdint>
#include <ctime>
#include <functional>

#include "run/command_line.h"

namespace corvatel {

/// Reads the time as time(3) does.
using TimeSource = std::function<std::time_t(std::time_t*)>;

/// Where a run reads the time from; tests substitute fixed or failing sources.
struct RunClock {
  TimeSource time = ::time;
  std::function<std::tm*(const std::time_t*, std::tm*)> localtime = localtime_r;
};

/// Stores the current time in `reading`; -1 (reading untouched) when the clock cannot be read.
[[nodiscard]] int read_clock(std::int64_t& reading, const TimeSource& time_source = ::time);

/// Local hour * 60 + local minute.
std::int64_t minute_of_day(const std::tm& local);

/// "%Y-%m-%d_%H:%M:%S%z" with a '+' at index 19 turned into 'p'; -1 when it cannot be formatted.
[[nodiscard]] int format_snapshot_timestamp(const std::tm& local, char (&timestamp)[32]);

/// One start of the program with the given paths and clock; returns the exit status. First
/// sets SIGCHLD to its default and ignores SIGXFSZ and SIGPIPE, for the whole process.
[[nodiscard]] int corvatel_main(int argc, char** argv, const RunPaths& paths,
                                const RunClock& clock);

}  // namespace corvatel

#endif
