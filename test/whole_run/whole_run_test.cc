// Whole runs against the simulated zfs: exact log lines, argument vectors, statuses, snapshots.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "whole_run.h"

namespace corvatel::testing {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;

const std::vector<std::string> kGet = {"get", "-H", "-p", "-r", "-t", "filesystem,volume",
                                       "-o", "name,value", "written"};
const std::vector<std::string> kList = {"list", "-H", "-r", "-t", "snapshot",
                                        "-o", "name", "-S", "createtxg"};

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

class WholeRun : public WholeRunTest {
 protected:
  void SetUp() override {
    zfs.add_dataset("tank", 5000);
    zfs.add_dataset("tank/home", 2000);
    zfs.add_dataset("tank/home/a", 1000);
    zfs.add_dataset("tank/homework", 700);
    zfs.add_dataset("data", 0);
    zfs.add_dataset("data/x", 3000);
  }
  std::string snap(const std::string& dataset, const std::string& prefix) const {
    return dataset + "@" + prefix + "_" + kStamp1400;
  }
};

TEST_F(WholeRun, EmptyConfigurationRunsNoZfsAndWritesNothing) {
  write_config("# nothing configured\n\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.log.empty());
  EXPECT_TRUE(zfs_calls().empty());
}

TEST_F(WholeRun, DueEntriesAreSnapshottedListedAndReported) {
  write_config(
      "tank/home,60,24,hourly,yes,1000\n"
      "data/x,30,3,hourly,no,0\n"
      "tank,1440,7,daily,no,0\n");  // not due at 14:00
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(zfs_calls(), (Calls{with(kGet, {"data/x", "tank/home"}),
                                {"snapshot", snap("data/x", "hourly")},
                                {"snapshot", "-r", snap("tank/home", "hourly")},
                                with(kList, {"data/x", "tank/home"})}));
  EXPECT_EQ(r.log, (Lines{"Created=" + snap("data/x", "hourly") + " Written=2.93K",
                          "Created=" + snap("tank/home", "hourly") + " Written=2.93K Recursive"}));
  EXPECT_EQ(zfs.snapshots(), (Lines{snap("data/x", "hourly"), snap("tank/home/a", "hourly"),
                                    snap("tank/home", "hourly")}));
  EXPECT_EQ(zfs.written("data/x"), 0);
}

TEST_F(WholeRun, BadLineIsReportedWhileGoodEntriesRun) {
  write_config(
      "data/x,60,3,hourly,no,0\n"
      "tank/home,60,0,hourly,no,0\n"
      "tank,60,3,hourly,maybe,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, (Lines{"Error: Config error for tank/home: invalid retention count '0'",
                          "Error: Config error for tank: invalid recursive flag option 'maybe'",
                          "Created=" + snap("data/x", "hourly") + " Written=2.93K"}));
  EXPECT_EQ(zfs.snapshots(), Lines{snap("data/x", "hourly")});
}

TEST_F(WholeRun, DuplicateIsReportedEvenWhenNotDue) {
  write_config(
      "data/x,7,3,hourly,no,0\n"
      "data/x,7,5,hourly,yes,0\n");
  Result r = run_at(kMarch1At1400 + 60);  // 14:01: neither line is due
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log,
            Lines{"Error: Config error for data/x: duplicate dataset/prefix 'hourly' in config, "
                  "skipping"});
  EXPECT_TRUE(zfs_calls().empty());
}

TEST_F(WholeRun, ConfigurationReadErrorStopsBeforeAnyZfsCommand) {
  config_path = dir.path();
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, Lines{"Error: Failed to read config file " + dir.path() + ": Is a directory"});
  EXPECT_TRUE(zfs_calls().empty());
}

TEST_F(WholeRun, JobsBelowTheirThresholdAreDroppedSilently) {
  write_config(
      "data/x,60,3,hourly,no,3001\n"
      "tank/home,60,3,hourly,yes,3001\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(zfs_calls(), Calls{with(kGet, {"data/x", "tank/home"})});
  EXPECT_TRUE(zfs.snapshots().empty());
}

TEST_F(WholeRun, MissingDatasetIsReportedAndTheOthersGoOn) {
  write_config(
      "tank/gone,60,3,hourly,no,0\n"
      "data/x,60,3,hourly,no,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, (Lines{"Error: zfs: cannot open 'tank/gone': dataset does not exist",
                          "Error: Configured dataset not found or has invalid written metric: "
                          "tank/gone",
                          "Created=" + snap("data/x", "hourly") + " Written=2.93K"}));
  EXPECT_EQ(zfs.snapshots(), Lines{snap("data/x", "hourly")});
}

struct FetchFault {
  const char* name;
  SimFault fault;
  Lines log;
};

TEST_F(WholeRun, FailedMetricsFetchEndsTheRunBeforeAnySnapshot) {
  const FetchFault cases[] = {
      {"exit 127",
       {.kind = "get", .exit_status = 127},
       {"Error: Failed to read ZFS written metrics"}},
      {"killed",
       {.kind = "get", .perform = true, .signal = 9},
       {"Error: Failed to read ZFS written metrics"}},
      {"NUL byte",
       {.kind = "get",
        .perform = true,
        .exit_status = 0,
        .stdout_bytes = std::string("tank\0x\t1\n", 9)},
       {"Error: zfs stdout contained a NUL byte", "Error: Failed to read ZFS written metrics"}},
      {"no final newline",
       {.kind = "get", .perform = true, .exit_status = 0, .stdout_bytes = "tank/extra\t1"},
       {"Error: Failed to read ZFS written metrics"}},
  };
  write_config("data/x,60,3,hourly,no,0\n");
  for (const FetchFault& c : cases) {
    zfs.clear_faults();
    zfs.add_fault(c.fault);
    zfs.clear_calls();
    Result r = run_at(kMarch1At1400);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.log, c.log) << c.name;
    EXPECT_EQ(zfs_calls(), Calls{with(kGet, {"data/x"})}) << c.name;
    EXPECT_TRUE(zfs.snapshots().empty()) << c.name;
  }
}

TEST_F(WholeRun, RecursiveParentCoversSamePrefixJobsBelowIt) {
  write_config(
      "tank/home/a,60,3,daily,no,0\n"
      "tank/home,60,3,weekly,no,0\n"
      "tank,60,3,daily,yes,0\n"
      "tank/home,60,3,daily,yes,0\n"
      "tank/homework,60,3,daily,no,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  // tank/homework lies below tank, so it is covered too; tank/home (weekly) is not.
  EXPECT_EQ(r.log,
            (Lines{"Skipping tank/home: already covered by a recursive ancestor with prefix 'daily'",
                   "Skipping tank/home/a: covered by a recursive ancestor with prefix 'daily'",
                   "Skipping tank/homework: covered by a recursive ancestor with prefix 'daily'",
                   "Created=" + snap("tank/home", "weekly") + " Written=1.95K",
                   "Created=" + snap("tank", "daily") + " Written=8.50K Recursive"}));
  EXPECT_EQ(zfs_calls("snapshot"), (Calls{{"snapshot", snap("tank/home", "weekly")},
                                          {"snapshot", "-r", snap("tank", "daily")}}));
}

TEST_F(WholeRun, OverlappingRecursiveJobsGoIntoSeparateCommands) {
  write_config(
      "tank/home,60,3,b,yes,0\n"
      "tank,60,3,a,yes,0\n"
      "data/x,60,3,a,yes,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(zfs_calls("snapshot"), (Calls{{"snapshot", "-r", snap("tank", "a")},
                                          {"snapshot", "-r", snap("tank/home", "b")},
                                          {"snapshot", "-r", snap("data/x", "a")}}));
  EXPECT_EQ(r.log, (Lines{"Created=" + snap("tank/home", "b") + " Written=2.93K Recursive",
                          "Created=" + snap("tank", "a") + " Written=8.50K Recursive",
                          "Created=" + snap("data/x", "a") + " Written=2.93K Recursive"}));
}

TEST_F(WholeRun, OnePoolsJobsShareOneAtomicCommand) {
  write_config(
      "tank/home,60,3,h,no,0\n"
      "data/x,60,3,h,no,0\n"
      "tank/home/a,60,3,h,no,0\n"
      "tank/home,60,3,g,no,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(zfs_calls("snapshot"),
            (Calls{{"snapshot", snap("tank/home", "h"), snap("tank/home/a", "h")},
                   {"snapshot", snap("tank/home", "g")},
                   {"snapshot", snap("data/x", "h")}}));
  EXPECT_EQ(zfs.snapshots().size(), 4u);
}

TEST_F(WholeRun, FailedBatchWhoseSnapshotsExistIsReportedAndPruned) {
  zfs.add_snapshot("data/x@h_2025-03-01_12:00:00p0000", kMarch1At1400 - 7200);
  zfs.add_snapshot("data/x@h_2025-03-01_13:00:00p0000", kMarch1At1400 - 3600);
  zfs.add_fault(
      {.kind = "snapshot", .perform = true, .stderr_text = "cannot mount 'data/x': busy\n"});
  write_config("data/x,60,2,h,no,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, (Lines{"Error: zfs: cannot mount 'data/x': busy",
                          "Error: standard zfs snapshot batch execution failed",
                          "Created=" + snap("data/x", "h") + " Written=2.93K",
                          "Pruned=data/x@h_2025-03-01_12:00:00p0000"}));
  EXPECT_EQ(zfs_calls("destroy"), (Calls{{"destroy", "data/x@h_2025-03-01_12:00:00p0000"}}));
  EXPECT_EQ(zfs.snapshots(),
            (Lines{"data/x@h_2025-03-01_13:00:00p0000", snap("data/x", "h")}));
}

TEST_F(WholeRun, FailedBatchWithNothingCreatedSkipsPruning) {
  zfs.add_snapshot("tank/home@h_2025-03-01_12:00:00p0000", kMarch1At1400 - 7200);
  zfs.add_snapshot("tank/home@h_2025-03-01_13:00:00p0000", kMarch1At1400 - 3600);
  zfs.add_snapshot(snap("tank/home/a", "h"), kMarch1At1400 - 60);  // makes -r fail
  write_config("tank/home,60,1,h,yes,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log,
            (Lines{"Error: zfs: cannot create snapshot '" + snap("tank/home/a", "h") +
                       "': dataset already exists",
                   "Error: zfs: no snapshots were created",
                   "Error: recursive zfs snapshot batch execution failed",
                   "Error: Recursive Snapshot not created: " + snap("tank/home", "h") +
                       "; pruning skipped for dataset 'tank/home' with prefix 'h'"}));
  EXPECT_TRUE(zfs_calls("destroy").empty());
  EXPECT_EQ(zfs.snapshots().size(), 3u);
}

TEST_F(WholeRun, UnavailableInventoryPrunesNothing) {
  zfs.add_snapshot("data/x@h_2025-03-01_12:00:00p0000", kMarch1At1400 - 7200);
  zfs.add_snapshot("tank/home@h_2025-03-01_12:00:00p0000", kMarch1At1400 - 7200);
  zfs.add_fault({.kind = "list",
                 .perform = true,
                 .exit_status = 0,
                 .stdout_bytes = "garbage without at sign\n"});
  zfs.add_fault({.kind = "snapshot", .call = 2, .perform = true});
  write_config(
      "data/x,60,1,h,no,0\n"
      "tank/home,60,1,h,yes,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, (Lines{"Error: recursive zfs snapshot batch execution failed",
                          "Error: Invalid snapshot inventory line: garbage without at sign",
                          "Error: Unable to list snapshots for batch verification and pruning",
                          "Created=" + snap("data/x", "h") + " Written=2.93K",
                          "Error: Unable to prune snapshots for data/x: snapshot inventory "
                          "unavailable",
                          "Error: Unable to verify recursive snapshot exists: " +
                              snap("tank/home", "h")}));
  EXPECT_TRUE(zfs_calls("destroy").empty());
  EXPECT_EQ(zfs.snapshots().size(), 5u);
}

TEST_F(WholeRun, RecursivePruneDestroysWithDashR) {
  zfs.add_snapshot("tank/home@h_2025-03-01_12:00:00p0000", kMarch1At1400 - 7200);
  zfs.add_snapshot("tank/home/a@h_2025-03-01_12:00:00p0000", kMarch1At1400 - 7200);
  write_config("tank/home,60,1,h,yes,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, (Lines{"Created=" + snap("tank/home", "h") + " Written=2.93K Recursive",
                          "Pruned=tank/home@h_2025-03-01_12:00:00p0000 Recursive"}));
  EXPECT_EQ(zfs_calls("destroy"),
            (Calls{{"destroy", "-r", "tank/home@h_2025-03-01_12:00:00p0000"}}));
  EXPECT_EQ(zfs.snapshots(), (Lines{snap("tank/home/a", "h"), snap("tank/home", "h")}));
}

TEST_F(WholeRun, FailedDestroyIsReportedAndTheRestStillRun) {
  for (int hour = 10; hour <= 13; ++hour)
    zfs.add_snapshot("data/x@h_2025-03-01_" + std::to_string(hour) + ":00:00p0000",
                     kMarch1At1400 - (14 - hour) * 3600);
  zfs.add_fault({.kind = "destroy",
                 .call = 2,
                 .stderr_text = "cannot destroy snapshot: dataset is busy\n"});
  write_config("data/x,60,2,h,no,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, (Lines{"Created=" + snap("data/x", "h") + " Written=2.93K",
                          "Pruned=data/x@h_2025-03-01_10:00:00p0000",
                          "Error: zfs: cannot destroy snapshot: dataset is busy",
                          "Error: Failed to prune snapshot data/x@h_2025-03-01_11:00:00p0000",
                          "Pruned=data/x@h_2025-03-01_12:00:00p0000"}));
}

// The wall clock says nothing about which snapshot is newest once it has been wrong.
TEST_F(WholeRun, SnapshotsMadeWhileTheClockWasAheadAreOldestOnceItIsRight) {
  write_config("tank/home,1,3,h,no,0\n");
  const std::time_t year = 365 * 86400;
  std::vector<std::string> made;
  for (int minute = 0; minute < 7; ++minute) {
    bool ahead = minute < 3;
    std::time_t now = kMarch1At1400 + minute * 60 + (ahead ? year : 0);
    std::string name = "tank/home@h_" + utc_stamp(now);
    zfs.set_written("tank/home", 4096);
    Result r = run_at(now);
    SCOPED_TRACE(name);
    EXPECT_EQ(r.status, 0);
    Lines expected = {"Created=" + name + " Written=4.00K"};
    if (made.size() >= 3) expected.push_back("Pruned=" + made[made.size() - 3]);
    EXPECT_EQ(r.log, expected);
    made.push_back(name);
  }
  EXPECT_EQ(zfs.snapshots(), (Lines{made[4], made[5], made[6]}));
}

TEST_F(WholeRun, OfSnapshotsMadeInOneSecondTheLastMadeIsNewest) {
  const std::string first = "data/x@h_2025-03-01_13:59:00p0000";
  const std::string second = "data/x@h_2025-03-01_13:58:00p0000";
  zfs.add_snapshot(first, kMarch1At1400 - 60);
  zfs.add_snapshot(second, kMarch1At1400 - 60);
  write_config("data/x,60,2,h,no,0\n");
  Result r = run_at(kMarch1At1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, (Lines{"Created=" + snap("data/x", "h") + " Written=2.93K", "Pruned=" + first}));
  EXPECT_EQ(zfs.snapshots(), (Lines{second, snap("data/x", "h")}));
}

}  // namespace
}  // namespace corvatel::testing
