#include "snapshot/batches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_zfs.h"
#include "job_lists.h"
#include "log_capture.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using testing::FakeZfs;
using testing::job_list;
using testing::JobSpec;
using testing::LogCapture;

constexpr const char* kTimestamp = "2025-03-01_14:00:00p0100";

std::string snap(const std::string& dataset, const std::string& prefix = "hourly") {
  return dataset + "@" + prefix + "_" + kTimestamp;
}

std::vector<std::int32_t> failed_marks(const JobList& list) {
  std::vector<std::int32_t> marks;
  for (const SnapshotJob& job : list.items) marks.push_back(job.failed);
  return marks;
}

TEST(SnapshotBatches, EmptyListRunsNothingAndLogsNothing) {
  LogCapture log;
  FakeZfs zfs;
  JobList list;
  EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, false), 0);
  EXPECT_EQ(zfs.calls(), Calls{});
  EXPECT_EQ(log.messages(), std::vector<std::string>{});
}

TEST(SnapshotBatches, GroupsPoolsInOrderOfFirstAppearanceAndWavesAscending) {
  LogCapture log;
  FakeZfs zfs;
  JobList list = job_list({{"tank/a"}, {"data/x"}, {.dataset = "tank/b", .wave = 1}, {"tank"}});
  EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, false), 0);
  EXPECT_EQ(zfs.calls(), (Calls{{zfs.path(), "snapshot", snap("tank/a"), snap("tank")},
                                {zfs.path(), "snapshot", snap("tank/b")},
                                {zfs.path(), "snapshot", snap("data/x")}}));
  EXPECT_EQ(failed_marks(list), (std::vector<std::int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(log.messages(), std::vector<std::string>{});
}

TEST(SnapshotBatches, EmptyWaveMakesNoCommand) {
  LogCapture log;
  FakeZfs zfs;
  JobList list = job_list({{.dataset = "tank/b", .wave = 2}, {"tank/a"}});
  EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, false), 0);
  EXPECT_EQ(zfs.calls(), (Calls{{zfs.path(), "snapshot", snap("tank/a")},
                                {zfs.path(), "snapshot", snap("tank/b")}}));
}

TEST(SnapshotBatches, RecursiveFlagOnlyForTheRecursiveList) {
  struct Case {
    bool recursive;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {false, {"snapshot", snap("tank/a"), snap("tank/b")}},
      {true, {"snapshot", "-r", snap("tank/a"), snap("tank/b")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    LogCapture log;
    FakeZfs zfs;
    JobList list = job_list({{"tank/a"}, {"tank/b"}});
    EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, c.recursive), 0);
    std::vector<std::string> expected{zfs.path()};
    expected.insert(expected.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(zfs.calls(), Calls{expected});
  }
}

// A 255-character dataset in pool tank, unique by its index.
std::string long_dataset(int index) {
  std::string name = "tank/d" + std::to_string(1000 + index);
  name.resize(255, 'x');
  return name;
}

TEST(SnapshotBatches, BatchHoldsNamesUpToTheByteBudgetInclusive) {
  // With prefix "p" and a 24-character timestamp a job costs its dataset length + 28:
  // 463 jobs of 283 bytes make 131029, so a last job of 43 bytes reaches 131072 exactly.
  struct Case {
    std::size_t last_length;
    std::vector<std::size_t> names_per_call;
  };
  const Case cases[] = {{15, {464}}, {16, {463, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last_length);
    LogCapture log;
    FakeZfs zfs;
    std::vector<JobSpec> specs;
    for (int i = 0; i < 463; ++i) specs.push_back({long_dataset(i), "p"});
    std::string last = "tank/" + std::string(c.last_length - 5, 'z');
    specs.push_back({last, "p"});
    JobList list = job_list(specs);
    EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, false), 0);

    Calls calls = zfs.calls();
    ASSERT_EQ(calls.size(), c.names_per_call.size());
    std::size_t job = 0;
    for (std::size_t call = 0; call < calls.size(); ++call) {
      ASSERT_EQ(calls[call].size(), c.names_per_call[call] + 2);
      EXPECT_EQ(calls[call][1], "snapshot");
      for (std::size_t k = 2; k < calls[call].size(); ++k, ++job)
        EXPECT_EQ(calls[call][k], snap(specs[job].dataset, "p"));
    }
    EXPECT_EQ(job, specs.size());
  }
}

TEST(SnapshotBatches, OversizedJobFormsABatchOfItsOwnAndIsStillRun) {
  LogCapture log;
  FakeZfs zfs;
  std::string huge = "tank/" + std::string(ZFS_ARG_BYTES_MAX, 'h');
  JobList list = job_list({{"tank/a"}, {huge}, {"tank/b"}});
  int result = create_snapshot_batches(zfs.path(), list, kTimestamp, false);

  Calls expected{{zfs.path(), "snapshot", snap("tank/a")}};
#ifdef __linux__
  // Linux refuses to exec any single argument over 128 KiB, so that batch's child exits 127.
  EXPECT_EQ(result, -1);
  EXPECT_EQ(failed_marks(list), (std::vector<std::int32_t>{0, 1, 0}));
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"Error: standard zfs snapshot batch execution failed"});
#else
  EXPECT_EQ(result, 0);
  EXPECT_EQ(failed_marks(list), (std::vector<std::int32_t>{0, 0, 0}));
  expected.push_back({zfs.path(), "snapshot", snap(huge)});
#endif
  expected.push_back({zfs.path(), "snapshot", snap("tank/b")});
  EXPECT_EQ(zfs.calls(), expected);
}

TEST(SnapshotBatches, FailedBatchesMarkOnlyTheirJobsAndLogOnce) {
  struct Case {
    bool recursive;
    const char* message;
  };
  const Case cases[] = {
      {false, "Error: standard zfs snapshot batch execution failed"},
      {true, "Error: recursive zfs snapshot batch execution failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    LogCapture log;
    FakeZfs zfs;
    zfs.set_status(1, 1);
    zfs.set_status(3, 2);
    // Calls: (tank/a, tank/b), (data/x), (misc/y, misc/z).
    JobList list = job_list({{"tank/a"}, {"data/x"}, {"tank/b"}, {"misc/y"}, {"misc/z"}});
    EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, c.recursive), -1);
    EXPECT_EQ(zfs.calls().size(), 3u);
    EXPECT_EQ(failed_marks(list), (std::vector<std::int32_t>{1, 0, 1, 1, 1}));
    EXPECT_EQ(log.messages(), std::vector<std::string>{c.message});
  }
}

TEST(SnapshotBatches, FailedCommandDoesNotStopLaterWaves) {
  LogCapture log;
  FakeZfs zfs;
  zfs.set_status(1, 1);
  JobList list = job_list({{"tank"}, {.dataset = "tank", .prefix = "daily", .wave = 1}});
  EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, false), -1);
  EXPECT_EQ(zfs.calls(), (Calls{{zfs.path(), "snapshot", snap("tank")},
                                {zfs.path(), "snapshot", snap("tank", "daily")}}));
  EXPECT_EQ(failed_marks(list), (std::vector<std::int32_t>{1, 0}));
}

TEST(SnapshotBatches, ManyPoolsRunInOrderOfFirstAppearance) {
  // Many pools, each seen again after all the others.
  LogCapture log;
  FakeZfs zfs;
  std::vector<JobSpec> specs;
  const int pools = 70;
  for (int p = 0; p < pools; ++p) specs.push_back({"pool" + std::to_string(p) + "/a"});
  for (int p = pools - 1; p >= 0; --p) specs.push_back({"pool" + std::to_string(p)});
  JobList list = job_list(specs);
  EXPECT_EQ(create_snapshot_batches(zfs.path(), list, kTimestamp, false), 0);
  Calls expected;
  for (int p = 0; p < pools; ++p) {
    std::string pool = "pool" + std::to_string(p);
    expected.push_back({zfs.path(), "snapshot", snap(pool + "/a"), snap(pool)});
  }
  EXPECT_EQ(zfs.calls(), expected);
  EXPECT_EQ(log.messages(), std::vector<std::string>{});
}

TEST(SnapshotName, IsDatasetAtPrefixUnderscoreTimestampOrMinusOneWhenItDoesNotFit) {
  JobList list = job_list({{"tank/home"}});
  const std::string expected = snap("tank/home");  // 41 characters
  struct Case {
    std::size_t size;
    int result;
  } cases[] = {{512, 41}, {42, 41}, {41, -1}, {1, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<char> buffer(c.size, 'x');
    EXPECT_EQ(format_snapshot_name(list.items[0], kTimestamp, buffer.data(), buffer.size()),
              c.result);
    if (c.result > 0) {
      EXPECT_EQ(std::string(buffer.data()), expected);
    }
  }
}

}  // namespace
}  // namespace corvatel
