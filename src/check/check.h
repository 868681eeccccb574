#ifndef CORVATEL_CHECK_CHECK_H
#define CORVATEL_CHECK_CHECK_H

#include <cstdint>
#include <functional>

#include "check/options.h"
#include "run/run.h"

namespace corvatel {

/// Where a check reads the time from; tests substitute fixed clocks.
struct CheckClock {
  TimeSource wall = ::time;
  /// Milliseconds of a clock that only moves forward with the time that passes (CLOCK_MONOTONIC):
  /// set beside the wall clock, it tells a stepped wall clock from time passing.
  std::function<std::int64_t()> monotonic_ms = monotonic_milliseconds;

  static std::int64_t monotonic_milliseconds();
};

/// One start of corvatel-check with the given paths and clock; returns the exit status (0 OK,
/// 1 WARNING, 2 CRITICAL, 3 UNKNOWN). Sets SIGCHLD to its default and ignores SIGPIPE, for the
/// whole process.
[[nodiscard]] int corvatel_check_main(int argc, char** argv, const CheckPaths& paths,
                                      const CheckClock& clock);

}  // namespace corvatel

#endif
