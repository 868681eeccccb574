#include "plan/waves.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "config/names.h"

namespace corvatel {
namespace {

struct LengthPair {
  std::uint64_t index;
  std::uint64_t length;
};

constexpr std::uint64_t LOW_HALF = 0xffffffff;

// Each job's wave is the number of jobs before it in the list on the same dataset. The jobs
// are sorted in place by dataset and put back in list order, so that nothing is allocated and
// no job is compared with every other; meanwhile `wave` holds the job's list position in its
// upper half and the count in its lower half.
void assign_initial_waves(JobList& list) {
  std::vector<SnapshotJob>& jobs = list.items;
  for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i].wave = std::uint64_t{i} << 32;
  std::sort(jobs.begin(), jobs.end(), [](const SnapshotJob& a, const SnapshotJob& b) {
    int order = a.dataset.compare(b.dataset);
    return order != 0 ? order < 0 : a.wave < b.wave;
  });
  for (std::size_t i = 1; i < jobs.size(); ++i) {
    if (jobs[i].dataset == jobs[i - 1].dataset) jobs[i].wave |= (jobs[i - 1].wave & LOW_HALF) + 1;
  }
  std::sort(jobs.begin(), jobs.end(),
            [](const SnapshotJob& a, const SnapshotJob& b) { return a.wave < b.wave; });
  for (SnapshotJob& job : jobs) job.wave &= LOW_HALF;
}

bool related(const SnapshotJob& a, const SnapshotJob& b) {
  return a.dataset == b.dataset || dataset_is_ancestor(a.dataset, b.dataset) ||
         dataset_is_ancestor(b.dataset, a.dataset);
}

// Raises the wave of the job at sorted position `p` until no related job before it holds it.
void settle_wave(JobList& list, const std::vector<LengthPair>& pairs, std::size_t p) {
  SnapshotJob& job = list.items[pairs[p].index];
  std::size_t k = 0;
  while (k < p) {
    const SnapshotJob& other = list.items[pairs[k].index];
    if (other.wave == job.wave && related(other, job)) {
      job.wave = other.wave + 1;
      k = 0;  // an earlier position may hold the new wave
      continue;
    }
    ++k;
  }
}

}  // namespace

int assign_recursive_waves(JobList& recursive) {
  assign_initial_waves(recursive);
  std::vector<LengthPair> pairs;
  try {
    pairs.reserve(recursive.items.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (std::size_t i = 0; i < recursive.items.size(); ++i)
    pairs.push_back({i, recursive.items[i].dataset.size()});
  std::sort(pairs.begin(), pairs.end(),
            [](const LengthPair& a, const LengthPair& b) { return a.length < b.length; });
  for (std::size_t p = 1; p < pairs.size(); ++p) settle_wave(recursive, pairs, p);
  return 0;
}

void assign_standard_waves(JobList& standard) { assign_initial_waves(standard); }

}  // namespace corvatel
