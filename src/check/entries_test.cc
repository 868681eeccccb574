#include "check/entries.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "check/messages.h"
#include "check/replace_file.h"
#include "log/log.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using Lines = std::vector<std::string>;

std::vector<std::string> labels(const CheckConfiguration& configuration) {
  std::vector<std::string> found;
  for (const CheckEntry& e : configuration.entries)
    found.push_back(e.label() + " " + (e.recursive ? "yes" : "no") + " " +
                    std::to_string(e.interval) + " " + std::to_string(e.retention) + " " +
                    std::to_string(e.min_bytes));
  return found;
}

TEST(CheckConfiguration, EveryValidEntryWhateverTheMinuteInOrder) {
  testing::TempDir dir;
  const std::string path = dir.write("corvatel.conf",
                                     "# comment\n"
                                     "tank/b,7,3,h,yes,10\n"
                                     "tank/a,1439,2,h,no,0\n"
                                     "tank/a,5000,1,d,no,5\n"
                                     "tank/a,60,1,d,no,5\n"
                                     "tank/c,0,1,d,no,5\n");
  LibraryMessages messages;
  CheckConfiguration configuration;
  std::string problem;
  ASSERT_EQ(read_check_configuration(path.c_str(), messages, configuration, problem), 0);
  EXPECT_EQ(labels(configuration),
            (Lines{"tank/a@d no 5000 1 5", "tank/a@h no 1439 2 0", "tank/b@h yes 7 3 10"}));
  EXPECT_EQ(configuration.rejected,
            (Lines{"Error: Config error for tank/a: duplicate dataset/prefix 'd' in config, "
                   "skipping",
                   "Error: Config error for tank/c: invalid interval '0'"}));
}

TEST(CheckConfiguration, AFileThatCannotBeReadIsAProblem) {
  testing::TempDir dir;
  LibraryMessages messages;
  CheckConfiguration configuration;
  std::string problem;
  const std::string missing = dir.file("none.conf");
  EXPECT_EQ(read_check_configuration(missing.c_str(), messages, configuration, problem), -1);
  EXPECT_EQ(problem, "cannot open " + missing + ": No such file or directory");
  EXPECT_EQ(read_check_configuration(dir.path().c_str(), messages, configuration, problem), -1);
  EXPECT_EQ(problem, "cannot read " + dir.path() + ": Is a directory");
}

TEST(LibraryMessages, TakesTheLibrarysLinesAndLeavesTheLogAlone) {
  testing::LogCapture log;
  log_event("before");
  {
    LibraryMessages messages;
    log_event("Error: %s", "one");
    log_event("two");
    EXPECT_EQ(messages.take(), (Lines{"Error: one", "two"}));
    log_event("three");
    EXPECT_EQ(messages.take(), Lines{"three"});
    EXPECT_EQ(messages.take(), Lines{});
  }
  log_event("after");
  EXPECT_EQ(log.messages(), (Lines{"before", "after"}));
}

TEST(ReplaceFile, WritesWholeOrLeavesTheOldFile) {
  testing::TempDir dir;
  const std::string path = dir.write("corvatel.prom", "old\n");
  std::string problem;
  ASSERT_EQ(replace_file(path, "new\n", problem), 0) << problem;
  EXPECT_EQ(testing::read_file(path), "new\n");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  // Only the file is left.
  EXPECT_EQ(std::system(("test \"$(ls '" + dir.path() + "')\" = corvatel.prom").c_str()), 0);
  const std::string nowhere = dir.file("missing/corvatel.prom");
  EXPECT_EQ(replace_file(nowhere, "x", problem), -1);
  EXPECT_EQ(problem, "cannot create a file beside " + nowhere + ": No such file or directory");
  // Into a file that cannot be renamed over: a folder stands in its place.
  const std::string folder = dir.file("folder.prom");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((folder + "/x").c_str(), 0755), 0);
  EXPECT_EQ(replace_file(folder, "x", problem), -1);
  EXPECT_EQ(problem.rfind("cannot write " + folder + ": ", 0), 0u) << problem;
  EXPECT_EQ(std::system(("test \"$(ls '" + dir.path() + "' | wc -l)\" -eq 2").c_str()), 0);
}

}  // namespace
}  // namespace corvatel
