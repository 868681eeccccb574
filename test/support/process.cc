#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace corvatel::testing {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll: -1 without one, 0 once it has passed.
int poll_timeout(const Clock::time_point* deadline) {
  if (deadline == nullptr) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// Reads both streams to their end, or until `deadline` (when given) passes; false then. A
// descriptor of -1 is not read.
bool drain(int out_fd, int err_fd, ProcessResult& result, const Clock::time_point* deadline) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = (out_fd >= 0) + (err_fd >= 0);
  while (open_count > 0) {
    if (deadline != nullptr && Clock::now() >= *deadline) {
      for (pollfd& entry : fds)
        if (entry.fd >= 0) close(entry.fd);
      return false;
    }
    if (poll(fds, 2, poll_timeout(deadline)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  return true;
}

// Reaps `pid` into `status` unless `deadline` passes first (a child that closed its output but
// goes on); false then.
bool reap_before(pid_t pid, Clock::time_point deadline, int& status) {
  for (;;) {
    pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (Clock::now() >= deadline) return false;
    usleep(2000);
  }
}

// In the forked child: the signal dispositions, mask and file-size limit that a parent process
// may hand down across execve. Only async-signal-safe calls.
void set_up_inheritance(const ProcessOptions& options) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int sig : options.ignored_signals)
    if (sigaction(sig, &ignore, nullptr) != 0) _exit(125);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int sig : options.blocked_signals) sigaddset(&blocked, sig);
  if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) _exit(125);
  if (options.file_size_limit >= 0) {
    rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                 static_cast<rlim_t>(options.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), options.env.begin(), options.env.end());
  std::vector<char*> arg_ptrs = pointers(args);
  std::vector<char*> env_ptrs = pointers(env);
  const char* path = argv.at(0).c_str();

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  if (options.stderr_unread) {  // before the fork, so that no copy of the read end survives
    close(err_pipe[0]);
    err_pipe[0] = -1;
  }
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  bool limited = options.time_limit_seconds > 0;
  if (pid == 0) {
    if (limited) setpgid(0, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (options.close_stdin) close(0);
    if (options.close_stdout) close(1);
    if (options.close_stderr) close(2);
    set_up_inheritance(options);
    char* empty[] = {nullptr};
    execve(path, options.empty_argv ? empty : arg_ptrs.data(), env_ptrs.data());
    _exit(126);
  }
  if (limited) setpgid(pid, pid);  // either call may win the race with the child's exec
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProcessResult result;
  Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(options.time_limit_seconds));
  if (!drain(out_pipe[0], err_pipe[0], result, limited ? &deadline : nullptr)) {
    result.timed_out = true;
    kill(-pid, SIGKILL);
  }
  int status = 0;
  if (limited && !result.timed_out && !reap_before(pid, deadline, status)) {
    result.timed_out = true;
    kill(-pid, SIGKILL);
  }
  if (!limited || result.timed_out) {
    while (waitpid(pid, &status, 0) < 0) {
    }
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace corvatel::testing
