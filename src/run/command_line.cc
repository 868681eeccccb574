// Start-up before the lock: descriptors 0 to 2 made sure of, and the command line answered.
// Nothing of the program's own is created, opened or locked here.
#include "run/command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvatel {
namespace {

constexpr const char* kDefaultProgramName = "corvatel";
constexpr const char* kVersion = CORVATEL_VERSION;
constexpr const char* kBuildTag = "portbld";

constexpr const char* kHelpText =
    "Usage: %s [--help] [--version]\n"
    "\n"
    "Create ZFS snapshots based on the amount of data written\n"
    "\n"
    "Files:\n"
    "  Config: %s\n"
    "  Log:    %s\n"
    "  Lock:   %s\n"
    "\n"
    "Config fields, comma separated:\n"
    "  dataset,interval_minutes,retention,prefix,recursive,min_bytes\n"
    "\n"
    "Field notes:\n"
    "  dataset           ZFS dataset name (starts with a letter; no repeated/trailing '/')\n"
    "  interval_minutes  Minutes between snapshots. Intervals carry over hour boundaries and reset "
    "at midnight\n"
    "  retention         Number of matching snapshots to keep\n"
    "  prefix            Snapshot prefix using letters, numbers, '_' or '-'. Unique values prevent "
    "pruning snapshots from outside corvatel\n"
    "  recursive         yes or no. Yes: written bytes = parent + children; parent overrides "
    "configured child with same prefix\n"
    "  min_bytes         Minimum written bytes before snapshotting. Try 1000000 to limit unwanted "
    "snapshots from small metadata changes\n"
    "\n"
    "Example intervals:\n"
    "  50 evaluates at 00:00 00:50 01:40... 23:20 00:00 (not 00:10).\n"
    "  Intervals greater than 1439 only match at midnight.\n"
    "\n"
    "Example config line:\n"
    "  zroot/home,60,24,corvatel,no,1000000\n";

int repair_descriptor(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return 0;
  // Deliberately inheritable: children get the repaired descriptor as their own 0-2.
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd == -1) return -1;
  if (null_fd == fd) return 0;
  int duplicated = dup2(null_fd, fd);
  close(null_fd);
  return duplicated == -1 ? -1 : 0;
}

void print_usage_line(const char* program) {
  std::fprintf(stderr, "Usage: %s [--help] [--version]\n", program);
}

bool is_help(const char* arg) {
  if (std::strcmp(arg, "--help") == 0) return true;
  return arg[0] == '-' && arg[1] == 'h' && arg[2] == '\0';
}

bool is_version(const char* arg) {
  if (arg[0] != '-') return false;
  if (std::strcmp(arg, "--version") == 0) return true;
  return arg[1] == 'V' && arg[2] == '\0';
}

}  // namespace

RunPaths default_run_paths() {
  return {CORVATEL_CONFIG_PATH, CORVATEL_LOG_PATH, CORVATEL_LOCK_PATH, CORVATEL_ZFS_PATH};
}

const char* program_name(int argc, char** argv) {
  return argc >= 1 && argv != nullptr && argv[0] != nullptr ? argv[0] : kDefaultProgramName;
}

int repair_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (repair_descriptor(fd) != 0) return -1;
  return 0;
}

CommandLineOutcome handle_command_line(int argc, char** argv, const char* program,
                                       const RunPaths& paths) {
  if (argc <= 1) return {true, 0};
  if (argc > 2) {
    print_usage_line(program);
    return {false, 2};
  }
  const char* arg = argv[1];
  if (is_help(arg)) {
    std::printf(kHelpText, program, paths.config, paths.log, paths.lock);
    return {false, 0};
  }
  if (is_version(arg)) {
    std::printf("corvatel %s (%s)\n", kVersion, kBuildTag);
    return {false, 0};
  }
  std::fprintf(stderr, "%s: unknown option: %s\n", program, arg);
  print_usage_line(program);
  return {false, 2};
}

}  // namespace corvatel
