#include "log/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <regex>
#include <string>

#include "log_capture.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using testing::LogCapture;

std::time_t failing_time(std::time_t*) {
  errno = EOVERFLOW;
  return static_cast<std::time_t>(-1);
}
std::time_t minus_one_without_errno(std::time_t*) { return static_cast<std::time_t>(-1); }
std::tm* failing_localtime(const std::time_t*, std::tm*) { return nullptr; }
std::size_t failing_strftime(char*, std::size_t, const char*, const std::tm*) { return 0; }

class LogEventTest : public ::testing::Test {
 protected:
  void TearDown() override { log_state().clock = LogClock{}; }
};

TEST_F(LogEventTest, WritesLocalTimestampSpaceMessageNewline) {
  LogCapture capture;
  log_event("Error: Failed to read ZFS written metrics");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Error: Failed to read ZFS written metrics)")))
      << lines[0];
}

TEST_F(LogEventTest, InterpretsOnlyTheFormat) {
  LogCapture capture;
  log_event("Pruned=%s%s", "tank@a%sb%n", " Recursive");
  EXPECT_EQ(capture.messages().at(0), "Pruned=tank@a%sb%n Recursive");
}

TEST_F(LogEventTest, MinusOneWithErrnoClearIsAValidTime) {
  LogCapture capture;
  log_state().clock.time = minus_one_without_errno;
  log_event("x");
  EXPECT_NE(capture.lines().at(0).rfind("unknown-time", 0), 0u);
}

struct FallbackCase {
  const char* name;
  LogClock clock;
  const char* expected;
};

TEST_F(LogEventTest, ClockFailuresFallBackToUnknownTimeWithTheirNote) {
  LogClock time_fails;
  time_fails.time = failing_time;
  LogClock local_fails;
  local_fails.localtime = failing_localtime;
  LogClock format_fails;
  format_fails.strftime = failing_strftime;
  const FallbackCase cases[] = {
      {"time", time_fails, "unknown-time [clock read failed, using fallback timestamp] msg 7"},
      {"localtime_r", local_fails,
       "unknown-time [localtime_r failed, using fallback timestamp] msg 7"},
      {"strftime", format_fails, "unknown-time [strftime failed, using fallback timestamp] msg 7"},
  };
  for (const FallbackCase& c : cases) {
    LogCapture capture;
    log_state().clock = c.clock;
    log_event("msg %d", 7);
    log_state().clock = LogClock{};
    log_event("next");  // a failure in one line does not affect the next
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u) << c.name;
    EXPECT_EQ(lines[0], c.expected) << c.name;
    EXPECT_NE(lines[1].rfind("unknown-time", 0), 0u) << c.name;
  }
}

TEST_F(LogEventTest, WritesNothingWithoutAnOpenLog) {
  log_state().stream = nullptr;
  log_state().write_failed = false;
  log_event("lost");
  EXPECT_FALSE(log_state().write_failed);
}

TEST_F(LogEventTest, WriteFailureSetsFlagThatLaterGoodWritesKeep) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "/dev/full cannot be opened for writing here";
  std::setvbuf(full, nullptr, _IOLBF, 0);
  log_state().stream = full;
  log_state().write_failed = false;
  log_event("Error: one");
  EXPECT_TRUE(log_state().write_failed);
  std::fclose(full);

  LogCapture capture;  // resets the flag as the frame does before opening the log
  log_state().write_failed = true;
  log_event("fine");
  EXPECT_TRUE(log_state().write_failed);
  log_state().write_failed = false;
}

TEST(WarnStderr, WritesMessageAndNewlineWithoutStamp) {
  ::testing::internal::CaptureStderr();
  warn_stderr("%s: failed to establish standard file descriptors", "corvatel");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvatel: failed to establish standard file descriptors\n");
}

// The log file's own messages go to standard error, each beginning with the program name.
class LogFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    log_state().stream = nullptr;
    log_state().write_failed = false;
  }
  testing::TempDir dir;
};

TEST_F(LogFileTest, OpenedLogTakesTheLinesAndClosesWithTheStatusGiven) {
  const std::string path = dir.file("corvatel.log");
  log_state().write_failed = true;  // left by an earlier run in this process
  LogFile log(path.c_str(), "corvatel");
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(log.open(), 0);
  EXPECT_FALSE(log_state().write_failed);
  log_event("Created=tank@h_x Written=0");
  EXPECT_EQ(log.close(0), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(log_state().stream, nullptr);
  EXPECT_EQ(testing::strip_stamps(testing::split_lines(testing::read_file(path))),
            std::vector<std::string>{"Created=tank@h_x Written=0"});
}

TEST_F(LogFileTest, UnopenableLogIsReportedOnStandardError) {
  const std::string path = dir.file("missing/corvatel.log");
  LogFile log(path.c_str(), "/usr/local/sbin/corvatel");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log.open(), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "/usr/local/sbin/corvatel: failed to open log file " + path +
                ": No such file or directory\n");
  EXPECT_EQ(log_state().stream, nullptr);
}

TEST_F(LogFileTest, FailedWriteRaisesTheStatusWithItsLine) {
  const std::string path = dir.file("corvatel.log");
  LogFile log(path.c_str(), "corvatel");
  ASSERT_EQ(log.open(), 0);
  log_state().write_failed = true;  // as log_event leaves it after a failed write
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log.close(0), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvatel: one or more writes to log file " + path + " failed; log is incomplete\n");
}

TEST_F(LogFileTest, DestructorClosesALogLeftOpen) {
  const std::string path = dir.file("corvatel.log");
  {
    LogFile log(path.c_str(), "corvatel");
    ASSERT_EQ(log.open(), 0);
    EXPECT_NE(log_state().stream, nullptr);
  }
  EXPECT_EQ(log_state().stream, nullptr);
}

}  // namespace
}  // namespace corvatel
