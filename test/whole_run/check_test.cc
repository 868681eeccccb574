// corvatel against zfs-sim over simulated days, then corvatel-check: the states the check
// gives and the evidence behind them, one test per situation that a monitoring check must
// tell apart. The check runs as its test driver in a child process under a time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"
#include "log_capture.h"
#include "process.h"
#include "scoped_env.h"
#include "whole_run.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::time_t kHour = 3600;
constexpr std::time_t kDay = 86400;
constexpr std::time_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
constexpr double kTimeLimitSeconds = 30;

// corvatel's log lines are stamped with the simulated time, as on a real host.
std::time_t g_simulated_now = 0;
std::time_t simulated_time(std::time_t* out) {
  if (out != nullptr) *out = g_simulated_now;
  return g_simulated_now;
}

/// What one run of corvatel-check gave.
struct Check {
  int status = -1;
  Lines out;
  bool timed_out = false;
  double seconds = 0;
};

class CheckRuns : public WholeRunTest {
 protected:
  /// corvatel-check at `now` (the monotonic clock: `now` less `wall_ahead`).
  Check check(std::time_t now, const Lines& args = {}) {
    ProcessOptions options;
    options.env = {"CORVATEL_TEST_CONFIG=" + config_path, "CORVATEL_TEST_LOG=" + log_path,
                   "CORVATEL_TEST_STATE=" + state_path, "CORVATEL_TEST_TEXTFILE=" + textfile_path,
                   std::string("CORVATEL_TEST_ZFS=") + ZFS_SIM,
                   "CORVATEL_TEST_TIME=" + std::to_string(now),
                   "CORVATEL_TEST_MONOTONIC=" + std::to_string(now - wall_ahead)};
    options.time_limit_seconds = kTimeLimitSeconds;
    Lines argv = {CORVATEL_CHECK_TESTDRIVE};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = std::chrono::steady_clock::now();
    ProcessResult result = run_process(argv, options);
    Check outcome;
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.status = result.exit_status;
    outcome.out = split_lines(result.out);
    outcome.timed_out = result.timed_out;
    EXPECT_FALSE(result.timed_out) << "the check did not end within " << kTimeLimitSeconds << " s";
    EXPECT_EQ(result.err, "");
    return outcome;
  }

  /// corvatel at every `step` seconds from `from` to `to`, both included, as cron starts it.
  void cron(std::time_t from, std::time_t to, std::time_t step = 60) {
    for (std::time_t t = from; t <= to; t += step) corvatel(t);
  }

  /// One run of corvatel at `t`.
  void corvatel(std::time_t t) {
    g_simulated_now = t;
    log_state().clock.time = simulated_time;
    Result r = run_at(t);
    log_state().clock = LogClock{};
    EXPECT_EQ(r.err, "") << utc_stamp(t);
  }

  /// A snapshot taken by hand (or another tool) at `t`, which resets its dataset's written bytes.
  void snapshot_by_hand(const std::string& name, std::time_t t) {
    zfs.set_clock(t);
    ProcessResult result = run_process({ZFS_SIM, "snapshot", name});
    ASSERT_EQ(result.exit_status, 0) << result.err;
  }

  std::string snap(const std::string& dataset, const std::string& prefix, std::time_t t) const {
    return dataset + "@" + prefix + "_" + utc_stamp(t);
  }

  std::string state_path = dir.file("check.state");
  std::string textfile_path = dir.file("corvatel.prom");
  std::time_t wall_ahead = 0;  // how far the wall clock was stepped from the time that passed
};

std::string status_line(const Check& c) {
  return c.out.empty() ? "" : c.out[0].substr(0, c.out[0].find(" | "));
}

Lines details(const Check& c) { return c.out.size() < 2 ? Lines{} : Lines(c.out.begin() + 1, c.out.end()); }

constexpr const char* kStartedOver =
    "Note: no previous state: started over; a missed snapshot can be shown from the next check "
    "on";

TEST_F(CheckRuns, Snapshotted) {
  zfs.add_dataset("tank/a", 0);
  write_config("tank/a,60,3,h,no,1000000\n");
  cron(k1400 - 2 * kHour, k1400 - kHour);
  Check first = check(k1400 - 50 * 60);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, (Lines{"CORVATEL OK - 1 of 1 entry ok | ok=1 warning=0 critical=0 unknown=0 "
                              "error_lines=0 'tank/a@h pending'=0B 'tank/a@h age'=U",
                              "Note: no previous state: started over; a missed snapshot can be "
                              "shown from the next check on",
                              "Note: the log is read from its end on"}));
  zfs.set_written("tank/a", 5000000);
  Check pending = check(k1400 - 30 * 60, {"-v"});
  EXPECT_EQ(pending.status, 0);
  EXPECT_EQ(details(pending),
            Lines{"OK tank/a@h: pending: 4.77M written (min_bytes 1000000), pending since "
                  "2025-03-01 13:30; due at 2025-03-01 14:00; no own snapshot"});
  cron(k1400, k1400 + 10 * 60);
  Check c = check(k1400 + 10 * 60, {"-v"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, (Lines{"CORVATEL OK - 1 of 1 entry ok | ok=1 warning=0 critical=0 unknown=0 "
                          "error_lines=0 'tank/a@h pending'=0B 'tank/a@h age'=600s",
                          "OK tank/a@h: snapshotted: 0 written (min_bytes 1000000); newest own "
                          "snapshot tank/a@h_2025-03-01_14:00:00p0000, 10 min old"}));
}

TEST_F(CheckRuns, IdleForAWeekStaysOk) {
  zfs.add_dataset("tank/a", 0);
  zfs.add_snapshot("tank/a@h_2025-02-22_14:00:00p0000", k1400 - 7 * kDay);
  zfs.set_written("tank/a", 100);
  write_config("tank/a,60,3,h,no,1000000\n");
  for (std::time_t day = k1400 - 7 * kDay; day < k1400; day += kDay) {
    cron(day, day + kDay - kHour, kHour);
    for (std::time_t t = day + 10 * 60; t < day + kDay; t += 6 * kHour)
      EXPECT_EQ(check(t).status, 0) << utc_stamp(t);
  }
  Check c = check(k1400, {"-v"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, (Lines{"CORVATEL OK - 1 of 1 entry ok | ok=1 warning=0 critical=0 unknown=0 "
                          "error_lines=0 'tank/a@h pending'=100B 'tank/a@h age'=604800s",
                          "OK tank/a@h: idle: 100 written (min_bytes 1000000); newest own snapshot "
                          "tank/a@h_2025-02-22_14:00:00p0000, 7 d 0 h old"}));
}

TEST_F(CheckRuns, CronStoppedWhileBytesArePendingIsMissed) {
  zfs.add_dataset("tank/a", 5000000);
  zfs.add_dataset("tank/b", 100);
  write_config("tank/a,60,3,h,no,1000000\ntank/b,60,3,h,no,1000000\n");
  cron(k1400 - 2 * kHour, k1400 - 2 * kHour);  // 12:00: tank/a snapshotted
  EXPECT_EQ(check(k1400 - 2 * kHour + 5 * 60).status, 0);
  // cron stops; bytes arrive at 12:30.
  zfs.set_written("tank/a", 5000000);
  EXPECT_EQ(check(k1400 - kHour - 20 * 60).status, 0);  // 12:40: pending, due at 13:00
  Check late = check(k1400 - kHour + 2 * 60);           // 13:02
  EXPECT_EQ(late.status, 1);
  EXPECT_EQ(status_line(late), "CORVATEL WARNING - late: tank/a@h; 1 of 2 entries ok");
  Check missed = check(k1400 - kHour + 10 * 60);  // 13:10
  EXPECT_EQ(missed.status, 2);
  EXPECT_EQ(missed.out,
            (Lines{"CORVATEL CRITICAL - missed: tank/a@h; 1 of 2 entries ok | ok=1 warning=0 "
                   "critical=1 unknown=0 error_lines=0 'tank/a@h pending'=5000000B 'tank/a@h "
                   "age'=4200s 'tank/b@h pending'=100B 'tank/b@h age'=U",
                   "CRITICAL tank/a@h: missed: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 12:40; due at 2025-03-01 13:00 with no snapshot of the dataset "
                   "since; newest own snapshot tank/a@h_2025-03-01_12:00:00p0000, 1 h 10 min old"}));
  EXPECT_EQ(check(k1400 - 30 * 60).status, 2);  // 13:30: it stays missed
  cron(k1400, k1400);  // cron is back
  Check back = check(k1400 + 5 * 60);
  EXPECT_EQ(back.status, 0);
  EXPECT_EQ(status_line(back), "CORVATEL OK - 2 of 2 entries ok");
}

TEST_F(CheckRuns, BytesArrivedAMinuteAgoOnAnIdleDatasetAreOk) {
  zfs.add_dataset("tank/daily", 0);
  zfs.add_dataset("tank/hourly", 0);
  zfs.add_snapshot("tank/daily@d_2025-03-01_00:00:00p0000", k1400 - 14 * kHour);
  write_config("tank/daily,1440,7,d,no,1000000\ntank/hourly,60,24,h,no,1000000\n");
  cron(k1400 - 14 * kHour, k1400 - kHour, kHour);
  EXPECT_EQ(check(k1400 - 2 * 60).status, 0);  // 13:58, idle
  zfs.set_written("tank/daily", 5000000);       // 13:59
  zfs.set_written("tank/hourly", 5000000);
  Check arrived = check(k1400 - 30, {"-v"});
  EXPECT_EQ(arrived.status, 0);
  EXPECT_EQ(details(arrived),
            (Lines{"OK tank/daily@d: pending: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 13:59; due at 2025-03-02 00:00; newest own snapshot "
                   "tank/daily@d_2025-03-01_00:00:00p0000, 13 h 59 min old",
                   "OK tank/hourly@h: pending: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 13:59; due at 2025-03-01 14:00; no own snapshot"}));
  cron(k1400, k1400 + 9 * kHour, kHour);
  for (std::time_t t = k1400 + 30; t < k1400 + 10 * kHour; t += kHour)
    EXPECT_EQ(check(t).status, 0) << utc_stamp(t);
  Check c = check(k1400 + 10 * kHour - 60, {"-v"});  // 23:59
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(details(c),
            (Lines{"OK tank/daily@d: pending: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 13:59; due at 2025-03-02 00:00; newest own snapshot "
                   "tank/daily@d_2025-03-01_00:00:00p0000, 23 h 59 min old",
                   "OK tank/hourly@h: idle: 0 written (min_bytes 1000000); newest own snapshot "
                   "tank/hourly@h_2025-03-01_14:00:00p0000, 9 h 59 min old"}));
  cron(k1400 + 10 * kHour, k1400 + 10 * kHour);
  Check midnight = check(k1400 + 10 * kHour + 5 * 60, {"-v"});
  EXPECT_EQ(midnight.status, 0);
  EXPECT_EQ(details(midnight)[0],
            "OK tank/daily@d: snapshotted: 0 written (min_bytes 1000000); newest own snapshot "
            "tank/daily@d_2025-03-02_00:00:00p0000, 5 min old");
}

TEST_F(CheckRuns, FailingSnapshotCommandIsFailingWithItsError) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  EXPECT_EQ(check(k1400 - 2 * 60).status, 0);
  SimFault fault;
  fault.kind = "snapshot";
  fault.stderr_text = "cannot create snapshot 'tank/a@h_2025-03-01_14:00:00p0000': out of space\n";
  zfs.add_fault(fault);
  corvatel(k1400);
  Check c = check(k1400 + 60);
  EXPECT_EQ(c.status, 2);
  EXPECT_EQ(c.out,
            (Lines{"CORVATEL CRITICAL - failing: tank/a@h; 1 error line naming no entry since the "
                   "previous check; 0 of 1 entry ok | ok=0 warning=0 critical=1 unknown=0 "
                   "error_lines=3 'tank/a@h pending'=5000000B 'tank/a@h age'=U",
                   "CRITICAL tank/a@h: pending: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 13:58; due at 2025-03-01 14:00; no own snapshot; 2 error lines "
                   "since the previous check",
                   "  2025-03-01 14:00:00 Error: zfs: cannot create snapshot "
                   "'tank/a@h_2025-03-01_14:00:00p0000': out of space",
                   "  2025-03-01 14:00:00 Error: Snapshot not created: "
                   "tank/a@h_2025-03-01_14:00:00p0000; pruning skipped for dataset 'tank/a' with "
                   "prefix 'h'",
                   "Error lines naming no entry since the previous check:",
                   "  2025-03-01 14:00:00 Error: standard zfs snapshot batch execution failed"}));
  // Reported once; the snapshot is still missing, which the evidence then shows.
  Check next = check(k1400 + 10 * 60);
  EXPECT_EQ(status_line(next), "CORVATEL CRITICAL - missed: tank/a@h; 0 of 1 entry ok");
}

TEST_F(CheckRuns, HeldSnapshotPastRetentionIsAWarning) {
  zfs.add_dataset("tank/a", 5000000);
  for (int hour : {11, 12, 13})
    zfs.add_snapshot(snap("tank/a", "h", k1400 - (14 - hour) * kHour), k1400 - (14 - hour) * kHour);
  zfs.add_hold(snap("tank/a", "h", k1400 - 3 * kHour), "keep");
  write_config("tank/a,60,2,h,no,1000000\n");
  EXPECT_EQ(check(k1400 - 2 * 60).status, 1);
  corvatel(k1400);
  Check c = check(k1400 + 5 * 60);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            (Lines{"CORVATEL WARNING - beyond retention: tank/a@h; destroys failing: tank/a@h; 0 "
                   "of 1 entry ok | ok=0 warning=1 critical=0 unknown=0 error_lines=2 "
                   "'tank/a@h pending'=0B 'tank/a@h age'=300s",
                   "WARNING tank/a@h: snapshotted: 0 written (min_bytes 1000000); newest own "
                   "snapshot tank/a@h_2025-03-01_14:00:00p0000, 5 min old; 3 own snapshots, "
                   "retention 2; 2 error lines of failed destroys since the previous check",
                   "  beyond retention: tank/a@h_2025-03-01_11:00:00p0000",
                   "  2025-03-01 14:00:00 Error: zfs: cannot destroy snapshot "
                   "tank/a@h_2025-03-01_11:00:00p0000: it's being held. Run 'zfs holds -r "
                   "tank/a@h_2025-03-01_11:00:00p0000' to see holders.",
                   "  2025-03-01 14:00:00 Error: Failed to prune snapshot "
                   "tank/a@h_2025-03-01_11:00:00p0000"}));
}

// Whatever rotates the log between two checks, every error line logged since the previous
// check is reported once, and none twice; only a compressed copy keeps its lines from it.
TEST_F(CheckRuns, RotatedLogReportsEachErrorLineOnce) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,30,3,h,no,1000000\n");
  SimFault fault;
  fault.kind = "snapshot";
  fault.stderr_text = "cannot create snapshot 'tank/a@h_X': out of space\n";
  zfs.add_fault(fault);
  const std::string log0 = log_path + ".0";
  auto failing_lines = [](const Check& c) {
    Lines lines;
    for (const std::string& line : c.out)
      if (line.starts_with("  2025-")) lines.push_back(line);
    return lines;
  };
  corvatel(k1400 - 2 * kHour);
  check(k1400 - 2 * kHour + 10 * 60);  // 12:10: reads on from the end

  // newsyslog: renamed, the newest copy left uncompressed.
  corvatel(k1400 - kHour - 30 * 60);
  ASSERT_EQ(std::rename(log_path.c_str(), log0.c_str()), 0);
  corvatel(k1400 - kHour);
  Check renamed = check(k1400 - kHour + 5 * 60);
  EXPECT_EQ(details(renamed),
            (Lines{"CRITICAL tank/a@h: missed: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 12:10; due at 2025-03-01 12:30 with no snapshot of the dataset "
                   "since; no own snapshot; 2 error lines since the previous check",
                   "  2025-03-01 12:30:00 Error: Snapshot not created: "
                   "tank/a@h_2025-03-01_12:30:00p0000; pruning skipped for dataset 'tank/a' with "
                   "prefix 'h'",
                   "  2025-03-01 13:00:00 Error: Snapshot not created: "
                   "tank/a@h_2025-03-01_13:00:00p0000; pruning skipped for dataset 'tank/a' with "
                   "prefix 'h'",
                   "Error lines naming no entry since the previous check:",
                   "  2025-03-01 12:30:00 Error: zfs: cannot create snapshot 'tank/a@h_X': out of "
                   "space",
                   "  2025-03-01 12:30:00 Error: standard zfs snapshot batch execution failed",
                   "  2025-03-01 13:00:00 Error: zfs: cannot create snapshot 'tank/a@h_X': out of "
                   "space",
                   "  2025-03-01 13:00:00 Error: standard zfs snapshot batch execution failed",
                   "Note: the log was rotated; its rotated copy was read on"}));
  EXPECT_TRUE(failing_lines(check(k1400 - kHour + 10 * 60)).empty());

  // Compressed at once: its lines are gone, the new file's are read, nothing twice.
  corvatel(k1400 - 30 * 60);
  ASSERT_EQ(std::rename(log_path.c_str(), log0.c_str()), 0);
  ASSERT_EQ(std::rename(log0.c_str(), (log0 + ".gz").c_str()), 0);
  corvatel(k1400);
  Check compressed = check(k1400 + 5 * 60);
  Lines lines = failing_lines(compressed);
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(compressed.out);
  for (const std::string& line : lines) EXPECT_NE(line.find("2025-03-01 14:00:00 "), std::string::npos);
  EXPECT_EQ(compressed.out.back(),
            "Note: the log was rotated and its previous file is not beside it uncompressed: "
            "lines logged between the previous check and the rotation were not read");

  // logrotate's copytruncate: copied, then emptied in place.
  corvatel(k1400 + 30 * 60);
  ASSERT_EQ(std::system(("cp '" + log_path + "' '" + log_path + ".1' && : > '" + log_path + "'")
                            .c_str()),
            0);
  corvatel(k1400 + kHour);
  Check truncated = check(k1400 + kHour + 5 * 60);
  lines = failing_lines(truncated);
  ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(truncated.out);
  for (std::size_t i : {0, 2, 3}) EXPECT_NE(lines[i].find(" 14:30:00 "), std::string::npos);
  for (std::size_t i : {1, 4, 5}) EXPECT_NE(lines[i].find(" 15:00:00 "), std::string::npos);
  EXPECT_TRUE(failing_lines(check(k1400 + kHour + 10 * 60)).empty());
}

}  // namespace
}  // namespace corvatel::testing
