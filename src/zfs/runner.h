#ifndef CORVATEL_ZFS_RUNNER_H
#define CORVATEL_ZFS_RUNNER_H

#include <chrono>
#include <cstdint>

namespace corvatel {

/// How one child went; judged by each caller.
struct CommandResult {
  bool output_failed = false;    // no child started, or its output not taken in whole
  bool exited_normally = false;  // reaped after exiting
  std::int32_t exit_status = 0;  // exit code; -1 when started but not exited normally
};

/// Receives one standard-output line (NUL-terminated, no newline); non-zero fails the channel.
using LineHandler = int (*)(const char* line, void* user_data);

/// Runs argv[0] (no PATH search) with argv, logs its standard-error lines, hands its
/// standard-output lines to `handler` (discarded when null), reaps it.
[[nodiscard]] CommandResult run_zfs(const char* const* argv, LineHandler handler, void* user_data);

/// A deadline for run_zfs_within; `passed` is set when a child outlived it.
struct TimeLimit {
  std::chrono::steady_clock::time_point deadline;
  bool passed = false;
};

/// run_zfs that gives up at `limit.deadline`: a child still running then is killed (SIGKILL),
/// and one that does not die at once (stuck in the kernel) is left unreaped rather than waited
/// for; the result then fails and `limit.passed` is set. Nothing is started once it has passed.
[[nodiscard]] CommandResult run_zfs_within(const char* const* argv, LineHandler handler,
                                           void* user_data, TimeLimit& limit);

/// The standard success test: output taken whole, exited normally with status 0.
bool command_succeeded(const CommandResult& result);

}  // namespace corvatel

#endif
