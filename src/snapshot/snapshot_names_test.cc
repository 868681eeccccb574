#include "snapshot/snapshot_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "allocation_fault.h"

namespace corvatel {
namespace {

using Lines = std::vector<std::string>;
using Positions = std::vector<std::size_t>;
using testing::AllocationFailure;

SnapshotNames names_of(const Lines& lines) {
  SnapshotNames names;
  for (const std::string& line : lines) EXPECT_EQ(names.add(line), 0) << line;
  return names;
}

Positions chain(const SnapshotNames& names, const std::string& dataset) {
  Positions positions;
  for (std::size_t at = names.first_of(dataset); at != SnapshotNames::npos;
       at = names.next_of(at))
    positions.push_back(at);
  return positions;
}

// The chain as a plain scan finds it: every position whose text before the first "@" (or
// whole text) is `dataset`, in order.
Positions scanned(const Lines& lines, const std::string& dataset) {
  Positions positions;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string before = lines[i].substr(0, lines[i].find('@'));
    if (before == dataset) positions.push_back(i);
  }
  return positions;
}

TEST(NameDataset, IsTheTextBeforeTheFirstAt) {
  struct Case {
    std::string name;
    std::string dataset;
  };
  const Case cases[] = {
      {"tank/home@hourly_1", "tank/home"},
      {"tank@a@b", "tank"},
      {"@a", ""},
      {"tank@", "tank"},
      {"tank", "tank"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(name_dataset(c.name), c.dataset) << c.name;
}

TEST(SnapshotNames, ChainsEachDatasetsNamesInTheOrderAdded) {
  const Lines lines = {
      "tank/home@hourly_3", "tank@daily_2",     "tank/homework@a", "tank/home@hourly_2",
      "tank/home/a@x",      "@lonely",          "tank@a@b",        "tank",
      "tank/home@hourly_1", "data/home@hourly", "@other",          "tank/home@",
  };
  SnapshotNames names = names_of(lines);
  ASSERT_EQ(names, lines);
  struct Case {
    std::string dataset;
    Positions positions;
  };
  const Case cases[] = {
      {"tank/home", {0, 3, 8, 11}},
      {"tank", {1, 6, 7}},  // a name without "@" is its own dataset
      {"tank/homework", {2}},
      {"tank/home/a", {4}},
      {"", {5, 10}},
      {"data/home", {9}},
      {"data", {}},  // a dataset with no names
      {"tank/hom", {}},
      {"tank/home/", {}},
      {"tank/home@hourly_3", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataset);
    EXPECT_EQ(chain(names, c.dataset), c.positions);
    EXPECT_EQ(scanned(lines, c.dataset), c.positions);  // the table itself is right
  }
}

TEST(SnapshotNames, EmptyListHasNoDatasets) {
  const SnapshotNames names;
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(names.capacity(), 0u);
  EXPECT_EQ(names.first_of("tank"), SnapshotNames::npos);
  EXPECT_EQ(names.first_of(""), SnapshotNames::npos);
  EXPECT_EQ(names, Lines{});
}

TEST(SnapshotNames, ManyDatasetsAndNamesKeepTheirChainsAndAddresses) {
  // Enough datasets to grow the dataset table many times, names long enough to fill many
  // blocks, and one name longer than any block.
  Lines lines;
  for (int round = 0; round < 40; ++round) {
    for (int d = 0; d < 700; ++d)
      lines.push_back("pool/group" + std::to_string(d % 7) + "/dataset" + std::to_string(d) +
                      "@hourly_" + std::to_string(round));
  }
  lines.push_back("pool/huge@" + std::string(3 << 20, 'x'));
  SnapshotNames names;
  std::vector<const char*> addresses;
  for (const std::string& line : lines) {
    ASSERT_EQ(names.add(line), 0);
    addresses.push_back(names[names.size() - 1].c_str());
  }
  ASSERT_EQ(names.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(names[i], lines[i]) << i;
    ASSERT_EQ(names[i].c_str(), addresses[i]) << i;  // never moved while names were added
    ASSERT_EQ(names[i].c_str()[lines[i].size()], '\0') << i;
  }
  for (int d : {0, 1, 350, 699}) {
    std::string dataset = "pool/group" + std::to_string(d % 7) + "/dataset" + std::to_string(d);
    EXPECT_EQ(chain(names, dataset), scanned(lines, dataset)) << dataset;
  }
  EXPECT_EQ(chain(names, "pool/huge"), Positions{lines.size() - 1});
}

TEST(SnapshotNames, ChainsStayRightWhenTheOrderOfDatasetsRepeatsOrChanges) {
  // Rounds over the same datasets in the same order, as a listing has them, disturbed at
  // random: a dataset left out, one named twice in a row, a new one, the order reversed.
  std::mt19937 random(17);
  for (int trial = 0; trial < 20; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<std::string> datasets;
    for (int d = 0; d < 30; ++d) datasets.push_back("tank/d" + std::to_string(d));
    Lines lines;
    for (int round = 0; round < 30; ++round) {
      if (random() % 5 == 0) std::reverse(datasets.begin(), datasets.end());
      if (random() % 4 == 0) datasets.push_back("tank/new" + std::to_string(round));
      for (const std::string& dataset : datasets) {
        if (random() % 10 == 0) continue;
        int times = random() % 12 == 0 ? 2 : 1;
        for (int t = 0; t < times; ++t)
          lines.push_back(dataset + "@s" + std::to_string(round) + "_" + std::to_string(t));
      }
    }
    SnapshotNames names = names_of(lines);
    for (const std::string& dataset : datasets)
      ASSERT_EQ(chain(names, dataset), scanned(lines, dataset)) << dataset;
    EXPECT_EQ(chain(names, "tank/d"), Positions{});
  }
}

TEST(SnapshotNames, NameSlotsGrowFrom128ByDoubling) {
  SnapshotNames names;
  for (int i = 0; i < 513; ++i) {
    ASSERT_EQ(names.add("tank@s" + std::to_string(i)), 0);
    std::size_t expected = i < 128 ? 128 : i < 256 ? 256 : i < 512 ? 512 : 1024;
    ASSERT_EQ(names.capacity(), expected) << i;
  }
}

TEST(SnapshotNames, ClearReleasesEverythingAndTheListCanBeRefilled) {
  SnapshotNames names = names_of({"tank@a", "tank/x@b", "tank@c"});
  names.clear();
  EXPECT_EQ(names.size(), 0u);
  EXPECT_EQ(names.capacity(), 0u);
  EXPECT_EQ(names.first_of("tank"), SnapshotNames::npos);
  ASSERT_EQ(names.add("tank@d"), 0);
  EXPECT_EQ(names, Lines{"tank@d"});
  EXPECT_EQ(chain(names, "tank"), Positions{0});
}

TEST(SnapshotNames, CopiesAndMovesKeepNamesAndChains) {
  const Lines lines = {"tank@a", "data@b", "tank@c", "tank/x@d"};
  SnapshotNames original = names_of(lines);
  SnapshotNames copy(original);
  EXPECT_EQ(copy, lines);
  EXPECT_EQ(chain(copy, "tank"), (Positions{0, 2}));
  EXPECT_NE(copy[0].c_str(), original[0].c_str());

  const char* first = original[0].c_str();
  SnapshotNames moved(std::move(original));
  EXPECT_EQ(moved[0].c_str(), first);  // a move keeps every address
  EXPECT_EQ(chain(moved, "tank"), (Positions{0, 2}));
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty
  EXPECT_EQ(original.first_of("tank"), SnapshotNames::npos);
  ASSERT_EQ(original.add("data@z"), 0);
  EXPECT_EQ(original, Lines{"data@z"});

  SnapshotNames assigned = names_of({"old@x"});
  assigned = copy;
  EXPECT_EQ(assigned, lines);
  assigned = SnapshotNames{"new@y", "new@z"};
  EXPECT_EQ(assigned, (Lines{"new@y", "new@z"}));
  EXPECT_EQ(chain(assigned, "new"), (Positions{0, 1}));
  EXPECT_EQ(chain(assigned, "tank"), Positions{});
}

TEST(SnapshotNames, EqualityComparesEveryNameInOrder) {
  const SnapshotNames names = {"tank@a", "tank@b"};
  EXPECT_TRUE(names == (Lines{"tank@a", "tank@b"}));
  EXPECT_FALSE(names == (Lines{"tank@b", "tank@a"}));
  EXPECT_FALSE(names == (Lines{"tank@a"}));
  EXPECT_FALSE(names == (Lines{"tank@a", "tank@b", "tank@c"}));
  EXPECT_FALSE(names == (Lines{"tank@a", "tank@bb"}));
}

// Names that reach each kind of growth: the first add, a new dataset, the 129th name slot,
// and text that needs a new block.
Lines growth_history() {
  Lines lines;
  for (int i = 0; i < 128; ++i)
    lines.push_back("tank/d" + std::to_string(i % 40) + "@s" + std::to_string(i));
  return lines;
}

TEST(SnapshotNames, FailedAllocationAddsNothing) {
  struct Case {
    const char* name;
    Lines before;
    std::string added;
  };
  const Case cases[] = {
      {"first name", {}, "tank@a"},
      {"129th name slot and a new dataset", growth_history(), "data@new"},
      {"new block", {"tank@a"}, "tank@" + std::string(5000, 'b')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t failures = 0;
    for (std::size_t allowed = 0;; ++allowed) {
      long live_before = testing::live_allocations();
      {
        SnapshotNames names = names_of(c.before);
        std::size_t capacity = names.capacity();
        int result;
        bool fired;
        {
          AllocationFailure failure(allowed);
          result = names.add(c.added);
          fired = failure.fired();
        }
        if (!fired) {
          EXPECT_EQ(result, 0);
          break;
        }
        ++failures;
        EXPECT_EQ(result, -1);
        EXPECT_EQ(names, c.before);
        std::string dataset(name_dataset(c.added));
        EXPECT_EQ(chain(names, dataset), scanned(c.before, dataset));
        EXPECT_GE(names.capacity(), capacity);
        EXPECT_EQ(names.add("after@retry"), 0);  // still usable
      }
      EXPECT_EQ(testing::live_allocations(), live_before);
    }
    EXPECT_GE(failures, 2u);
  }
}

}  // namespace
}  // namespace corvatel
