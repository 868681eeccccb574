#include "check/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string_view>

#include "check/replace_file.h"

namespace corvatel {
namespace {

constexpr std::string_view kHeader = "corvatel-check state 1";
constexpr long kLockPollNanoseconds = 50'000'000;

std::string reason(const char* what, const std::string& path) {
  return std::string("cannot ") + what + " " + path + ": " + std::strerror(errno);
}

std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  for (;;) {
    std::size_t at = line.find(separator);
    fields.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return fields;
    line.remove_prefix(at + 1);
  }
}

bool number(std::string_view text, std::int64_t& value) {
  std::string copy(text);
  if (copy.empty() || copy[0] == ' ' || copy[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool unsigned_number(std::string_view text, int base, std::uint64_t& value) {
  std::string copy(text);
  if (copy.empty() || copy[0] == '-' || copy[0] == ' ' || copy[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(copy.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool parse_observed(const std::vector<std::string_view>& f, CheckState& state) {
  return f.size() == 3 && number(f[1], state.observed) && number(f[2], state.monotonic_ms);
}

bool parse_log(const std::vector<std::string_view>& f, CheckState& state) {
  LogPosition position;
  if (f.size() != 5 || !unsigned_number(f[1], 10, position.device) ||
      !unsigned_number(f[2], 10, position.inode) || !unsigned_number(f[3], 10, position.offset) ||
      !unsigned_number(f[4], 16, position.fingerprint))
    return false;
  state.log = position;
  return true;
}

bool parse_entry(const std::vector<std::string_view>& f, CheckState& state) {
  EntryRecord record;
  if (f.size() != 8 || f[1].empty() || f[2].empty() || (f[3] != "yes" && f[3] != "no") ||
      !number(f[4], record.interval) || !number(f[5], record.min_bytes))
    return false;
  record.dataset = f[1];
  record.prefix = f[2];
  record.recursive = f[3] == "yes";
  if (f[6] != "-") {
    std::int64_t since = 0;
    if (!number(f[6], since)) return false;
    record.pending_since = since;
  }
  if (f[7] != "-") {
    if (f[7].find('@') == std::string_view::npos) return false;
    record.newest_any = f[7];
  }
  state.entries.push_back(std::move(record));
  return true;
}

bool parse_line(std::string_view line, CheckState& state, bool& observed) {
  std::vector<std::string_view> f = split(line, '\t');
  if (f[0] == "observed" && !observed) return observed = parse_observed(f, state);
  if (f[0] == "log" && !state.log) return parse_log(f, state);
  if (f[0] == "entry") return parse_entry(f, state);
  return false;
}

// Reads what the descriptor holds from its start; false when reading fails.
bool read_all(int fd, std::string& text) {
  char buffer[65536];
  for (off_t offset = 0;;) {
    ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
}

// Opens the file, making its folder when that alone is missing; -1 with errno.
int open_creating(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd >= 0 || errno != ENOENT) return fd;
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return -1;
  if (::mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return -1;
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
}

// True when `fd` is still the file at `path`, not one that a finished check renamed away.
bool still_at_path(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

std::string format_state(const CheckState& state) {
  std::string text(kHeader);
  text += "\nobserved\t" + std::to_string(state.observed) + "\t" +
          std::to_string(state.monotonic_ms) + "\n";
  if (state.log) {
    char fingerprint[32];
    std::snprintf(fingerprint, sizeof fingerprint, "%016" PRIx64, state.log->fingerprint);
    text += "log\t" + std::to_string(state.log->device) + "\t" + std::to_string(state.log->inode) +
            "\t" + std::to_string(state.log->offset) + "\t" + fingerprint + "\n";
  }
  for (const EntryRecord& e : state.entries) {
    text += "entry\t" + e.dataset + "\t" + e.prefix + "\t" + (e.recursive ? "yes" : "no") + "\t" +
            std::to_string(e.interval) + "\t" + std::to_string(e.min_bytes) + "\t" +
            (e.pending_since ? std::to_string(*e.pending_since) : "-") + "\t" +
            (e.newest_any.empty() ? "-" : e.newest_any) + "\n";
  }
  return text;
}

bool parse_state(std::string_view text, CheckState& state) {
  state = CheckState{};
  if (!text.ends_with('\n')) return false;
  text.remove_suffix(1);
  std::vector<std::string_view> lines = split(text, '\n');
  if (lines[0] != kHeader) return false;
  bool observed = false;
  std::set<std::pair<std::string_view, std::string_view>> keys;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (!parse_line(lines[i], state, observed)) return false;
  }
  for (const EntryRecord& e : state.entries) {
    if (!keys.emplace(e.dataset, e.prefix).second) return false;
  }
  return observed;
}

int StateFile::open(const std::string& path, std::chrono::steady_clock::time_point deadline,
                    std::string& problem) {
  path_ = path;
  for (;;) {
    fd_.reset(open_creating(path));
    if (fd_.get() < 0) {
      problem = reason("open", path);
      return -1;
    }
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
      if (still_at_path(fd_.get(), path)) return 0;
      continue;  // replaced while we waited: lock the new one
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      problem = reason("lock", path);
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      problem = path + " is locked by another check";
      return -1;
    }
    timespec pause{0, kLockPollNanoseconds};
    ::nanosleep(&pause, nullptr);
  }
}

bool StateFile::read(CheckState& state, std::string& why) {
  std::string text;
  if (!read_all(fd_.get(), text)) {
    why = reason("read", path_);
    return false;
  }
  if (text.empty()) {
    why = "no previous state";
    return false;
  }
  if (!parse_state(text, state)) {
    why = "the state in " + path_ + " is unreadable";
    return false;
  }
  return true;
}

int StateFile::write(const CheckState& state, std::string& problem) {
  return replace_file(path_, format_state(state), problem);
}

}  // namespace corvatel
