// Waves: each job gets the wave of the zfs snapshot commands that may carry it, so that one
// command never names a dataset twice nor two overlapping -r trees. No two related jobs of a
// list share a wave (the same dataset; for recursive jobs also one an ancestor of the other).
#include "plan/waves.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <numeric>
#include <string_view>
#include <vector>

#include "config/names.h"
namespace corvatel {
namespace {

struct LengthPair {
  std::uint64_t index;
  std::uint64_t length;
};

// Each job's wave is the number of jobs before it in the list on the same dataset: with the
// positions sorted by dataset, and by position within one dataset, each dataset's jobs form one
// run in list order. -1 when memory ran out.
int assign_initial_waves(JobList& list) {
  std::vector<SnapshotJob>& jobs = list.items;
  std::vector<std::size_t> order;
  try {
    order.resize(jobs.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  std::iota(order.begin(), order.end(), std::size_t{0});
  // std::sort, not std::stable_sort, which would allocate and quietly do without on failure.
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    int by_name = jobs[a].dataset.compare(jobs[b].dataset);
    return by_name != 0 ? by_name < 0 : a < b;
  });
  for (std::size_t i = 0; i < order.size(); ++i) {
    bool same = i > 0 && jobs[order[i]].dataset == jobs[order[i - 1]].dataset;
    jobs[order[i]].wave = same ? jobs[order[i - 1]].wave + 1 : 0;
  }
  return 0;
}

// Where each recursive job was placed (its position in the length order), and the jobs in
// the order of their datasets and then of those positions, so that the jobs on one dataset
// placed before a given job form the start of one run.
struct Placement {
  std::vector<std::size_t> position;    // by job
  std::vector<std::size_t> by_dataset;  // jobs
  std::vector<std::uint64_t> held;      // scratch: the waves a job may not take

  // -1 when memory ran out.
  int build(const JobList& list, const std::vector<LengthPair>& pairs) {
    try {
      position.resize(pairs.size());
      by_dataset.resize(pairs.size());
      held.reserve(pairs.size());
    } catch (const std::bad_alloc&) {
      return -1;
    }
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      position[pairs[p].index] = p;
      by_dataset[p] = pairs[p].index;
    }
    std::sort(by_dataset.begin(), by_dataset.end(), [&](std::size_t a, std::size_t b) {
      int order = list.items[a].dataset.compare(list.items[b].dataset);
      return order != 0 ? order < 0 : position[a] < position[b];
    });
    return 0;
  }

  // Adds to `held` the waves of the jobs on `dataset` placed before position `before`.
  void gather(const JobList& list, std::string_view dataset, std::size_t before) {
    auto run = std::partition_point(by_dataset.begin(), by_dataset.end(), [&](std::size_t job) {
      return list.items[job].dataset < dataset;
    });
    for (; run != by_dataset.end() && list.items[*run].dataset == dataset; ++run) {
      if (position[*run] >= before) break;
      held.push_back(list.items[*run].wave);
    }
  }
};

// The job at sorted position `p` takes the smallest wave, not below its own, that no related
// job placed before it holds. Related jobs placed before it are those on its own dataset and
// on its ancestors (every ancestor is shorter, so placed before it), whose waves are final.
void settle_wave(JobList& list, Placement& placement, std::size_t job, std::size_t p) {
  std::string_view dataset = list.items[job].dataset;
  placement.held.clear();
  placement.gather(list, dataset, p);
  any_ancestor(dataset, [&](std::string_view ancestor) {
    placement.gather(list, ancestor, p);
    return false;
  });
  std::sort(placement.held.begin(), placement.held.end());
  std::uint64_t wave = list.items[job].wave;
  for (std::uint64_t taken : placement.held) {
    if (taken == wave) ++wave;
  }
  list.items[job].wave = wave;
}

}  // namespace

int assign_recursive_waves(JobList& recursive) {
  if (assign_initial_waves(recursive) != 0) return -1;
  std::vector<LengthPair> pairs;
  try {
    pairs.reserve(recursive.items.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (std::size_t i = 0; i < recursive.items.size(); ++i)
    pairs.push_back({i, recursive.items[i].dataset.size()});
  // Equal lengths in list order: the C++ libraries' sorts leave ties in different orders, and
  // the waves above a shared ancestor would then differ between FreeBSD and Linux.
  std::sort(pairs.begin(), pairs.end(), [](const LengthPair& a, const LengthPair& b) {
    return a.length != b.length ? a.length < b.length : a.index < b.index;
  });
  Placement placement;
  if (placement.build(recursive, pairs) != 0) return -1;
  for (std::size_t p = 1; p < pairs.size(); ++p)
    settle_wave(recursive, placement, pairs[p].index, p);
  return 0;
}

int assign_standard_waves(JobList& standard) { return assign_initial_waves(standard); }

}  // namespace corvatel
