// Many runs over simulated days: every job keeps exactly its newest snapshots, nothing else moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "whole_run.h"

namespace corvatel::testing {
namespace {

struct Job {
  std::string dataset;
  int interval;
  std::size_t retention;
  std::string prefix;
  bool recursive;
  std::vector<std::string> descendants;  // for recursive jobs: the datasets its -r reaches
  std::vector<std::string> own;          // its snapshot names, oldest first
};

class Retention : public WholeRunTest {
 protected:
  std::vector<Job> jobs = {
      {"tank/home", 60, 4, "hourly", true, {"tank/home/a", "tank/home/a/b"}, {}},
      {"tank/home/a", 30, 3, "half", false, {}, {}},
      {"data/x", 90, 2, "x", false, {}, {}},
      {"data", 120, 3, "h", true, {"data/x"}, {}},
      {"tank/homes", 60, 5, "hourly", false, {}, {}},
  };
  std::vector<std::string> foreign = {
      "tank/home@hourly_manual",
      "tank/home@hourly2_2025-02-01_10:00:00p0000",
      "tank/home@hourly_2025-02-01_10:00:00+0100",
      "tank/home@hourly_2025-02-01_10:00:00p010",
      "tank/home@Hourly_2025-02-01_10:00:00p0100",
      "tank/home/a@hourly_2025-02-01_10:00:00",  // no recursive job reaches below by name form
      "tank/home/a@half_2025-02-01_10:00:00x0000",
      "data/x@hh_2025-02-01_10:00:00p0000",
      "data@h_2025-02-01_10:00:00p0000_copy",
      "tank@hourly_2025-02-01_10:00:00p0000",
  };

  void SetUp() override {
    for (const char* name : {"tank", "tank/home", "tank/home/a", "tank/home/a/b", "tank/homes",
                             "data", "data/x"})
      zfs.add_dataset(name, 0);
    std::time_t old = kMarch1At1400 - 30 * 86400;
    for (const std::string& name : foreign) zfs.add_snapshot(name, old);
    // An older own snapshot in the short form: the job counts it and prunes it in time.
    zfs.add_snapshot("data/x@x_2025-01-30_10:00:00", old - 86400);
    jobs[2].own.push_back("data/x@x_2025-01-30_10:00:00");
    std::string config = "# dataset,interval,retention,prefix,recursive,min_bytes\n";
    for (const Job& job : jobs)
      config += job.dataset + "," + std::to_string(job.interval) + "," +
                std::to_string(job.retention) + "," + job.prefix + "," +
                (job.recursive ? "yes" : "no") + ",1\n";
    write_config(config);
  }

  // Every dataset has written something, except tank/homes every third run.
  void write_some_data(int run) {
    for (const char* name : {"tank", "tank/home", "tank/home/a", "tank/home/a/b", "data",
                             "data/x"})
      zfs.set_written(name, 4096);
    zfs.set_written("tank/homes", run % 3 == 0 ? 0 : 4096);
  }

  std::set<std::string> expected_snapshots() const {
    std::set<std::string> expected(foreign.begin(), foreign.end());
    for (const Job& job : jobs) {
      std::size_t keep = std::min(job.retention, job.own.size());
      for (std::size_t i = job.own.size() - keep; i < job.own.size(); ++i) {
        expected.insert(job.own[i]);
        std::string tail = job.own[i].substr(job.dataset.size());
        for (const std::string& d : job.descendants) expected.insert(d + tail);
      }
    }
    return expected;
  }
};

TEST_F(Retention, EveryJobKeepsExactlyItsNewestSnapshotsOverTwoDays) {
  const std::time_t start = kMarch1At1400 - 14 * 3600;  // midnight
  for (int run = 0; run < 2 * 48; ++run) {
    std::time_t now = start + run * 1800;
    write_some_data(run);
    int minute = static_cast<int>((now % 86400) / 60);
    std::vector<std::string> created;
    for (Job& job : jobs) {
      bool wrote = job.dataset != "tank/homes" || run % 3 != 0;
      if (minute % job.interval != 0 || !wrote) continue;
      job.own.push_back(job.dataset + "@" + job.prefix + "_" + utc_stamp(now));
    }

    Result r = run_at(now);
    ASSERT_EQ(r.status, 0) << "run " << run;
    for (const std::string& line : r.log)
      ASSERT_TRUE(line.rfind("Created=", 0) == 0 || line.rfind("Pruned=", 0) == 0) << line;
    std::vector<std::string> actual = zfs.snapshots();
    std::set<std::string> expected = expected_snapshots();
    ASSERT_EQ(std::set<std::string>(actual.begin(), actual.end()), expected) << "run " << run;
  }
  for (const Job& job : jobs) EXPECT_GT(job.own.size(), job.retention) << job.dataset;
  // Every destroy named a snapshot that one of the jobs made (or owned before the first run).
  for (const auto& call : zfs_calls("destroy")) {
    bool own = false;
    for (const Job& job : jobs)
      own = own || std::find(job.own.begin(), job.own.end(), call.back()) != job.own.end();
    EXPECT_TRUE(own) << call.back();
  }
}

}  // namespace
}  // namespace corvatel::testing
