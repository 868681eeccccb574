#include "snapshot/report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fake_zfs.h"
#include "job_lists.h"
#include "log_capture.h"

namespace corvatel {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
using testing::FakeZfs;
using testing::job_list;
using testing::LogCapture;

constexpr const char* kTimestamp = "2025-03-01_14:00:00p0100";
const std::string kNewSnapshot = std::string("tank/home@hourly_") + kTimestamp;
const std::string kOlder = "tank/home@hourly_2025-03-01_13:00:00p0100";
const std::string kOldest = "tank/home@hourly_2025-03-01_12:00:00p0100";

// The listing tallied for `list` as the standard or the recursive list.
SnapshotInventory listed(const std::vector<std::string>& listing, const JobList& list,
                         bool recursive) {
  JobList none;
  SnapshotInventory inventory;
  InventoryListing reading;
  EXPECT_EQ(prepare_inventory_listing(reading, inventory, recursive ? none : list,
                                      recursive ? list : none, kTimestamp),
            0);
  for (const std::string& line : listing) EXPECT_EQ(add_inventory_line(line.c_str(), &reading), 0);
  return inventory;
}

TEST(FormatSize, GivesBinaryUnitsWithTwoDecimals) {
  struct Case {
    std::int64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {std::numeric_limits<std::int64_t>::min(), "0"},
      {-1, "0"},
      {0, "0"},
      {1, "1"},
      {1023, "1023"},
      {1024, "1.00K"},
      {1536, "1.50K"},
      {1048575, "1024.00K"},
      {1048576, "1.00M"},
      {123456789, "117.74M"},
      {std::int64_t{1} << 30, "1.00G"},
      {std::int64_t{1} << 40, "1.00T"},
      {std::int64_t{1} << 50, "1.00P"},
      {std::int64_t{1} << 60, "1.00E"},
      {std::numeric_limits<std::int64_t>::max(), "8.00E"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    char text[32];
    format_size(c.bytes, text);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(VerifyReportAndPrune, EmptyListDoesNothing) {
  LogCapture log;
  FakeZfs zfs;
  JobList list;
  SnapshotInventory inventory;
  EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, false, kTimestamp, true), 0);
  EXPECT_EQ(log.messages(), Lines{});
}

TEST(VerifyReportAndPrune, ReportsEachCreatedSnapshotInListOrder) {
  struct Case {
    bool recursive;
    Lines messages;
  };
  const Case cases[] = {
      {false,
       {"Created=" + kNewSnapshot + " Written=1.50K",
        std::string("Created=data@hourly_") + kTimestamp + " Written=0"}},
      {true,
       {"Created=" + kNewSnapshot + " Written=1.50K Recursive",
        std::string("Created=data@hourly_") + kTimestamp + " Written=0 Recursive"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    LogCapture log;
    FakeZfs zfs;
    JobList list = job_list(
        {{.dataset = "tank/home", .written_total = 1536}, {.dataset = "data", .written_total = 0}});
    SnapshotInventory inventory = listed({}, list, c.recursive);
    EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, true, kTimestamp, c.recursive),
              0);
    EXPECT_EQ(log.messages(), c.messages);
    EXPECT_EQ(zfs.calls(), Calls{});
  }
}

TEST(VerifyReportAndPrune, FailedJobWhoseSnapshotExistsIsReportedAndPruned) {
  LogCapture log;
  FakeZfs zfs;
  JobList list =
      job_list({{.dataset = "tank/home", .retention = 2, .written_total = 2048, .failed = true}});
  SnapshotInventory inventory = listed({kNewSnapshot, kOlder, kOldest}, list, false);
  EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, true, kTimestamp, false), 0);
  EXPECT_EQ(log.messages(),
            (Lines{"Created=" + kNewSnapshot + " Written=2.00K", "Pruned=" + kOldest}));
  EXPECT_EQ(zfs.calls(), (Calls{{zfs.path(), "destroy", kOldest}}));
}

TEST(VerifyReportAndPrune, FailedJobWithoutSnapshotIsNeitherReportedNorPruned) {
  struct Case {
    bool recursive;
    Lines listing;
    std::string message;
  };
  const std::string tail = "; pruning skipped for dataset 'tank/home' with prefix 'hourly'";
  const Case cases[] = {
      {false, {kOlder, kOldest}, "Error: Snapshot not created: " + kNewSnapshot + tail},
      {true, {kOlder, kOldest}, "Error: Recursive Snapshot not created: " + kNewSnapshot + tail},
      {false, {}, "Error: Snapshot not created: " + kNewSnapshot + tail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    LogCapture log;
    FakeZfs zfs;
    JobList list = job_list({{.dataset = "tank/home", .written_total = 2048, .failed = true}});
    SnapshotInventory inventory = listed(c.listing, list, c.recursive);
    EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, true, kTimestamp, c.recursive),
              0);
    EXPECT_EQ(log.messages(), Lines{c.message});
    EXPECT_EQ(zfs.calls(), Calls{});
  }
}

TEST(VerifyReportAndPrune, UnavailableInventoryIsReportedPerJob) {
  struct Case {
    bool recursive;
    Lines messages;
  };
  const std::string data_snapshot = std::string("data@hourly_") + kTimestamp;
  const Case cases[] = {
      {false,
       {"Error: Unable to verify snapshot exists: " + kNewSnapshot,
        "Created=" + data_snapshot + " Written=1",
        "Error: Unable to prune snapshots for data: snapshot inventory unavailable"}},
      {true,
       {"Error: Unable to verify recursive snapshot exists: " + kNewSnapshot,
        "Created=" + data_snapshot + " Written=1 Recursive",
        "Error: Unable to prune recursive snapshots for data: snapshot inventory unavailable"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    LogCapture log;
    FakeZfs zfs;
    JobList list = job_list({{.dataset = "tank/home", .written_total = 5, .failed = true},
                             {.dataset = "data", .written_total = 1}});
    SnapshotInventory inventory;
    EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, false, kTimestamp, c.recursive),
              1);
    EXPECT_EQ(log.messages(), c.messages);
    EXPECT_EQ(zfs.calls(), Calls{});
  }
}

TEST(VerifyReportAndPrune, NameOverItsBufferSkipsOnlyThatJob) {
  LogCapture log;
  FakeZfs zfs;
  // The name is the dataset plus 32 characters: 511 still fits 512 bytes with its NUL.
  std::string fits = "tank/" + std::string(474, 'f');
  std::string too_long = "tank/" + std::string(475, 'l');
  JobList list =
      job_list({{.dataset = too_long, .written_total = 1}, {.dataset = fits, .written_total = 1}});
  SnapshotInventory inventory = listed({}, list, true);
  EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, true, kTimestamp, true), 1);
  EXPECT_EQ(log.messages(),
            (Lines{"Error: Failed to format recursive snapshot name for " + too_long,
                   "Created=" + fits + "@hourly_" + kTimestamp + " Written=1 Recursive"}));
}

TEST(VerifyReportAndPrune, FailedDestroyFailsThePass) {
  LogCapture log;
  FakeZfs zfs;
  zfs.set_status(1, 1);
  JobList list = job_list({{.dataset = "tank/home", .written_total = 1}});
  SnapshotInventory inventory = listed({kNewSnapshot, kOlder}, list, false);
  EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, true, kTimestamp, false), 1);
  EXPECT_EQ(log.messages(), (Lines{"Created=" + kNewSnapshot + " Written=1",
                                   "Error: Failed to prune snapshot " + kOlder}));
}

TEST(VerifyReportAndPrune, FailedJobIsLookedUpAmongItsOwnDatasetOnly) {
  // The job's snapshot name with other datasets' names all around it: datasets that are text
  // prefixes of the job's, and the very name under another dataset.
  const std::string later_stamp = "2025-03-01_15:00:00p0100";
  struct Case {
    const char* name;
    Lines inventory;
    bool exists;
  };
  const Case cases[] = {
      {"among others", {"tank/homework@hourly_" + later_stamp, "tank@hourly_" + later_stamp,
                        "tank/home/a@hourly_" + std::string(kTimestamp), kNewSnapshot,
                        "tank/homes@hourly_" + std::string(kTimestamp)}, true},
      {"only under other datasets", {"tank/home/a@hourly_" + std::string(kTimestamp),
                                     "tank/homes@hourly_" + std::string(kTimestamp), kOlder},
       false},
      {"a longer name of the dataset", {kNewSnapshot + "x", kOlder}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    FakeZfs zfs;
    JobList list = job_list(
        {{.dataset = "tank/home", .retention = 5, .written_total = 2048, .failed = true}});
    SnapshotInventory inventory = listed(c.inventory, list, false);
    EXPECT_EQ(verify_report_and_prune(zfs.path(), list, inventory, true, kTimestamp, false), 0);
    const std::string not_created =
        "Error: Snapshot not created: " + kNewSnapshot +
        "; pruning skipped for dataset 'tank/home' with prefix 'hourly'";
    EXPECT_EQ(log.messages(),
              c.exists ? Lines{"Created=" + kNewSnapshot + " Written=2.00K"} : Lines{not_created});
  }
}

}  // namespace
}  // namespace corvatel
