#include "run/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "process.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using testing::ProcessOptions;
using testing::run_process;
using testing::split_lines;
using testing::TempDir;

const RunPaths kPaths{"/etc/c.conf", "/var/log/c.log", "/run/c.lock", "/sbin/zfs"};

struct Answer {
  CommandLineOutcome outcome;
  std::string out;
  std::string err;
};

Answer answer(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  CommandLineOutcome outcome =
      handle_command_line(static_cast<int>(args.size()), argv.data(), "prog", kPaths);
  std::string out = ::testing::internal::GetCapturedStdout();
  return {outcome, out, ::testing::internal::GetCapturedStderr()};
}

TEST(CommandLine, HelpPrintsTwentySixLinesWithProgramAndPaths) {
  for (const char* flag : {"--help", "-h"}) {
    Answer a = answer({"prog", flag});
    EXPECT_FALSE(a.outcome.run);
    EXPECT_EQ(a.outcome.exit_status, 0);
    EXPECT_EQ(a.err, "");
    std::vector<std::string> lines = split_lines(a.out);
    ASSERT_EQ(lines.size(), 26u) << flag;
    EXPECT_EQ(lines[0], "Usage: prog [--help] [--version]");
    EXPECT_EQ(lines[5], "  Config: /etc/c.conf");
    EXPECT_EQ(lines[6], "  Log:    /var/log/c.log");
    EXPECT_EQ(lines[7], "  Lock:   /run/c.lock");
    EXPECT_EQ(lines[25], "  zroot/home,60,24,corvatel,no,1000000");
    EXPECT_EQ(a.out.back(), '\n');
  }
}

TEST(CommandLine, VersionPrintsOneLine) {
  for (const char* flag : {"--version", "-V"}) {
    Answer a = answer({"prog", flag});
    EXPECT_FALSE(a.outcome.run);
    EXPECT_EQ(a.outcome.exit_status, 0);
    EXPECT_EQ(a.out, "corvatel 1.0.1 (portbld)\n");
    EXPECT_EQ(a.err, "");
  }
}

TEST(CommandLine, AnyOtherSingleArgumentIsUnknown) {
  for (const char* arg : {"-", "--", "--versionx", "-hx", "-v", "help", "", "-H", "--Help", "V"}) {
    Answer a = answer({"prog", arg});
    EXPECT_FALSE(a.outcome.run) << arg;
    EXPECT_EQ(a.outcome.exit_status, 2) << arg;
    EXPECT_EQ(a.out, "") << arg;
    EXPECT_EQ(a.err, "prog: unknown option: " + std::string(arg) +
                         "\nUsage: prog [--help] [--version]\n");
  }
}

TEST(CommandLine, TwoOrMoreArgumentsGiveOnlyTheUsageLine) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"prog", "--help", "--help"}, {"prog", "a", "b", "c"}, {"prog", "-V", "x"}}) {
    Answer a = answer(args);
    EXPECT_EQ(a.outcome.exit_status, 2);
    EXPECT_EQ(a.out, "");
    EXPECT_EQ(a.err, "Usage: prog [--help] [--version]\n");
  }
}

TEST(CommandLine, NoArgumentsRun) {
  EXPECT_TRUE(answer({"prog"}).outcome.run);
  EXPECT_TRUE(handle_command_line(0, nullptr, "corvatel", kPaths).run);
}

TEST(CommandLine, ProgramNameIsArgvZeroOrDefault) {
  char full[] = "/usr/local/sbin/corvatel";
  char* argv[] = {full, nullptr};
  EXPECT_STREQ(program_name(1, argv), "/usr/local/sbin/corvatel");
  char* empty[] = {nullptr};
  EXPECT_STREQ(program_name(0, empty), "corvatel");
  EXPECT_STREQ(program_name(1, empty), "corvatel");
}

TEST(CommandLine, DefaultPathsAreTheBuildTimeSettings) {
  RunPaths paths = default_run_paths();
  EXPECT_STREQ(paths.config, CORVATEL_CONFIG_PATH);
  EXPECT_STREQ(paths.log, CORVATEL_LOG_PATH);
  EXPECT_STREQ(paths.lock, CORVATEL_LOCK_PATH);
  EXPECT_STREQ(paths.zfs, CORVATEL_ZFS_PATH);
}

// Out of process: the driver is the real entry point with test paths.
class StartUp : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<std::string> env() const {
    return {"CORVATEL_TEST_CONFIG=" + dir.file("c.conf"), "CORVATEL_TEST_LOG=" + dir.file("c.log"),
            "CORVATEL_TEST_LOCK=" + dir.file("c.lock"), "CORVATEL_TEST_ZFS=" + dir.file("zfs")};
  }
  bool exists(const char* name) const { return access(dir.file(name).c_str(), F_OK) == 0; }
};

TEST_F(StartUp, HelpWithStandardOutputClosedExitsZeroAndTouchesNothing) {
  ProcessOptions options;
  options.env = env();
  options.close_stdout = true;
  auto result = run_process({CORVATEL_TESTDRIVE, "--help"}, options);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "");  // reopened on /dev/null
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(exists("c.lock"));
  EXPECT_FALSE(exists("c.log"));
}

TEST_F(StartUp, CommandLineErrorsCreateNoLockOrLog) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{CORVATEL_TESTDRIVE, "-x"}, {CORVATEL_TESTDRIVE, "-V"},
        {CORVATEL_TESTDRIVE, "a", "b"}}) {
    ProcessOptions options;
    options.env = env();
    auto result = run_process(args, options);
    EXPECT_NE(result.exit_status, 1);
    EXPECT_FALSE(exists("c.lock"));
    EXPECT_FALSE(exists("c.log"));
  }
}

TEST_F(StartUp, UnknownOptionNamesArgvZero) {
  ProcessOptions options;
  options.env = env();
  auto result = run_process({CORVATEL_TESTDRIVE, "-v"}, options);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err, std::string(CORVATEL_TESTDRIVE) + ": unknown option: -v\nUsage: " +
                            CORVATEL_TESTDRIVE + " [--help] [--version]\n");
}

}  // namespace
}  // namespace corvatel
