#include "metrics/written_totals.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "job_lists.h"
#include "log_capture.h"

namespace corvatel {
namespace {

using Rows = std::vector<std::pair<std::string, std::int64_t>>;
using Messages = std::vector<std::string>;
using testing::job_list;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

MetricTable sorted_table(const Rows& rows) {
  MetricTable table;
  for (const auto& [name, value] : rows) {
    WrittenMetric row{};
    std::snprintf(row.name, sizeof row.name, "%s", name.c_str());
    row.value = value;
    table.rows.push_back(row);
  }
  sort_metric_table(table);
  return table;
}

// dataset, prefix and written_total of every job left.
std::vector<std::string> survivors(const JobList& list) {
  std::vector<std::string> out;
  for (const SnapshotJob& job : list.items)
    out.push_back(job.dataset + "@" + job.prefix + "=" + std::to_string(job.written_total));
  return out;
}

struct TotalCase {
  const char* title;
  bool recursive;
  std::int64_t min_bytes;
  Rows rows;
  std::int64_t total;  // -1: the job is dropped
  Messages messages;
  int run_status;
};

void PrintTo(const TotalCase& c, std::ostream* os) { *os << c.title; }

class WrittenTotal : public ::testing::TestWithParam<TotalCase> {};

TEST_P(WrittenTotal, KeepsOrDropsTheJob) {
  const TotalCase& c = GetParam();
  testing::LogCapture log;
  JobList list = job_list({{.dataset = "tank/a", .prefix = "p", .min_bytes = c.min_bytes}});
  MetricTable table = sorted_table(c.rows);
  int run_status = 0;
  compute_written_totals(list, table, c.recursive, run_status);
  if (c.total < 0) {
    EXPECT_TRUE(list.items.empty());
  } else {
    ASSERT_EQ(list.items.size(), 1u);
    EXPECT_EQ(list.items[0].written_total, c.total);
  }
  EXPECT_EQ(log.messages(), c.messages);
  EXPECT_EQ(run_status, c.run_status);
}

const char* const kNotFound =
    "Error: Configured dataset not found or has invalid written metric: tank/a";
const char* const kRecursiveNotFound =
    "Error: Configured recursive dataset not found or has invalid written metric: tank/a";
const char* const kInvalidBelow =
    "Error: Invalid written metric for tank/a/b, excluding from recursive total for tank/a";
const char* const kOverflow = "Error: Recursive written metric total overflows for tank/a";
const Rows kFamily = {
    {"tank/a", 100}, {"tank/a-x", 7}, {"tank/a/b", 50}, {"tank/a/b/c", 25}, {"tank/ab", 1000}};

INSTANTIATE_TEST_SUITE_P(
    Standard, WrittenTotal,
    ::testing::Values(
        TotalCase{"ReachesMin", false, 500, {{"tank/a", 500}}, 500, {}, 0},
        TotalCase{"BelowMinDroppedSilently", false, 501, {{"tank/a", 500}}, -1, {}, 0},
        TotalCase{"ZeroWithMinZero", false, 0, {{"tank/a", 0}}, 0, {}, 0},
        TotalCase{"OwnValueOnly", false, 0, kFamily, 100, {}, 0},
        TotalCase{"Missing", false, 0, {{"tank", 1}, {"tank/ab", 1}}, -1, {kNotFound}, 1},
        TotalCase{"Unusable", false, 0, {{"tank/a", -1}}, -1, {kNotFound}, 1},
        TotalCase{"EmptyTable", false, 0, {}, -1, {kNotFound}, 1}),
    [](const ::testing::TestParamInfo<TotalCase>& info) { return std::string(info.param.title); });

INSTANTIATE_TEST_SUITE_P(
    Recursive, WrittenTotal,
    ::testing::Values(
        TotalCase{"AddsEveryRowBelowOnly", true, 0, kFamily, 175, {}, 0},
        TotalCase{"ReachesMin", true, 175, kFamily, 175, {}, 0},
        TotalCase{"BelowMinDroppedSilently", true, 176, kFamily, -1, {}, 0},
        TotalCase{
            "NoRowsBelow", true, 0, {{"tank/a", 9}, {"tank/a0", 5}, {"tank/a.b", 5}}, 9, {}, 0},
        TotalCase{"SkipsRowsBetweenByByteOrder",
                  true,
                  0,
                  {{"tank/a", 1},
                   {"tank/a b", 10},
                   {"tank/a.x", 10},
                   {"tank/a/b", 2},
                   {"tank/a/b c/d", 4},
                   {"tank/a0", 10}},
                  7,
                  {},
                  0},
        TotalCase{"MissingWithRowsBelow", true, 0, {{"tank/a/b", 5}}, -1, {kRecursiveNotFound}, 1},
        TotalCase{"UnusableWithRowsBelow",
                  true,
                  0,
                  {{"tank/a", -1}, {"tank/a/b", 5}},
                  -1,
                  {kRecursiveNotFound},
                  1},
        TotalCase{"InvalidRowBelowExcluded",
                  true,
                  0,
                  {{"tank/a", 100}, {"tank/a/b", -1}, {"tank/a/c", 5}},
                  105,
                  {kInvalidBelow},
                  0},
        TotalCase{"InvalidRowBelowThenBelowMin",
                  true,
                  106,
                  {{"tank/a", 100}, {"tank/a/b", -1}, {"tank/a/c", 5}},
                  -1,
                  {kInvalidBelow},
                  0},
        TotalCase{"Overflow",
                  true,
                  0,
                  {{"tank/a", kMax - 10}, {"tank/a/b", 11}},
                  -1,
                  {kOverflow, kRecursiveNotFound},
                  1},
        TotalCase{"OverflowOnALaterRow",
                  true,
                  0,
                  {{"tank/a", kMax - 10}, {"tank/a/b", 10}, {"tank/a/c", 1}, {"tank/a/d", -1}},
                  -1,
                  {kOverflow, kRecursiveNotFound},
                  1},
        TotalCase{"ExactlyTheLargestTotal",
                  true,
                  0,
                  {{"tank/a", kMax - 10}, {"tank/a/b", 4}, {"tank/a/c", 6}},
                  kMax,
                  {},
                  0},
        TotalCase{"EmptyTable", true, 0, {}, -1, {kRecursiveNotFound}, 1}),
    [](const ::testing::TestParamInfo<TotalCase>& info) { return std::string(info.param.title); });

TEST(WrittenTotals, PoolRootAddsItsWholePoolOnly) {
  JobList list = job_list({{"tank", "p"}});
  MetricTable table = sorted_table(
      {{"tank", 1}, {"tank/a", 2}, {"tank/a/b", 4}, {"tanker", 100}, {"tanker/a", 100}});
  int run_status = 0;
  compute_written_totals(list, table, true, run_status);
  EXPECT_EQ(survivors(list), (std::vector<std::string>{"tank@p=7"}));
}

TEST(WrittenTotals, EmptyTableDropsEveryJobOfBothLists) {
  testing::LogCapture log;
  JobList standard = job_list({{"tank/a", "p"}, {"tank/b", "p"}});
  JobList recursive = job_list({{"tank/c", "p"}});
  MetricTable table;
  int run_status = 0;
  compute_written_totals(standard, table, false, run_status);
  compute_written_totals(recursive, table, true, run_status);
  EXPECT_TRUE(standard.items.empty());
  EXPECT_TRUE(recursive.items.empty());
  EXPECT_EQ(standard.items.capacity(), 32u);
  EXPECT_EQ(
      log.messages(),
      (Messages{
          "Error: Configured dataset not found or has invalid written metric: tank/a",
          "Error: Configured dataset not found or has invalid written metric: tank/b",
          "Error: Configured recursive dataset not found or has invalid written metric: tank/c"}));
  EXPECT_EQ(run_status, 1);
}

TEST(WrittenTotals, DroppingTheSecondOfThreeKeepsOrderAndTotals) {
  testing::LogCapture log;
  JobList list = job_list({{"tank/a", "one"}, {"tank/b", "two"}, {"tank/c", "three"}});
  MetricTable table = sorted_table({{"tank/c", 30}, {"tank/a", 10}});
  int run_status = 0;
  compute_written_totals(list, table, false, run_status);
  EXPECT_EQ(survivors(list), (std::vector<std::string>{"tank/a@one=10", "tank/c@three=30"}));
  EXPECT_EQ(
      log.messages(),
      (Messages{"Error: Configured dataset not found or has invalid written metric: tank/b"}));
  EXPECT_EQ(run_status, 1);
}

TEST(WrittenTotals, SameDatasetTwiceGetsTheSameTotal) {
  JobList list = job_list({{"tank/a", "hourly"}, {"tank/a", "daily"}});
  MetricTable table = sorted_table({{"tank/a", 42}, {"tank/a/b", 1}});
  int run_status = 0;
  compute_written_totals(list, table, false, run_status);
  EXPECT_EQ(survivors(list), (std::vector<std::string>{"tank/a@hourly=42", "tank/a@daily=42"}));
  EXPECT_EQ(run_status, 0);
}

TEST(WrittenTotals, NeverLowersTheRunStatus) {
  JobList list = job_list({{"tank/a", "p"}});
  MetricTable table = sorted_table({{"tank/a", 1}});
  int run_status = 1;
  compute_written_totals(list, table, false, run_status);
  EXPECT_EQ(survivors(list), (std::vector<std::string>{"tank/a@p=1"}));
  EXPECT_EQ(run_status, 1);
}

TEST(WrittenTotals, EmptyListStaysEmpty) {
  testing::LogCapture log;
  JobList list;
  MetricTable table = sorted_table({{"tank/a", 1}});
  int run_status = 0;
  compute_written_totals(list, table, true, run_status);
  EXPECT_TRUE(list.items.empty());
  EXPECT_EQ(list.items.capacity(), 0u);
  EXPECT_EQ(log.messages(), Messages{});
  EXPECT_EQ(run_status, 0);
}

}  // namespace
}  // namespace corvatel
