#include "snapshot/inventory.h"

#include <gtest/gtest.h>

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

JobList make_list(const std::vector<std::string>& datasets, const std::string& prefix) {
  JobList list;
  for (const std::string& dataset : datasets)
    EXPECT_EQ(job_list_append(list, dataset, prefix, 3, 0), 0);
  return list;
}

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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture log;
    SnapshotInventory inventory;
    int result = add_inventory_line(c.line.c_str(), &inventory);
    if (c.accepted) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(inventory.items, Lines{c.line});
      EXPECT_EQ(log.messages(), Lines{});
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(inventory.items, Lines{});
      EXPECT_EQ(logged_text(log), "Error: Invalid snapshot inventory line: " + c.line);
    }
  }
}

TEST(SnapshotInventory, GrowsFrom128To256AtThe129thName) {
  SnapshotInventory inventory;
  Lines expected;
  for (int i = 0; i < 129; ++i) {
    expected.push_back("tank@s" + std::to_string(i));
    ASSERT_EQ(add_inventory_line(expected.back().c_str(), &inventory), 0);
    EXPECT_EQ(inventory.items.capacity(), i < 128 ? 128u : 256u);
  }
  EXPECT_EQ(inventory.items, expected);
  free_snapshot_inventory(inventory);
  EXPECT_EQ(inventory.items.capacity(), 0u);
}

TEST(SnapshotInventory, ListsUnderTheJobRootsInOutputOrder) {
  LogCapture log;
  FakeZfs zfs;
  zfs.set_output("tank@daily_2\ntank/a@hourly_2\ntank/a@hourly_1\n");
  JobList standard = make_list({"tank/a"}, "hourly");
  JobList recursive = make_list({"tank"}, "daily");
  SnapshotInventory inventory;
  EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive), 0);
  EXPECT_EQ(inventory.items, (Lines{"tank@daily_2", "tank/a@hourly_2", "tank/a@hourly_1"}));
  EXPECT_EQ(zfs.calls(), Calls{list_args(zfs.path(), {"tank"})});
  EXPECT_EQ(log.messages(), Lines{});
}

TEST(SnapshotInventory, NoJobsMeansNoListing) {
  FakeZfs zfs;
  JobList standard;
  JobList recursive;
  SnapshotInventory inventory;
  EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive), 0);
  EXPECT_EQ(zfs.calls(), Calls{});
  EXPECT_EQ(inventory.items.capacity(), 0u);
}

TEST(SnapshotInventory, EmptyListingGivesEmptyInventory) {
  FakeZfs zfs;
  JobList standard = make_list({"tank/a", "data"}, "hourly");
  JobList recursive;
  SnapshotInventory inventory;
  EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive), 0);
  EXPECT_EQ(inventory.items, Lines{});
  EXPECT_EQ(zfs.calls(), Calls{list_args(zfs.path(), {"tank/a", "data"})});
}

TEST(SnapshotInventory, FailedFetchLeavesNoStorage) {
  struct Case {
    const char* name;
    std::string output;
    int status;
    Lines messages;
  };
  const Case cases[] = {
      {"malformed line", "tank@a\ntank/b@c\ntank/home\ntank@d\n", 0,
       {"Error: Invalid snapshot inventory line: tank/home"}},
      {"non-zero exit", "tank@a\ntank@b\n", 1, {}},
      {"no final newline", "tank@a\ntank@b", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    FakeZfs zfs;
    zfs.set_output(c.output);
    zfs.set_status(1, c.status);
    JobList standard = make_list({"tank"}, "hourly");
    JobList recursive;
    SnapshotInventory inventory;
    EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive), -1);
    EXPECT_EQ(inventory.items.size(), 0u);
    EXPECT_EQ(inventory.items.capacity(), 0u);
    EXPECT_EQ(log.messages(), c.messages);
    free_snapshot_inventory(inventory);
    EXPECT_EQ(inventory.items.capacity(), 0u);
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
    JobList standard = make_list({}, "hourly");
    JobList recursive = make_list(roots, "hourly");
    SnapshotInventory inventory;
    EXPECT_EQ(fetch_snapshot_inventory(zfs.path(), inventory, standard, recursive), 0);
    EXPECT_EQ(zfs.calls(), Calls{list_args(zfs.path(), c.named ? roots : Lines{})});
  }
}

}  // namespace
}  // namespace corvatel
