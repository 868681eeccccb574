#include "zfs/runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "descriptors.h"
#include "log_capture.h"
#include "runner_lines.h"
#include "temp_dir.h"

namespace corvatel {
namespace {

using corvatel::testing::LogCapture;
using corvatel::testing::runner_stderr_messages;
using corvatel::testing::runner_stdout;
using corvatel::testing::RunnerStdout;
using corvatel::testing::TempDir;

struct Collected {
  std::vector<std::string> lines;
  int fail_after = -1;  // calls answered 0 before the handler starts failing; -1: never
};

int collect_line(const char* line, void* user_data) {
  auto* collected = static_cast<Collected*>(user_data);
  collected->lines.emplace_back(line);
  if (collected->fail_after >= 0 && static_cast<int>(collected->lines.size()) > collected->fail_after)
    return 1;
  return 0;
}

CommandResult run_shell(const std::string& script, const std::vector<std::string>& args,
                        LineHandler handler, void* user_data) {
  std::vector<const char*> argv = {"/bin/sh", "-c", script.c_str(), "sh"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  return run_zfs(argv.data(), handler, user_data);
}

// Runs a child that writes exactly `out` to its standard output and then `err` to its standard
// error, both through files so that any byte can be sent.
CommandResult run_writer(const std::string& out, const std::string& err, Collected* collected) {
  TempDir dir;
  std::string out_file = dir.write("out", out);
  std::string err_file = dir.write("err", err);
  return run_shell("cat \"$1\"; cat \"$2\" >&2", {out_file, err_file},
                   collected ? collect_line : nullptr, collected);
}

void expect_result(const CommandResult& result, bool output_failed, bool exited_normally,
                   int exit_status) {
  EXPECT_EQ(result.output_failed, output_failed);
  EXPECT_EQ(result.exited_normally, exited_normally);
  EXPECT_EQ(result.exit_status, exit_status);
}

std::string repeat(char c, std::size_t count) { return std::string(count, c); }

const std::string kNul(1, '\0');

TEST(Runner, StandardErrorLinesAreLoggedCleaned) {
  struct Case {
    const char* name;
    std::string err;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"nothing", "", {}},
      {"empty line", "\n", {}},
      {"whitespace only", " \t\v\f\r\n\n", {}},
      {"two lines", "one\ntwo\n", {"Error: zfs: one", "Error: zfs: two"}},
      {"carriage return dropped", "msg\r\n", {"Error: zfs: msg"}},
      {"leading whitespace kept", "  lead \t\r\n", {"Error: zfs:   lead"}},
      {"no final newline", "last words", {"Error: zfs: last words"}},
      {"percent signs literal", "%s %d %n\n", {"Error: zfs: %s %d %n"}},
      {"NUL bytes shown", "a" + kNul + "b" + kNul + "\n", {"Error: zfs: a\\x00b\\x00"}},
      {"1200 bytes in three pieces",
       repeat('x', 1200) + "\n",
       {"Error: zfs: " + repeat('x', 511), "Error: zfs: " + repeat('x', 511),
        "Error: zfs: " + repeat('x', 178)}},
      {"512 bytes", repeat('y', 512) + "\n", {"Error: zfs: " + repeat('y', 511), "Error: zfs: y"}},
      {"511 NUL bytes",
       repeat('\0', 511) + "\n",
       {[] {
         std::string message = "Error: zfs: ";
         for (int i = 0; i < 511; ++i) message += "\\x00";
         return message;
       }()}},
      {"piece of spaces skipped", repeat('z', 511) + "     \n", {"Error: zfs: " + repeat('z', 511)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    CommandResult result = run_writer("", c.err, nullptr);
    expect_result(result, false, true, 0);
    EXPECT_EQ(log.messages(), c.messages);
  }
}

TEST(Runner, StandardOutputLinesReachHandler) {
  const std::string nul_message = "Error: zfs stdout contained a NUL byte";
  struct Case {
    const char* name;
    std::string out;
    std::vector<std::string> lines;
    bool output_failed;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"nothing", "", {}, false, {}},
      {"two lines", "tank\t5\ntank/a\t0\n", {"tank\t5", "tank/a\t0"}, false, {}},
      {"empty line", "\n", {""}, false, {}},
      {"nothing trimmed", "  x \t\r\n", {"  x \t\r"}, false, {}},
      {"511 bytes whole", repeat('a', 511) + "\n", {repeat('a', 511)}, false, {}},
      {"512 bytes fail, later lines too", repeat('a', 512) + "\nnext\n", {}, true, {}},
      {"line before 512 bytes", "first\n" + repeat('a', 512) + "\n", {"first"}, true, {}},
      {"no final newline", "a\nb", {"a"}, true, {}},
      {"NUL byte", "a" + kNul + "b\nlater\n", {}, true, {nul_message}},
      {"NUL after failure still logged",
       "ok\n" + kNul + "\nx" + kNul + "\nfine\n",
       {"ok"},
       true,
       {nul_message, nul_message}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Collected collected;
    CommandResult result = run_writer(c.out, "", &collected);
    expect_result(result, c.output_failed, true, 0);
    EXPECT_EQ(collected.lines, c.lines);
    EXPECT_EQ(log.messages(), c.messages);
  }
}

TEST(Runner, ExitStatusIsPassedThrough) {
  LogCapture log;
  Collected collected;
  expect_result(run_shell("echo out; echo err >&2; exit 3", {}, collect_line, &collected), false,
                true, 3);
  EXPECT_EQ(collected.lines, std::vector<std::string>{"out"});
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: zfs: err"});
}

TEST(Runner, FailingHandlerStillDrainsAndReapsChild) {
  LogCapture log;
  Collected collected;
  collected.fail_after = 0;
  // About 5 MB after the first line; a runner that stopped reading would block the child.
  CommandResult result =
      run_shell("echo first; echo second; yes 0123456789abcdef | head -c 5000000; exit 7", {},
                collect_line, &collected);
  expect_result(result, true, true, 7);
  EXPECT_EQ(collected.lines, std::vector<std::string>{"first"});
  EXPECT_TRUE(log.messages().empty());
}

TEST(Runner, DrainsMegabytesOnBothStreams) {
  LogCapture log;
  Collected collected;
  const std::string line = repeat('o', 200);
  // Standard error first: a runner that read standard output to its end first would deadlock.
  CommandResult result = run_shell(
      "yes \"$1\" | head -n 10000 >&2; yes \"$1\" | head -n 10000; yes \"$1\" | head -n 10000 >&2",
      {line}, collect_line, &collected);
  expect_result(result, false, true, 0);
  EXPECT_EQ(collected.lines, std::vector<std::string>(10000, line));
  EXPECT_EQ(log.messages(), std::vector<std::string>(20000, "Error: zfs: " + line));
}

TEST(Runner, CommandThatCannotStartExits127) {
  TempDir dir;
  const std::string not_executable = dir.write("zfs", "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(chmod(not_executable.c_str(), 0644), 0);
  const std::string paths[] = {"/nonexistent/zfs", "/", not_executable};
  for (const std::string& path : paths) {
    for (bool with_handler : {false, true}) {
      SCOPED_TRACE(path + (with_handler ? " with handler" : ""));
      LogCapture log;
      Collected collected;
      const char* argv[] = {path.c_str(), "list", nullptr};
      CommandResult result =
          run_zfs(argv, with_handler ? collect_line : nullptr, with_handler ? &collected : nullptr);
      expect_result(result, false, true, 127);
      EXPECT_TRUE(collected.lines.empty());
      EXPECT_TRUE(log.messages().empty());
    }
  }
}

TEST(Runner, ChildKilledBySignal) {
  for (bool with_handler : {false, true}) {
    SCOPED_TRACE(with_handler);
    LogCapture log;
    Collected collected;
    CommandResult result = run_shell("echo before; kill -KILL $$; echo after", {},
                                     with_handler ? collect_line : nullptr, &collected);
    expect_result(result, false, false, -1);
    EXPECT_EQ(collected.lines, with_handler ? std::vector<std::string>{"before"}
                                            : std::vector<std::string>{});
    EXPECT_TRUE(log.messages().empty());
  }
}

TEST(Runner, WithoutHandlerStandardOutputGoesToDevNull) {
  LogCapture log;
  TempDir dir;
  std::string out_file = dir.write("out", "a" + kNul + "\n" + repeat('b', 2000) + "\nno newline");
  CommandResult result =
      run_shell("cat \"$1\"; exec \"$2\" stdout-is-dev-null",
                {out_file, CORVATEL_DESCRIPTOR_PROBE}, nullptr, nullptr);
  expect_result(result, false, true, 0);
  EXPECT_TRUE(log.messages().empty());
}

std::set<std::string> as_text(const std::set<int>& fds) {
  std::set<std::string> text;
  for (int fd : fds) text.insert(std::to_string(fd));
  return text;
}

TEST(Runner, ChildSeesNoCloseOnExecDescriptor) {
  LogCapture log;  // its tmpfile is not close-on-exec; counted among the expected
  int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int pipe_fds[2];
  ASSERT_GE(file, 0);
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  // Descriptors this test process holds without close-on-exec pass on; nothing else may.
  std::set<int> expected = testing::open_descriptors(true);
  ASSERT_EQ(expected.count(file), 0u);
  ASSERT_EQ(testing::open_descriptors().count(file), 1u);
  expected.insert({0, 1, 2});  // the child's own: its standard streams

  Collected collected;
  const char* argv[] = {CORVATEL_DESCRIPTOR_PROBE, nullptr};
  CommandResult result = run_zfs(argv, collect_line, &collected);
  expect_result(result, false, true, 0);
  EXPECT_EQ(std::set<std::string>(collected.lines.begin(), collected.lines.end()),
            as_text(expected));
  close(file);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST(Runner, LeavesNoDescriptorOpen) {
  LogCapture log;
  const std::set<int> before = testing::open_descriptors();
  ASSERT_TRUE(before.count(0) && before.count(1) && before.count(2));  // the listing works
  Collected collected;
  EXPECT_TRUE(command_succeeded(run_shell("echo a; echo b >&2", {}, collect_line, &collected)));
  EXPECT_TRUE(run_shell("printf 'partial'", {}, collect_line, &collected).output_failed);
  EXPECT_TRUE(command_succeeded(run_shell("echo quiet", {}, nullptr, nullptr)));
  const char* missing[] = {"/nonexistent/zfs", nullptr};
  EXPECT_EQ(run_zfs(missing, collect_line, &collected).exit_status, 127);
  EXPECT_EQ(testing::open_descriptors(), before);
}

void on_alarm(int) {}

TEST(Runner, InterruptedCallsAreRetried) {
  struct sigaction action {};
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll, read and waitpid fail with EINTR
  struct sigaction old_action {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &old_action), 0);
  itimerval every_ms{{0, 1000}, {0, 1000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every_ms, nullptr), 0);

  LogCapture log;
  Collected collected;
  // The second sleep runs after both pipes are closed, so it is spent in waitpid.
  CommandResult result = run_shell(
      "sleep 0.2; echo done; echo note >&2; exec >/dev/null 2>&1; sleep 0.3; exit 4", {},
      collect_line, &collected);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old_action, nullptr);

  expect_result(result, false, true, 4);
  EXPECT_EQ(collected.lines, std::vector<std::string>{"done"});
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: zfs: note"});
}

using Seconds = std::chrono::duration<double>;

TimeLimit limit_in(double seconds) {
  return {std::chrono::steady_clock::now() +
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(seconds))};
}

CommandResult run_shell_within(const std::string& script, TimeLimit& limit, Collected* collected) {
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  return run_zfs_within(argv, collected ? collect_line : nullptr, collected, limit);
}

TEST(RunnerWithin, ChildEndingInTimeGivesWhatRunZfsGives) {
  LogCapture log;
  Collected collected;
  TimeLimit limit = limit_in(20);
  CommandResult result = run_shell_within("echo out; echo err >&2; exit 3", limit, &collected);
  expect_result(result, 0, 1, 3);
  EXPECT_FALSE(limit.passed);
  EXPECT_EQ(collected.lines, std::vector<std::string>{"out"});
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Error: zfs: err"});
}

TEST(RunnerWithin, ChildStillRunningAtTheDeadlineIsKilled) {
  struct Case {
    const char* name;
    const char* script;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"silent", "echo before; sleep 30; echo after", {"before"}},
      // Pipes closed: only the wait for its exit can see the limit pass.
      {"output closed", "echo before; exec >/dev/null 2>&1; sleep 30", {"before"}},
      // A grandchild holds the pipes open after its parent is gone.
      {"grandchild keeps the pipes", "echo before; (sleep 30; echo late) & exit 0", {"before"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Collected collected;
    auto start = std::chrono::steady_clock::now();
    TimeLimit limit = limit_in(0.5);
    CommandResult result = run_shell_within(c.script, limit, &collected);
    Seconds took = std::chrono::steady_clock::now() - start;
    expect_result(result, -1, 0, -1);
    EXPECT_TRUE(limit.passed);
    EXPECT_GE(took.count(), 0.5);
    EXPECT_LT(took.count(), 3.0);
    EXPECT_EQ(collected.lines, c.lines);
  }
}

TEST(RunnerWithin, NothingStartsOncePassed) {
  TempDir dir;
  const std::string mark = dir.file("started");
  TimeLimit limit = limit_in(-1);
  CommandResult result = run_shell_within("touch '" + mark + "'", limit, nullptr);
  expect_result(result, -1, 0, 0);
  EXPECT_TRUE(limit.passed);
  EXPECT_NE(access(mark.c_str(), F_OK), 0);
}

TEST(RunnerWithin, LeavesNoDescriptorOpen) {
  LogCapture log;
  const std::set<int> before = testing::open_descriptors();
  Collected collected;
  TimeLimit limit = limit_in(0.2);
  run_shell_within("echo a; sleep 10", limit, &collected);
  EXPECT_TRUE(limit.passed);
  EXPECT_EQ(testing::open_descriptors(), before);
}

TEST(Runner, StandardSuccessTest) {
  struct Case {
    CommandResult result;
    bool succeeded;
  };
  const Case cases[] = {
      {{false, true, 0}, true},    {{true, true, 0}, false},    {{false, false, 0}, false},
      {{false, true, 1}, false},   {{false, true, 127}, false}, {{false, false, -1}, false},
      {{true, false, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.result.output_failed << " " << c.result.exited_normally
                                      << " " << c.result.exit_status);
    EXPECT_EQ(command_succeeded(c.result), c.succeeded);
  }
}

// Hundreds of kilobytes of lines of every length from 0 to 511, so that lines cross the
// boundaries of every read, then `tail`.
std::string bulk_lines(const std::string& tail) {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t length = 0; length <= 511; ++length) {
      for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>('a' + (i + round) % 26);
      bytes += '\n';
    }
  }
  return bytes + tail;
}

TEST(Runner, BulkOutputFollowsTheLineRulesAcrossReads) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"every length up to 511", bulk_lines("")},
      {"then 512 bytes and more lines", bulk_lines(repeat('q', 512) + "\nlater\n")},
      {"then a line of 5000 bytes", bulk_lines(repeat('r', 5000) + "\n")},
      {"then no final newline", bulk_lines("unfinished")},
      {"one line of exactly 511 after 70000 bytes of lines", repeat('\n', 70000) +
                                                                 repeat('s', 511) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      LogCapture log;
      Collected collected;
      RunnerStdout expected = runner_stdout(c.bytes);
      CommandResult result = run_writer(c.bytes, "", &collected);
      expect_result(result, expected.failed, true, 0);
      EXPECT_EQ(collected.lines, expected.lines);
      EXPECT_TRUE(log.messages().empty());
    }
    {
      LogCapture log;
      CommandResult result = run_writer("", c.bytes, nullptr);
      expect_result(result, false, true, 0);
      EXPECT_EQ(log.messages(), runner_stderr_messages(c.bytes));
    }
  }
}

}  // namespace
}  // namespace corvatel
