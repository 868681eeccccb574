#include "descriptors.h"

#include <fcntl.h>
#include <unistd.h>

namespace corvatel::testing {

std::set<int> open_descriptors(bool inheritable_only) {
  std::set<int> open;
  long table = sysconf(_SC_OPEN_MAX);
  if (table < 0 || table > 1 << 20) table = 1 << 20;  // unlimited: still a bounded scan
  for (int fd = 0; fd < table; ++fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags == -1) continue;
    if (!inheritable_only || (flags & FD_CLOEXEC) == 0) open.insert(fd);
  }
  return open;
}

}  // namespace corvatel::testing
