#include "snapshot/prune.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log_capture.h"
#include "snapshot/fake_zfs.h"

namespace corvatel {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
using testing::FakeZfs;
using testing::LogCapture;

SnapshotJob make_job(const std::string& dataset, const std::string& prefix,
                     std::int64_t retention) {
  SnapshotJob job;
  job.dataset = dataset;
  job.prefix = prefix;
  job.retention = retention;
  return job;
}

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
SnapshotInventory inventory_with_matches(int count) {
  SnapshotInventory inventory;
  inventory.items.push_back("tank/home@daily_2025-03-01_20:00:00p0100");
  for (int k = 1; k <= count; ++k) {
    inventory.items.push_back(match(k));
    inventory.items.push_back("tank/home/a@hourly_" + stamp(k));
  }
  inventory.items.push_back("tank/home@hourly_manual");
  return inventory;
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
    SnapshotInventory inventory = inventory_with_matches(5);
    PruneMatchBuffer buffer;
    int status = 0;
    prune_job(zfs.path(), make_job("tank/home", "hourly", 3), inventory, true, buffer,
              list_words(recursive), recursive, status);
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
    SnapshotInventory inventory;
    if (c.matches > 0) inventory = inventory_with_matches(c.matches);
    PruneMatchBuffer buffer;
    int status = c.status_before;
    prune_job(zfs.path(), make_job("tank/home", "hourly", c.retention), inventory, true, buffer,
              list_words(false), false, status);
    EXPECT_EQ(status, c.status_before);
    EXPECT_EQ(zfs.calls(), Calls{});
    EXPECT_EQ(log.messages(), Lines{});
  }
}

TEST(PruneJob, FailedDestroyDoesNotStopTheOthers) {
  LogCapture log;
  FakeZfs zfs;
  zfs.set_status(2, 1);
  SnapshotInventory inventory = inventory_with_matches(6);
  PruneMatchBuffer buffer;
  int status = 0;
  prune_job(zfs.path(), make_job("tank/home", "hourly", 2), inventory, true, buffer,
            list_words(false), false, status);
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
    SnapshotInventory inventory = inventory_with_matches(5);
    PruneMatchBuffer buffer;
    int status = 0;
    prune_job(zfs.path(), make_job("tank/home", "hourly", 1), inventory, false, buffer,
              list_words(c.recursive), c.recursive, status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(zfs.calls(), Calls{});
    EXPECT_EQ(log.messages(), Lines{c.message});
  }
}

TEST(PruneJob, MatchBufferGrowsOnceAndIsReusedAcrossJobsAndPasses) {
  LogCapture log;
  FakeZfs zfs;
  SnapshotInventory inventory = inventory_with_matches(129);
  for (int k = 1; k <= 4; ++k)
    inventory.items.push_back("data@daily_2025-03-0" + std::to_string(k) + "_10:00:00p0000");
  PruneMatchBuffer buffer;
  int status = 0;

  prune_job(zfs.path(), make_job("tank/home", "hourly", 129), inventory, true, buffer,
            list_words(false), false, status);
  EXPECT_EQ(buffer.matches.size(), 129u);
  EXPECT_EQ(buffer.matches.capacity(), 256u);
  EXPECT_EQ(buffer.matches.front(), inventory.items[1].c_str());
  const char* const* storage = buffer.matches.data();

  prune_job(zfs.path(), make_job("data", "daily", 4), inventory, true, buffer,
            list_words(false), false, status);
  EXPECT_EQ(buffer.matches.size(), 4u);
  prune_job(zfs.path(), make_job("tank/home", "hourly", 200), inventory, true, buffer,
            list_words(true), true, status);
  EXPECT_EQ(buffer.matches.size(), 129u);
  EXPECT_EQ(buffer.matches.capacity(), 256u);
  EXPECT_EQ(buffer.matches.data(), storage);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(zfs.calls(), Calls{});
}

}  // namespace
}  // namespace corvatel
