#ifndef CORVATEL_CONFIG_JOB_LIST_H
#define CORVATEL_CONFIG_JOB_LIST_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvatel {

/// One configuration entry that is due in this run.
struct SnapshotJob {
  std::string dataset;
  std::string prefix;
  std::int64_t retention = 0;
  // A wave is a group of one pool's jobs that may share a zfs snapshot command: one command
  // never names a dataset twice, nor two recursive jobs whose trees overlap, so such jobs get
  // different waves, and each wave's commands end before the next wave's begin.
  std::uint64_t wave = 0;
  bool failed = false;  // the snapshot command that carried it failed
  std::int64_t written_total = -1;  // -1: no total yet
  std::int64_t min_bytes = 0;
  std::int64_t interval = 0;  // minutes; only corvatel-check looks at it
};

/// Jobs in configuration-file order; count is items.size(), capacity items.capacity().
struct JobList {
  std::vector<SnapshotJob> items;
};

/// Appends a job (capacity 32 first, then doubling); 0, or -1 with the jobs untouched.
[[nodiscard]] int job_list_append(JobList& list, std::string_view dataset,
                                  std::string_view prefix, std::int64_t retention,
                                  std::int64_t min_bytes);

/// Drops every job for which keep(job) is false, keeping order; capacity never shrinks.
template <class Keep>
void job_list_compact(JobList& list, Keep&& keep) {
  std::size_t write = 0;
  for (std::size_t read = 0; read < list.items.size(); ++read) {
    if (!keep(list.items[read])) continue;
    if (read != write) list.items[write] = std::move(list.items[read]);
    ++write;
  }
  list.items.erase(list.items.begin() + static_cast<std::ptrdiff_t>(write), list.items.end());
}

}  // namespace corvatel

#endif
