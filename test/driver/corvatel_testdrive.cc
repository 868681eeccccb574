// Test-only driver: the real program with its paths and clock taken from the environment,
// so that out-of-process tests reach the fixed-path binary's behaviour. Never installed.
#include <cstdlib>
#include <ctime>

#include "log/log.h"
#include "run/run.h"

namespace {

const char* env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// The fixed time of CORVATEL_TEST_TIME, for the log's stamps as well as the run's clock.
std::time_t g_fixed_time = 0;

std::time_t fixed_time(std::time_t* out) {
  if (out != nullptr) *out = g_fixed_time;
  return g_fixed_time;
}

}  // namespace

int main(int argc, char** argv) {
  corvatel::RunPaths defaults = corvatel::default_run_paths();
  corvatel::RunPaths paths{env_or("CORVATEL_TEST_CONFIG", defaults.config),
                           env_or("CORVATEL_TEST_LOG", defaults.log),
                           env_or("CORVATEL_TEST_LOCK", defaults.lock),
                           env_or("CORVATEL_TEST_ZFS", defaults.zfs)};
  corvatel::RunClock clock;
  if (const char* fixed = std::getenv("CORVATEL_TEST_TIME")) {
    auto now = static_cast<std::time_t>(std::strtoll(fixed, nullptr, 10));
    clock.time = [now](std::time_t* out) {
      if (out != nullptr) *out = now;
      return now;
    };
    g_fixed_time = now;
    corvatel::log_state().clock.time = fixed_time;
  }
  return corvatel::corvatel_main(argc, argv, paths, clock);
}
