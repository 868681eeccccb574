// Test-only driver: the real program with its paths and clock taken from the environment,
// so that out-of-process tests reach the fixed-path binary's behaviour. Never installed.
#include <ctime>

#include "driver_env.h"
#include "log/log.h"
#include "run/run.h"

namespace {

using corvatel::testing::env_or;

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
  if (corvatel::testing::fixed_test_time(g_fixed_time)) {
    clock.time = fixed_time;
    corvatel::log_state().clock.time = fixed_time;
  }
  return corvatel::corvatel_main(argc, argv, paths, clock);
}
