#include "plan/overlap.h"

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "config/names.h"
#include "log/log.h"
#include "plan/waves.h"

namespace corvatel {
namespace {

// A recursive job's place in the lookup order, and its mark. One array serves both, sorted
// by key for the lookups and then by position for the removal, so that the marks remain the
// only allocation.
struct CoverEntry {
  std::size_t job;
  bool covered;
};

// Orders entries by the job's prefix, then dataset, then position.
bool key_before(const JobList& list, const CoverEntry& a, const CoverEntry& b) {
  const SnapshotJob& x = list.items[a.job];
  const SnapshotJob& y = list.items[b.job];
  if (int order = x.prefix.compare(y.prefix); order != 0) return order < 0;
  if (int order = x.dataset.compare(y.dataset); order != 0) return order < 0;
  return a.job < b.job;
}

// True when a job with `prefix` stands on `dataset`; `entries` are in key order.
bool key_present(const JobList& list, const std::vector<CoverEntry>& entries,
                 std::string_view prefix, std::string_view dataset) {
  auto first = std::partition_point(entries.begin(), entries.end(), [&](const CoverEntry& entry) {
    const SnapshotJob& job = list.items[entry.job];
    if (int order = job.prefix.compare(prefix); order != 0) return order < 0;
    return job.dataset.compare(dataset) < 0;
  });
  if (first == entries.end()) return false;
  const SnapshotJob& job = list.items[first->job];
  return job.prefix == prefix && job.dataset == dataset;
}

// True when a job with the same prefix stands on an ancestor of the job's dataset.
bool has_recursive_ancestor(const JobList& list, const std::vector<CoverEntry>& entries,
                            const SnapshotJob& job) {
  return any_ancestor(job.dataset, [&](std::string_view ancestor) {
    return key_present(list, entries, job.prefix, ancestor);
  });
}

// Marks on the whole list first, so a job counts as covered even when its coverer is covered.
int remove_covered_recursive_jobs(JobList& recursive) {
  std::vector<CoverEntry> entries;
  try {
    entries.resize(recursive.items.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = {i, false};
  auto by_key = [&](const CoverEntry& a, const CoverEntry& b) {
    return key_before(recursive, a, b);
  };
  std::sort(entries.begin(), entries.end(), by_key);
  for (CoverEntry& entry : entries)
    entry.covered = has_recursive_ancestor(recursive, entries, recursive.items[entry.job]);
  std::sort(entries.begin(), entries.end(),
            [](const CoverEntry& a, const CoverEntry& b) { return a.job < b.job; });
  std::size_t index = 0;
  job_list_compact(recursive, [&](const SnapshotJob& job) {
    if (!entries[index++].covered) return true;
    log_event("Skipping %s: already covered by a recursive ancestor with prefix '%s'",
              job.dataset.c_str(), job.prefix.c_str());
    return false;
  });
  return 0;
}

// The config keys of the recursive jobs in byte order. Throws std::bad_alloc.
std::vector<std::string> sorted_recursive_keys(const JobList& recursive) {
  std::vector<std::string> keys;
  keys.reserve(recursive.items.size());
  for (const SnapshotJob& job : recursive.items)
    keys.push_back(config_key(job.dataset, job.prefix));
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::size_t longest_key(const JobList& list) {
  std::size_t longest = 0;
  for (const SnapshotJob& job : list.items)
    longest = std::max(longest, job.dataset.size() + 1 + job.prefix.size());
  return longest;
}

// Looks up the job's dataset and each of its ancestors. `probe` already has room for every
// key, so nothing is allocated while job_list_compact has jobs half moved.
bool is_covered(const SnapshotJob& job, const std::vector<std::string>& keys, std::string& probe) {
  auto listed = [&](std::string_view dataset) {
    probe.assign(dataset).push_back('\x1f');  // the config_key layout
    probe.append(job.prefix);
    return std::binary_search(keys.begin(), keys.end(), probe);
  };
  return listed(job.dataset) || any_ancestor(job.dataset, listed);
}

}  // namespace

int resolve_recursive_overlaps(JobList& recursive) {
  if (recursive.items.empty()) return 0;
  if (remove_covered_recursive_jobs(recursive) != 0) return -1;
  return assign_recursive_waves(recursive);
}

int drop_covered_standard_jobs(JobList& standard, const JobList& recursive) {
  if (standard.items.empty() || recursive.items.empty()) return 0;
  std::vector<std::string> keys;
  std::string probe;
  try {
    keys = sorted_recursive_keys(recursive);
    probe.reserve(longest_key(standard));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  job_list_compact(standard, [&](const SnapshotJob& job) {
    if (!is_covered(job, keys, probe)) return true;
    log_event("Skipping %s: covered by a recursive ancestor with prefix '%s'", job.dataset.c_str(),
              job.prefix.c_str());
    return false;
  });
  return 0;
}

}  // namespace corvatel
