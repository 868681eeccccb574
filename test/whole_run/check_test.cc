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

std::string perfdata(const Check& c) {
  return c.out.empty() ? "" : c.out[0].substr(c.out[0].find(" | ") + 3);
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
  zfs.add_fault({.kind = "snapshot",
                 .stderr_text =
                     "cannot create snapshot 'tank/a@h_2025-03-01_14:00:00p0000': out of space\n"});
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
  zfs.add_fault(
      {.kind = "snapshot", .stderr_text = "cannot create snapshot 'tank/a@h_X': out of space\n"});
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

// Central European time: summer time from the last Sunday of March, 02:00 -> 03:00, to the
// last Sunday of October, 03:00 -> 02:00.
class CheckRunsInBerlin : public CheckRuns {
 protected:
  ScopedEnv tz_{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"};
};

constexpr std::time_t kMarch30 = 1743292800;    // 2025-03-30 00:00:00 UTC, 01:00 CET
constexpr std::time_t kOctober26 = 1761436800;  // 2025-10-26 00:00:00 UTC, 02:00 CEST

// Local 02:00 never comes on the day summer time starts: an entry due every two hours is next
// due at 04:00, one hour after 01:59, and is not late at 03:10.
TEST_F(CheckRunsInBerlin, SkippedHourHoldsNoDueMinute) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,120,3,h,no,1000000\n");
  cron(kMarch30 - 70 * 60, kMarch30 - 60 * 60);  // 23:50 to 00:00 CET: snapshotted at 00:00
  zfs.set_written("tank/a", 5000000);             // 01:20 CET
  Check pending = check(kMarch30 + 30 * 60, {"-v"});  // 01:30 CET
  EXPECT_EQ(details(pending)[0],
            "OK tank/a@h: pending: 4.77M written (min_bytes 1000000), pending since 2025-03-30 "
            "01:30; due at 2025-03-30 04:00; newest own snapshot "
            "tank/a@h_2025-03-30_00:00:00p0100, 1 h 30 min old");
  cron(kMarch30 + 30 * 60, kMarch30 + kHour + 10 * 60);  // to 03:10 CEST
  Check after_gap = check(kMarch30 + kHour + 10 * 60);
  EXPECT_EQ(after_gap.status, 0);
  EXPECT_EQ(status_line(after_gap), "CORVATEL OK - 1 of 1 entry ok");
  cron(kMarch30 + kHour + 11 * 60, kMarch30 + 2 * kHour + 6 * 60);  // to 04:06 CEST
  Check c = check(kMarch30 + 2 * kHour + 6 * 60, {"-v"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(details(c)[0],
            "OK tank/a@h: snapshotted: 0 written (min_bytes 1000000); newest own snapshot "
            "tank/a@h_2025-03-30_04:00:00p0200, 6 min old");
}

// Local 02:00 comes twice on the day summer time ends, and so does corvatel's run: missing the
// second one is a missed snapshot, though the local clock shows no due minute since 02:30.
TEST_F(CheckRunsInBerlin, RepeatedHourHoldsItsDueMinuteTwice) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  cron(kOctober26 - 10 * 60, kOctober26);  // to 02:00 CEST: snapshotted
  zfs.set_written("tank/a", 5000000);      // then cron stops
  EXPECT_EQ(check(kOctober26 + 30 * 60).status, 0);  // 02:30 CEST
  Check c = check(kOctober26 + kHour + 10 * 60);      // 02:10 CET
  EXPECT_EQ(c.status, 2);
  EXPECT_EQ(details(c),
            Lines{"CRITICAL tank/a@h: missed: 4.77M written (min_bytes 1000000), pending since "
                  "2025-10-26 02:30; due at 2025-10-26 02:00 with no snapshot of the dataset "
                  "since; newest own snapshot tank/a@h_2025-10-26_02:00:00p0200, 1 h 10 min old"});
}

constexpr std::time_t k2026 = 1772373600;  // 2026-03-01 14:00:00 UTC, a year after k1400

// The clock runs a year ahead, then is set right: the snapshots named then are dated ahead of
// it, which neither makes the entry look fresh nor brings a false alarm.
TEST_F(CheckRuns, ClockSteppedBackAYear) {
  zfs.add_dataset("tank/a", 0);
  write_config("tank/a,60,3,h,no,1000000\n");
  for (std::time_t t = k2026 - 3 * kHour; t <= k2026; t += kHour) {
    zfs.set_written("tank/a", 5000000);
    corvatel(t);
  }
  EXPECT_EQ(check(k2026 + 5 * 60).status, 0);
  wall_ahead = k1400 - k2026;          // at 14:10 the clock goes back to 2025
  zfs.set_written("tank/a", 5000000);  // and cron is not running
  Check stepped = check(k1400 + 20 * 60, {"-v"});
  EXPECT_EQ(stepped.status, 0);
  EXPECT_EQ(stepped.out,
            (Lines{"CORVATEL OK - 1 of 1 entry ok | ok=1 warning=0 critical=0 unknown=0 "
                   "error_lines=0 'tank/a@h pending'=5000000B 'tank/a@h age'=U",
                   "OK tank/a@h: pending: 4.77M written (min_bytes 1000000), pending since "
                   "2025-03-01 14:20; due at 2025-03-01 15:00; newest own snapshot "
                   "tank/a@h_2026-03-01_14:00:00p0000, dated ahead of the clock",
                   "Note: the clock was stepped back by 365 d 0 h since the previous check"}));
  Check missed = check(k1400 + kHour + 10 * 60);
  EXPECT_EQ(missed.status, 2);
  EXPECT_EQ(status_line(missed), "CORVATEL CRITICAL - missed: tank/a@h; 0 of 1 entry ok");
  corvatel(k1400 + 2 * kHour);  // cron is back: its snapshot is the newest, dated rightly
  Check back = check(k1400 + 2 * kHour + 5 * 60, {"-v"});
  EXPECT_EQ(back.status, 0);
  EXPECT_EQ(details(back),
            Lines{"OK tank/a@h: snapshotted: 0 written (min_bytes 1000000); newest own snapshot "
                  "tank/a@h_2025-03-01_16:00:00p0000, 5 min old"});
}

// A clock stepped forward jumps over due minutes at which corvatel never ran.
TEST_F(CheckRuns, ClockSteppedForwardShowsNothingMissed) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  corvatel(k1400 - 20 * 60);  // not due: the log is there, corvatel then stops
  EXPECT_EQ(check(k1400 - 10 * 60).status, 0);  // 13:50, pending
  wall_ahead = 2 * kHour;                        // at 13:55 the clock jumps to 15:55
  Check c = check(k1400 + 2 * kHour);            // 16:00 by the clock, 14:00 really
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(details(c),
            Lines{"Note: the clock moved on more than the time that passed since the previous "
                  "check (stepped forward, or the system was suspended or restarted): started "
                  "over"});
  // Evidence starts at 16:00 by the clock: 17:00 is the first due minute it can show missed.
  EXPECT_EQ(check(k1400 + 2 * kHour + 10 * 60).status, 0);
  EXPECT_EQ(check(k1400 + 3 * kHour + 10 * 60).status, 2);
}

// An hourly and a daily entry and one every quarter hour, on one dataset: every snapshot of
// each resets the bytes the others see. The daily entry is pending at the check of 23:40,
// skipped at midnight rightly (the 23:45 snapshot reset its bytes), and pending again at the
// check of 00:10.
TEST_F(CheckRuns, TieredEntriesDoNotAlarm) {
  zfs.add_dataset("tank/a", 0);
  zfs.add_snapshot("tank/a@d_2025-03-01_00:00:00p0000", k1400 - 14 * kHour);
  write_config(
      "tank/a,15,96,q,no,0\n"
      "tank/a,60,24,h,no,0\n"
      "tank/a,1440,7,d,no,3000000\n");
  const std::time_t midnight = k1400 + 10 * kHour;
  for (std::time_t t = midnight - 2 * kHour; t <= midnight + 40 * 60; t += 5 * 60) {
    std::time_t minute = (t - midnight + 2 * kHour) / 60 % 15;
    if (minute == 5 && t != midnight - 10 * 60) zfs.set_written("tank/a", 4000000);
    if (minute == 0) corvatel(t);
    // Checks at 10 and 40 past: none sees the bytes reset between 23:40 and 00:10.
    if ((t - midnight + 2 * kHour) % (30 * 60) == 10 * 60) {
      EXPECT_EQ(check(t).status, 0) << utc_stamp(t);
    }
  }
  Check c = check(midnight + 40 * 60, {"-v"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(details(c),
            (Lines{"OK tank/a@d: pending: 3.81M written (min_bytes 3000000), pending since "
                   "2025-03-02 00:40; due at 2025-03-03 00:00; newest own snapshot "
                   "tank/a@d_2025-03-01_00:00:00p0000, 1 d 0 h old",
                   "OK tank/a@h: pending: 3.81M written (min_bytes 0), pending since 2025-03-02 "
                   "00:40; due at 2025-03-02 01:00; newest own snapshot "
                   "tank/a@h_2025-03-02_00:00:00p0000, 40 min old",
                   "OK tank/a@q: pending: 3.81M written (min_bytes 0), pending since 2025-03-02 "
                   "00:40; due at 2025-03-02 00:45; newest own snapshot "
                   "tank/a@q_2025-03-02_00:30:00p0000, 10 min old"}));
}

// A recursive entry counts the bytes below it, and a snapshot of any dataset below it resets
// part of them: one taken by hand between two checks leaves nothing to alarm about.
TEST_F(CheckRuns, RecursiveEntries) {
  for (const char* name : {"tank/home", "tank/home/a", "tank/home/b"}) zfs.add_dataset(name, 0);
  zfs.set_written("tank/home/a", 600000);
  zfs.set_written("tank/home/b", 600000);
  write_config("tank/home,60,24,h,yes,1000000\n");
  corvatel(k1400 - 2 * kHour);  // 12:00: snapshot -r
  EXPECT_EQ(check(k1400 - 2 * kHour + 5 * 60).status, 0);
  zfs.set_written("tank/home/a", 600000);
  zfs.set_written("tank/home/b", 600000);
  EXPECT_EQ(check(k1400 - kHour - 30 * 60).status, 0);  // 12:30: 1.2 MB pending
  snapshot_by_hand("tank/home/a@manual", k1400 - kHour - 20 * 60);
  corvatel(k1400 - kHour);  // 13:00: 600 KB, skipped
  zfs.set_written("tank/home/a", 600000);
  Check after = check(k1400 - kHour + 10 * 60, {"-v"});
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(details(after),
            Lines{"OK tank/home@h: pending: 1.14M written (min_bytes 1000000), pending since "
                  "2025-03-01 13:10; due at 2025-03-01 14:00; newest own snapshot "
                  "tank/home@h_2025-03-01_12:00:00p0000, 1 h 10 min old"});
  Check missed = check(k1400 + 10 * 60);  // cron stopped: 14:00 missed
  EXPECT_EQ(missed.status, 2);
  EXPECT_EQ(status_line(missed), "CORVATEL CRITICAL - missed: tank/home@h; 0 of 1 entry ok");
}

// zfs that never answers: UNKNOWN within the time limit, and nothing of the evidence lost.
TEST_F(CheckRuns, HungZfsIsUnknownWithinTheLimit) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  corvatel(k1400 - 20 * 60);  // not due: the log is there, corvatel then stops
  EXPECT_EQ(check(k1400 - 10 * 60).status, 0);  // 13:50, pending
  for (const char* kind : {"get", "list"}) {
    SCOPED_TRACE(kind);
    zfs.clear_faults();
    zfs.add_fault({.kind = kind, .stall_seconds = 60});
    Check c = check(k1400 - 5 * 60, {"-t", "2"});
    EXPECT_EQ(c.status, 3);
    EXPECT_LT(c.seconds, 10);
    EXPECT_EQ(c.out, (Lines{"CORVATEL UNKNOWN - zfs " + std::string(kind) +
                                " did not finish within the time limit; 1 entry not checked | "
                                "ok=0 warning=0 critical=0 unknown=1 error_lines=0 'tank/a@h "
                                "pending'=U 'tank/a@h age'=U"}));
  }
  zfs.clear_faults();
  EXPECT_EQ(status_line(check(k1400 + 10 * 60)),
            "CORVATEL CRITICAL - missed: tank/a@h; 0 of 1 entry ok");
}

TEST_F(CheckRuns, UnreadableStateStartsOverAndSaysSo) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  corvatel(k1400 - 20 * 60);  // not due: the log is there, corvatel then stops
  EXPECT_EQ(check(k1400 - 10 * 60).status, 0);  // pending since 13:50; cron is stopped
  dir.write("check.state", "corvatel-check state 1\nobserved\tyesterday\n");
  Check c = check(k1400 + 10 * 60);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(details(c), (Lines{"Note: the state in " + state_path +
                                   " is unreadable: started over; a missed snapshot can be "
                                   "shown from the next check on",
                               "Note: the log is read from its end on"}));
  EXPECT_EQ(check(k1400 + kHour + 10 * 60).status, 2);  // 15:00 missed
}

TEST_F(CheckRuns, ChangedEntryStartsOverAndSaysSo) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  corvatel(k1400 - 20 * 60);  // not due: the log is there, corvatel then stops
  EXPECT_EQ(check(k1400 - 10 * 60).status, 0);
  write_config("tank/a,60,3,h,no,2000000\n");
  Check c = check(k1400 + 10 * 60);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(details(c), Lines{});
  Check verbose = check(k1400 + 11 * 60, {"-v"});
  EXPECT_EQ(details(verbose),
            Lines{"OK tank/a@h: pending: 4.77M written (min_bytes 2000000), pending since "
                  "2025-03-01 14:10; due at 2025-03-01 15:00; no own snapshot"});
  EXPECT_EQ(check(k1400 + kHour + 10 * 60).status, 2);
}

TEST_F(CheckRuns, InvalidConfigurationLinesAreAWarning) {
  zfs.add_dataset("tank/a", 0);
  write_config("tank/a,60,3,h,no,0\ntank/a,60,5,h,yes,0\ntank/b,0,3,h,no,0\n");
  Check c = check(k1400);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            (Lines{"CORVATEL WARNING - 2 invalid configuration lines; 1 of 1 entry ok | ok=1 "
                   "warning=0 critical=0 unknown=0 error_lines=0 'tank/a@h pending'=0B 'tank/a@h "
                   "age'=U",
                   "Invalid configuration lines:",
                   "  Error: Config error for tank/a: duplicate dataset/prefix 'h' in config, "
                   "skipping",
                   "  Error: Config error for tank/b: invalid interval '0'",
                   std::string(kStartedOver), "Note: no log at " + log_path + " yet"}));
}

TEST_F(CheckRuns, UnreadableConfigurationIsUnknown) {
  Check c = check(k1400);
  EXPECT_EQ(c.status, 3);
  EXPECT_EQ(c.out, Lines{"CORVATEL UNKNOWN - cannot open " + config_path +
                         ": No such file or directory | ok=0 warning=0 critical=0 unknown=0"});
}

TEST_F(CheckRuns, TextfileIsWrittenWhole) {
  zfs.add_dataset("tank/a", 5000000);
  write_config("tank/a,60,3,h,no,1000000\n");
  check(k1400 - 10 * 60);
  EXPECT_EQ(read_file(textfile_path), "");
  Check c = check(k1400 + 10 * 60, {"-p"});
  EXPECT_EQ(c.status, 2);
  EXPECT_EQ(read_file(textfile_path),
            "# HELP corvatel_check_status State of the last check: 0 OK, 1 WARNING, 2 CRITICAL, "
            "3 UNKNOWN.\n"
            "# TYPE corvatel_check_status gauge\n"
            "corvatel_check_status 2\n"
            "# HELP corvatel_check_timestamp_seconds When the last check ran.\n"
            "# TYPE corvatel_check_timestamp_seconds gauge\n"
            "corvatel_check_timestamp_seconds 1740838200\n"
            "# HELP corvatel_check_error_lines Error lines corvatel logged since the previous "
            "check (report: in the last 24 hours).\n"
            "# TYPE corvatel_check_error_lines gauge\n"
            "corvatel_check_error_lines 0\n"
            "# HELP corvatel_check_invalid_config_lines Configuration lines corvatel rejects.\n"
            "# TYPE corvatel_check_invalid_config_lines gauge\n"
            "corvatel_check_invalid_config_lines 0\n"
            "# HELP corvatel_entry_status State of each entry: 0 OK, 1 WARNING, 2 CRITICAL, 3 "
            "UNKNOWN.\n"
            "# TYPE corvatel_entry_status gauge\n"
            "corvatel_entry_status{dataset=\"tank/a\",prefix=\"h\"} 2\n"
            "# HELP corvatel_entry_pending_bytes Bytes written since the latest snapshot, as "
            "corvatel counts them.\n"
            "# TYPE corvatel_entry_pending_bytes gauge\n"
            "corvatel_entry_pending_bytes{dataset=\"tank/a\",prefix=\"h\"} 5000000\n"
            "# HELP corvatel_entry_threshold_bytes The entry's min_bytes.\n"
            "# TYPE corvatel_entry_threshold_bytes gauge\n"
            "corvatel_entry_threshold_bytes{dataset=\"tank/a\",prefix=\"h\"} 1000000\n"
            "# HELP corvatel_entry_newest_snapshot_age_seconds Age of the entry's newest own "
            "snapshot by its name; NaN when there is none or it is dated ahead of the clock.\n"
            "# TYPE corvatel_entry_newest_snapshot_age_seconds gauge\n"
            "corvatel_entry_newest_snapshot_age_seconds{dataset=\"tank/a\",prefix=\"h\"} NaN\n"
            "# HELP corvatel_entry_snapshots The entry's own snapshots.\n"
            "# TYPE corvatel_entry_snapshots gauge\n"
            "corvatel_entry_snapshots{dataset=\"tank/a\",prefix=\"h\"} 0\n"
            "# HELP corvatel_entry_retention How many own snapshots corvatel keeps.\n"
            "# TYPE corvatel_entry_retention gauge\n"
            "corvatel_entry_retention{dataset=\"tank/a\",prefix=\"h\"} 3\n"
            "# HELP corvatel_entry_error_lines Error lines naming the entry since the previous "
            "check (report: in the last 24 hours).\n"
            "# TYPE corvatel_entry_error_lines gauge\n"
            "corvatel_entry_error_lines{dataset=\"tank/a\",prefix=\"h\"} 0\n");
  // Where it cannot be written, the check says so.
  textfile_path = dir.file("missing/corvatel.prom");
  Check unwritten = check(k1400 + 20 * 60, {"-p"});
  EXPECT_EQ(unwritten.status, 2);
  EXPECT_EQ(status_line(unwritten),
            "CORVATEL CRITICAL - cannot create a file beside " + textfile_path +
                ": No such file or directory; missed: tank/a@h; 0 of 1 entry ok");
}

// The daily report reads the last 24 hours by time and leaves the log to the monitoring check.
TEST_F(CheckRuns, DailyReportSummarisesTheDay) {
  zfs.add_dataset("tank/a", 0);
  zfs.add_dataset("tank/b", 0);
  write_config("tank/a,60,2,h,no,1000000\ntank/b,60,2,h,no,1000000\n");
  zfs.set_written("tank/a", 5000000);
  corvatel(k1400 - 30 * kHour);  // outside the window
  check(k1400 - 29 * kHour);
  for (std::time_t t = k1400 - 3 * kHour; t <= k1400; t += kHour) {
    zfs.set_written("tank/a", 5000000);
    corvatel(t);
  }
  Check report = check(k1400 + 5 * 60, {"-r"});
  EXPECT_EQ(report.status, 0);
  EXPECT_EQ(report.out,
            (Lines{"CORVATEL OK - 2 of 2 entries ok",
                   "In the last 24 hours: 4 snapshots created, 3 pruned, 0 error lines.",
                   "OK tank/a@h: snapshotted: 0 written (min_bytes 1000000); newest own snapshot "
                   "tank/a@h_2025-03-01_14:00:00p0000, 5 min old; 4 created, 3 pruned in the last "
                   "24 hours",
                   "OK tank/b@h: idle: 0 written (min_bytes 1000000); no own snapshot; 0 created, "
                   "0 pruned in the last 24 hours"}));
  // The monitoring check still reads what the report read.
  Check monitor = check(k1400 + 10 * 60, {"-v"});
  EXPECT_EQ(monitor.status, 0);
  EXPECT_EQ(perfdata(monitor).substr(0, 57),
            "ok=2 warning=0 critical=0 unknown=0 error_lines=0 'tank/a");
}

// A configured dataset that is gone fails corvatel at every due minute: CRITICAL at once, and
// the other entries are still checked.
TEST_F(CheckRuns, AMissingDatasetIsCritical) {
  zfs.add_dataset("tank/a", 0);
  write_config("tank/a,60,3,h,no,1000000\ntank/gone,1440,3,d,no,0\n");
  corvatel(k1400 - 20 * 60);
  Check c = check(k1400 - 10 * 60);
  EXPECT_EQ(c.status, 2);
  EXPECT_EQ(c.out, (Lines{"CORVATEL CRITICAL - no such dataset: tank/gone@d; 1 of 2 entries ok | "
                          "ok=1 warning=0 critical=1 unknown=0 error_lines=0 'tank/a@h "
                          "pending'=0B 'tank/a@h age'=U 'tank/gone@d pending'=U 'tank/gone@d "
                          "age'=U",
                          "CRITICAL tank/gone@d: zfs gives no written bytes for tank/gone: no "
                          "such dataset?",
                          std::string(kStartedOver), "Note: the log is read from its end on"}));
}

}  // namespace
}  // namespace corvatel::testing
