#ifndef CORVATEL_TEST_SUPPORT_SCOPED_ENV_H
#define CORVATEL_TEST_SUPPORT_SCOPED_ENV_H

#include <string>

namespace corvatel::testing {

/// Sets an environment variable for the life of the object, then restores it. For TZ it also
/// calls tzset() both times, so that this process's local time follows: the one time-zone
/// guard of the tests.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string saved_;
  bool had_ = false;
};

}  // namespace corvatel::testing

#endif
