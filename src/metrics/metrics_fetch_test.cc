#include "metrics/metrics_fetch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "allocation_fault.h"
#include "fake_zfs.h"
#include "job_lists.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using Strings = std::vector<std::string>;
using Rows = std::vector<std::pair<std::string, std::int64_t>>;
using testing::job_list_on;

const char* const kFetchFailed = "Error: Failed to read ZFS written metrics";

// The shared stand-in for zfs, printing `out` and then `err` and ending with `status` (below 0:
// killed with SIGKILL).
class FetchZfs : public testing::FakeZfs {
 public:
  FetchZfs(const std::string& out, int status, const std::string& err = "") {
    set_output(out);
    set_error(err);
    set_status(1, status);
  }

  bool ran() const { return !calls().empty(); }
  Strings argv() const {
    auto all = calls();
    return all.empty() ? Strings{} : all.front();
  }
};

Rows rows_of(const MetricTable& table) {
  Rows rows;
  for (const WrittenMetric& row : table.rows) rows.emplace_back(row.name, row.value);
  return rows;
}

Strings written_argv(const std::string& zfs, const Strings& roots) {
  Strings argv = {zfs, "get", "-H", "-p"};
  if (!roots.empty()) argv.push_back("-r");
  argv.insert(argv.end(), {"-t", "filesystem,volume", "-o", "name,value", "written"});
  argv.insert(argv.end(), roots.begin(), roots.end());
  return argv;
}

TEST(MetricsFetch, NamesTheRootsAndStoresRowsInOutputOrder) {
  testing::LogCapture log;
  FetchZfs zfs("tank/a\t100\ntank/a/b\t50\ntank/c\t7\n", 0);
  JobList standard = job_list_on({"tank/a/b", "tank/c"});
  JobList recursive = job_list_on({"tank/a"});
  MetricTable table;
  ASSERT_EQ(fetch_written_metrics(zfs.path(), standard, recursive, table), 0);
  EXPECT_EQ(zfs.argv(), written_argv(zfs.path(), {"tank/c", "tank/a"}));
  EXPECT_EQ(rows_of(table), (Rows{{"tank/a", 100}, {"tank/a/b", 50}, {"tank/c", 7}}));
  EXPECT_EQ(log.messages(), Strings{});
}

TEST(MetricsFetch, WithNamesAMissingDatasetsExitOneIsAccepted) {
  testing::LogCapture log;
  FetchZfs zfs("tank/a\t100\n", 1, "cannot open 'tank/gone': dataset does not exist\n");
  JobList standard = job_list_on({"tank/a", "tank/gone"});
  MetricTable table;
  ASSERT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), 0);
  EXPECT_EQ(rows_of(table), (Rows{{"tank/a", 100}}));
  EXPECT_EQ(log.messages(), Strings{"Error: zfs: cannot open 'tank/gone': dataset does not exist"});
}

struct StatusCase {
  int status;  // -1: killed by a signal
  int result;
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << (c.status < 0 ? std::string("killed") : "exit " + std::to_string(c.status));
}

class FetchWithNames : public ::testing::TestWithParam<StatusCase> {};

TEST_P(FetchWithNames, AcceptsEveryExitStatusBut127) {
  testing::LogCapture log;
  FetchZfs zfs("tank/a\t1\n", GetParam().status);
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table),
            GetParam().result);
  EXPECT_EQ(rows_of(table), (Rows{{"tank/a", 1}}));
  EXPECT_EQ(log.messages(), GetParam().result == 0 ? Strings{} : Strings{kFetchFailed});
}

INSTANTIATE_TEST_SUITE_P(Statuses, FetchWithNames,
                         ::testing::Values(StatusCase{0, 0}, StatusCase{1, 0}, StatusCase{2, 0},
                                           StatusCase{126, 0}, StatusCase{255, 0},
                                           StatusCase{127, -1}, StatusCase{-1, -1}));

TEST(MetricsFetch, UnderALimitAZfsThatOutlivesItFailsTheFetch) {
  testing::LogCapture log;
  testing::TempDir dir;
  const std::string zfs = dir.write_script("zfs", "echo 'tank/a\t100'\nsleep 30\n");
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  TimeLimit limit{std::chrono::steady_clock::now() + std::chrono::milliseconds(300)};
  EXPECT_EQ(fetch_written_metrics(zfs.c_str(), standard, JobList{}, table, &limit), -1);
  EXPECT_TRUE(limit.passed);
  EXPECT_EQ(log.messages(), Strings{kFetchFailed});
}

TEST(MetricsFetch, UnderALimitAQuickZfsIsReadAsWithout) {
  testing::LogCapture log;
  FetchZfs zfs("tank/a\t100\n", 0);
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  TimeLimit limit{std::chrono::steady_clock::now() + std::chrono::seconds(30)};
  ASSERT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table, &limit), 0);
  EXPECT_FALSE(limit.passed);
  EXPECT_EQ(rows_of(table), (Rows{{"tank/a", 100}}));
}

TEST(MetricsFetch, ProgramThatCannotRunFails) {
  testing::LogCapture log;
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics("/nonexistent/corvatel/zfs", standard, JobList{}, table), -1);
  EXPECT_EQ(log.messages(), Strings{kFetchFailed});
}

TEST(MetricsFetch, EmptyOutputGivesAnEmptyTable) {
  testing::LogCapture log;
  FetchZfs zfs("", 0);
  JobList recursive = job_list_on({"tank"});
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics(zfs.path(), JobList{}, recursive, table), 0);
  EXPECT_TRUE(table.rows.empty());
  EXPECT_EQ(log.messages(), Strings{});
}

TEST(MetricsFetch, SkippedLinesAreLoggedAndTheFetchGoesOn) {
  testing::LogCapture log;
  FetchZfs zfs("tank/a 1\ntank/b\t2\n", 0);
  JobList standard = job_list_on({"tank/b"});
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), 0);
  EXPECT_EQ(rows_of(table), (Rows{{"tank/b", 2}}));
  EXPECT_EQ(log.messages(), Strings{"Error: Skipping metric line missing tab delimiter: tank/a 1"});
}

struct OutputCase {
  const char* title;
  std::string out;
  Rows rows;
  Strings messages;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.title; }

class FetchOutputFault : public ::testing::TestWithParam<OutputCase> {};

TEST_P(FetchOutputFault, FailsTheFetchWhateverTheStatus) {
  testing::LogCapture log;
  FetchZfs zfs(GetParam().out, 0);
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), -1);
  EXPECT_EQ(rows_of(table), GetParam().rows);
  EXPECT_EQ(log.messages(), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchOutputFault,
    ::testing::Values(
        OutputCase{"LineOver511Bytes",
                   "tank/a\t1\ntank/" + std::string(501, 'x') + "\t12345\ntank/b\t2\n",
                   {{"tank/a", 1}},
                   {kFetchFailed}},
        OutputCase{"NulByte",
                   std::string("tank/a\t1\ntank/b\0\t2\ntank/c\t3\n", 28),
                   {{"tank/a", 1}},
                   {"Error: zfs stdout contained a NUL byte", kFetchFailed}},
        OutputCase{"NoFinalNewline", "tank/a\t1\ntank/b\t2", {{"tank/a", 1}}, {kFetchFailed}}),
    [](const ::testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.title); });

// Datasets whose lengths plus one add up to `bytes` (a multiple of 256 plus 256 or 257).
Strings datasets_totalling(std::size_t bytes) {
  Strings names;
  for (std::size_t left = bytes; left > 0;) {
    std::size_t length = left >= 512 ? 255 : left - 1;
    std::string name = "tank/" + std::to_string(names.size()) + "_";
    name.resize(length, 'x');
    names.push_back(name);
    left -= length + 1;
  }
  return names;
}

TEST(MetricsFetch, RootsOfExactly131072BytesAreNamed) {
  FetchZfs zfs("tank/0\t1\n", 1);
  Strings datasets = datasets_totalling(131072);
  ASSERT_EQ(datasets.size(), 512u);
  JobList standard = job_list_on(datasets);
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), 0);
  EXPECT_EQ(zfs.argv(), written_argv(zfs.path(), datasets));
}

class FetchWithoutNames : public ::testing::TestWithParam<StatusCase> {};

TEST_P(FetchWithoutNames, At131073BytesNamesNothingAndNeedsStatusZero) {
  testing::LogCapture log;
  FetchZfs zfs("tank/0\t1\n", GetParam().status);
  Strings datasets = datasets_totalling(131073);
  ASSERT_EQ(datasets.back().size(), 256u);
  JobList recursive = job_list_on(datasets);
  MetricTable table;
  EXPECT_EQ(fetch_written_metrics(zfs.path(), JobList{}, recursive, table),
            GetParam().result);
  EXPECT_EQ(zfs.argv(), written_argv(zfs.path(), {}));
  EXPECT_EQ(log.messages(), GetParam().result == 0 ? Strings{} : Strings{kFetchFailed});
}

INSTANTIATE_TEST_SUITE_P(Statuses, FetchWithoutNames,
                         ::testing::Values(StatusCase{0, 0}, StatusCase{1, -1},
                                           StatusCase{127, -1}));

TEST(MetricsFetch, RootsOutOfMemoryEndsTheRunWithoutRunningZfs) {
  testing::LogCapture log;
  FetchZfs zfs("", 0);
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  {
    testing::FailAllocationsOfSize fail(32 * sizeof(std::string));
    EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), -1);
  }
  EXPECT_FALSE(zfs.ran());
  EXPECT_EQ(log.messages(), Strings{"Error: Failed to determine dataset roots for metrics fetch"});
}

TEST(MetricsFetch, ArgvOutOfMemoryEndsTheRunWithoutRunningZfs) {
  testing::LogCapture log;
  FetchZfs zfs("", 0);
  JobList standard = job_list_on({"tank/a"});
  MetricTable table;
  {
    testing::FailAllocationsOfSize fail(12 * sizeof(const char*));
    EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), -1);
  }
  EXPECT_FALSE(zfs.ran());
  EXPECT_EQ(log.messages(), Strings{"Error: Failed to allocate metrics command"});
}

TEST(MetricsFetch, TableOutOfMemoryFailsTheFetchWithOneMessage) {
  testing::LogCapture log;
  std::string out;
  for (int i = 0; i < 300; ++i) out += "tank/" + std::to_string(i) + "\t1\n";
  FetchZfs zfs(out, 0);
  JobList standard = job_list_on({"tank"});
  MetricTable table;
  {
    testing::FailAllocationsOfSize fail(512 * sizeof(WrittenMetric));
    EXPECT_EQ(fetch_written_metrics(zfs.path(), standard, JobList{}, table), -1);
  }
  EXPECT_EQ(table.rows.size(), 256u);
  EXPECT_EQ(log.messages(), Strings{kFetchFailed});
}

}  // namespace
}  // namespace corvatel
