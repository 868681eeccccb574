#include "check/state_file.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "log_capture.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using std::chrono::steady_clock;

CheckState sample_state() {
  CheckState state;
  state.observed = 1740837600;
  state.monotonic_ms = 123456789;
  state.log = LogPosition{2049, 77, 4096, 0x0123456789abcdefULL};
  state.entries.push_back({"tank/a b", "h", false, 60, 1000000, 1740837000, "tank/a b@x"});
  state.entries.push_back({"tank/r", "d-1", true, 1440, 0, std::nullopt, ""});
  return state;
}

const char* const kSampleText =
    "corvatel-check state 1\n"
    "observed\t1740837600\t123456789\n"
    "log\t2049\t77\t4096\t0123456789abcdef\n"
    "entry\ttank/a b\th\tno\t60\t1000000\t1740837000\ttank/a b@x\n"
    "entry\ttank/r\td-1\tyes\t1440\t0\t-\t-\n";

TEST(StateText, IsWrittenAndReadBack) {
  EXPECT_EQ(format_state(sample_state()), kSampleText);
  CheckState read;
  ASSERT_TRUE(parse_state(kSampleText, read));
  EXPECT_EQ(format_state(read), kSampleText);
  CheckState without_log = sample_state();
  without_log.log.reset();
  ASSERT_TRUE(parse_state(format_state(without_log), read));
  EXPECT_FALSE(read.log.has_value());
}

TEST(StateText, AnythingElseIsRefused) {
  const std::string good = kSampleText;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string cases[] = {
      "",
      "corvatel-check state 2\nobserved\t1\t2\n",
      "corvatel-check state 1\n",                                        // no observation
      good.substr(0, good.size() - 1),                                   // cut short
      replaced("observed\t1740837600", "observed\tyesterday"),
      replaced("\t123456789\n", "\t123456789\textra\n"),
      replaced("log\t2049", "log\t-2049"),
      replaced("0123456789abcdef", "0123456789abcdeg"),
      replaced("\tno\t", "\tmaybe\t"),
      replaced("\t60\t", "\t+60\t"),
      replaced("\t1740837000\t", "\tsoon\t"),
      replaced("tank/a b@x\n", "not-a-snapshot\n"),
      replaced("entry\ttank/r\td-1", "entry\ttank/a b\th"),              // the same entry twice
      good + "observed\t1\t2\n",                                         // twice
      good + "mystery\n",
  };
  for (const std::string& text : cases) {
    CheckState state;
    EXPECT_FALSE(parse_state(text, state)) << text;
  }
}

TEST(StateFile, IsCreatedWithItsFolderAndReplacedWhole) {
  testing::TempDir dir;
  const std::string path = dir.file("corvatel/check.state");
  std::string problem;
  std::string why;
  {
    StateFile file;
    ASSERT_EQ(file.open(path, steady_clock::now(), problem), 0) << problem;
    CheckState state;
    EXPECT_FALSE(file.read(state, why));
    EXPECT_EQ(why, "no previous state");
    ASSERT_EQ(file.write(sample_state(), problem), 0) << problem;
  }
  EXPECT_EQ(testing::read_file(path), kSampleText);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  StateFile again;
  ASSERT_EQ(again.open(path, steady_clock::now(), problem), 0);
  CheckState state;
  ASSERT_TRUE(again.read(state, why));
  EXPECT_EQ(format_state(state), kSampleText);
  // Nothing but the state is left in the folder.
  EXPECT_EQ(std::system(("test \"$(ls '" + dir.file("corvatel") + "')\" = check.state").c_str()), 0);
}

TEST(StateFile, AnUnreadableStateSaysSo) {
  testing::TempDir dir;
  const std::string path = dir.write("check.state", "corvatel-check state 1\ngarbage\n");
  StateFile file;
  std::string problem;
  ASSERT_EQ(file.open(path, steady_clock::now(), problem), 0);
  CheckState state;
  std::string why;
  EXPECT_FALSE(file.read(state, why));
  EXPECT_EQ(why, "the state in " + path + " is unreadable");
}

TEST(StateFile, WaitsForAnotherCheckUntilTheDeadline) {
  testing::TempDir dir;
  const std::string path = dir.write("check.state", "");
  int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  StateFile file;
  std::string problem;
  auto start = steady_clock::now();
  EXPECT_EQ(file.open(path, start + std::chrono::milliseconds(300), problem), -1);
  EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(problem, path + " is locked by another check");
  close(other);
  EXPECT_EQ(file.open(path, steady_clock::now(), problem), 0);
}

// A check that waited for the lock while the one before it replaced the file reads the new one.
TEST(StateFile, AFileReplacedWhileWaitingIsOpenedAnew) {
  testing::TempDir dir;
  const std::string path = dir.write("check.state", "");
  std::string problem;
  auto first = std::make_unique<StateFile>();
  ASSERT_EQ(first->open(path, steady_clock::now(), problem), 0);
  StateFile second;
  int opened = -1;
  std::string second_problem;
  std::thread waiter([&] {
    opened = second.open(path, steady_clock::now() + std::chrono::seconds(20), second_problem);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(first->write(sample_state(), problem), 0) << problem;
  first.reset();  // lets go of the old file's lock
  waiter.join();
  ASSERT_EQ(opened, 0) << second_problem;
  CheckState state;
  std::string why;
  EXPECT_TRUE(second.read(state, why)) << why;
}

TEST(StateFile, AFolderThatCannotBeMadeIsAProblem) {
  testing::TempDir dir;
  const std::string path = dir.file("no/such/check.state");
  StateFile file;
  std::string problem;
  EXPECT_EQ(file.open(path, steady_clock::now(), problem), -1);
  EXPECT_EQ(problem, "cannot open " + path + ": No such file or directory");
}

}  // namespace
}  // namespace corvatel
