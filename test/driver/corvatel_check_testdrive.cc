// Test-only driver: corvatel-check with its paths and clocks taken from the environment, so
// that out-of-process tests reach the fixed-path binary's behaviour. Never installed.
// CORVATEL_TEST_TIME fixes the wall clock; CORVATEL_TEST_MONOTONIC (seconds) the monotonic one,
// which otherwise follows the fixed wall clock, as if the clock were never stepped.
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "check/check.h"
#include "driver_env.h"

int main(int argc, char** argv) {
  using corvatel::testing::env_or;
  corvatel::CheckPaths defaults = corvatel::default_check_paths();
  corvatel::CheckPaths paths{env_or("CORVATEL_TEST_CONFIG", defaults.config),
                             env_or("CORVATEL_TEST_LOG", defaults.log),
                             env_or("CORVATEL_TEST_STATE", defaults.state),
                             env_or("CORVATEL_TEST_TEXTFILE", defaults.textfile),
                             env_or("CORVATEL_TEST_ZFS", defaults.zfs)};
  corvatel::CheckClock clock;
  std::time_t now = 0;
  if (corvatel::testing::fixed_test_time(now)) {
    clock.wall = [now](std::time_t* out) {
      if (out != nullptr) *out = now;
      return now;
    };
    const char* monotonic = std::getenv("CORVATEL_TEST_MONOTONIC");
    std::int64_t seconds = monotonic != nullptr ? std::strtoll(monotonic, nullptr, 10) : now;
    clock.monotonic_ms = [seconds] { return seconds * 1000; };
  }
  return corvatel::corvatel_check_main(argc, argv, paths, clock);
}
