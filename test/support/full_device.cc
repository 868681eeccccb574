#include "full_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvatel::testing {

FullDevice probe_full_device() {
  FullDevice device;
  std::FILE* stream = std::fopen("/dev/full", "ae");
  if (stream == nullptr) return device;
  device.writable = true;
  std::setvbuf(stream, nullptr, _IOLBF, 0);
  std::fputs("probe\n", stream);
  errno = 0;
  if (std::fclose(stream) != 0) device.close_error = std::strerror(errno);
  return device;
}

}  // namespace corvatel::testing
