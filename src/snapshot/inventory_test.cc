#include "snapshot/inventory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "allocation_fault.h"
#include "fake_zfs.h"
#include "job_lists.h"
#include "log_capture.h"

namespace corvatel {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
using testing::AllocationFailure;
using testing::FakeZfs;
using testing::job_list_on;
using testing::LogCapture;

std::vector<std::string> list_args(const char* zfs, const std::vector<std::string>& roots) {
  std::vector<std::string> args{zfs, "list", "-H"};
  if (!roots.empty()) args.push_back("-r");
  args.insert(args.end(), {"-t", "snapshot", "-o", "name", "-S", "createtxg"});
  args.insert(args.end(), roots.begin(), roots.end());
  return args;
}

// The whole log without the first line's stamp, so that a logged line feed shows as itself.
std::string logged_text(const LogCapture& log) {
  std::string text;
  for (const std::string& line : log.lines()) text += (text.empty() ? "" : "\n") + line;
  return text.size() < 20 ? text : text.substr(20);
}

constexpr const char* kTimestamp = "2025-03-01_14:00:00p0100";

// The k-th newest snapshot of `dataset` with `prefix` (k from 1; the hour falls with k).
std::string snap(const std::string& dataset, const std::string& prefix, int k) {
  return dataset + "@" + prefix + "_2025-03-01_" + std::to_string(20 - k) + ":00:00p0100";
}

// Reads `listing` for the jobs of both lists into `inventory`; false at the first line that
// add_inventory_line rejects.
bool read_listing(SnapshotInventory& inventory, const JobList& standard, const JobList& recursive,
                  const Lines& listing) {
  InventoryListing reading;
  EXPECT_EQ(prepare_inventory_listing(reading, inventory, standard, recursive, kTimestamp), 0);
  for (const std::string& line : listing)
    if (add_inventory_line(line.c_str(), &reading) != 0) return false;
  return true;
}

TEST(SnapshotInventory, AcceptsOnlyWellFormedSnapshotNames) {
  struct Case {
    std::string line;
    bool accepted;
  };
  const Case cases[] = {
      {"tank/home@a", true},
      {"tank/home@hourly_2025-03-01_14:00:00p0100", true},
      {"tank/my home@a b", true},
      {"@a", false},
      {"tank/home@", false},
      {"tank/home@a@b", false},
      {"tank/home", false},
      {"", false},
      {"tank/home@a\r", false},
      {"tank/home@a\tb", false},
      {"tank/home@a\nb", false},
  };
  JobList standard = job_list_on({"tank/home"}, {.prefix = "hourly", .retention = 3});
  JobList recursive;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    SnapshotInventory inventory;
    bool accepted = read_listing(inventory, standard, recursive, {c.line});
    EXPECT_EQ(accepted, c.accepted);
    if (c.accepted)
      EXPECT_EQ(log.messages(), Lines{});
    else
      EXPECT_EQ(logged_text(log), "Error: Invalid snapshot inventory line: " + c.line);
    // Only the second name is of the job's form.
    EXPECT_EQ(job_tally(inventory, false, 0).match_count, c.line == cases[1].line ? 1u : 0u);
  }
}

// Every job of a name's dataset sees it, whatever its list or prefix; no other job does.
TEST(SnapshotInventory, TalliesEachNameForEveryJobOfItsDataset) {
  JobList standard;
  ASSERT_EQ(job_list_append(standard, "tank/home", "hourly", 2, 0), 0);
  ASSERT_EQ(job_list_append(standard, "tank/homework", "hourly", 1, 0), 0);
  ASSERT_EQ(job_list_append(standard, "data", "hourly", 1, 0), 0);
  JobList recursive;
  ASSERT_EQ(job_list_append(recursive, "tank/home", "daily", 1, 0), 0);
  ASSERT_EQ(job_list_append(recursive, "tank/home", "hourly", 3, 0), 0);
  Lines listing;
  for (int k = 1; k <= 5; ++k) {
    listing.push_back(snap("tank/home", "hourly", k));
    listing.push_back(snap("tank/home", "daily", k));
    listing.push_back(snap("tank/home/a", "hourly", k));
    listing.push_back(snap("tank/homework", "hourly", k));
    listing.push_back("tank/home@hourly_manual" + std::to_string(k));
  }
  SnapshotInventory inventory;
  ASSERT_TRUE(read_listing(inventory, standard, recursive, listing));

  struct Expected {
    bool recursive;
    std::size_t position;
    std::uint64_t matches;
    Lines beyond;
  };
  const Expected expected[] = {
      {false, 0, 5, {snap("tank/home", "hourly", 3), snap("tank/home", "hourly", 4),
                     snap("tank/home", "hourly", 5)}},
      {false, 1, 5, {snap("tank/homework", "hourly", 2), snap("tank/homework", "hourly", 3),
                     snap("tank/homework", "hourly", 4), snap("tank/homework", "hourly", 5)}},
      {false, 2, 0, {}},
      {true, 0, 5, {snap("tank/home", "daily", 2), snap("tank/home", "daily", 3),
                    snap("tank/home", "daily", 4), snap("tank/home", "daily", 5)}},
      {true, 1, 5, {snap("tank/home", "hourly", 4), snap("tank/home", "hourly", 5)}},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(std::to_string(e.recursive) + " " + std::to_string(e.position));
    const JobTally& tally = job_tally(inventory, e.recursive, e.position);
    EXPECT_EQ(tally.match_count, e.matches);
    EXPECT_EQ(tally.beyond_retention, e.beyond);
    EXPECT_FALSE(tally.beyond_retention_lost);
    EXPECT_FALSE(tally.own_snapshot_listed);
  }
  free_snapshot_inventory(inventory);
  EXPECT_EQ(inventory.standard.capacity(), 0u);
  EXPECT_EQ(inventory.recursive.capacity(), 0u);
}

// corvatel-check's listing keeps each job's newest match; corvatel's keeps none.
TEST(SnapshotInventory, KeepsTheNewestMatchOnlyWhenAsked) {
  JobList standard;
  ASSERT_EQ(job_list_append(standard, "tank/home", "hourly", 2, 0), 0);
  ASSERT_EQ(job_list_append(standard, "tank/home", "daily", 2, 0), 0);
  ASSERT_EQ(job_list_append(standard, "tank/none", "hourly", 2, 0), 0);
  JobList recursive;
  ASSERT_EQ(job_list_append(recursive, "tank/home", "weekly", 2, 0), 0);
  const Lines listing = {"tank/home@hourly_manual", snap("tank/home", "daily", 1),
                         snap("tank/home", "hourly", 2), snap("tank/home", "hourly", 3),
                         snap("tank/home", "daily", 4)};
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep);
    SnapshotInventory inventory;
    InventoryListing reading;
    ASSERT_EQ(prepare_inventory_listing(reading, inventory, standard, recursive, kTimestamp), 0);
    reading.keep_newest_match = keep;
    for (const std::string& line : listing)
      ASSERT_EQ(add_inventory_line(line.c_str(), &reading), 0);
    EXPECT_EQ(job_tally(inventory, false, 0).newest_match,
              keep ? snap("tank/home", "hourly", 2) : "");
    EXPECT_EQ(job_tally(inventory, false, 1).newest_match,
              keep ? snap("tank/home", "daily", 1) : "");
    EXPECT_EQ(job_tally(inventory, false, 2).newest_match, "");
    EXPECT_EQ(job_tally(inventory, true, 0).newest_match, "");
    EXPECT_EQ(job_tally(inventory, false, 0).match_count, 2u);
  }
}

TEST(SnapshotInventory, ANewestMatchThatCannotBeKeptRejectsTheLine) {
  JobList standard;
  ASSERT_EQ(job_list_append(standard, "tank/home", "hourly", 2, 0), 0);
  SnapshotInventory inventory;
  InventoryListing reading;
  ASSERT_EQ(prepare_inventory_listing(reading, inventory, standard, JobList{}, kTimestamp), 0);
  reading.keep_newest_match = true;
  const std::string name = snap("tank/home", "hourly", 1);
  ASSERT_GT(name.size(), testing::inline_string_capacity());
  AllocationFailure failure(0);
  EXPECT_EQ(add_inventory_line(name.c_str(), &reading), -1);
  EXPECT_TRUE(failure.fired());
}

// Only a failed job looks for this run's snapshot, and only for exactly its name.
TEST(SnapshotInventory, RecordsWhetherAFailedJobsOwnSnapshotWasListed) {
  const std::string own = std::string("tank/home@hourly_") + kTimestamp;
  struct Case {
    const char* name;
    std::int32_t failed;
    Lines listing;
    bool listed;
  };
  const Case cases[] = {
      {"listed", 1, {snap("tank/home", "hourly", 1), own}, true},
      {"not failed", 0, {own}, false},
      {"under other datasets", 1,
       {std::string("tank/home/a@hourly_") + kTimestamp, std::string("tank/homes@hourly_") +
        kTimestamp, std::string("tank@hourly_") + kTimestamp}, false},
      {"longer", 1, {own + "x"}, false},
      {"other prefix", 1, {std::string("tank/home@daily_") + kTimestamp}, false},
      {"other time", 1, {snap("tank/home", "hourly", 1)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JobList standard;
    ASSERT_EQ(job_list_append(standard, "tank/home", "hourly", 5, 0), 0);
    standard.items[0].failed = c.failed;
    JobList recursive;
    SnapshotInventory inventory;
    ASSERT_TRUE(read_listing(inventory, standard, recursive, c.listing));
    EXPECT_EQ(job_tally(inventory, false, 0).own_snapshot_listed, c.listed);
  }
}

// A line of a dataset without jobs is looked up and dropped: it allocates nothing, however
// many there are, and no job's tally changes.
TEST(SnapshotInventory, NamesOfDatasetsWithoutJobsStoreNothing) {
  JobList standard;
  ASSERT_EQ(job_list_append(standard, "tank/home", "hourly", 1, 0), 0);
  ASSERT_EQ(job_list_append(standard, "tank/home", "daily", 1, 0), 0);
  JobList recursive;
  ASSERT_EQ(job_list_append(recursive, "data", "hourly", 1, 0), 0);
  SnapshotInventory inventory;
  InventoryListing reading;
  ASSERT_EQ(prepare_inventory_listing(reading, inventory, standard, recursive, kTimestamp), 0);
  for (int i = 0; i < 5000; ++i) {
    for (const char* dataset : {"tank/vm/disk", "tank/home/", "data/", "tank/home"}) {
      std::string name = dataset + std::to_string(i) + "@hourly_2025-03-01_14:00:00p0100";
      testing::AllocationFailure failure(0);
      ASSERT_EQ(add_inventory_line(name.c_str(), &reading), 0);
      ASSERT_FALSE(failure.fired()) << name;
    }
  }
  for (bool recursive_list : {false, true}) {
    for (const JobTally& tally : recursive_list ? inventory.recursive : inventory.standard) {
      EXPECT_EQ(tally.match_count, 0u);
      EXPECT_TRUE(tally.beyond_retention.empty());
      EXPECT_FALSE(tally.beyond_retention_lost);
    }
  }
  EXPECT_EQ(reading.jobs_by_dataset.size(), 2u);
}

// The job's store is dropped and the job marked; every other job goes on as before.
TEST(SnapshotInventory, KeptNamesThatCannotGrowAreDroppedForThatJobOnly) {
  JobList standard;
  ASSERT_EQ(job_list_append(standard, "tank/a", "h", 1, 0), 0);
  ASSERT_EQ(job_list_append(standard, "tank/b", "h", 1, 0), 0);
  JobList recursive;
  SnapshotInventory inventory;
  InventoryListing reading;
  ASSERT_EQ(prepare_inventory_listing(reading, inventory, standard, recursive, kTimestamp), 0);
  for (int k = 1; k <= 3; ++k) {
    for (const char* dataset : {"tank/a", "tank/b"}) {
      std::string name = snap(dataset, "h", k);
      if (k == 2 && dataset == std::string("tank/a")) {
        AllocationFailure failure(0);
        EXPECT_EQ(add_inventory_line(name.c_str(), &reading), 0);
        EXPECT_TRUE(failure.fired());
      } else {
        EXPECT_EQ(add_inventory_line(name.c_str(), &reading), 0);
      }
    }
  }
  const JobTally& lost = job_tally(inventory, false, 0);
  EXPECT_TRUE(lost.beyond_retention_lost);
  EXPECT_EQ(lost.match_count, 3u);
  EXPECT_EQ(lost.beyond_retention, Lines{});
  const JobTally& kept = job_tally(inventory, false, 1);
  EXPECT_FALSE(kept.beyond_retention_lost);
  EXPECT_EQ(kept.beyond_retention, (Lines{snap("tank/b", "h", 2), snap("tank/b", "h", 3)}));
}

TEST(SnapshotInventory, ListsUnderTheJobRootsAndTalliesInOutputOrder) {
  LogCapture log;
  FakeZfs zfs;
  zfs.set_output("tank@daily_2025-03-01_14:00:00\ntank/a@hourly_2025-03-01_13:00:00\n"
                 "tank/a@hourly_2025-03-01_12:00:00\ntank/a@hourly_2025-03-01_11:00:00\n"
                 "tank/a@hourly_2025-03-01_10:00:00\n");
  JobList standard = job_list_on({"tank/a"}, {.prefix = "hourly", .retention = 3});
  JobList recursive = job_list_on({"tank"}, {.prefix = "daily", .retention = 3});
  SnapshotInventory inventory;
  EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive, kTimestamp), 0);
  EXPECT_EQ(job_tally(inventory, false, 0).match_count, 4u);
  EXPECT_EQ(job_tally(inventory, false, 0).beyond_retention,
            Lines{"tank/a@hourly_2025-03-01_10:00:00"});
  EXPECT_EQ(job_tally(inventory, true, 0).match_count, 1u);
  EXPECT_EQ(zfs.calls(), Calls{list_args(zfs.path(), {"tank"})});
  EXPECT_EQ(log.messages(), Lines{});
}

TEST(SnapshotInventory, NoJobsMeansNoListing) {
  FakeZfs zfs;
  JobList standard;
  JobList recursive;
  SnapshotInventory inventory;
  EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive, kTimestamp), 0);
  EXPECT_EQ(zfs.calls(), Calls{});
  EXPECT_EQ(inventory.standard.capacity() + inventory.recursive.capacity(), 0u);
}

TEST(SnapshotInventory, EmptyListingGivesEmptyInventory) {
  FakeZfs zfs;
  JobList standard = job_list_on({"tank/a", "data"}, {.prefix = "hourly", .retention = 3});
  JobList recursive;
  SnapshotInventory inventory;
  EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive, kTimestamp), 0);
  ASSERT_EQ(inventory.standard.size(), 2u);
  for (const JobTally& tally : inventory.standard) {
    EXPECT_EQ(tally.match_count, 0u);
    EXPECT_TRUE(tally.beyond_retention.empty());
  }
  EXPECT_EQ(zfs.calls(), Calls{list_args(zfs.path(), {"tank/a", "data"})});
}

// Matches of a job on tank with prefix h and retention 3, beyond it from the fourth on.
const std::string kOldMatches =
    "tank@h_2025-03-01_13:00:00\ntank@h_2025-03-01_12:00:00\ntank@h_2025-03-01_11:00:00\n"
    "tank@h_2025-03-01_10:00:00\ntank@h_2025-03-01_09:00:00\n";

// Whatever was tallied before the fault is discarded with everything else.
TEST(SnapshotInventory, FailedFetchLeavesNoStorage) {
  struct Case {
    const char* name;
    std::string output;
    int status;
    Lines messages;
  };
  const Case cases[] = {
      {"malformed line", kOldMatches + "tank/b@c\ntank/home\ntank@d\n", 0,
       {"Error: Invalid snapshot inventory line: tank/home"}},
      {"non-zero exit", kOldMatches, 1, {}},
      {"no final newline", kOldMatches + "tank@h_2025-03-01_09:00:00", 0, {}},
      {"line over 511 bytes", kOldMatches + "tank@" + std::string(507, 'x') + "\n", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    FakeZfs zfs;
    zfs.set_output(c.output);
    zfs.set_status(1, c.status);
    JobList standard = job_list_on({"tank"}, {.prefix = "h", .retention = 3});
    JobList recursive;
    SnapshotInventory inventory;
    EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive, kTimestamp),
              -1);
    EXPECT_EQ(inventory.standard.capacity(), 0u);
    EXPECT_EQ(job_tally(inventory, false, 0).match_count, 0u);
    EXPECT_EQ(log.messages(), c.messages);
    free_snapshot_inventory(inventory);
    EXPECT_EQ(inventory.standard.capacity(), 0u);
  }
}

// 511 roots of 255 characters (511 × 256 = 130816 bytes), one of `length`, and "z".
std::vector<std::string> roots_of_total(std::size_t length) {
  std::vector<std::string> roots;
  for (int i = 0; i < 511; ++i) {
    roots.push_back("p" + std::to_string(1000 + i));
    roots.back().resize(255, 'x');
  }
  roots.push_back(std::string(length, 'q'));
  roots.push_back("z");
  return roots;
}

TEST(SnapshotInventory, RootsAreNamedOnlyWhileTheyFitTheByteBudget) {
  struct Case {
    std::size_t length;  // 253: 131072 bytes in all; 254: 131073
    bool named;
  };
  for (const Case& c : {Case{253, true}, Case{254, false}}) {
    SCOPED_TRACE(c.length);
    FakeZfs zfs;
    std::vector<std::string> roots = roots_of_total(c.length);
    JobList standard;
    JobList recursive = job_list_on(roots, {.prefix = "hourly", .retention = 3});
    SnapshotInventory inventory;
    EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive, kTimestamp),
              0);
    EXPECT_EQ(zfs.calls(), Calls{list_args(zfs.path(), c.named ? roots : Lines{})});
  }
}

}  // namespace
}  // namespace corvatel
