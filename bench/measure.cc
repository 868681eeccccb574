// Runs commands and reports what each cost, from wait4: user and system CPU time in
// microseconds, the peak resident set size in KiB and the minor page faults (for a process
// that ran children, the CPU times and faults include the children it waited for). Where
// /proc/PID/schedstat exists, also the CPU time of the process alone, read while it is a
// zombie: that leaves out its children, including what their exit costs the kernel, which no
// child can report for itself.
//
//   corvatel-bench-measure run CMD [ARG...]
//     prints "user_us system_us maxrss_kb minor_faults exit_status own_us" of CMD (own_us is
//     -1 where it cannot be read).
//   corvatel-bench-measure pipe N PRODUCER [ARG...] CONSUMER [ARG...]
//     runs the first N words as a producer whose standard output is piped into the consumer,
//     whose standard output goes to /dev/null; prints the consumer's figures as for run,
//     then the producer's.
//   corvatel-bench-measure touch MIB
//     writes one byte to each page of MIB fresh MiB of memory; prints the CPU time per page
//     in nanoseconds and the minor faults taken: what this machine charges for a new page.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Cost {
  long user_us = 0;
  long system_us = 0;
  long maxrss_kb = 0;
  long minor_faults = 0;
  int status = -1;
  long own_us = -1;
};

long micros(const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; }

// Forks argv with `in` and `out` as standard input and output (-1: inherited).
pid_t start(char** argv, int in, int out) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (in >= 0 && ::dup2(in, STDIN_FILENO) < 0) ::_exit(127);
  if (out >= 0 && ::dup2(out, STDOUT_FILENO) < 0) ::_exit(127);
  ::execvp(argv[0], argv);
  std::fprintf(stderr, "corvatel-bench-measure: %s: %s\n", argv[0], std::strerror(errno));
  ::_exit(127);
}

// The CPU time the exited, not yet reaped process spent itself, from its main thread's
// schedstat (the programs measured here have one thread); -1 when it cannot be read.
long own_micros(pid_t pid) {
  siginfo_t info{};
  int waited;
  do {
    waited = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (waited < 0 && errno == EINTR);
  if (waited != 0) return -1;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/schedstat", static_cast<long>(pid));
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return -1;
  unsigned long long ns = 0;
  int fields = std::fscanf(file, "%llu", &ns);
  std::fclose(file);
  return fields == 1 ? static_cast<long>(ns / 1000) : -1;
}

Cost finish(pid_t pid) {
  Cost cost;
  cost.own_us = own_micros(pid);
  int status = 0;
  rusage usage{};
  pid_t got;
  do {
    got = ::wait4(pid, &status, 0, &usage);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return cost;
  cost.user_us = micros(usage.ru_utime);
  cost.system_us = micros(usage.ru_stime);
  cost.maxrss_kb = usage.ru_maxrss;
  cost.minor_faults = usage.ru_minflt;
  cost.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return cost;
}

void print(const Cost& cost) {
  std::printf("%ld %ld %ld %ld %d %ld\n", cost.user_us, cost.system_us, cost.maxrss_kb,
              cost.minor_faults, cost.status, cost.own_us);
}

int touch_pages(long mib) {
  std::size_t size = static_cast<std::size_t>(mib) << 20;
  long page = ::sysconf(_SC_PAGESIZE);
  void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::perror("corvatel-bench-measure: mmap");
    return 1;
  }
  rusage before{};
  rusage after{};
  ::getrusage(RUSAGE_SELF, &before);
  auto* bytes = static_cast<volatile char*>(memory);
  for (std::size_t at = 0; at < size; at += static_cast<std::size_t>(page)) bytes[at] = 1;
  ::getrusage(RUSAGE_SELF, &after);
  long us = micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime) -
            micros(before.ru_stime);
  long pages = static_cast<long>(size) / page;
  std::printf("%ld %ld\n", us * 1000 / pages, after.ru_minflt - before.ru_minflt);
  ::munmap(memory, size);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "Usage: corvatel-bench-measure run CMD [ARG...]\n"
               "       corvatel-bench-measure pipe N PRODUCER [ARG...] CONSUMER [ARG...]\n"
               "       corvatel-bench-measure touch MIB\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "run") == 0) {
    print(finish(start(argv + 2, -1, -1)));
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "touch") == 0) {
    long mib = std::atol(argv[2]);
    return mib > 0 ? touch_pages(mib) : usage();
  }
  if (argc < 5 || std::strcmp(argv[1], "pipe") != 0) return usage();
  int words = std::atoi(argv[2]);
  if (words < 1 || words + 3 >= argc) return usage();
  std::vector<char*> producer(argv + 3, argv + 3 + words);
  producer.push_back(nullptr);
  char** consumer = argv + 3 + words;
  int fds[2];
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0 || ::pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("corvatel-bench-measure");
    return 1;
  }
  pid_t producer_pid = start(producer.data(), -1, fds[1]);
  pid_t consumer_pid = start(consumer, fds[0], null_fd);
  ::close(fds[0]);
  ::close(fds[1]);
  ::close(null_fd);
  Cost consumer_cost = finish(consumer_pid);
  Cost producer_cost = finish(producer_pid);
  print(consumer_cost);
  print(producer_cost);
  return 0;
}
