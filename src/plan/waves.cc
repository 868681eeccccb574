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

void assign_initial_waves(JobList& list) {
  std::vector<SnapshotJob>& jobs = list.items;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    std::uint64_t wave = 0;
    for (std::size_t j = 0; j < i; ++j) {
      if (jobs[j].dataset == jobs[i].dataset) ++wave;
    }
    jobs[i].wave = wave;
  }
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
