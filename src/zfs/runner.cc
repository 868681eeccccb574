// The command runner, the one place a child is started: zfs without a shell, its standard output
// handed line by line to the caller, its standard error logged, then reaped. Both pipes are read
// to their end in one poll loop before the child is reaped, so it never blocks on a full pipe.
#include "zfs/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "base/ascii.h"
#include "base/unique_fd.h"
#include "log/log.h"

namespace corvatel {
namespace {

constexpr std::size_t kLineLimit = 511;
using SteadyClock = std::chrono::steady_clock;

// How long a child killed at its deadline is given to die before it is left unreaped.
constexpr auto kKillWait = std::chrono::milliseconds(200);
// The pause between two looks at a child that has closed its output but not yet exited.
constexpr long kReapPollNanoseconds = 5'000'000;

// Large reads: a listing of a million snapshots is tens of megabytes.
constexpr std::size_t kReadSize = 65536;
// 511 NUL bytes written as "\x00" each, and the terminator.
constexpr std::size_t kMessageSize = kLineLimit * 4 + 1;

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

int make_pipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  pipe.read_end.reset(fds[0]);
  pipe.write_end.reset(fds[1]);
  return 0;
}

struct OutputChannel {
  UniqueFd fd;
  LineHandler handler = nullptr;
  void* user_data = nullptr;
  int is_stderr = 0;
  char line[kLineLimit + 1];
  std::uint64_t length = 0;
  int failed = 0;

  bool active() const { return fd.get() >= 0; }
};

// Owns a forked child until it has been reaped.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ~ChildProcess() {
    if (pid_ > 0) wait_for_exit();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Reaps the child; fills the two exit fields of `result`.
  void reap(CommandResult& result) {
    int status = 0;
    pid_t got = wait_for_exit(&status);
    record_exit(got, status, result);
  }

  /// Reaps the child if it exits before `deadline`, as reap() does; false (child kept) when it
  /// is still running then.
  bool reap_before(SteadyClock::time_point deadline, CommandResult& result) {
    int status = 0;
    pid_t got = poll_for_exit(deadline, status);
    if (got == 0) return false;
    pid_ = -1;
    record_exit(got, status, result);
    return true;
  }

  /// Kills the child and reaps it if it dies within kKillWait; else gives it up unreaped, to be
  /// reaped by init once this process has ended.
  void kill_and_release() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    poll_for_exit(SteadyClock::now() + kKillWait, status);
    pid_ = -1;
  }

 private:
  static void record_exit(pid_t got, int status, CommandResult& result) {
    if (got > 0 && WIFEXITED(status)) {
      result.exited_normally = true;
      result.exit_status = WEXITSTATUS(status);
    } else {
      result.exited_normally = false;
      result.exit_status = -1;
    }
  }

  // waitpid without blocking, looked at again every few milliseconds until `deadline`; 0 when
  // the child is still running then.
  pid_t poll_for_exit(SteadyClock::time_point deadline, int& status) {
    for (;;) {
      pid_t got = ::waitpid(pid_, &status, WNOHANG);
      if (got != 0 && !(got < 0 && errno == EINTR)) return got;
      if (SteadyClock::now() >= deadline) return 0;
      timespec pause{0, kReapPollNanoseconds};
      ::nanosleep(&pause, nullptr);
    }
  }

  pid_t wait_for_exit(int* status = nullptr) {
    int ignored = 0;
    pid_t got;
    do {
      got = ::waitpid(pid_, status ? status : &ignored, 0);
    } while (got < 0 && errno == EINTR);
    pid_ = -1;
    return got;
  }

  pid_t pid_;
};

void flush_stderr_line(OutputChannel& channel) {
  std::size_t end = channel.length;
  while (end > 0 && is_ascii_space(channel.line[end - 1])) --end;
  if (end == 0) return;
  char message[kMessageSize];
  std::size_t out = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (channel.line[i] == '\0') {
      std::memcpy(message + out, "\\x00", 4);
      out += 4;
    } else {
      message[out++] = channel.line[i];
    }
  }
  message[out] = '\0';
  log_event("Error: zfs: %s", message);
}

// Hands one standard-output line of `length` bytes to the handler, its byte after the line
// becoming its terminator.
void deliver_stdout_line(OutputChannel& channel, char* line, std::size_t length) {
  if (std::memchr(line, '\0', length) != nullptr) {
    log_event("Error: zfs stdout contained a NUL byte");
    channel.failed = 1;
    return;
  }
  line[length] = '\0';
  if (channel.failed) return;
  if (channel.handler(line, channel.user_data) != 0) channel.failed = 1;
}

void flush_stdout_line(OutputChannel& channel) {
  deliver_stdout_line(channel, channel.line, channel.length);
}

void flush_line(OutputChannel& channel) {
  if (channel.is_stderr)
    flush_stderr_line(channel);
  else
    flush_stdout_line(channel);
  channel.length = 0;
}

// Appends bytes that hold no newline; a full line is flushed before the next byte is added.
void append_bytes(OutputChannel& channel, const char* bytes, std::size_t count) {
  while (count > 0) {
    if (channel.length == kLineLimit) {
      if (!channel.is_stderr) channel.failed = 1;
      flush_line(channel);
    }
    std::size_t room = kLineLimit - channel.length;
    std::size_t taken = count < room ? count : room;
    std::memcpy(channel.line + channel.length, bytes, taken);
    channel.length += taken;
    bytes += taken;
    count -= taken;
  }
}

// Takes the bytes in order: each newline flushes the line and is not stored. A whole
// standard-output line within the bytes is handed on where it lies (its newline becomes its
// terminator) instead of being copied first: a listing has a million of them.
void take_bytes(OutputChannel& channel, char* bytes, std::size_t count) {
  while (count > 0) {
    const void* newline = std::memchr(bytes, '\n', count);
    std::size_t before =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - bytes) : count;
    if (newline != nullptr && !channel.is_stderr && channel.length == 0 &&
        before <= kLineLimit) {
      deliver_stdout_line(channel, bytes, before);
    } else {
      append_bytes(channel, bytes, before);
      if (newline == nullptr) return;
      flush_line(channel);
    }
    bytes += before + 1;
    count -= before + 1;
  }
}

void close_channel(OutputChannel& channel) {
  if (channel.length != 0) {
    if (channel.is_stderr) {
      flush_line(channel);
    } else {
      channel.failed = 1;
      channel.length = 0;
    }
  }
  channel.fd.reset();
}

void read_channel(OutputChannel& channel) {
  char buffer[kReadSize];
  ssize_t got = ::read(channel.fd.get(), buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return;
  if (got < 0) channel.failed = 1;
  if (got <= 0) {
    close_channel(channel);
    return;
  }
  take_bytes(channel, buffer, static_cast<std::size_t>(got));
}

// Milliseconds until `deadline` for poll, rounded up; -1 without a deadline.
int poll_timeout(const SteadyClock::time_point* deadline) {
  if (deadline == nullptr) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock::now());
  if (left.count() <= 0) return 0;
  return left.count() > 60'000 ? 60'000 : static_cast<int>(left.count());
}

void abandon_channels(OutputChannel& out, OutputChannel& err) {
  for (OutputChannel* channel : {&out, &err}) {
    if (!channel->active()) continue;
    channel->failed = 1;
    channel->fd.reset();
  }
}

// Drains both channels in one poll loop, so a child writing much to both never blocks. With a
// deadline, gives up on both channels once it has passed: false then.
bool read_until_closed(OutputChannel& out, OutputChannel& err,
                       const SteadyClock::time_point* deadline) {
  OutputChannel* const channels[2] = {&out, &err};
  while (out.active() || err.active()) {
    if (deadline != nullptr && SteadyClock::now() >= *deadline) {
      abandon_channels(out, err);
      return false;
    }
    pollfd set[2];
    OutputChannel* owners[2];
    nfds_t count = 0;
    for (OutputChannel* channel : channels) {
      if (!channel->active()) continue;
      set[count] = pollfd{channel->fd.get(), POLLIN, 0};
      owners[count++] = channel;
    }
    if (::poll(set, count, poll_timeout(deadline)) < 0) {
      if (errno == EINTR) continue;
      for (nfds_t i = 0; i < count; ++i) {
        owners[i]->failed = 1;
        owners[i]->fd.reset();
      }
      return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if ((set[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) read_channel(*owners[i]);
    }
  }
  return true;
}

// Ignored signals and the blocked mask survive execv: without this, zfs would inherit
// corvatel's ignored SIGPIPE and SIGXFSZ and whatever its own starter ignored or blocked.
// Runs in the vforked child, which has its own dispositions and mask.
void reset_signals(int last_signal) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  // SIGKILL, SIGSTOP and the numbers the C library keeps for itself refuse; that is fine.
  for (int sig = 1; sig <= last_signal; ++sig) ::sigaction(sig, &default_action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs in the vforked child, on our memory: only async-signal-safe system calls, and never
// returns.
[[noreturn]] void exec_child(const char* const* argv, const Pipe& out, const Pipe& err,
                             bool with_handler, int last_signal) {
  reset_signals(last_signal);
  if (with_handler) {
    if (::dup2(out.write_end.get(), STDOUT_FILENO) < 0) ::_exit(127);
    ::close(out.write_end.get());
    ::close(out.read_end.get());
  } else {
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0) ::_exit(127);
    ::close(null_fd);
  }
  if (::dup2(err.write_end.get(), STDERR_FILENO) < 0) ::_exit(127);
  ::close(err.write_end.get());
  ::close(err.read_end.get());
  ::execv(argv[0], const_cast<char* const*>(argv));
  ::_exit(127);
}

// vfork, not fork: fork copies the page tables of the whole process, so with a million names
// in the inventory every destroy would cost in proportion to the inventory. The child only
// makes the system calls of exec_child and then execs or exits; it never returns here.
pid_t start_child(const char* const* argv, const Pipe& out, const Pipe& err, bool with_handler) {
  // Read here: on some systems SIGRTMAX is a library call, not a constant.
  const int last_signal = SIGRTMAX;
  pid_t pid = ::vfork();
  if (pid == 0) exec_child(argv, out, err, with_handler, last_signal);
  return pid;
}

// run_zfs, with `limit` null, or run_zfs_within.
CommandResult run_child(const char* const* argv, LineHandler handler, void* user_data,
                        TimeLimit* limit) {
  Pipe out;
  Pipe err;
  if (handler != nullptr && make_pipe(out) != 0) return {true, false, 0};
  if (make_pipe(err) != 0) return {true, false, 0};
  pid_t pid = start_child(argv, out, err, handler != nullptr);
  if (pid < 0) return {true, false, 0};

  ChildProcess child(pid);
  out.write_end.reset();
  err.write_end.reset();
  OutputChannel out_channel;
  out_channel.fd.reset(out.read_end.release());
  out_channel.handler = handler;
  out_channel.user_data = user_data;
  OutputChannel err_channel;
  err_channel.fd.reset(err.read_end.release());
  err_channel.is_stderr = 1;
  const SteadyClock::time_point* deadline = limit ? &limit->deadline : nullptr;
  bool in_time = read_until_closed(out_channel, err_channel, deadline);

  CommandResult result;
  result.output_failed = err_channel.failed || (handler != nullptr && out_channel.failed);
  if (limit == nullptr) {
    child.reap(result);
    return result;
  }
  if (in_time && child.reap_before(limit->deadline, result)) return result;
  child.kill_and_release();
  limit->passed = true;
  return {true, false, -1};
}

}  // namespace

CommandResult run_zfs(const char* const* argv, LineHandler handler, void* user_data) {
  return run_child(argv, handler, user_data, nullptr);
}

CommandResult run_zfs_within(const char* const* argv, LineHandler handler, void* user_data,
                             TimeLimit& limit) {
  if (SteadyClock::now() >= limit.deadline) {
    limit.passed = true;
    return {true, false, 0};
  }
  return run_child(argv, handler, user_data, &limit);
}

bool command_succeeded(const CommandResult& result) {
  return !result.output_failed && result.exited_normally && result.exit_status == 0;
}

}  // namespace corvatel
