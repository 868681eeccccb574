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
#include "in_process_run.h"
#include "log/log.h"
#include "log_capture.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using testing::read_file;
using testing::split_lines;
using testing::InProcessRun;
using testing::TempDir;

std::time_t failing_time(std::time_t*) {
  errno = EINVAL;
  return -1;
}
std::tm* failing_localtime(const std::time_t*, std::tm*) { return nullptr; }

constexpr std::time_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC

class RunFrameTest : public ::testing::Test {
 protected:
  InProcessRun inst;
  TempDir& dir = inst.dir;
  std::string& config = inst.config_path;
  std::string& log = inst.log_path;
  std::string& lock = inst.lock_path;

  // One run; `adjust` may change the clock after the run has set it.
  InProcessRun::Outcome run(void (*adjust)(RunClock&) = nullptr) {
    inst.begin(k1400);
    if (adjust != nullptr) adjust(inst.clock);
    inst.call_main();
    return inst.end();
  }
  bool zfs_ran() const { return !inst.zfs.calls().empty(); }
};

TEST_F(RunFrameTest, EmptyConfigurationExitsZeroSilently) {
  dir.write("corvatel.conf", "");
  InProcessRun::Outcome out = run();
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
  InProcessRun::Outcome out = run();
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
  InProcessRun::Outcome out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "corvatel: failed to open lock file " + lock + ": No such file or directory\n");
}

TEST_F(RunFrameTest, UnwritableLogLocationStopsBeforeTheConfiguration) {
  log = dir.file("missing/corvatel.log");  // config is missing too: it must not be looked at
  InProcessRun::Outcome out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "corvatel: failed to open log file " + log + ": No such file or directory\n");
  EXPECT_FALSE(zfs_ran());
}

TEST_F(RunFrameTest, MissingConfigurationGoesToStandardErrorAndLog) {
  InProcessRun::Outcome out = run();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err,
            "corvatel: failed to open config file " + config + ": No such file or directory\n");
  EXPECT_EQ(out.log, std::vector<std::string>{"Error: failed to open config file " + config +
                                              ": No such file or directory"});
  EXPECT_FALSE(zfs_ran());
}

TEST_F(RunFrameTest, ArgcZeroRunsWithDefaultProgramName) {
  char* argv[] = {nullptr};
  inst.begin(k1400);
  EXPECT_EQ(corvatel_main(0, argv, inst.paths(), inst.clock), 1);
  EXPECT_EQ(inst.end().err,
            "corvatel: failed to open config file " + config + ": No such file or directory\n");
}

TEST_F(RunFrameTest, FailedLogWritesEndWithStatusOne) {
  if (!testing::probe_full_device().writable)
    GTEST_SKIP() << "/dev/full cannot be opened for writing here";
  log = "/dev/full";
  InProcessRun::Outcome out = run();  // the missing configuration makes the run write to the log
  EXPECT_EQ(out.status, 1);
  EXPECT_NE(out.err.find("corvatel: one or more writes to log file /dev/full failed; log is "
                         "incomplete\n"),
            std::string::npos)
      << out.err;
}

TEST_F(RunFrameTest, UnreadableClockEndsTheRun) {
  dir.write("corvatel.conf", "");
  InProcessRun::Outcome out = run([](RunClock& clock) { clock.time = failing_time; });
  EXPECT_EQ(out.status, 1);
  ASSERT_EQ(out.log.size(), 1u);
  EXPECT_EQ(out.log[0], "Error: failed to read current time");
}

TEST_F(RunFrameTest, MissingLocalTimeEndsTheRun) {
  dir.write("corvatel.conf", "");
  InProcessRun::Outcome out = run([](RunClock& clock) { clock.localtime = failing_localtime; });
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.log, std::vector<std::string>{"Error: localtime_r failed"});
}

TEST_F(RunFrameTest, ConfigurationReadErrorEndsTheRun) {
  config = dir.path();  // a directory opens, but reading it fails
  InProcessRun::Outcome out = run();
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
