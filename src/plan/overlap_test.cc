#include "plan/overlap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "allocation_fault.h"
#include "job_lists.h"
#include "log_capture.h"

namespace corvatel {
namespace {

using testing::AllocationFailure;
using testing::job_list;
using testing::JobSpec;
using testing::LogCapture;

// Each job as "dataset@prefix", in list order.
std::vector<std::string> describe(const JobList& list) {
  std::vector<std::string> jobs;
  for (const SnapshotJob& job : list.items) jobs.push_back(job.dataset + "@" + job.prefix);
  return jobs;
}

std::vector<std::uint64_t> waves(const JobList& list) {
  std::vector<std::uint64_t> result;
  for (const SnapshotJob& job : list.items) result.push_back(job.wave);
  return result;
}

std::string already_covered(const std::string& dataset, const std::string& prefix) {
  return "Skipping " + dataset + ": already covered by a recursive ancestor with prefix '" +
         prefix + "'";
}

std::string covered(const std::string& dataset, const std::string& prefix) {
  return "Skipping " + dataset + ": covered by a recursive ancestor with prefix '" + prefix + "'";
}

struct RecursiveCase {
  const char* name;
  std::vector<JobSpec> recursive;
  std::vector<std::string> kept;
  std::vector<std::string> messages;
};

TEST(ResolveRecursiveOverlaps, RemovesOnlySamePrefixDescendantsWithTheirLine) {
  const std::vector<RecursiveCase> cases = {
      {"same prefix",
       {{"tank", "daily"}, {"tank/home", "daily"}},
       {"tank@daily"},
       {already_covered("tank/home", "daily")}},
      {"descendant listed first",
       {{"tank/home", "daily"}, {"tank", "daily"}},
       {"tank@daily"},
       {already_covered("tank/home", "daily")}},
      {"different prefixes",
       {{"tank", "daily"}, {"tank/home", "hourly"}},
       {"tank@daily", "tank/home@hourly"},
       {}},
      {"name prefix is no ancestor",
       {{"tank/home", "daily"}, {"tank/homework", "daily"}},
       {"tank/home@daily", "tank/homework@daily"},
       {}},
      {"pool name prefix is no ancestor",
       {{"tank", "daily"}, {"tanker/a", "daily"}},
       {"tank@daily", "tanker/a@daily"},
       {}},
      {"three generations",
       {{"tank", "daily"}, {"tank/a", "daily"}, {"tank/a/b", "daily"}},
       {"tank@daily"},
       {already_covered("tank/a", "daily"), already_covered("tank/a/b", "daily")}},
      {"three generations, youngest first",
       {{"tank/a/b", "daily"}, {"tank/a", "daily"}, {"tank", "daily"}},
       {"tank@daily"},
       {already_covered("tank/a/b", "daily"), already_covered("tank/a", "daily")}},
      {"covered only by a covered job",
       {{"tank/a", "daily"}, {"tank/a/b", "hourly"}, {"tank/a/b/c", "daily"}, {"tank", "daily"}},
       {"tank/a/b@hourly", "tank@daily"},
       {already_covered("tank/a", "daily"), already_covered("tank/a/b/c", "daily")}},
      {"single job", {{"tank/home", "daily"}}, {"tank/home@daily"}, {}},
      {"empty list", {}, {}, {}},
  };
  for (const RecursiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    JobList recursive = job_list(c.recursive);
    EXPECT_EQ(resolve_recursive_overlaps(recursive), 0);
    EXPECT_EQ(describe(recursive), c.kept);
    EXPECT_EQ(capture.messages(), c.messages);
  }
}

TEST(ResolveRecursiveOverlaps, GoesOnToAssignWaves) {
  JobList recursive = job_list({{"tank/home", "b"}, {"tank", "a"}, {"tank/home/x", "b"}});
  for (SnapshotJob& job : recursive.items) job.wave = 9;
  EXPECT_EQ(resolve_recursive_overlaps(recursive), 0);
  EXPECT_EQ(describe(recursive), (std::vector<std::string>{"tank/home@b", "tank@a"}));
  EXPECT_EQ(waves(recursive), (std::vector<std::uint64_t>{1, 0}));
}

TEST(ResolveRecursiveOverlaps, MarksAllocationFailureLeavesTheListUnchanged) {
  LogCapture capture;
  JobList recursive = job_list({{"tank", "daily"}, {"tank/home", "daily"}});
  for (SnapshotJob& job : recursive.items) job.wave = 9;
  int result;
  {
    AllocationFailure failure(0);
    result = resolve_recursive_overlaps(recursive);
    EXPECT_TRUE(failure.fired());
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(describe(recursive), (std::vector<std::string>{"tank@daily", "tank/home@daily"}));
  EXPECT_EQ(waves(recursive), (std::vector<std::uint64_t>{9, 9}));
  EXPECT_EQ(capture.messages(), std::vector<std::string>{});
}

TEST(ResolveRecursiveOverlaps, WaveAllocationFailureKeepsRemovalsAndInitialWaves) {
  LogCapture capture;
  JobList recursive = job_list({{"tank", "a"}, {"tank", "b"}, {"tank/x", "a"}, {"tank/y", "c"}});
  for (SnapshotJob& job : recursive.items) job.wave = 9;
  int result;
  {
    AllocationFailure failure(3);  // the index, the marks and the waves' order succeed
    result = resolve_recursive_overlaps(recursive);
    EXPECT_TRUE(failure.fired());
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(describe(recursive), (std::vector<std::string>{"tank@a", "tank@b", "tank/y@c"}));
  EXPECT_EQ(waves(recursive), (std::vector<std::uint64_t>{0, 1, 0}));
  EXPECT_EQ(capture.messages(), std::vector<std::string>{already_covered("tank/x", "a")});
}

struct StandardCase {
  const char* name;
  std::vector<JobSpec> recursive;
  std::vector<JobSpec> standard;
  std::vector<std::string> kept;
  std::vector<std::string> messages;
};

TEST(DropCoveredStandardJobs, RemovesJobsAtOrBelowSamePrefixRecursiveJobs) {
  const std::vector<StandardCase> cases = {
      {"grandparent covers",
       {{"tank", "daily"}},
       {{"tank/home/user", "daily"}},
       {},
       {covered("tank/home/user", "daily")}},
      {"parent covers",
       {{"tank/home", "daily"}},
       {{"tank/home/user", "daily"}},
       {},
       {covered("tank/home/user", "daily")}},
      {"own dataset covers",
       {{"tank/home", "daily"}},
       {{"tank/home", "daily"}},
       {},
       {covered("tank/home", "daily")}},
      {"different prefix stays",
       {{"tank", "weekly"}},
       {{"tank/home", "daily"}},
       {"tank/home@daily"},
       {}},
      {"descendant never covers its ancestor",
       {{"tank/home", "daily"}},
       {{"tank", "daily"}},
       {"tank@daily"},
       {}},
      {"name prefix is no ancestor",
       {{"tank/home", "daily"}},
       {{"tank/homework", "daily"}},
       {"tank/homework@daily"},
       {}},
      {"pool name prefix is no ancestor",
       {{"tank", "daily"}},
       {{"tanker/a", "daily"}},
       {"tanker/a@daily"},
       {}},
      {"prefix that extends the recursive prefix stays",
       {{"tank", "daily"}},
       {{"tank/a", "daily2"}, {"tank/b", "dail"}},
       {"tank/a@daily2", "tank/b@dail"},
       {}},
      {"list order kept and logged",
       {{"data", "daily"}, {"tank", "daily"}, {"tank/a", "weekly"}},
       {{"tank/a", "daily"},
        {"zroot/x", "daily"},
        {"tank/b", "weekly"},
        {"tank/a/b", "weekly"},
        {"data/c/d", "daily"}},
       {"zroot/x@daily", "tank/b@weekly"},
       {covered("tank/a", "daily"), covered("tank/a/b", "weekly"), covered("data/c/d", "daily")}},
      {"empty recursive list",
       {},
       {{"tank/a", "daily"}, {"tank", "daily"}},
       {"tank/a@daily", "tank@daily"},
       {}},
      {"empty standard list", {{"tank", "daily"}}, {}, {}, {}},
  };
  for (const StandardCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    JobList recursive = job_list(c.recursive);
    JobList standard = job_list(c.standard);
    EXPECT_EQ(drop_covered_standard_jobs(standard, recursive), 0);
    EXPECT_EQ(describe(standard), c.kept);
    EXPECT_EQ(capture.messages(), c.messages);
    EXPECT_EQ(describe(recursive), describe(job_list(c.recursive)));
  }
}

TEST(DropCoveredStandardJobs, EmptyRecursiveListAllocatesNothing) {
  JobList recursive;
  JobList standard = job_list({{"tank/a", "daily"}});
  AllocationFailure failure(0);
  EXPECT_EQ(drop_covered_standard_jobs(standard, recursive), 0);
  EXPECT_FALSE(failure.fired());
}

TEST(DropCoveredStandardJobs, EveryAllocationFailureLeavesTheStandardListUnchanged) {
  JobList recursive = job_list({{"tank/projects-2026", "daily"},
                                {"data/archive-of-2026", "daily"},
                                {"tank/projects-2026/b", "weekly"}});
  const std::vector<JobSpec> entries = {{"tank/projects-2026/x", "daily"},
                                        {"data/archive-of-2026/b", "daily"},
                                        {"data", "daily"},
                                        {"tank/projects-2026/b/c", "weekly"}};
  std::size_t failures = 0;
  for (std::size_t allowed = 0;; ++allowed) {
    SCOPED_TRACE(allowed);
    LogCapture capture;
    JobList standard = job_list(entries);
    int result;
    bool fired;
    {
      AllocationFailure failure(allowed);
      result = drop_covered_standard_jobs(standard, recursive);
      fired = failure.fired();
    }
    if (!fired) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(describe(standard), std::vector<std::string>{"data@daily"});
      break;
    }
    ++failures;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(describe(standard), describe(job_list(entries)));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{});
  }
  EXPECT_GE(failures, 1u);
}

// A reproducible random configuration: nested names over a few pools, a few prefixes, and no
// dataset/prefix pair twice across both lists.
class RandomPlan {
 public:
  explicit RandomPlan(std::uint32_t seed) : random_(seed) {}

  void fill(JobList& recursive, JobList& standard) {
    pools_ = 2 + pick(2);
    prefixes_ = 1 + pick(3);
    std::vector<std::string> taken;
    add_jobs(recursive, pick(26), taken);
    add_jobs(standard, pick(16), taken);
  }

 private:
  std::size_t pick(std::size_t n) { return random_() % n; }  // mt19937 output is portable

  std::string dataset() {
    static const char* const pools[] = {"tank", "data", "zroot"};
    static const char* const parts[] = {"a", "ab", "b", "a b"};
    std::string name = pools[pick(pools_)];
    for (std::size_t depth = pick(4); depth > 0; --depth) name += std::string("/") + parts[pick(4)];
    return name;
  }

  void add_jobs(JobList& list, std::size_t count, std::vector<std::string>& taken) {
    static const char* const prefixes[] = {"p", "q", "r"};
    while (count > 0) {
      std::string dataset_name = dataset();
      std::string prefix = prefixes[pick(prefixes_)];
      std::string key = dataset_name + "@" + prefix;
      if (std::find(taken.begin(), taken.end(), key) != taken.end()) continue;
      taken.push_back(key);
      ASSERT_EQ(job_list_append(list, dataset_name, prefix, 1, 0), 0);
      --count;
    }
  }

  std::mt19937 random_;
  std::size_t pools_ = 2;
  std::size_t prefixes_ = 1;
};

bool is_ancestor(const std::string& a, const std::string& b) {
  return b.size() > a.size() && b.compare(0, a.size(), a) == 0 && b[a.size()] == '/';
}

bool is_related(const SnapshotJob& a, const SnapshotJob& b) {
  return a.dataset == b.dataset || is_ancestor(a.dataset, b.dataset) ||
         is_ancestor(b.dataset, a.dataset);
}

// True when some job of `list` other than `self` has the prefix and sits at or above the dataset.
bool has_cover(const JobList& list, const SnapshotJob& job, bool at_counts,
               const SnapshotJob* self) {
  for (const SnapshotJob& other : list.items) {
    if (&other == self || other.prefix != job.prefix) continue;
    if (is_ancestor(other.dataset, job.dataset) || (at_counts && other.dataset == job.dataset))
      return true;
  }
  return false;
}

void check_recursive_result(const JobList& before, const JobList& after,
                            const std::vector<std::string>& log) {
  std::vector<std::string> kept, lines;
  for (const SnapshotJob& job : before.items) {
    if (has_cover(before, job, false, &job))
      lines.push_back(already_covered(job.dataset, job.prefix));
    else
      kept.push_back(job.dataset + "@" + job.prefix);
  }
  EXPECT_EQ(describe(after), kept);
  EXPECT_EQ(log, lines);
  for (const SnapshotJob& job : after.items)
    EXPECT_FALSE(has_cover(after, job, false, &job)) << job.dataset;
}

void check_recursive_waves(const JobList& list) {
  const std::vector<SnapshotJob>& jobs = list.items;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    std::uint64_t initial = 0;
    for (std::size_t j = 0; j < i; ++j) initial += jobs[j].dataset == jobs[i].dataset;
    EXPECT_GE(jobs[i].wave, initial) << jobs[i].dataset;
    // Every wave skipped on the way up is held by a related job.
    for (std::uint64_t wave = initial; wave < jobs[i].wave; ++wave) {
      bool held = false;
      for (std::size_t j = 0; j < jobs.size(); ++j)
        held |= j != i && jobs[j].wave == wave && is_related(jobs[i], jobs[j]);
      EXPECT_TRUE(held) << jobs[i].dataset << " skipped wave " << wave;
    }
    for (std::size_t j = i + 1; j < jobs.size(); ++j) {
      if (!is_related(jobs[i], jobs[j])) continue;
      EXPECT_NE(jobs[i].wave, jobs[j].wave) << jobs[i].dataset << " and " << jobs[j].dataset;
    }
  }
}

void check_standard_result(const JobList& before, const JobList& after, const JobList& recursive,
                           const std::vector<std::string>& log) {
  std::vector<std::string> kept, lines;
  for (const SnapshotJob& job : before.items) {
    if (has_cover(recursive, job, true, nullptr))
      lines.push_back(covered(job.dataset, job.prefix));
    else
      kept.push_back(job.dataset + "@" + job.prefix);
  }
  EXPECT_EQ(describe(after), kept);
  EXPECT_EQ(log, lines);
  for (const SnapshotJob& job : after.items)
    EXPECT_FALSE(has_cover(recursive, job, true, nullptr)) << job.dataset;
}

TEST(OverlapPlanning, RandomConfigurationsKeepRelatedJobsApart) {
  const std::uint32_t seed = 20260101;
  std::mt19937 seeds(seed);
  for (int trial = 0; trial < 400; ++trial) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " trial " + std::to_string(trial));
    JobList recursive, standard;
    RandomPlan(seeds()).fill(recursive, standard);
    const JobList recursive_before = recursive;
    const JobList standard_before = standard;

    {
      LogCapture log;
      ASSERT_EQ(resolve_recursive_overlaps(recursive), 0);
      check_recursive_result(recursive_before, recursive, log.messages());
      check_recursive_waves(recursive);
    }
    {
      LogCapture log;
      ASSERT_EQ(drop_covered_standard_jobs(standard, recursive), 0);
      check_standard_result(standard_before, standard, recursive, log.messages());
    }
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace corvatel
