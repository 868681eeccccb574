#include "scoped_env.h"

#include <cstdlib>
#include <ctime>

namespace corvatel::testing {

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) saved_ = old, had_ = true;
  setenv(name, value, 1);
  if (name_ == "TZ") tzset();
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), saved_.c_str(), 1);
  else
    unsetenv(name_.c_str());
  if (name_ == "TZ") tzset();
}

}  // namespace corvatel::testing
