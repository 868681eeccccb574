#include "check/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/unique_fd.h"

namespace corvatel {
namespace {

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

int replace_file(const std::string& path, std::string_view text, std::string& problem) {
  // Named so that readers of the folder pass it by: the node exporter reads only *.prom files.
  std::string temporary = path + ".XXXXXX";
  UniqueFd out(::mkstemp(temporary.data()));
  if (out.get() < 0) {
    problem = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return -1;
  }
  ::fcntl(out.get(), F_SETFD, FD_CLOEXEC);
  bool written = ::fchmod(out.get(), 0644) == 0 && write_all(out.get(), text) &&
                 ::fsync(out.get()) == 0;
  int saved = errno;
  out.reset();
  if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return 0;
  if (written) saved = errno;
  ::unlink(temporary.c_str());
  problem = "cannot write " + path + ": " + std::strerror(saved);
  return -1;
}

}  // namespace corvatel
