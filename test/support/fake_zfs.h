#ifndef CORVATEL_TEST_SUPPORT_FAKE_ZFS_H
#define CORVATEL_TEST_SUPPORT_FAKE_ZFS_H

#include <string>
#include <vector>

namespace corvatel::testing {

/// A stand-in zfs command in a fresh temporary directory: a shell script that records each
/// argument vector (argv[0] included), prints the chosen output and error text and exits with
/// the status chosen for that call (0 unless set).
class FakeZfs {
 public:
  FakeZfs();
  ~FakeZfs();
  FakeZfs(const FakeZfs&) = delete;
  FakeZfs& operator=(const FakeZfs&) = delete;

  /// The script's path, to be passed as the zfs program.
  const char* path() const { return path_.c_str(); }
  /// Makes the call numbered `call` (from 1) exit with `status`; below 0, kill itself with
  /// SIGKILL instead.
  void set_status(int call, int status);
  /// Makes every call print `text` on standard output, exactly as given.
  void set_output(const std::string& text);
  /// Makes every call print `text` on standard error after its output, exactly as given.
  void set_error(const std::string& text);
  /// The argument vectors of the calls so far, in order.
  std::vector<std::vector<std::string>> calls() const;

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace corvatel::testing

#endif
