// The check reads the configuration with corvatel's own reader, so that the entries it judges
// and the lines it calls invalid are exactly corvatel's.
#include "check/entries.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "check/messages.h"
#include "config/configuration.h"
#include "config/job_list.h"

namespace corvatel {
namespace {

// Every interval divides minute 0, local midnight: read at it, every valid line is a job.
constexpr std::int64_t kEveryEntryIsDue = 0;

void add_entries(const JobList& list, bool recursive, std::vector<CheckEntry>& entries) {
  for (const SnapshotJob& job : list.items)
    entries.push_back({job.dataset, job.prefix, recursive, job.interval, job.retention,
                       job.min_bytes});
}

// The stream's read; the configuration error flag, or -1 with `problem` after a read error.
int read_stream(std::FILE* stream, const char* path, JobList& standard, JobList& recursive,
                std::string& problem) {
  LineBuffer line;
  ConfigKeySet keys;
  int read_errno = 0;
  int flag = read_configuration(stream, line, kEveryEntryIsDue, standard, recursive, keys,
                                read_errno);
  if (std::feof(stream)) return flag;
  problem = std::string("cannot read ") + path + ": " + std::strerror(read_errno);
  return -1;
}

}  // namespace

int read_check_configuration(const char* path, LibraryMessages& messages,
                             CheckConfiguration& configuration, std::string& problem) {
  std::FILE* stream = std::fopen(path, "re");
  if (stream == nullptr) {
    problem = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return -1;
  }
  JobList standard;
  JobList recursive;
  int flag = read_stream(stream, path, standard, recursive, problem);
  if (std::fclose(stream) != 0 && flag >= 0) {
    problem = std::string("cannot close ") + path + ": " + std::strerror(errno);
    flag = -1;
  }
  configuration.rejected = messages.take();
  if (flag < 0) return -1;
  if (flag == kConfigLineLost) {
    problem = std::string("out of memory while reading ") + path;
    return -1;
  }
  add_entries(standard, false, configuration.entries);
  add_entries(recursive, true, configuration.entries);
  std::sort(configuration.entries.begin(), configuration.entries.end(),
            [](const CheckEntry& a, const CheckEntry& b) {
              return a.dataset != b.dataset ? a.dataset < b.dataset : a.prefix < b.prefix;
            });
  return 0;
}

}  // namespace corvatel
