#include "config/job_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/growth.h"

namespace corvatel {
namespace {

std::vector<std::string> datasets_of(const JobList& list) {
  std::vector<std::string> names;
  for (const SnapshotJob& job : list.items) names.push_back(job.dataset);
  return names;
}

/// A list of jobs named ds0, ds1, ... with prefixes p0, p1, ...
JobList numbered_list(int count) {
  JobList list;
  for (int i = 0; i < count; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(job_list_append(list, "ds" + n, "p" + n, i + 1, i * 10), 0);
  }
  return list;
}

TEST(JobList, FirstAppendTakesCapacity32AndDefaults) {
  JobList list;
  ASSERT_EQ(job_list_append(list, "tank/home", "hourly", 24, 1000000), 0);
  ASSERT_EQ(list.items.size(), 1u);
  EXPECT_EQ(list.items.capacity(), 32u);
  const SnapshotJob& job = list.items[0];
  EXPECT_EQ(job.dataset, "tank/home");
  EXPECT_EQ(job.prefix, "hourly");
  EXPECT_EQ(job.retention, 24);
  EXPECT_EQ(job.wave, 0u);
  EXPECT_FALSE(job.failed);
  EXPECT_EQ(job.written_total, -1);
  EXPECT_EQ(job.min_bytes, 1000000);
}

TEST(JobList, ThirtyThirdAppendDoublesCapacityAndKeepsOrder) {
  JobList list = numbered_list(32);
  EXPECT_EQ(list.items.capacity(), 32u);
  ASSERT_EQ(job_list_append(list, "ds32", "p32", 33, 320), 0);
  EXPECT_EQ(list.items.capacity(), 64u);
  ASSERT_EQ(list.items.size(), 33u);
  for (int i = 0; i < 33; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(list.items[i].dataset, "ds" + n);
    EXPECT_EQ(list.items[i].prefix, "p" + n);
    EXPECT_EQ(list.items[i].retention, i + 1);
    EXPECT_EQ(list.items[i].min_bytes, i * 10);
  }
}

TEST(JobList, CompactionKeepsOrderAndCapacity) {
  struct Case {
    int count;
    std::string decisions;  // 'k' keep, 'd' drop, one per job
    std::vector<std::string> kept;
  };
  const std::vector<Case> cases = {
      {5, "kdkdk", {"ds0", "ds2", "ds4"}},
      {5, "kkkkk", {"ds0", "ds1", "ds2", "ds3", "ds4"}},
      {5, "ddddd", {}},
      {3, "dkk", {"ds1", "ds2"}},
      {3, "kkd", {"ds0", "ds1"}},
      {0, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.decisions);
    JobList list = numbered_list(c.count);
    std::size_t capacity = list.items.capacity();
    std::vector<std::string> visited;
    job_list_compact(list, [&](const SnapshotJob& job) {
      visited.push_back(job.dataset);
      return c.decisions[visited.size() - 1] == 'k';
    });
    EXPECT_EQ(visited, datasets_of(numbered_list(c.count)));
    EXPECT_EQ(datasets_of(list), c.kept);
    EXPECT_EQ(list.items.capacity(), capacity);
    for (const SnapshotJob& job : list.items)
      EXPECT_EQ(job.prefix, "p" + job.dataset.substr(2));  // each kept job has its own strings
  }
}

TEST(JobList, CompactionKeepsFieldsTheDecisionSets) {
  JobList list = numbered_list(4);
  job_list_compact(list, [](SnapshotJob& job) {
    job.written_total = job.min_bytes + 5;
    return job.dataset != "ds0";
  });
  ASSERT_EQ(list.items.size(), 3u);
  EXPECT_EQ(list.items[0].written_total, 15);
  EXPECT_EQ(list.items[1].written_total, 25);
  EXPECT_EQ(list.items[2].written_total, 35);
  EXPECT_EQ(list.items[2].retention, 4);
}

TEST(GrowForOneMore, TakesFirstCapacityThenDoubles) {
  std::vector<int> items;
  std::vector<std::size_t> capacities;
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(grow_for_one_more(items, 128), 0);
    items.push_back(i);
    if (capacities.empty() || capacities.back() != items.capacity())
      capacities.push_back(items.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<std::size_t>{128, 256, 512}));
}

}  // namespace
}  // namespace corvatel
