#ifndef CORVATEL_TEST_SUPPORT_FULL_DEVICE_H
#define CORVATEL_TEST_SUPPORT_FULL_DEVICE_H

#include <string>

namespace corvatel::testing {

/// What this system's stdio does with /dev/full used as the log is used: opened with "ae",
/// line buffered, one line written, closed.
struct FullDevice {
  bool writable = false;    // false where /dev/full is missing or closed to us (jails)
  std::string close_error;  // strerror of a failed fclose; "" when the close succeeds
};

/// Tries it. glibc drops the bytes of a failed write, so its close succeeds; FreeBSD's stdio
/// keeps them, so the close fails again.
FullDevice probe_full_device();

}  // namespace corvatel::testing

#endif
