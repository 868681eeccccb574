// Run as a child by the tests: reports what it inherited.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "descriptors.h"

namespace {

bool is_dev_null(int fd) {
  struct stat seen {};
  struct stat null {};
  return fstat(fd, &seen) == 0 && stat("/dev/null", &null) == 0 && seen.st_dev == null.st_dev &&
         seen.st_ino == null.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "stdout-is-dev-null") == 0) return is_dev_null(1) ? 0 : 5;
  if (argc != 1) return 2;
  for (int fd : corvatel::testing::open_descriptors()) std::printf("%d\n", fd);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
