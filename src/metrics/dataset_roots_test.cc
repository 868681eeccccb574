#include "metrics/dataset_roots.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "allocation_fault.h"
#include "job_lists.h"

namespace corvatel {
namespace {

using Names = std::vector<std::string>;
using testing::job_list_on;

struct AddCase {
  const char* title;
  Names added;
  Names roots;
};

void PrintTo(const AddCase& c, std::ostream* os) { *os << c.title; }

class RootsAdd : public ::testing::TestWithParam<AddCase> {};

TEST_P(RootsAdd, KeepsTheFewestCoveringNamesInOrder) {
  DatasetRoots roots;
  for (const std::string& name : GetParam().added) ASSERT_EQ(dataset_roots_add(roots, name), 0);
  EXPECT_EQ(roots.names, GetParam().roots);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RootsAdd,
    ::testing::Values(
        AddCase{"ReplacementGoesToTheEnd", {"tank/a/b", "tank/c", "tank/a"}, {"tank/c", "tank/a"}},
        AddCase{"ReplacesEveryNameBelow",
                {"tank/a/x", "tank/b", "tank/a/y/z", "tank/a"},
                {"tank/b", "tank/a"}},
        AddCase{"PoolReplacesItsDatasetsOnly",
                {"tank/a", "other/x", "tank/b", "tank"},
                {"other/x", "tank"}},
        AddCase{"SameNameTwice", {"tank/a", "tank/a"}, {"tank/a"}},
        AddCase{
            "NameBelowARootLeavesRoots", {"tank/a", "tank/c", "tank/a/b"}, {"tank/a", "tank/c"}},
        AddCase{"DeepBelowARoot", {"tank", "tank/a/b/c"}, {"tank"}},
        AddCase{"TextOnlyRelation",
                {"tank/a", "tank/ab", "tank/a-x", "tanker/a", "tank"},
                {"tanker/a", "tank"}},
        AddCase{"PrefixSiblingsStay",
                {"tank/a", "tank/ab", "tank/a-x"},
                {"tank/a", "tank/ab", "tank/a-x"}}),
    [](const ::testing::TestParamInfo<AddCase>& info) { return std::string(info.param.title); });

TEST(DatasetRoots, CollectsStandardThenRecursive) {
  JobList standard = job_list_on({"tank/a/b", "tank/c"});
  JobList recursive = job_list_on({"tank/a"});
  DatasetRoots roots;
  ASSERT_EQ(dataset_roots_collect(roots, standard, recursive), 0);
  EXPECT_EQ(roots.names, (Names{"tank/c", "tank/a"}));
}

TEST(DatasetRoots, SameDatasetInBothListsGivesOneRoot) {
  JobList standard = job_list_on({"tank/a"});
  JobList recursive = job_list_on({"tank/a"});
  DatasetRoots roots;
  ASSERT_EQ(dataset_roots_collect(roots, standard, recursive), 0);
  EXPECT_EQ(roots.names, (Names{"tank/a"}));
}

TEST(DatasetRoots, GrowsFrom32ByDoubling) {
  DatasetRoots roots;
  for (int i = 0; i < 32; ++i) ASSERT_EQ(dataset_roots_add(roots, "tank/" + std::to_string(i)), 0);
  EXPECT_EQ(roots.names.capacity(), 32u);
  ASSERT_EQ(dataset_roots_add(roots, "tank/32"), 0);
  EXPECT_EQ(roots.names.capacity(), 64u);
  ASSERT_EQ(roots.names.size(), 33u);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(roots.names[i], "tank/" + std::to_string(i));
}

TEST(DatasetRoots, FailedCopyKeepsTheRemovalsAndLacksTheName) {
  const std::string name = "tank/a-dataset-name-too-long-for-any-small-string-buffer";
  DatasetRoots roots;
  ASSERT_EQ(dataset_roots_add(roots, name + "/child"), 0);
  ASSERT_EQ(dataset_roots_add(roots, "tank/z"), 0);
  ASSERT_GT(name.size(), testing::inline_string_capacity());
  {
    // The list has room: the copy of the name is the one allocation, and it fails.
    testing::AllocationFailure fail(0);
    EXPECT_EQ(dataset_roots_add(roots, name), -1);
    EXPECT_TRUE(fail.fired());
    EXPECT_EQ(fail.calls(), 1u);
  }
  EXPECT_EQ(roots.names, (Names{"tank/z"}));
}

// A distinct root name of exactly `length` characters.
std::string root_of_length(int index, std::size_t length) {
  std::string name = "tank/" + std::to_string(index) + "_";
  name.resize(length, 'x');
  return name;
}

struct FitCase {
  const char* title;
  std::size_t full_names;   // names of 255 characters
  std::size_t last_length;  // one more name of this length; 0: none
  bool fits;
};

void PrintTo(const FitCase& c, std::ostream* os) { *os << c.title; }

class RootsFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(RootsFit, CountsEachNameWithItsNul) {
  DatasetRoots roots;
  for (std::size_t i = 0; i < GetParam().full_names; ++i)
    roots.names.push_back(root_of_length(static_cast<int>(i), 255));
  if (GetParam().last_length != 0)
    roots.names.push_back(root_of_length(-1, GetParam().last_length));
  EXPECT_EQ(dataset_roots_fit(roots), GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(Cases, RootsFit,
                         ::testing::Values(FitCase{"Empty", 0, 0, true},
                                           FitCase{"Exactly131072", 511, 255, true},
                                           FitCase{"Over131072ByOne", 511, 256, false},
                                           FitCase{"FarOver", 600, 0, false}),
                         [](const ::testing::TestParamInfo<FitCase>& info) {
                           return std::string(info.param.title);
                         });

// Names over two pools with text-only relations (tank/a, tank/ab, tank/a-x), repeats, and
// ancestors that come before or after their descendants.
Names random_datasets(std::mt19937& random, std::size_t count) {
  const Names parts = {"a", "ab", "a-x", "b"};
  Names names;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = random() % 2 ? "tank" : "tanker";
    for (auto depth = random() % 4; depth > 0; --depth)
      name += "/" + parts[random() % parts.size()];
    names.push_back(name);
  }
  return names;
}

TEST(DatasetRoots, CollectGivesWhatAddingOneByOneGives) {
  std::mt19937 random(11);
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    Names held = random_datasets(random, random() % 3);
    Names standard = random_datasets(random, random() % 12);
    Names recursive = random_datasets(random, random() % 6);
    DatasetRoots added;
    for (const Names* names : {&held, &standard, &recursive}) {
      for (const std::string& name : *names) ASSERT_EQ(dataset_roots_add(added, name), 0);
    }
    DatasetRoots collected;
    for (const std::string& name : held) ASSERT_EQ(dataset_roots_add(collected, name), 0);
    ASSERT_EQ(dataset_roots_collect(collected, job_list_on(standard), job_list_on(recursive)), 0);
    EXPECT_EQ(collected.names, added.names);
  }
}

TEST(DatasetRoots, CollectFailsCleanlyAtEachAllocation) {
  JobList standard =
      job_list_on({"tank/a-long-dataset-name/child", "data/another-long-dataset-name"});
  JobList recursive = job_list_on({"tank/a-long-dataset-name", "tank"});
  std::size_t failures = 0;
  for (std::size_t allowed = 0;; ++allowed) {
    SCOPED_TRACE(allowed);
    long live_before = testing::live_allocations();
    int result;
    bool fired;
    {
      DatasetRoots roots;
      {
        testing::AllocationFailure failure(allowed);
        result = dataset_roots_collect(roots, standard, recursive);
        fired = failure.fired();
      }
      if (!fired) {
        EXPECT_EQ(roots.names, (Names{"data/another-long-dataset-name", "tank"}));
      }
    }
    EXPECT_EQ(testing::live_allocations(), live_before);
    if (!fired) {
      EXPECT_EQ(result, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(result, -1);
  }
  EXPECT_GE(failures, 3u);  // the name table, the roots' storage, one long name at least
}

}  // namespace
}  // namespace corvatel
