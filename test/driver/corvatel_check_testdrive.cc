// Test-only driver: corvatel-check with its paths and clocks taken from the environment, so
// that out-of-process tests reach the fixed-path binary's behaviour. Never installed.
// CORVATEL_TEST_TIME fixes the wall clock; CORVATEL_TEST_MONOTONIC (seconds) the monotonic one,
// which otherwise follows the fixed wall clock, as if the clock were never stepped.
#include <cstdlib>
#include <ctime>

#include "check/check.h"

namespace {

const char* env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  corvatel::CheckPaths defaults = corvatel::default_check_paths();
  corvatel::CheckPaths paths{env_or("CORVATEL_TEST_CONFIG", defaults.config),
                             env_or("CORVATEL_TEST_LOG", defaults.log),
                             env_or("CORVATEL_TEST_STATE", defaults.state),
                             env_or("CORVATEL_TEST_TEXTFILE", defaults.textfile),
                             env_or("CORVATEL_TEST_ZFS", defaults.zfs)};
  corvatel::CheckClock clock;
  if (const char* fixed = std::getenv("CORVATEL_TEST_TIME")) {
    auto now = static_cast<std::time_t>(std::strtoll(fixed, nullptr, 10));
    clock.wall = [now](std::time_t* out) {
      if (out != nullptr) *out = now;
      return now;
    };
    std::int64_t monotonic = std::strtoll(env_or("CORVATEL_TEST_MONOTONIC", fixed), nullptr, 10);
    clock.monotonic_ms = [monotonic] { return monotonic * 1000; };
  }
  return corvatel::corvatel_check_main(argc, argv, paths, clock);
}
