#ifndef CORVATEL_BASE_UNIQUE_FD_H
#define CORVATEL_BASE_UNIQUE_FD_H

#include <unistd.h>

namespace corvatel {

/// Owns one descriptor (-1: none); closing it is the release.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  /// Closes the held descriptor, if any, and takes `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  /// Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace corvatel

#endif
