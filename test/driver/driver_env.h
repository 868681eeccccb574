#ifndef CORVATEL_TEST_DRIVER_DRIVER_ENV_H
#define CORVATEL_TEST_DRIVER_DRIVER_ENV_H

// What the test drivers take from the environment instead of the build-time settings.

#include <cstdlib>
#include <ctime>

namespace corvatel::testing {

/// The value of the environment variable `name`, or `fallback` when it is unset.
inline const char* env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

/// CORVATEL_TEST_TIME, seconds since the epoch, in `now`; false when it is unset.
inline bool fixed_test_time(std::time_t& now) {
  const char* fixed = std::getenv("CORVATEL_TEST_TIME");
  if (fixed == nullptr) return false;
  now = static_cast<std::time_t>(std::strtoll(fixed, nullptr, 10));
  return true;
}

}  // namespace corvatel::testing

#endif
