// Overlap resolution: a recursive job snapshots its descendants too, so the recursive and
// standard jobs that one with the same prefix covers are dropped, each with a log line, before
// anything is snapshotted. Only the jobs due and above their threshold in this run take part,
// and a job is never covered by one with another prefix.
#include "plan/overlap.h"

#include <algorithm>
#include <new>
#include <numeric>
#include <string_view>
#include <vector>

#include "config/names.h"
#include "log/log.h"
#include "plan/waves.h"

namespace corvatel {
namespace {

// The recursive jobs' positions in order of prefix and then dataset: whether a recursive job
// with a given prefix stands on a given dataset is then a binary search that allocates nothing.
// The positions hold only while the list is not compacted.
class RecursiveIndex {
 public:
  explicit RecursiveIndex(const JobList& recursive) : list_(recursive) {}

  // -1 when memory ran out.
  int build() {
    try {
      order_.resize(list_.items.size());
    } catch (const std::bad_alloc&) {
      return -1;
    }
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
      return before(list_.items[a], list_.items[b].prefix, list_.items[b].dataset);
    });
    return 0;
  }

  // True when a recursive job with `prefix` stands on `dataset`.
  bool holds(std::string_view prefix, std::string_view dataset) const {
    auto first = std::partition_point(order_.begin(), order_.end(), [&](std::size_t job) {
      return before(list_.items[job], prefix, dataset);
    });
    if (first == order_.end()) return false;
    const SnapshotJob& job = list_.items[*first];
    return job.prefix == prefix && job.dataset == dataset;
  }

  // True when a recursive job with `prefix` stands on an ancestor of `dataset`.
  bool holds_on_ancestor(std::string_view prefix, std::string_view dataset) const {
    return any_ancestor(dataset,
                        [&](std::string_view ancestor) { return holds(prefix, ancestor); });
  }

 private:
  static bool before(const SnapshotJob& job, std::string_view prefix, std::string_view dataset) {
    if (int order = job.prefix.compare(prefix); order != 0) return order < 0;
    return job.dataset.compare(dataset) < 0;
  }

  const JobList& list_;
  std::vector<std::size_t> order_;
};

// Marks on the whole list first, so a job counts as covered even when its coverer is covered.
int remove_covered_recursive_jobs(JobList& recursive) {
  RecursiveIndex index(recursive);
  std::vector<bool> covered;
  if (index.build() != 0) return -1;
  try {
    covered.resize(recursive.items.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (std::size_t i = 0; i < covered.size(); ++i) {
    const SnapshotJob& job = recursive.items[i];
    covered[i] = index.holds_on_ancestor(job.prefix, job.dataset);
  }
  std::size_t position = 0;
  job_list_compact(recursive, [&](const SnapshotJob& job) {
    if (!covered[position++]) return true;
    log_event("Skipping %s: already covered by a recursive ancestor with prefix '%s'",
              job.dataset.c_str(), job.prefix.c_str());
    return false;
  });
  return 0;
}

}  // namespace

int resolve_recursive_overlaps(JobList& recursive) {
  if (recursive.items.empty()) return 0;
  if (remove_covered_recursive_jobs(recursive) != 0) return -1;
  return assign_recursive_waves(recursive);
}

int drop_covered_standard_jobs(JobList& standard, const JobList& recursive) {
  if (standard.items.empty() || recursive.items.empty()) return 0;
  RecursiveIndex index(recursive);
  if (index.build() != 0) return -1;
  // The lookups allocate nothing, so nothing fails while the compaction has jobs half moved.
  job_list_compact(standard, [&](const SnapshotJob& job) {
    if (!index.holds(job.prefix, job.dataset) && !index.holds_on_ancestor(job.prefix, job.dataset))
      return true;
    log_event("Skipping %s: covered by a recursive ancestor with prefix '%s'", job.dataset.c_str(),
              job.prefix.c_str());
    return false;
  });
  return 0;
}

}  // namespace corvatel
