#include "snapshot/prune.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
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
using testing::LogCapture;
using testing::snapshot_job;

// The run's timestamp: 20:00, newer than every listed stamp().
constexpr const char* kTimestamp = "2025-03-01_20:00:00p0100";

// The timestamp k minutes before 20:00 (k from 1), so that a smaller k is newer.
std::string stamp(int k) {
  int minutes = 20 * 60 - k;
  char text[48];
  std::snprintf(text, sizeof text, "2025-03-01_%02d:%02d:00p0100", minutes / 60, minutes % 60);
  return text;
}

// The k-th newest snapshot of tank/home with prefix hourly.
std::string match(int k) { return "tank/home@hourly_" + stamp(k); }

// Matches 1..count, newest first, among snapshots that must never be touched.
Lines listing_with_matches(int count) {
  Lines listing{"tank/home@daily_2025-03-01_20:00:00p0100"};
  for (int k = 1; k <= count; ++k) {
    listing.push_back(match(k));
    listing.push_back("tank/home/a@hourly_" + stamp(k));
  }
  listing.push_back("tank/home@hourly_manual");
  return listing;
}

// The listing tallied for `jobs`, all in the standard list.
SnapshotInventory tallied(const Lines& listing, const std::vector<SnapshotJob>& jobs) {
  JobList standard{jobs};
  JobList recursive;
  SnapshotInventory inventory;
  InventoryListing reading;
  EXPECT_EQ(prepare_inventory_listing(reading, inventory, standard, recursive, kTimestamp), 0);
  for (const std::string& line : listing) EXPECT_EQ(add_inventory_line(line.c_str(), &reading), 0);
  return inventory;
}

// One job's tally of the listing.
JobTally tally_for(const SnapshotJob& job, const Lines& listing) {
  return job_tally(tallied(listing, {job}), false, 0);
}

std::vector<std::string> destroy_args(const char* zfs, bool recursive, const std::string& name) {
  if (recursive) return {zfs, "destroy", "-r", name};
  return {zfs, "destroy", name};
}

TEST(PruneMatch, AcceptsOnlyTheProgramsOwnNamingForm) {
  struct Case {
    std::string name;
    std::string dataset;
    std::string tag;
    bool expected;
  };
  const Case cases[] = {
      {"tank/home@hourly_2025-03-01_14:00:00p0100", "tank/home", "hourly_", true},
      {"tank/home@hourly_2025-03-01_14:00:00-0500", "tank/home", "hourly_", true},
      {"tank/home@hourly_2025-03-01_14:00:00", "tank/home", "hourly_", true},
      {"tank/home@hourly_0000-00-00_99:99:99p9999", "tank/home", "hourly_", true},
      {"tank/home@hourly_2025-03-01_14:00:00+0100", "tank/home", "hourly_", false},
      {"tank/home@hourly_manual", "tank/home", "hourly_", false},
      {"tank/home@hourly2_2025-03-01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/home/a@hourly_2025-03-01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/homes@hourly_2025-03-01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank@hourly_2025-03-01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/home@daily_2025-03-01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01_14:00:00p010", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01_14:00:00p01000", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01_14:00:0", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01T14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01_14:00:0xp0100", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025/03/01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01_14:00:00p01a0", "tank/home", "hourly_", false},
      {"tank/homehourly_2025-03-01_14:00:00p0100", "tank/home", "hourly_", false},
      {"tank/home@hourly_2025-03-01_14:00:00p0100@x", "tank/home", "hourly_", false},
      {"tank@a_2025-03-01_14:00:00p0100", "tank", "a_", true},
      {"tank@a_b_2025-03-01_14:00:00p0100", "tank", "a_b_", true},
      {"tank@a_b_2025-03-01_14:00:00p0100", "tank", "a_", false},
      {"tank@a_2025-03-01_14:00:00p0100", "tank", "a_b_", false},
      {"tank@a_b_2025-03-01_14:00:00", "tank", "a_", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.dataset + " / " + c.tag);
    EXPECT_EQ(is_prune_match(c.name, c.dataset, c.tag), c.expected);
  }
}

TEST(PruneJob, DestroysOldestMatchesBeyondRetentionFirst) {
  for (bool recursive : {false, true}) {
    SCOPED_TRACE(recursive);
    LogCapture log;
    FakeZfs zfs;
    SnapshotJob job = snapshot_job({"tank/home", "hourly", 3});
    int status = 0;
    prune_job(ListPass{zfs.path(), true, kTimestamp, recursive}, job,
              tally_for(job, listing_with_matches(5)), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(zfs.calls(), (Calls{destroy_args(zfs.path(), recursive, match(5)),
                                  destroy_args(zfs.path(), recursive, match(4))}));
    std::string suffix = recursive ? " Recursive" : "";
    EXPECT_EQ(log.messages(),
              (Lines{"Pruned=" + match(5) + suffix, "Pruned=" + match(4) + suffix}));
  }
}

TEST(PruneJob, NothingToDoLeavesStatusAlone) {
  struct Case {
    const char* name;
    int matches;
    std::int64_t retention;
    int status_before;
  };
  const Case cases[] = {
      {"retention equals matches", 5, 5, 0},
      {"retention above matches", 5, 6, 0},
      {"empty inventory", 0, 1, 0},
      {"earlier failure kept", 5, 5, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    FakeZfs zfs;
    SnapshotJob job = snapshot_job({"tank/home", "hourly", c.retention});
    int status = c.status_before;
    prune_job(ListPass{zfs.path(), true, kTimestamp, false}, job,
              tally_for(job, c.matches > 0 ? listing_with_matches(c.matches) : Lines{}), status);
    EXPECT_EQ(status, c.status_before);
    EXPECT_EQ(zfs.calls(), Calls{});
    EXPECT_EQ(log.messages(), Lines{});
  }
}

TEST(PruneJob, FailedDestroyDoesNotStopTheOthers) {
  LogCapture log;
  FakeZfs zfs;
  zfs.set_status(2, 1);
  SnapshotJob job = snapshot_job({"tank/home", "hourly", 2});
  int status = 0;
  prune_job(ListPass{zfs.path(), true, kTimestamp, false}, job,
            tally_for(job, listing_with_matches(6)), status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(zfs.calls(), (Calls{destroy_args(zfs.path(), false, match(6)),
                                destroy_args(zfs.path(), false, match(5)),
                                destroy_args(zfs.path(), false, match(4)),
                                destroy_args(zfs.path(), false, match(3))}));
  EXPECT_EQ(log.messages(),
            (Lines{"Pruned=" + match(6), "Error: Failed to prune snapshot " + match(5),
                   "Pruned=" + match(4), "Pruned=" + match(3)}));
}

TEST(PruneJob, UnavailableInventoryFailsWithoutDestroying) {
  struct Case {
    bool recursive;
    const char* message;
  };
  const Case cases[] = {
      {false, "Error: Unable to prune snapshots for tank/home: snapshot inventory unavailable"},
      {true,
       "Error: Unable to prune recursive snapshots for tank/home: snapshot inventory "
       "unavailable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    LogCapture log;
    FakeZfs zfs;
    SnapshotJob job = snapshot_job({"tank/home", "hourly", 1});
    int status = 0;
    prune_job(ListPass{zfs.path(), false, kTimestamp, c.recursive}, job,
              tally_for(job, listing_with_matches(5)), status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(zfs.calls(), Calls{});
    EXPECT_EQ(log.messages(), Lines{c.message});
  }
}

// Kept names that could not grow: nothing of that job is destroyed, in either list.
TEST(PruneJob, LostMatchListFailsTheJobWithoutDestroying) {
  for (bool recursive : {false, true}) {
    SCOPED_TRACE(recursive);
    LogCapture log;
    FakeZfs zfs;
    SnapshotJob job = snapshot_job({"tank/home", "hourly", 1});
    JobTally tally = tally_for(job, listing_with_matches(3));
    ASSERT_EQ(tally.beyond_retention.empty(), false);
    tally.beyond_retention.clear();  // as the store is left when it cannot grow
    tally.beyond_retention_lost = true;
    int status = 0;
    prune_job(ListPass{zfs.path(), true, kTimestamp, recursive}, job, tally, status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(zfs.calls(), Calls{});
    EXPECT_EQ(log.messages(), Lines{"Error: Failed to allocate prune match list for tank/home"});
  }
}

// Names over datasets that are text prefixes of each other, prefixes that are prefixes of each
// other, "@" in every position, and timestamps of both forms and near misses.
Lines random_listing(std::mt19937& random, std::size_t count) {
  const std::vector<std::string> datasets = {"tank", "tank/home", "tank/homework", "tank/home/a",
                                             "data", "@", ""};
  const std::vector<std::string> tags = {"hourly_", "hourly_2_", "a_", "a_b_", "daily_", ""};
  const std::vector<std::string> stamps = {"2025-03-01_14:00:00p0100", "2025-03-01_14:00:00",
                                           "2025-03-01_14:00:00-0500", "2025-03-01_14:00:00+0100",
                                           "manual", "2025-03-01_14:00:00p0100@x"};
  Lines listing;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = datasets[random() % datasets.size()];
    if (random() % 8 != 0) name += "@";
    name += tags[random() % tags.size()] + stamps[random() % stamps.size()];
    listing.push_back(name);
  }
  return listing;
}

// Every job of every dataset and prefix at once, in both lists, with random retentions: each
// keeps exactly what a scan of the accepted lines finds beyond its retention.
TEST(PruneJob, KeepsExactlyTheMatchesALinearScanFindsBeyondRetention) {
  std::mt19937 random(3);
  const std::vector<std::string> datasets = {"tank", "tank/home", "tank/homework", "data",
                                             "absent"};
  const std::vector<std::string> prefixes = {"hourly", "hourly_2", "a", "a_b", "daily"};
  for (int trial = 0; trial < 50; ++trial) {
    SCOPED_TRACE(trial);
    JobList lists[2];
    for (const std::string& dataset : datasets) {
      for (const std::string& prefix : prefixes)
        lists[random() % 2].items.push_back(
            snapshot_job({dataset, prefix, static_cast<std::int64_t>(1 + random() % 30)}));
    }
    SnapshotInventory inventory;
    InventoryListing reading;
    ASSERT_EQ(prepare_inventory_listing(reading, inventory, lists[0], lists[1], "x"), 0);
    Lines accepted;
    {
      LogCapture log;  // the rejected lines' messages
      for (const std::string& line : random_listing(random, 1 + random() % 400)) {
        if (add_inventory_line(line.c_str(), &reading) == 0) accepted.push_back(line);
      }
    }
    for (bool recursive : {false, true}) {
      const JobList& list = lists[recursive ? 1 : 0];
      for (std::size_t i = 0; i < list.items.size(); ++i) {
        const SnapshotJob& job = list.items[i];
        Lines scanned;
        std::uint64_t matches = 0;
        for (const std::string& name : accepted) {
          if (!is_prune_match(name, job.dataset, job.prefix + "_")) continue;
          if (++matches > static_cast<std::uint64_t>(job.retention)) scanned.push_back(name);
        }
        const JobTally& tally = job_tally(inventory, recursive, i);
        ASSERT_EQ(tally.match_count, matches) << job.dataset << " " << job.prefix;
        ASSERT_EQ(tally.beyond_retention, scanned) << job.dataset << " " << job.prefix;
      }
    }
  }
}

TEST(PruneJob, TwoJobsOnOneDatasetEachPruneOnlyTheirOwnForm) {
  LogCapture log;
  FakeZfs zfs;
  Lines listing;
  for (int k = 1; k <= 4; ++k) {
    listing.push_back("tank/home@hourly_" + stamp(k));
    listing.push_back("tank/home@daily_" + stamp(k));
    listing.push_back("tank/homework@hourly_" + stamp(k));
  }
  const std::vector<SnapshotJob> jobs = {snapshot_job({"tank/home", "hourly", 3}),
                                         snapshot_job({"tank/home", "daily", 2}),
                                         snapshot_job({"tank/empty", "hourly", 1})};
  SnapshotInventory inventory = tallied(listing, jobs);
  int status = 0;
  prune_job(ListPass{zfs.path(), true, kTimestamp, false}, jobs[0], job_tally(inventory, false, 0),
            status);
  prune_job(ListPass{zfs.path(), true, kTimestamp, true}, jobs[1], job_tally(inventory, false, 1),
            status);
  prune_job(ListPass{zfs.path(), true, kTimestamp, false}, jobs[2], job_tally(inventory, false, 2),
            status);
  EXPECT_EQ(zfs.calls(),
            (Calls{destroy_args(zfs.path(), false, "tank/home@hourly_" + stamp(4)),
                   destroy_args(zfs.path(), true, "tank/home@daily_" + stamp(4)),
                   destroy_args(zfs.path(), true, "tank/home@daily_" + stamp(3))}));
  EXPECT_EQ(log.messages(), (Lines{"Pruned=tank/home@hourly_" + stamp(4),
                                   "Pruned=tank/home@daily_" + stamp(4) + " Recursive",
                                   "Pruned=tank/home@daily_" + stamp(3) + " Recursive"}));
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace corvatel
