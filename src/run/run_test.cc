#include "run/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "full_device.h"
#include "log/log.h"
#include "log_capture.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using testing::read_file;
using testing::split_lines;
using testing::strip_stamps;
using testing::TempDir;

std::time_t g_now;
std::time_t fixed_time(std::time_t* out) {
  if (out != nullptr) *out = g_now;
  return g_now;
}
std::time_t failing_time(std::time_t*) {
  errno = EINVAL;
  return -1;
}
std::tm* failing_localtime(const std::time_t*, std::tm*) { return nullptr; }

struct RunOutput {
  int status;
  std::string err;
  std::vector<std::string> log;  // messages without their stamps
};

class RunFrameTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string config = dir.file("corvatel.conf");
  std::string log = dir.file("corvatel.log");
  std::string lock = dir.file("corvatel.lock");
  // Any zfs command run by mistake leaves a mark.
  std::string zfs = dir.write_script("zfs", "echo \"$@\" >> \"$(dirname \"$0\")/zfs-ran\"\n");
  RunClock clock;

  RunFrameTest() {
    g_now = 1740837600;  // 2025-03-01 14:00:00 UTC
    clock.time = fixed_time;
  }

  RunOutput run(std::vector<std::string> args = {"corvatel"}) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    RunPaths paths{config.c_str(), log.c_str(), lock.c_str(), zfs.c_str()};
    ::testing::internal::CaptureStderr();
    int status = corvatel_main(static_cast<int>(args.size()), argv.data(), paths, clock);
    std::string err = ::testing::internal::GetCapturedStderr();
    // /dev/full reads as endless zeros.
    if (log == "/dev/full") return {status, err, {}};
    return {status, err, strip_stamps(split_lines(read_file(log)))};
  }
  bool zfs_ran() const { return access(dir.file("zfs-ran").c_str(), F_OK) == 0; }
};

TEST_F(RunFrameTest, EmptyConfigurationExitsZeroSilently) {
  dir.write("corvatel.conf", "");
  RunOutput out = run();
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.err, "");
  EXPECT_TRUE(out.log.empty());
  EXPECT_FALSE(zfs_ran());
  EXPECT_EQ(access(log.c_str(), F_OK), 0);  // opened for append even when nothing is written
  EXPECT_EQ(log_state().stream, nullptr);
}

TEST_F(RunFrameTest, HeldLockEndsAtOnceWithoutLogging) {
  dir.write("corvatel.conf", "");
  int holder = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  RunOutput out = run();
  close(holder);
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "corvatel: another instance is already running (lock held on " + lock + ")\n");
  EXPECT_EQ(access(log.c_str(), F_OK), -1);
}

TEST_F(RunFrameTest, LockFileIsCreatedPrivateAndLeftEmpty) {
  dir.write("corvatel.conf", "");
  ASSERT_EQ(run().status, 0);
  struct stat st {};
  ASSERT_EQ(stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
}

TEST_F(RunFrameTest, UnopenableLockFileIsReported) {
  lock = dir.file("missing/corvatel.lock");
  RunOutput out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "corvatel: failed to open lock file " + lock + ": No such file or directory\n");
}

TEST_F(RunFrameTest, UnwritableLogLocationStopsBeforeTheConfiguration) {
  log = dir.file("missing/corvatel.log");  // config is missing too: it must not be looked at
  RunOutput out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "corvatel: failed to open log file " + log + ": No such file or directory\n");
  EXPECT_FALSE(zfs_ran());
}

TEST_F(RunFrameTest, MissingConfigurationGoesToStandardErrorAndLog) {
  RunOutput out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err,
            "corvatel: failed to open config file " + config + ": No such file or directory\n");
  EXPECT_EQ(out.log, std::vector<std::string>{"Error: failed to open config file " + config +
                                              ": No such file or directory"});
  EXPECT_FALSE(zfs_ran());
}

TEST_F(RunFrameTest, ArgcZeroRunsWithDefaultProgramName) {
  char* argv[] = {nullptr};
  RunPaths paths{config.c_str(), log.c_str(), lock.c_str(), zfs.c_str()};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(corvatel_main(0, argv, paths, clock), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvatel: failed to open config file " + config + ": No such file or directory\n");
}

TEST_F(RunFrameTest, FailedLogWritesEndWithStatusOne) {
  if (!testing::probe_full_device().writable)
    GTEST_SKIP() << "/dev/full cannot be opened for writing here";
  log = "/dev/full";
  RunOutput out = run();  // the missing configuration makes the run write to the log
  EXPECT_EQ(out.status, 1);
  EXPECT_NE(out.err.find("corvatel: one or more writes to log file /dev/full failed; log is "
                         "incomplete\n"),
            std::string::npos)
      << out.err;
}

TEST_F(RunFrameTest, UnreadableClockEndsTheRun) {
  dir.write("corvatel.conf", "");
  clock.time = failing_time;
  RunOutput out = run();
  EXPECT_EQ(out.status, 1);
  ASSERT_EQ(out.log.size(), 1u);
  EXPECT_EQ(out.log[0], "Error: failed to read current time");
}

TEST_F(RunFrameTest, MissingLocalTimeEndsTheRun) {
  dir.write("corvatel.conf", "");
  clock.localtime = failing_localtime;
  RunOutput out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.log, std::vector<std::string>{"Error: localtime_r failed"});
}

TEST_F(RunFrameTest, ConfigurationReadErrorEndsTheRun) {
  config = dir.path();  // a directory opens, but reading it fails
  RunOutput out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.log, std::vector<std::string>{"Error: Failed to read config file " + config +
                                              ": Is a directory"});
  EXPECT_FALSE(zfs_ran());
}

TEST_F(RunFrameTest, LogLinesAppendAcrossRuns) {
  run();
  run();
  EXPECT_EQ(split_lines(read_file(log)).size(), 2u);
}

TEST(ReadClock, MinusOneWithoutErrnoIsAValidReading) {
  std::int64_t reading = 5;
  EXPECT_EQ(read_clock(reading, [](std::time_t*) -> std::time_t { return -1; }), 0);
  EXPECT_EQ(reading, -1);
  reading = 5;
  EXPECT_EQ(read_clock(reading, failing_time), -1);
  EXPECT_EQ(reading, 5);
}

TEST(MinuteOfDay, CountsFromMidnight) {
  testing::ScopedEnv utc("TZ", "UTC0");
  struct Case {
    std::time_t t;
    std::int64_t minute;
  } cases[] = {{1740787200, 0}, {1740787200 + 59, 0}, {1740787200 + 90 * 60, 90},
               {1740787200 + 86399, 1439}};
  for (const Case& c : cases) {
    std::tm local{};
    ASSERT_NE(localtime_r(&c.t, &local), nullptr);
    EXPECT_EQ(minute_of_day(local), c.minute) << c.t;
  }
}

TEST(SnapshotTimestamp, ZoneSignBecomesPExceptWest) {
  struct Case {
    const char* tz;
    const char* expected;
  } cases[] = {{"UTC0", "2025-03-01_14:05:00p0000"},
               {"CET-1", "2025-03-01_15:05:00p0100"},
               {"EST5", "2025-03-01_09:05:00-0500"},
               {"NPT-5:45", "2025-03-01_19:50:00p0545"}};
  for (const Case& c : cases) {
    testing::ScopedEnv zone("TZ", c.tz);
    std::time_t t = 1740837900;  // 2025-03-01 14:05:00 UTC
    std::tm local{};
    ASSERT_NE(localtime_r(&t, &local), nullptr);
    char timestamp[32];
    ASSERT_EQ(format_snapshot_timestamp(local, timestamp), 0);
    EXPECT_STREQ(timestamp, c.expected) << c.tz;
    EXPECT_EQ(std::string(timestamp).size(), 24u);
  }
}

}  // namespace
}  // namespace corvatel
