#include "check/log_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "scoped_env.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using Lines = std::vector<std::string>;

constexpr std::int64_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC

const std::vector<CheckEntry> kEntries = {{"tank/a", "h", false, 60, 3, 0}};

std::string error_at(const char* time) {
  return std::string("2025-03-01 ") + time + " Error: Failed to read ZFS written metrics\n";
}

class LogScan : public ::testing::Test {
 protected:
  testing::ScopedEnv tz_{"TZ", "UTC0"};
  testing::TempDir dir;
  std::string log = dir.file("corvatel.log");
  EntryIndex index{kEntries};

  void append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app | std::ios::binary) << text;
  }
  // The error lines read since `previous`, shown as logged.
  Lines since(std::optional<LogPosition> previous, LogReading& reading,
              std::int64_t now = k1400) {
    std::string problem;
    EXPECT_EQ(read_log_since(log.c_str(), previous, now, index, reading, problem), 0) << problem;
    return reading.lines.unattributed_shown;
  }
};

TEST_F(LogScan, WithoutAPreviousPositionStartsAtTheEndOfTheLastWholeLine) {
  append(log, error_at("13:00:00") + "2025-03-01 13:01:00 Error: half a li");
  LogReading reading;
  EXPECT_EQ(since(std::nullopt, reading), Lines{});
  EXPECT_EQ(reading.end.offset, error_at("13:00:00").size());
  EXPECT_EQ(reading.notes, Lines{"the log is read from its end on"});
  append(log, "ne\n" + error_at("13:02:00"));
  LogReading next;
  EXPECT_EQ(since(reading.end, next),
            (Lines{"2025-03-01 13:01:00 Error: half a line",
                   "2025-03-01 13:02:00 Error: Failed to read ZFS written metrics"}));
  EXPECT_EQ(next.notes, Lines{});
  LogReading again;
  EXPECT_EQ(since(next.end, again), Lines{});
}

TEST_F(LogScan, AFileOfOtherBytesIsReadFromItsStart) {
  append(log, error_at("13:00:00"));
  LogReading first;
  since(std::nullopt, first);
  // Rewritten in place, same inode, same length: not the file read before.
  std::ofstream(log, std::ios::trunc | std::ios::binary) << error_at("13:30:00");
  LogReading second;
  EXPECT_EQ(since(first.end, second),
            Lines{"2025-03-01 13:30:00 Error: Failed to read ZFS written metrics"});
}

TEST_F(LogScan, RecentZfsLinesAtTheEndWaitForTheirJudgement) {
  append(log, "");
  LogReading first;
  since(std::nullopt, first);
  const std::string zfs = "2025-03-01 13:59:30 Error: zfs: cannot destroy snapshot tank/a@h_x\n";
  append(log, zfs);
  LogReading waiting;
  EXPECT_EQ(since(first.end, waiting, k1400), Lines{});
  EXPECT_EQ(waiting.lines.error_lines, 0u);
  EXPECT_EQ(waiting.end.offset, 0u);
  append(log, "2025-03-01 13:59:30 Error: Failed to prune snapshot "
              "tank/a@h_2025-03-01_13:00:00p0000\n");
  LogReading judged;
  since(waiting.end, judged, k1400);
  EXPECT_EQ(judged.lines.entries[0].prune_failures, 2u);
  EXPECT_EQ(judged.lines.unattributed, 0u);
  // Old ones stand on their own.
  append(log, zfs);
  LogReading old;
  EXPECT_EQ(since(judged.end, old, k1400 + 3600).size(), 1u);
}

TEST_F(LogScan, AMissingLogReadsAsEmptyAndItsFirstLinesAreReadLater) {
  LogReading none;
  EXPECT_EQ(since(std::nullopt, none), Lines{});
  EXPECT_EQ(none.notes, Lines{"no log at " + log + " yet"});
  append(log, error_at("13:00:00"));
  LogReading later;
  EXPECT_EQ(since(none.end, later).size(), 1u);
}

TEST_F(LogScan, AnUnreadableLogIsAProblem) {
  ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
  LogReading reading;
  std::string problem;
  LogPosition previous;
  EXPECT_EQ(read_log_since(log.c_str(), previous, k1400, index, reading, problem), -1);
  EXPECT_EQ(problem, "cannot read " + log + ": Is a directory");
}

void set_mtime(const std::string& path, std::int64_t moment) {
  timeval times[2] = {{static_cast<time_t>(moment), 0}, {static_cast<time_t>(moment), 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

TEST_F(LogScan, TheWindowReadsRecentRotatedCopiesAndTheLogByTime) {
  append(log + ".1", error_at("09:00:00"));  // older than the window
  set_mtime(log + ".1", k1400 - 5 * 3600);
  append(log + ".0", "2025-02-28 23:00:00 Error: Failed to read ZFS written metrics\n" +
                         error_at("11:00:00"));
  set_mtime(log + ".0", k1400 - 3 * 3600);
  append(log + ".0.gz", error_at("12:00:00"));
  append(log, error_at("13:00:00") +
                  "unknown-time [clock read failed, using fallback timestamp] Error: Failed to "
                  "read ZFS written metrics\n");
  LogReading reading;
  std::string problem;
  ASSERT_EQ(read_log_window(log.c_str(), k1400 - 4 * 3600, index, reading, problem), 0);
  EXPECT_EQ(reading.lines.unattributed_shown,
            (Lines{"2025-03-01 11:00:00 Error: Failed to read ZFS written metrics",
                   "2025-03-01 13:00:00 Error: Failed to read ZFS written metrics",
                   "unknown-time [clock read failed, using fallback timestamp] Error: Failed to "
                   "read ZFS written metrics"}));
  EXPECT_EQ(reading.notes, Lines{"read " + log + ".0 too"});
}

}  // namespace
}  // namespace corvatel
