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

bool has_recursive_ancestor(const JobList& list, std::size_t i) {
  const SnapshotJob& job = list.items[i];
  for (std::size_t j = 0; j < list.items.size(); ++j) {
    const SnapshotJob& other = list.items[j];
    if (j != i && other.prefix == job.prefix && dataset_is_ancestor(other.dataset, job.dataset))
      return true;
  }
  return false;
}

// Marks on the whole list first, so a job counts as covered even when its coverer is covered.
int remove_covered_recursive_jobs(JobList& recursive) {
  std::vector<char> covered;
  try {
    covered.resize(recursive.items.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (std::size_t i = 0; i < covered.size(); ++i)
    covered[i] = has_recursive_ancestor(recursive, i);
  std::size_t index = 0;
  job_list_compact(recursive, [&](const SnapshotJob& job) {
    if (!covered[index++]) return true;
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

// Looks up the job's dataset, then each ancestor up to the pool. `probe` already has room
// for every key, so nothing is allocated while job_list_compact has jobs half moved.
bool is_covered(const SnapshotJob& job, const std::vector<std::string>& keys, std::string& probe) {
  std::string_view candidate = job.dataset;
  for (;;) {
    probe.assign(candidate).push_back('\x1f');  // the config_key layout
    probe.append(job.prefix);
    if (std::binary_search(keys.begin(), keys.end(), probe)) return true;
    std::size_t slash = candidate.rfind('/');
    if (slash == std::string_view::npos) return false;
    candidate = candidate.substr(0, slash);
  }
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
