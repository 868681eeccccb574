#include "plan/waves.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "allocation_fault.h"
#include "config/names.h"
#include "job_lists.h"

namespace corvatel {
namespace {

using testing::AllocationFailure;
using testing::job_list;
using testing::JobSpec;

// Every wave starts at a stale value, so an unassigned wave shows.
std::vector<JobSpec> with_stale_waves(std::vector<JobSpec> jobs) {
  for (JobSpec& job : jobs) job.wave = 7;
  return jobs;
}

std::vector<std::uint64_t> waves(const JobList& list) {
  std::vector<std::uint64_t> result;
  for (const SnapshotJob& job : list.items) result.push_back(job.wave);
  return result;
}

struct WaveCase {
  const char* name;
  std::vector<JobSpec> jobs;
  std::vector<std::uint64_t> waves;
};

TEST(AssignRecursiveWaves, SeparatesEqualAndAncestorDatasets) {
  const std::vector<WaveCase> cases = {
      {"equal datasets", {{"tank", "a"}, {"tank", "b"}}, {0, 1}},
      {"ancestor first", {{"tank", "a"}, {"tank/home", "b"}}, {0, 1}},
      {"ancestor last", {{"tank/home", "b"}, {"tank", "a"}}, {1, 0}},
      {"bumped past two equal ancestors",
       {{"tank", "a"}, {"tank", "b"}, {"tank/x", "c"}},
       {0, 1, 2}},
      {"descendant listed before equal ancestors",
       {{"tank/x", "c"}, {"tank", "a"}, {"tank", "b"}},
       {2, 0, 1}},
      {"chain", {{"tank/a/b", "p"}, {"tank/a", "q"}, {"tank", "r"}}, {2, 1, 0}},
      {"grandparent only", {{"tank", "p"}, {"tank/a/b", "q"}}, {0, 1}},
      {"siblings", {{"tank/a", "x"}, {"tank/b", "x"}}, {0, 0}},
      {"different pools", {{"tank", "x"}, {"data/x", "x"}}, {0, 0}},
      {"pool name prefix", {{"tank", "x"}, {"tanker/a", "x"}}, {0, 0}},
      {"name prefix is no ancestor", {{"tank/home", "x"}, {"tank/homework", "x"}}, {0, 0}},
      {"siblings share the wave above their parent",
       {{"tank/a", "x"}, {"tank", "y"}, {"tank/b", "x"}, {"data", "y"}},
       {1, 0, 1, 0}},
      {"single job", {{"tank/home", "x"}}, {0}},
      {"empty list", {}, {}},
  };
  for (const WaveCase& c : cases) {
    SCOPED_TRACE(c.name);
    JobList recursive = job_list(with_stale_waves(c.jobs));
    EXPECT_EQ(assign_recursive_waves(recursive), 0);
    EXPECT_EQ(waves(recursive), c.waves);
  }
}

TEST(AssignRecursiveWaves, EqualLengthJobsTakeTheNextWavesInListOrder) {
  JobList recursive = job_list(with_stale_waves({{"tank/a", "x"}, {"tank/a", "y"}, {"tank", "z"}}));
  EXPECT_EQ(assign_recursive_waves(recursive), 0);
  EXPECT_EQ(waves(recursive), (std::vector<std::uint64_t>{1, 2, 0}));
}

// Enough jobs of one length for the sort to move them about: the waves above an ancestor's
// still follow the list, so that one configuration gives the same commands with any C++
// library.
TEST(AssignRecursiveWaves, ManyEqualLengthJobsTakeTheirWavesInListOrder) {
  for (std::size_t count : {8u, 41u, 200u}) {
    SCOPED_TRACE(count);
    std::vector<JobSpec> entries;
    std::vector<std::uint64_t> expected;
    std::uint64_t on_home = 0, on_data = 0;
    for (std::size_t i = 0; i < count; ++i) {
      bool home = i % 3 != 1;  // two datasets of one length, interleaved
      entries.push_back({home ? "tank/home" : "data/home", "p" + std::to_string(i)});
      expected.push_back(1 + (home ? on_home++ : on_data++));
    }
    entries.push_back({"tank", "q"});
    entries.push_back({"data", "q"});
    expected.insert(expected.end(), {0, 0});
    JobList recursive = job_list(with_stale_waves(entries));
    ASSERT_EQ(assign_recursive_waves(recursive), 0);
    EXPECT_EQ(waves(recursive), expected);
  }
}

// Either allocation (the initial waves' order, then the length pairs) fails the call.
TEST(AssignRecursiveWaves, AllocationFailureFailsTheCall) {
  for (std::size_t allowed : {0u, 1u}) {
    SCOPED_TRACE(allowed);
    JobList recursive = job_list(with_stale_waves({{"tank", "a"}, {"tank/x", "c"}, {"tank", "b"}}));
    int result;
    {
      AllocationFailure failure(allowed);
      result = assign_recursive_waves(recursive);
      EXPECT_TRUE(failure.fired());
    }
    EXPECT_EQ(result, -1);
  }
  // With the pairs' allocation failing, the initial waves are in place.
  JobList recursive = job_list(with_stale_waves({{"tank", "a"}, {"tank/x", "c"}, {"tank", "b"}}));
  {
    AllocationFailure failure(1);
    EXPECT_EQ(assign_recursive_waves(recursive), -1);
  }
  EXPECT_EQ(waves(recursive), (std::vector<std::uint64_t>{0, 0, 1}));
}

TEST(AssignStandardWaves, CountsEarlierJobsOnTheSameDatasetOnly) {
  const std::vector<WaveCase> cases = {
      {"same dataset twice, then its pool",
       {{"tank/a", "x"}, {"tank/a", "y"}, {"tank", "z"}},
       {0, 1, 0}},
      {"three on one dataset between others",
       {{"tank", "a"}, {"data", "a"}, {"tank", "b"}, {"tank/a", "a"}, {"tank", "c"}},
       {0, 0, 1, 0, 2}},
      {"ancestors do not count", {{"tank", "x"}, {"tank/a", "x"}, {"tank/a/b", "x"}}, {0, 0, 0}},
      {"empty list", {}, {}},
  };
  for (const WaveCase& c : cases) {
    SCOPED_TRACE(c.name);
    JobList standard = job_list(with_stale_waves(c.jobs));
    ASSERT_EQ(assign_standard_waves(standard), 0);
    EXPECT_EQ(waves(standard), c.waves);
  }
}

TEST(AssignStandardWaves, ManyJobsGetTheEarlierSameDatasetCountAndKeepTheirOrder) {
  std::mt19937 random(5);
  for (std::size_t count : {0u, 1u, 2u, 17u, 5000u}) {
    SCOPED_TRACE(count);
    std::vector<JobSpec> entries;
    for (std::size_t i = 0; i < count; ++i) {
      // Few datasets, so that many repeat; one is a prefix of another in text.
      std::string dataset = random() % 3 ? "tank/d" + std::to_string(random() % 40) : "tank/d1";
      entries.push_back({dataset, "p" + std::to_string(i)});
    }
    JobList standard = job_list(with_stale_waves(entries));
    ASSERT_EQ(assign_standard_waves(standard), 0);
    ASSERT_EQ(standard.items.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint64_t earlier = 0;
      for (std::size_t j = 0; j < i; ++j) earlier += entries[j].dataset == entries[i].dataset;
      ASSERT_EQ(standard.items[i].dataset, entries[i].dataset) << i;
      ASSERT_EQ(standard.items[i].prefix, entries[i].prefix) << i;
      ASSERT_EQ(standard.items[i].wave, earlier) << i;
    }
  }
}

// The wave rule as a rescan over every job placed before: raise the job's wave past any
// related job holding it, and start the scan again after every raise.
std::vector<std::uint64_t> waves_by_rescan(const std::vector<JobSpec>& entries) {
  struct Pair {
    std::uint64_t index;
    std::uint64_t length;
  };
  std::vector<SnapshotJob> jobs;
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SnapshotJob job;
    job.dataset = entries[i].dataset;
    for (std::size_t j = 0; j < i; ++j) job.wave += entries[j].dataset == entries[i].dataset;
    jobs.push_back(job);
    pairs.push_back({i, entries[i].dataset.size()});
  }
  // Shortest first, equal lengths in list order.
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& a, const Pair& b) { return a.length < b.length; });
  auto related = [](const SnapshotJob& a, const SnapshotJob& b) {
    return a.dataset == b.dataset || dataset_is_ancestor(a.dataset, b.dataset) ||
           dataset_is_ancestor(b.dataset, a.dataset);
  };
  for (std::size_t p = 1; p < pairs.size(); ++p) {
    SnapshotJob& job = jobs[pairs[p].index];
    std::size_t k = 0;
    while (k < p) {
      const SnapshotJob& other = jobs[pairs[k].index];
      if (other.wave == job.wave && related(other, job)) {
        job.wave = other.wave + 1;
        k = 0;
        continue;
      }
      ++k;
    }
  }
  std::vector<std::uint64_t> result;
  for (const SnapshotJob& job : jobs) result.push_back(job.wave);
  return result;
}

TEST(AssignStandardWaves, AllocationFailureFailsTheCallAndKeepsTheJobs) {
  JobList standard = job_list(with_stale_waves({{"tank/a", "x"}, {"tank/a", "y"}, {"tank", "z"}}));
  {
    AllocationFailure failure(0);
    EXPECT_EQ(assign_standard_waves(standard), -1);
    EXPECT_TRUE(failure.fired());
  }
  ASSERT_EQ(standard.items.size(), 3u);
  EXPECT_EQ(standard.items[1].prefix, "y");
}

TEST(AssignRecursiveWaves, GivesTheWavesOfARescanOverEveryEarlierJob) {
  std::mt19937 random(9);
  const std::vector<std::string> parts = {"a", "b", "ab"};
  for (int trial = 0; trial < 400; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<JobSpec> entries;
    std::size_t count = random() % 60;
    for (std::size_t i = 0; i < count; ++i) {
      // Few names, so that datasets repeat, nest deeply and have equal lengths.
      std::string dataset = random() % 2 ? "tank" : "data";
      for (auto depth = random() % 4; depth > 0; --depth)
        dataset += "/" + parts[random() % parts.size()];
      entries.push_back({dataset, "p" + std::to_string(i)});
    }
    JobList recursive = job_list(with_stale_waves(entries));
    ASSERT_EQ(assign_recursive_waves(recursive), 0);
    ASSERT_EQ(waves(recursive), waves_by_rescan(entries));
  }
}

}  // namespace
}  // namespace corvatel
