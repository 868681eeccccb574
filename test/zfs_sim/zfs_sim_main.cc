// zfs-sim: a stand-in for zfs over the state folder named by ZFS_SIM_STATE.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "sim_model.h"
#include "zfs_sim.h"

namespace corvatel::testing {
namespace {

void write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

int fail(const std::string& message) {
  write_all(STDERR_FILENO, "zfs-sim: " + message + "\n");
  return 2;
}

void record_call(const std::string& dir, int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i ? "\t" : "") + escape_field(argv[i]);
  line += "\n";
  int fd = ::open((dir + "/calls").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  write_all(fd, line);
  ::close(fd);
}

void stall(double seconds) {
  if (seconds <= 0) return;
  timespec left{static_cast<std::time_t>(seconds),
                static_cast<long>((seconds - static_cast<double>(static_cast<std::time_t>(seconds))) * 1e9)};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// One invocation: counted and recorded, then the fault or the real command, state saved.
int simulate(const std::string& dir, int argc, char** argv) {
  // Serialises invocations; released by the kernel however this process ends.
  int lock = ::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) return fail("cannot lock " + dir);
  const std::string state_path = dir + "/state";
  SimModel model;
  std::string error;
  if (!load_model(state_path, model, error)) return fail(error);
  record_call(dir, argc, argv);

  std::vector<std::string> args(argv + 1, argv + argc);
  std::string kind = command_kind(args);
  const SimFault* fault = nullptr;
  if (!kind.empty()) fault = matching_fault(model, kind, ++model.call_counts[kind]);
  SimFault chosen = fault ? *fault : SimFault{};
  if (fault) stall(chosen.stall_seconds);

  SimOutput output;
  if (!fault || chosen.perform) output = run_sim_command(model, args);
  if (fault) apply_fault(chosen, output);
  if (!save_model(state_path, model)) return fail("cannot write " + state_path);
  ::close(lock);

  write_all(STDOUT_FILENO, output.out);
  write_all(STDERR_FILENO, output.err);
  if (fault && chosen.signal > 0) {
    std::signal(chosen.signal, SIG_DFL);
    ::kill(::getpid(), chosen.signal);
  }
  return output.status;
}

}  // namespace
}  // namespace corvatel::testing

int main(int argc, char** argv) {
  const char* dir = std::getenv("ZFS_SIM_STATE");
  if (dir == nullptr || dir[0] != '/') {
    std::fputs("zfs-sim: ZFS_SIM_STATE must name an absolute folder\n", stderr);
    return 2;
  }
  return corvatel::testing::simulate(dir, argc, argv);
}
