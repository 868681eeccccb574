// Tiered entries (several per dataset) in a pool with many other datasets: whole runs of the
// program in a child process, each under a time limit, so that a run that never ends fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "whole_run.h"

namespace corvatel::testing {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;

constexpr std::time_t kMarch2At0000 = 1740873600;  // 2025-03-02 00:00:00 UTC: every entry is due
constexpr const char* kMidnight = "2025-03-02_00:00:00p0000";
constexpr double kTimeLimitSeconds = 30;

std::string numbered(const char* stem, int n) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%02d", stem, n);
  return text;
}

class Tiered : public WholeRunTest, public ::testing::WithParamInterface<int> {
 protected:
  // tank and tank/home/user01 to user(count - 1), each with an hourly, a daily and a weekly
  // entry; `others` more datasets tank/vm/diskNN with one snapshot each and no entry.
  void set_up(int count, int others) {
    zfs.add_dataset("tank", 4096);
    zfs.add_dataset("tank/home", 0);
    zfs.add_dataset("tank/vm", 0);
    datasets = {"tank"};
    for (int i = 1; i < count; ++i) datasets.push_back(numbered("tank/home/user", i));
    std::string config;
    for (const std::string& dataset : datasets) {
      if (dataset != "tank") zfs.add_dataset(dataset, 4096);
      for (const char* entry : {",60,24,hourly,no,0\n", ",1440,7,daily,no,0\n",
                                ",1440,4,weekly,no,0\n"})
        config += dataset + entry;
    }
    for (int i = 1; i <= others; ++i) {
      zfs.add_dataset(numbered("tank/vm/disk", i), 0);
      zfs.add_snapshot(numbered("tank/vm/disk", i) + "@x", kMarch2At0000 - 86400);
    }
    write_config(config);
  }

  std::vector<std::string> datasets;
};

// Each parameter is a number of other datasets: 41 made the run spin for ever once.
TEST_P(Tiered, ThreeEntriesPerDatasetAmongOtherDatasetsEndInTime) {
  set_up(24, GetParam());
  InProcessRun::Outcome r = installation.run_child_at(kMarch2At0000, kTimeLimitSeconds);
  ASSERT_FALSE(r.timed_out) << "the run did not end within " << kTimeLimitSeconds << " s";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  Lines created;
  for (const std::string& dataset : datasets) {
    for (const char* prefix : {"hourly", "daily", "weekly"})
      created.push_back("Created=" + dataset + "@" + prefix + "_" + kMidnight + " Written=4.00K");
  }
  EXPECT_EQ(r.log, created);
  // Three entries per dataset make three waves of one pool, in the order of the entries.
  Calls snapshots;
  for (const char* prefix : {"hourly", "daily", "weekly"}) {
    std::vector<std::string> call = {"snapshot"};
    for (const std::string& dataset : datasets)
      call.push_back(dataset + "@" + prefix + "_" + kMidnight);
    snapshots.push_back(call);
  }
  EXPECT_EQ(zfs_calls("snapshot"), snapshots);
  EXPECT_EQ(zfs_calls("list").size(), 1u);
  EXPECT_TRUE(zfs_calls("destroy").empty());
}

INSTANTIATE_TEST_SUITE_P(OtherDatasets, Tiered, ::testing::Values(0, 40, 41, 300));

}  // namespace
}  // namespace corvatel::testing
