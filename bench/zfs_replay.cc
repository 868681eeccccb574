// The zfs stand-in of the benchmark: "get" and "list" copy the pre-generated output of the
// scenario folder (CORVATEL_BENCH_REPLAY) to standard output as cat would; "snapshot" and
// "destroy" print nothing. Every call appends "kind user_us system_us minor_faults" of its own
// to CORVATEL_BENCH_CALLS, so that a run's invocations can be counted and their cost taken out
// of the run's total; with CORVATEL_BENCH_ARGV set, it also appends its argument vector there.
// Failures on demand, to compare builds on runs with failed batches: CORVATEL_BENCH_FAIL names
// pools (separated by blanks) whose "snapshot" invocations fail (a line on standard error,
// status 1); CORVATEL_BENCH_UNLISTED names pools whose snapshots of the run's time
// (RUN_STAMP) "list" leaves out, as if a failed batch had created nothing there.
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

constexpr const char* RUN_STAMP = "_2025-03-01_12:00:00p0000";

// True when the pool of `name` (its text before the first "/" or "@") is a word of `pools`.
bool in_pools(const char* pools, const std::string& name) {
  if (pools == nullptr) return false;
  std::string pool = name.substr(0, name.find_first_of("/@"));
  std::string words = std::string(" ") + pools + " ";
  return words.find(" " + pool + " ") != std::string::npos;
}

// Copies the listing without the run's snapshots on the unlisted pools.
bool copy_listing(const std::string& path, const char* unlisted) {
  std::FILE* in = std::fopen(path.c_str(), "re");
  if (in == nullptr) return false;
  char* line = nullptr;
  std::size_t size = 0;
  std::string stamp = RUN_STAMP;
  bool ok = true;
  for (ssize_t got; (got = ::getline(&line, &size, in)) > 0;) {
    std::string text(line, static_cast<std::size_t>(got));
    std::string name = text.substr(0, text.size() - 1);
    if (name.size() > stamp.size() && name.ends_with(stamp) && in_pools(unlisted, name)) continue;
    if (!write_all(STDOUT_FILENO, text.data(), text.size())) {
      ok = false;
      break;
    }
  }
  std::free(line);
  std::fclose(in);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* folder = std::getenv("CORVATEL_BENCH_REPLAY");
  std::string kind = argc > 1 ? argv[1] : "";
  if (folder == nullptr) {
    std::fprintf(stderr, "corvatel-zfs-replay: CORVATEL_BENCH_REPLAY is not set\n");
    return 2;
  }
  bool ok = true;
  bool refused = false;
  const char* unlisted = std::getenv("CORVATEL_BENCH_UNLISTED");
  if (kind == "list" && unlisted != nullptr) {
    ok = copy_listing(std::string(folder) + "/list.out", unlisted);
  } else if (kind == "get" || kind == "list") {
    ok = copy_file(std::string(folder) + "/" + kind + ".out");
  } else if (kind == "snapshot") {
    const char* failing = std::getenv("CORVATEL_BENCH_FAIL");
    for (int i = 2; i < argc; ++i) refused = refused || in_pools(failing, argv[i]);
    if (refused) std::fprintf(stderr, "cannot create snapshots : pool refused by the stand-in\n");
  } else if (kind != "destroy") {
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
  return ok && !refused ? 0 : 1;
}
