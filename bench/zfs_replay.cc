// The zfs stand-in of the benchmark: "get" and "list" copy the pre-generated output of the
// scenario folder (CORVATEL_BENCH_REPLAY) to standard output as cat would; "snapshot" and
// "destroy" print nothing. Every call appends "kind user_us system_us minor_faults" of its own
// to CORVATEL_BENCH_CALLS, so that a run's invocations can be counted and their cost taken out
// of the run's total; with CORVATEL_BENCH_ARGV set, it also appends its argument vector there.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool copy_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  static char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    if (!write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got))) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

bool append_line(const char* path, const std::string& line) {
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write_all(fd, line.data(), line.size());
  return ::close(fd) == 0 && ok;
}

long micros(const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; }

}  // namespace

int main(int argc, char** argv) {
  const char* folder = std::getenv("CORVATEL_BENCH_REPLAY");
  std::string kind = argc > 1 ? argv[1] : "";
  if (folder == nullptr) {
    std::fprintf(stderr, "corvatel-zfs-replay: CORVATEL_BENCH_REPLAY is not set\n");
    return 2;
  }
  bool ok = true;
  if (kind == "get" || kind == "list") {
    ok = copy_file(std::string(folder) + "/" + kind + ".out");
  } else if (kind != "snapshot" && kind != "destroy") {
    std::fprintf(stderr, "corvatel-zfs-replay: unexpected invocation '%s'\n", kind.c_str());
    return 2;
  }
  if (const char* record = std::getenv("CORVATEL_BENCH_ARGV")) {
    std::string line;
    for (int i = 1; i < argc; ++i) (line += i > 1 ? "\t" : "") += argv[i];
    ok = append_line(record, line + "\n") && ok;
  }
  if (const char* calls = std::getenv("CORVATEL_BENCH_CALLS")) {
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    ok = append_line(calls, kind + " " + std::to_string(micros(self.ru_utime)) + " " +
                                std::to_string(micros(self.ru_stime)) + " " +
                                std::to_string(self.ru_minflt) + "\n") &&
         ok;
  }
  if (!ok) std::fprintf(stderr, "corvatel-zfs-replay: %s failed: %s\n", kind.c_str(),
                        std::strerror(errno));
  return ok ? 0 : 1;
}
