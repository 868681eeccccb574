#include "metrics/metrics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "allocation_fault.h"
#include "log_capture.h"

namespace corvatel {
namespace {

using Row = std::pair<std::string, std::int64_t>;
using Rows = std::vector<Row>;
using Messages = std::vector<std::string>;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Rows rows_of(const MetricTable& table) {
  Rows rows;
  for (const WrittenMetric& row : table.rows) rows.emplace_back(row.name, row.value);
  return rows;
}

struct LineCase {
  std::string line;
  Rows rows;          // what the table holds afterwards
  Messages messages;  // what was logged
};

// Readable and short: control bytes escaped, long lines cut.
std::string shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text.substr(0, 24)) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, c < 0x20 || c >= 0x7f ? "\\x%02x" : "%c", c);
    out += escaped;
  }
  return text.size() > 24 ? out + "..." : out;
}

void PrintTo(const LineCase& c, std::ostream* os) { *os << '"' << shown(c.line) << '"'; }

class MetricLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(MetricLine, StoresOrSkipsWithTheExactMessage) {
  testing::LogCapture log;
  MetricTable table;
  EXPECT_EQ(parse_metric_line(GetParam().line.c_str(), &table), 0);
  EXPECT_EQ(rows_of(table), GetParam().rows);
  EXPECT_EQ(log.messages(), GetParam().messages);
}

const std::string kName255 = "tank/" + std::string(250, 'n');
const std::string kName256 = "tank/" + std::string(251, 'n');

INSTANTIATE_TEST_SUITE_P(
    Values, MetricLine,
    ::testing::Values(LineCase{"tank/a\t123", {{"tank/a", 123}}, {}},
                      LineCase{"tank/a\t123   ", {{"tank/a", 123}}, {}},
                      LineCase{"tank/a\t123\r", {{"tank/a", 123}}, {}},
                      LineCase{"tank/a\t123 \v\f\r", {{"tank/a", 123}}, {}},
                      LineCase{"tank/a\t0", {{"tank/a", 0}}, {}},
                      LineCase{"tank/a\t-", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t12abc", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t7 8", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t-5", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t+", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t99999999999999999999", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t9223372036854775808", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t-99999999999999999999", {{"tank/a", -1}}, {}},
                      LineCase{"tank/a\t9223372036854775807", {{"tank/a", kMax}}, {}},
                      LineCase{"tank/a\t-0", {{"tank/a", 0}}, {}},
                      LineCase{"tank/a\t+7", {{"tank/a", 7}}, {}},
                      LineCase{"tank/a\t 7", {{"tank/a", 7}}, {}}));

INSTANTIATE_TEST_SUITE_P(
    Names, MetricLine,
    ::testing::Values(LineCase{" tank/a\t5", {{" tank/a", 5}}, {}},
                      LineCase{"tank/a \t5", {{"tank/a ", 5}}, {}},
                      LineCase{kName255 + "\t5", {{kName255, 5}}, {}},
                      LineCase{kName255 + "\t" + std::string(254, '0') + "7", {{kName255, 7}}, {}},
                      LineCase{kName256 + "\t5",
                               {},
                               {"Error: Skipping metric line with oversized dataset name: " +
                                kName256}}));

INSTANTIATE_TEST_SUITE_P(
    Skipped, MetricLine,
    ::testing::Values(
        LineCase{"tank/a 123",
                 {},
                 {"Error: Skipping metric line missing tab delimiter: tank/a 123"}},
        LineCase{"", {}, {"Error: Skipping metric line missing tab delimiter: "}},
        LineCase{"tank/a\t1\t2",
                 {},
                 {"Error: Skipping metric line with unexpected fields: tank/a\t1\t2"}},
        LineCase{"tank/a\t123\t",
                 {},
                 {"Error: Skipping metric line with unexpected fields: tank/a\t123\t"}},
        LineCase{"\t5",
                 {},
                 {"Error: Skipping metric line with empty dataset or written value: \t5"}},
        LineCase{"tank/a\t   ",
                 {},
                 {"Error: Skipping metric line with empty dataset or written value: tank/a\t   "}},
        LineCase{"tank/a\t",
                 {},
                 {"Error: Skipping metric line with empty dataset or written value: tank/a\t"}},
        LineCase{"\t",
                 {},
                 {"Error: Skipping metric line with empty dataset or written value: \t"}}));

TEST(MetricTableGrowth, StartsAt256AndDoublesOnThe257thRow) {
  MetricTable table;
  for (int i = 0; i < 256; ++i) {
    std::string line = "tank/" + std::to_string(i) + "\t" + std::to_string(i);
    ASSERT_EQ(parse_metric_line(line.c_str(), &table), 0);
  }
  EXPECT_EQ(table.rows.capacity(), 256u);
  ASSERT_EQ(parse_metric_line("tank/last\t1", &table), 0);
  EXPECT_EQ(table.rows.capacity(), 512u);
  ASSERT_EQ(table.rows.size(), 257u);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(table.rows[i].name, "tank/" + std::to_string(i));
    EXPECT_EQ(table.rows[i].value, i);
  }
  EXPECT_EQ(rows_of(table).back(), (Row{"tank/last", 1}));
}

TEST(MetricTableGrowth, FailedGrowthReturnsMinusOneSilentlyAndKeepsRows) {
  testing::LogCapture log;
  MetricTable table;
  for (int i = 0; i < 256; ++i) {
    std::string line = "tank/" + std::to_string(i) + "\t1";
    ASSERT_EQ(parse_metric_line(line.c_str(), &table), 0);
  }
  {
    testing::FailAllocationsOfSize fail(512 * sizeof(WrittenMetric));
    EXPECT_EQ(parse_metric_line("tank/more\t1", &table), -1);
  }
  EXPECT_EQ(table.rows.size(), 256u);
  EXPECT_EQ(table.rows.capacity(), 256u);
  EXPECT_EQ(log.messages(), Messages{});
}

TEST(MetricLineBounds, LineLongerThanTheWorkBufferFailsInsteadOfBeingCut) {
  testing::LogCapture log;
  MetricTable table;
  std::string line = kName255 + "\t" + std::string(256, '1');  // 512 bytes
  EXPECT_EQ(parse_metric_line(line.c_str(), &table), -1);
  EXPECT_TRUE(table.rows.empty());
  EXPECT_EQ(log.messages(), Messages{});
}

WrittenMetric metric(const char* name) {
  WrittenMetric row{};
  std::snprintf(row.name, sizeof row.name, "%s", name);
  return row;
}

struct CompareCase {
  const char* left;
  const char* right;
  int sign;
};

void PrintTo(const CompareCase& c, std::ostream* os) {
  *os << shown(c.left) << " vs " << shown(c.right);
}

class MetricNameOrder : public ::testing::TestWithParam<CompareCase> {};

int sign_of(int value) { return (value > 0) - (value < 0); }

TEST_P(MetricNameOrder, IsUnsignedByteOrder) {
  const CompareCase& c = GetParam();
  EXPECT_EQ(sign_of(compare_metric_names(metric(c.left), metric(c.right))), c.sign);
  EXPECT_EQ(sign_of(compare_metric_names(c.left, metric(c.right))), c.sign);
}

INSTANTIATE_TEST_SUITE_P(Cases, MetricNameOrder,
                         ::testing::Values(CompareCase{"tank/a", "tank/a", 0},
                                           CompareCase{"tank/a", "tank/b", -1},
                                           CompareCase{"tank", "tank/a", -1},
                                           CompareCase{"tank/a/b", "tank/a-x", 1},
                                           CompareCase{"tank/a/b", "tank/a0", -1},
                                           CompareCase{"tank/\xc3\xa9", "tank/z", 1}));

TEST(MetricSort, OrdersRowsByNameBytesWithTheirValues) {
  MetricTable table;
  for (const char* line : {"tank/ab\t1", "tank/a/b\t2", "tank\t3", "tank/a-x\t4", "tank/a\t5",
                           "tank/a/b/c\t6", "Tank\t7"})
    ASSERT_EQ(parse_metric_line(line, &table), 0);
  sort_metric_table(table);
  EXPECT_EQ(rows_of(table), (Rows{{"Tank", 7},
                                  {"tank", 3},
                                  {"tank/a", 5},
                                  {"tank/a-x", 4},
                                  {"tank/a/b", 2},
                                  {"tank/a/b/c", 6},
                                  {"tank/ab", 1}}));
}

TEST(MetricSort, EmptyTableStaysEmpty) {
  MetricTable table;
  sort_metric_table(table);
  EXPECT_TRUE(table.rows.empty());
  EXPECT_EQ(table.rows.capacity(), 0u);
}

}  // namespace
}  // namespace corvatel
