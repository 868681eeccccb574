#ifndef CORVATEL_TEST_SUPPORT_PROCESS_H
#define CORVATEL_TEST_SUPPORT_PROCESS_H

#include <cstdint>
#include <string>
#include <vector>

namespace corvatel::testing {

struct ProcessOptions {
  std::vector<std::string> env;   // extra NAME=value entries on top of this process's environment
  bool close_stdin = false;
  bool close_stdout = false;       // the child starts with descriptor 1 closed
  bool close_stderr = false;
  bool empty_argv = false;         // the child starts with argc 0
  bool stderr_unread = false;      // descriptor 2 is a pipe that nobody reads from
  std::vector<int> ignored_signals;  // set to SIG_IGN in the child, as a parent process may do
  std::vector<int> blocked_signals;  // blocked in the child
  std::int64_t file_size_limit = -1;  // the child's RLIMIT_FSIZE in bytes; -1 leaves it
  double time_limit_seconds = 0;   // above 0: the child's process group is killed after it
};

struct ProcessResult {
  int exit_status = -1;  // -1 when not exited normally
  int signal = 0;        // the signal that ended the child; 0 when it exited
  bool timed_out = false;  // killed at the time limit
  std::string out;
  std::string err;
};

/// Runs argv[0] with argv and collects both output streams and the exit status. With a time
/// limit the child leads a process group of its own, which is killed whole when the limit
/// passes, so that a hung run fails its test instead of holding up the suite.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace corvatel::testing

#endif
