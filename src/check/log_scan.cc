// Reading corvatel's log between two checks, or over a window of time, without missing a line
// when newsyslog or logrotate rotates it in between and without reading a line twice.
#include "check/log_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "check/times.h"
#include "base/unique_fd.h"

namespace corvatel {
namespace {

constexpr std::size_t kFingerprintBytes = 256;
constexpr std::size_t kReadBytes = 65536;
// Longer lines are cut to this (corvatel's own are under 3 KiB).
constexpr std::size_t kLongestLine = 65536;
// How long the zfs lines at the end of the log wait for the line that says what they meant.
constexpr std::int64_t kZfsLineWait = 60;
constexpr std::string_view kZfs = "Error: zfs: ";

std::uint64_t fnv1a(const char* data, std::size_t size) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string reason(const char* what, const std::string& path) {
  return std::string("cannot ") + what + " " + path + ": " + std::strerror(errno);
}

// The fingerprint of the bytes before `offset`; nullopt when they cannot be read.
std::optional<std::uint64_t> fingerprint_before(int fd, std::uint64_t offset) {
  char bytes[kFingerprintBytes];
  std::size_t size = offset < kFingerprintBytes ? static_cast<std::size_t>(offset)
                                                : kFingerprintBytes;
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, bytes + got, size - got,
                        static_cast<off_t>(offset - size + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  return fnv1a(bytes, size);
}

struct OpenedFile {
  UniqueFd fd;
  struct stat info {};
};

// Opens a log file for reading; false with errno when it cannot be opened or looked at.
bool open_file(const std::string& path, OpenedFile& file) {
  file.fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  return file.fd.get() >= 0 && ::fstat(file.fd.get(), &file.info) == 0;
}

bool fits(const OpenedFile& file, const LogPosition& position) {
  if (static_cast<std::uint64_t>(file.info.st_size) < position.offset) return false;
  auto fingerprint = fingerprint_before(file.fd.get(), position.offset);
  return fingerprint && *fingerprint == position.fingerprint;
}

bool same_file(const OpenedFile& file, const LogPosition& position) {
  return static_cast<std::uint64_t>(file.info.st_dev) == position.device &&
         static_cast<std::uint64_t>(file.info.st_ino) == position.inode;
}

// Hands every whole line from `from` on to visit(line, start, end); a last line without its
// newline is left (corvatel may be writing it). The offset after the last whole line goes to
// `end`. False with errno when reading fails.
template <class Visit>
bool read_lines(int fd, std::uint64_t from, std::uint64_t& end, Visit&& visit) {
  std::string pending;  // the start of a line that goes on in the next read
  std::uint64_t pending_start = from;
  std::uint64_t offset = from;
  end = from;
  char buffer[kReadBytes];
  for (;;) {
    ssize_t got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    std::string_view bytes(buffer, static_cast<std::size_t>(got));
    while (!bytes.empty()) {
      std::size_t newline = bytes.find('\n');
      std::string_view piece = bytes.substr(0, newline);
      if (pending.size() < kLongestLine)
        pending.append(piece.substr(0, kLongestLine - pending.size()));
      if (newline == std::string_view::npos) {
        offset += bytes.size();
        break;
      }
      offset += newline + 1;
      visit(std::string_view(pending), pending_start, offset);
      end = offset;
      pending.clear();
      pending_start = offset;
      bytes.remove_prefix(newline + 1);
    }
  }
}

// The rotated copies beside the log: files named like it with "." and digits added, which
// newsyslog and logrotate leave uncompressed (compressed ones end in .gz, .bz2, .xz, .zst).
std::vector<std::string> rotated_copies(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::vector<std::string> copies;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return copies;
  while (const dirent* item = ::readdir(dir)) {
    std::string_view name(item->d_name);
    if (!name.starts_with(base + ".")) continue;
    std::string_view suffix = name.substr(base.size() + 1);
    if (suffix.empty() ||
        !std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    copies.push_back(folder + "/" + std::string(name));
  }
  ::closedir(dir);
  std::sort(copies.begin(), copies.end());
  return copies;
}

// The rotated copy that holds the previous reading's file: the same inode, or the same bytes
// before the previous offset (a copy made before truncating). Without bytes before it (an
// empty file then), only the inode tells.
bool find_previous_file(const std::string& path, const LogPosition& previous, OpenedFile& file) {
  std::vector<std::string> copies = rotated_copies(path);
  for (bool by_inode : {true, false}) {
    if (!by_inode && previous.offset == 0) break;
    for (const std::string& copy : copies) {
      OpenedFile candidate;
      if (!open_file(copy, candidate) || !S_ISREG(candidate.info.st_mode)) continue;
      if (by_inode != same_file(candidate, previous) || !fits(candidate, previous)) continue;
      file.fd.reset(candidate.fd.release());
      file.info = candidate.info;
      return true;
    }
  }
  return false;
}

// Reads the current log from `from`, leaving zfs lines at its end that are still waiting for
// their judgement line when they are under a minute old.
bool read_current(OpenedFile& file, std::uint64_t from, std::int64_t now, LogLineSorter& sorter,
                  LogPosition& end) {
  std::uint64_t waiting_from = from;
  bool waiting = false;
  std::uint64_t after = from;
  bool read = read_lines(file.fd.get(), from, after,
                         [&](std::string_view line, std::uint64_t start, std::uint64_t) {
                           bool zfs = log_message(line).starts_with(kZfs);
                           if (zfs && !waiting) waiting_from = start;
                           waiting = zfs;
                           sorter.take(line);
                         });
  if (!read) return false;
  std::vector<std::optional<std::int64_t>> moments = sorter.waiting_moments();
  if (!moments.empty() && moments.back() && *moments.back() >= now - kZfsLineWait &&
      *moments.back() <= now + kZfsLineWait) {
    sorter.put_back_waiting();
    after = waiting_from;
  } else {
    sorter.finish();
  }
  end.device = static_cast<std::uint64_t>(file.info.st_dev);
  end.inode = static_cast<std::uint64_t>(file.info.st_ino);
  end.offset = after;
  end.fingerprint = fingerprint_before(file.fd.get(), after).value_or(0);
  return true;
}

// The end of the last whole line of the file, for a reading that starts there.
bool skip_to_end(OpenedFile& file, LogPosition& end) {
  std::uint64_t size = static_cast<std::uint64_t>(file.info.st_size);
  // Only the last newline matters: read from a little before the end.
  std::uint64_t from = size > kLongestLine ? size - kLongestLine : 0;
  std::uint64_t after = from;
  if (!read_lines(file.fd.get(), from, after, [](std::string_view, std::uint64_t, std::uint64_t) {}))
    return false;
  end.device = static_cast<std::uint64_t>(file.info.st_dev);
  end.inode = static_cast<std::uint64_t>(file.info.st_ino);
  end.offset = after;
  end.fingerprint = fingerprint_before(file.fd.get(), after).value_or(0);
  return true;
}

}  // namespace

int read_log_since(const char* path, const std::optional<LogPosition>& previous,
                   std::int64_t now, const EntryIndex& index, LogReading& reading,
                   std::string& problem) {
  const std::string log_path = path;
  LogLineSorter sorter(index, reading.lines);
  OpenedFile current;
  if (!open_file(log_path, current)) {
    if (errno != ENOENT) {
      problem = reason("read", log_path);
      return -1;
    }
    reading.notes.push_back("no log at " + log_path + " yet");
    reading.end = LogPosition{};
    return 0;
  }
  if (!previous) {
    if (!skip_to_end(current, reading.end)) {
      problem = reason("read", log_path);
      return -1;
    }
    reading.notes.push_back("the log is read from its end on");
    return 0;
  }
  std::uint64_t from = 0;
  if (same_file(current, *previous) && fits(current, *previous)) {
    from = previous->offset;
  } else if (previous->inode != 0) {
    OpenedFile earlier;
    if (find_previous_file(log_path, *previous, earlier)) {
      std::uint64_t ignored = 0;
      if (!read_lines(earlier.fd.get(), previous->offset, ignored,
                      [&](std::string_view line, std::uint64_t, std::uint64_t) {
                        sorter.take(line);
                      })) {
        problem = reason("read", log_path + " (its rotated copy)");
        return -1;
      }
      sorter.finish();
      reading.notes.push_back("the log was rotated; its rotated copy was read on");
    } else {
      reading.notes.push_back(
          "the log was rotated and its previous file is not beside it uncompressed: lines "
          "logged between the previous check and the rotation were not read");
    }
  }
  if (!read_current(current, from, now, sorter, reading.end)) {
    problem = reason("read", log_path);
    return -1;
  }
  return 0;
}

int read_log_window(const char* path, std::int64_t from, const EntryIndex& index,
                    LogReading& reading, std::string& problem) {
  const std::string log_path = path;
  LogLineSorter sorter(index, reading.lines);
  std::vector<std::pair<std::int64_t, std::string>> files;  // by time of last change
  for (const std::string& copy : rotated_copies(log_path)) {
    struct stat info {};
    if (::stat(copy.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_mtime >= from)
      files.emplace_back(static_cast<std::int64_t>(info.st_mtime), copy);
  }
  std::sort(files.begin(), files.end());
  files.emplace_back(0, log_path);
  bool in_window = true;  // a line of unknown time goes with the line before it
  for (const auto& [changed, file_path] : files) {
    OpenedFile file;
    if (!open_file(file_path, file)) {
      if (errno == ENOENT && file_path == log_path) {
        reading.notes.push_back("no log at " + log_path + " yet");
        continue;
      }
      problem = reason("read", file_path);
      return -1;
    }
    std::uint64_t ignored = 0;
    bool read = read_lines(file.fd.get(), 0, ignored,
                           [&](std::string_view line, std::uint64_t, std::uint64_t) {
                             std::optional<std::int64_t> moment;
                             log_message(line, &moment);
                             if (moment) in_window = *moment >= from;
                             if (in_window) sorter.take(line);
                           });
    if (!read) {
      problem = reason("read", file_path);
      return -1;
    }
    if (file_path != log_path) reading.notes.push_back("read " + file_path + " too");
  }
  sorter.finish();
  return 0;
}

}  // namespace corvatel
