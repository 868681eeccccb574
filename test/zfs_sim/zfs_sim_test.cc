#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "log_capture.h"
#include "sim_state.h"

namespace corvatel::testing {
namespace {

struct SimRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status; -1 when ended by a signal
  int signal = 0;
};

std::string read_stream(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

SimRun run_sim(const std::vector<std::string>& args, bool with_env = true) {
  std::vector<const char*> argv = {ZFS_SIM};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    if (!with_env) unsetenv("ZFS_SIM_STATE");
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  SimRun run{read_stream(out), read_stream(err)};
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

void expect_run(const SimRun& run, const std::string& out, const std::string& err, int status) {
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.err, err);
  EXPECT_EQ(run.status, status);
}

using Args = std::vector<std::string>;
using Names = std::vector<std::string>;

const Args GET_R = {"get", "-H", "-p", "-r", "-t", "filesystem,volume", "-o", "name,value", "written"};
const Args GET = {"get", "-H", "-p", "-t", "filesystem,volume", "-o", "name,value", "written"};
const Args LIST_R = {"list", "-H", "-r", "-t", "snapshot", "-o", "name", "-S", "createtxg"};
const Args LIST = {"list", "-H", "-t", "snapshot", "-o", "name", "-S", "createtxg"};

Args with(Args args, const Names& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The pools of the reference transcripts.
class ZfsSim : public ::testing::Test {
 protected:
  void SetUp() override {
    state.add_dataset("tank", 25600);
    state.add_dataset("tank/a", 3175424);
    state.add_dataset("tank/a/b", 2124800);
    state.add_dataset("tank/c", 4224000);
    state.add_dataset("tank/vol", 12288, true);
    state.add_dataset("other", 512);
    state.set_clock(1796876686);
    state.export_env();
  }

  SimState state;
};

TEST_F(ZfsSim, GetWritten) {
  struct Case {
    Args args;
    std::string out;
    std::string err;
    int status;
  };
  const std::string tank_tree = "tank\t25600\ntank/a\t3175424\ntank/a/b\t2124800\ntank/c\t4224000\n";
  const Case cases[] = {
      {with(GET_R, {"tank"}), tank_tree + "tank/vol\t12288\n", "", 0},
      {GET, "other\t512\n" + tank_tree + "tank/vol\t12288\n", "", 0},
      {with(GET_R, {"tank/a", "other"}), "other\t512\ntank/a\t3175424\ntank/a/b\t2124800\n", "", 0},
      {with(GET, {"tank/c", "tank/nope"}), "tank/c\t4224000\n",
       "cannot open 'tank/nope': dataset does not exist\n", 1},
      {with(GET_R, {"tank/nope"}), "", "cannot open 'tank/nope': dataset does not exist\n", 1},
      {with(GET_R, {"nopool/x"}), "", "cannot open 'nopool/x': dataset does not exist\n", 1},
      {{"get", "-Hpr", "-tfilesystem", "-o", "name,value", "written", "tank"}, tank_tree, "", 0},
      {{"get", "-H", "-p", "-o", "name,value", "written", "tank/c", "tank/nope"}, "tank/c\t4224000\n",
       "cannot open 'tank/nope': dataset does not exist\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    expect_run(run_sim(c.args), c.out, c.err, c.status);
  }
}

TEST_F(ZfsSim, GetOrdersByNameWithParentsFirst) {
  state.add_dataset("tank/a b", 7);
  state.add_dataset("tank/a-b/c", 8);
  state.add_dataset("tank/a-b", 9);
  expect_run(run_sim(with(GET_R, {"tank/a"})), "tank/a\t3175424\ntank/a/b\t2124800\n", "", 0);
  expect_run(run_sim(with(GET_R, {"tank/a-b", "tank/a b"})), "tank/a b\t7\ntank/a-b\t9\ntank/a-b/c\t8\n",
             "", 0);
}

TEST_F(ZfsSim, SnapshotsResetWrittenAndListByCreationTxg) {
  expect_run(run_sim({"snapshot", "tank/a@x_1", "tank/c@x_1"}), "", "", 0);
  expect_run(run_sim(with(GET_R, {"tank"})),
             "tank\t25600\ntank/a\t0\ntank/a/b\t2124800\ntank/c\t0\ntank/vol\t12288\n", "", 0);
  expect_run(run_sim({"snapshot", "-r", "tank@y_1"}), "", "", 0);
  // One command, one txg: its snapshots tie and come in dataset name order.
  const std::string listed = "tank@y_1\ntank/a@y_1\ntank/a/b@y_1\ntank/c@y_1\ntank/vol@y_1\ntank/a@x_1\ntank/c@x_1\n";
  expect_run(run_sim(with(LIST_R, {"tank"})), listed, "", 0);
  EXPECT_EQ(state.snapshots_newest_first(), split_lines(listed));
  for (const char* name : {"tank", "tank/a", "tank/a/b", "tank/c", "tank/vol"}) EXPECT_EQ(state.written(name), 0);
  EXPECT_EQ(state.written("other"), 512);

  // A clock set back does not make later snapshots older.
  state.set_clock(1796876000);
  expect_run(run_sim({"snapshot", "tank/c@z_1", "tank/a@z_1"}), "", "", 0);
  expect_run(run_sim(with(LIST_R, {"tank/a"})), "tank/a@z_1\ntank/a@y_1\ntank/a/b@y_1\ntank/a@x_1\n", "",
             0);
}

TEST_F(ZfsSim, ListSelectsAndReportsMissingDatasets) {
  state.add_dataset("tank/ab");
  state.add_snapshot("tank/ab@old", 100);
  state.add_snapshot("tank/a/b@old", 100);
  state.add_snapshot("other@mid", 200);
  state.add_snapshot("tank/a@new", 300);
  state.add_snapshot("tank/a@old", 100);
  struct Case {
    Args args;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {LIST, "tank/a@new\nother@mid\ntank/a@old\ntank/a/b@old\ntank/ab@old\n", "", 0},
      {with(LIST_R, {"tank/a"}), "tank/a@new\ntank/a@old\ntank/a/b@old\n", "", 0},
      {with(LIST, {"tank/a"}), "tank/a@new\ntank/a@old\n", "", 0},
      {with(LIST_R, {"tank/nope", "other"}), "other@mid\n",
       "cannot open 'tank/nope': dataset does not exist\n", 1},
      {with(LIST_R, {"tank/c"}), "", "", 0},
      {{"list", "-H", "-r", "-t", "snapshot", "-o", "name", "tank/a"}, "tank/a@old\ntank/a@new\ntank/a/b@old\n",
       "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    expect_run(run_sim(c.args), c.out, c.err, c.status);
  }
}

TEST_F(ZfsSim, SnapshotIsAllOrNothing) {
  state.add_snapshot("tank/a@x_1", 100);
  const std::string none = "no snapshots were created\n";
  const std::string same_fs = "cannot create snapshots : multiple snapshots of same fs not allowed\n";
  struct Case {
    Args args;
    std::string err;
  };
  const Case cases[] = {
      {{"snapshot", "tank/a@x_1"}, "cannot create snapshot 'tank/a@x_1': dataset already exists\n"},
      {{"snapshot", "tank/a@x_1", "tank/c@x_2"},
       "cannot create snapshot 'tank/a@x_1': dataset already exists\n" + none},
      {{"snapshot", "tank/c@x_2", "tank/a@x_1"},
       "cannot create snapshot 'tank/a@x_1': dataset already exists\n" + none},
      {{"snapshot", "tank/nope@x"}, "cannot create snapshot 'tank/nope@x': dataset does not exist\n"},
      {{"snapshot", "tank/c@x", "tank/nope@x"},
       "cannot create snapshot 'tank/nope@x': dataset does not exist\n" + none},
      {{"snapshot", "tank/a@z_1", "other@z_1"}, same_fs + none},
      {{"snapshot", "tank/a@z_1", "tank/a@z_2"}, same_fs + none},
      {{"snapshot", "-r", "tank@x_1"}, "cannot create snapshot 'tank/a@x_1': dataset already exists\n" + none},
      {{"snapshot", "-r", "tank/a@q", "tank/a/b@r"}, same_fs + none},
      // Names are checked before anything else; the first bad one is the only one reported.
      {{"snapshot", "tank/c@x+1"}, "cannot create snapshot 'tank/c@x+1': invalid character '+' in name\n"},
      {{"snapshot", "tank/c@x_2", "tank/a@x+1", "tank/c@x+2"},
       "cannot create snapshot 'tank/a@x+1': invalid character '+' in name\n" + none},
      {{"snapshot", "tank/a@x_1", "tank/c@x%2"},
       "cannot create snapshot 'tank/c@x%2': invalid character '%' in name\n" + none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    expect_run(run_sim(c.args), "", c.err, 1);
    EXPECT_EQ(state.snapshots(), Names{"tank/a@x_1"});
    EXPECT_EQ(state.written("tank/c"), 4224000);
  }
}

TEST_F(ZfsSim, DestroyRemovesSnapshots) {
  for (const char* name : {"tank@h", "tank/a@h", "tank/a/b@h", "tank/c@h", "tank/c@k", "other@h"})
    state.add_snapshot(name, 100);
  expect_run(run_sim({"destroy", "tank/c@h"}), "", "", 0);
  EXPECT_EQ(state.snapshots(), (Names{"other@h", "tank/a/b@h", "tank/a@h", "tank/c@k", "tank@h"}));
  expect_run(run_sim({"destroy", "-r", "tank/a@h"}), "", "", 0);
  EXPECT_EQ(state.snapshots(), (Names{"other@h", "tank/c@k", "tank@h"}));

  const std::string missing = "could not find any snapshots to destroy; check snapshot names.\n";
  const std::pair<Args, std::string> cases[] = {
      {{"destroy", "tank/a@h"}, missing},
      {{"destroy", "-r", "tank/a@k"}, missing},
      {{"destroy", "nopool@h"}, "cannot open 'nopool': dataset does not exist\n"},
      {{"destroy", "-r", "tank/nope@h"}, "cannot open 'tank/nope': dataset does not exist\n"},
  };
  for (const auto& [args, err] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    expect_run(run_sim(args), "", err, 1);
  }
  EXPECT_EQ(state.snapshots(), (Names{"other@h", "tank/c@k", "tank@h"}));
}

TEST_F(ZfsSim, HeldOrClonedSnapshotsAreNotDestroyed) {
  for (const char* name : {"tank@h", "tank/a@h", "tank/a/b@h", "tank/c@h", "tank/c@k"})
    state.add_snapshot(name, 100);
  state.add_hold("tank/a/b@h", "keep");
  state.add_clone("tank/c@k", "tank/cl");
  const std::string held_23 =
      "cannot destroy snapshot tank/a/b@h: it's being held. Run 'zfs holds -r tank/a/b@h' to "
      "see holders.\n";
  const std::string held_21 = "cannot destroy snapshot tank/a/b@h: dataset is busy\n";
  const std::string cloned =
      "cannot destroy 'tank/c@k': snapshot has dependent clones\n"
      "use '-R' to destroy the following datasets:\ntank/cl\n";
  struct Case {
    std::string version;
    Args args;
    std::string err;
  };
  const Case cases[] = {
      {"2.3.2", {"destroy", "tank/a/b@h"}, held_23},
      {"2.1.11", {"destroy", "tank/a/b@h"}, held_21},
      // A held descendant keeps every snapshot that one recursive destroy names.
      {"2.3.2", {"destroy", "-r", "tank@h"}, held_23},
      {"2.1.11", {"destroy", "-r", "tank/a@h"}, held_21},
      {"2.3.2", {"destroy", "tank/c@k"}, cloned},
      {"2.1.11", {"destroy", "-r", "tank/c@k"}, cloned},
  };
  const Names all = {"tank/a/b@h", "tank/a@h", "tank/c@h", "tank/c@k", "tank@h"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version + " " + ::testing::PrintToString(c.args));
    state.set_version(c.version);
    expect_run(run_sim(c.args), "", c.err, 1);
    EXPECT_EQ(state.snapshots(), all);
  }
  expect_run(run_sim({"destroy", "tank/c@h"}), "", "", 0);
  EXPECT_EQ(state.snapshots(), (Names{"tank/a/b@h", "tank/a@h", "tank/c@k", "tank@h"}));
}

TEST_F(ZfsSim, UnsupportedArgumentsAreUsageErrors) {
  const Args cases[] = {
      {},
      {"frobnicate"},
      {"get", "-H", "-p", "-o", "name,value", "used", "tank"},
      {"get", "-H", "-p", "-x", "-o", "name,value", "written"},
      {"get", "-H", "-p", "-t", "snapshot", "-o", "name,value", "written"},
      {"list", "-H", "-t", "filesystem", "-o", "name"},
      {"list", "-H", "-t", "snapshot", "-o", "name", "-S", "used"},
      {"list", "-H", "-t", "snapshot", "-o", "name", "-S", "creation"},
      {"snapshot"},
      {"snapshot", "tank/a"},
      {"destroy", "tank/a"},
      {"destroy", "tank@a", "tank@b"},
  };
  for (const Args& args : cases) {
    std::string joined;
    for (const std::string& arg : args) joined += (joined.empty() ? "" : " ") + arg;
    SCOPED_TRACE(joined);
    expect_run(run_sim(args), "",
               "zfs-sim: unsupported arguments: " + joined +
                   "\nusage: zfs get|snapshot|list|destroy, as corvatel runs them\n",
               2);
  }
  EXPECT_TRUE(state.snapshots().empty());
}

TEST_F(ZfsSim, RecordsEveryArgumentVector) {
  state.add_dataset("tank/with space");
  run_sim(with(GET_R, {"tank/with space"}));
  run_sim({"snapshot", "tank/with space@h_1"});
  run_sim({"bogus", "a\tb"});
  EXPECT_EQ(state.calls(),
            (std::vector<Args>{with({ZFS_SIM}, with(GET_R, {"tank/with space"})),
                               {ZFS_SIM, "snapshot", "tank/with space@h_1"},
                               {ZFS_SIM, "bogus", "a\tb"}}));
  state.clear_calls();
  run_sim({"destroy", "tank/with space@h_1"});
  EXPECT_EQ(state.calls(), (std::vector<Args>{{ZFS_SIM, "destroy", "tank/with space@h_1"}}));
}

TEST_F(ZfsSim, FaultsApplyToTheirCallOfTheirKind) {
  state.add_fault(
      {.kind = "get", .call = 2, .exit_status = 3, .stderr_text = "cannot get: I/O error\n"});
  const Args get = with(GET_R, {"other"});
  expect_run(run_sim(get), "other\t512\n", "", 0);
  expect_run(run_sim(LIST), "", "", 0);  // another kind counts apart
  expect_run(run_sim(get), "", "cannot get: I/O error\n", 3);
  expect_run(run_sim(get), "other\t512\n", "", 0);
}

TEST_F(ZfsSim, FaultOutputAndStatus) {
  const std::string long_line = std::string(600, 'x') + "\n";
  const std::string nul = std::string("tank\0bad\n", 9);
  struct Case {
    const char* name;
    SimFault fault;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"status only", {.kind = "get", .exit_status = 1}, "", "", 1},
      {"replaced by garbage",
       {.kind = "get",
        .perform = true,
        .exit_status = 0,
        .stdout_bytes = "garbage\tline\n",
        .replace_stdout = true},
       "garbage\tline\n",
       "",
       0},
      {"NUL appended",
       {.kind = "get", .perform = true, .exit_status = -1, .stdout_bytes = nul},
       "other\t512\n" + nul,
       "",
       0},
      {"long line appended",
       {.kind = "get", .perform = true, .exit_status = -1, .stdout_bytes = long_line},
       "other\t512\n" + long_line,
       "",
       0},
      {"no final newline",
       {.kind = "get",
        .perform = true,
        .exit_status = 0,
        .stdout_bytes = "other\t51",
        .replace_stdout = true},
       "other\t51",
       "",
       0},
      {"real status kept",
       {.kind = "get", .perform = true, .exit_status = -1, .stderr_text = "extra\n"},
       "other\t512\n",
       "extra\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state.clear_faults();
    state.add_fault(c.fault);
    expect_run(run_sim(with(GET_R, {"other"})), c.out, c.err, c.status);
  }
}

TEST_F(ZfsSim, FaultMayStillPerformTheOperation) {
  struct Case {
    bool perform;
    Names snapshots;
  };
  for (const Case& c : {Case{true, {"tank/a@h_1", "tank/c@h_1"}}, Case{false, {}}}) {
    SCOPED_TRACE(c.perform);
    SimState fresh;
    fresh.add_dataset("tank/a", 5);
    fresh.add_dataset("tank/c", 5);
    fresh.export_env();
    fresh.add_fault({.kind = "snapshot", .perform = c.perform});
    expect_run(run_sim({"snapshot", "tank/a@h_1", "tank/c@h_1"}), "", "", 1);
    EXPECT_EQ(fresh.snapshots(), c.snapshots);
    EXPECT_EQ(fresh.written("tank/a"), c.perform ? 0 : 5);
  }
}

TEST_F(ZfsSim, FaultKillsWithSignalAfterWriting) {
  state.add_fault({.kind = "snapshot",
                   .call = 0,
                   .perform = true,
                   .stderr_text = "dying\n",
                   .signal = SIGKILL});
  SimRun run = run_sim({"snapshot", "tank/c@h_1"});
  EXPECT_EQ(run.signal, SIGKILL);
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(run.err, "dying\n");
  EXPECT_EQ(state.snapshots(), Names{"tank/c@h_1"});
  EXPECT_EQ(run_sim({"snapshot", "tank/c@h_2"}).signal, SIGKILL);
}

TEST_F(ZfsSim, FaultStallsBeforeActing) {
  state.add_snapshot("tank@h", 1);
  state.add_fault({.kind = "destroy", .perform = true, .exit_status = -1, .stall_seconds = 0.3});
  auto start = std::chrono::steady_clock::now();
  expect_run(run_sim({"destroy", "tank@h"}), "", "", 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_TRUE(state.snapshots().empty());
}

TEST(ZfsSimState, HandWrittenStateIsRead) {
  SimState state;
  {
    std::ofstream out(state.dir() + "/state");
    out << "# written by a shell demo\nclock\t500\n"
        << "dataset\ttank\t7\tfilesystem\ndataset\ttank/v\t9\tvolume\n"
        << "snapshot\ttank@a\t400\t1\nsnapshot\ttank/v@a\t450\t2\n"
        << "version\t2.1.11\nhold\ttank@a\tkeep\nclone\ttank/v@a\ttank/w\n"
        << "fault\tkind=list\tcall=1\texit=4\tstdout=x\\x00y\\n\n";
  }
  state.export_env();
  expect_run(run_sim(with(GET_R, {"tank"})), "tank\t7\ntank/v\t9\n", "", 0);
  expect_run(run_sim(with(LIST_R, {"tank"})), std::string("x\0y\n", 4), "", 4);
  expect_run(run_sim(with(LIST_R, {"tank"})), "tank/v@a\ntank@a\n", "", 0);
  EXPECT_EQ(state.written("tank/v"), 9);
  EXPECT_EQ(state.written("nope"), -1);
  expect_run(run_sim({"destroy", "tank@a"}), "", "cannot destroy snapshot tank@a: dataset is busy\n", 1);
  expect_run(run_sim({"destroy", "tank/v@a"}), "",
             "cannot destroy 'tank/v@a': snapshot has dependent clones\n"
             "use '-R' to destroy the following datasets:\ntank/w\n",
             1);
}

TEST(ZfsSimState, BadStateAndMissingFolderAreReported) {
  SimState state;
  state.export_env();
  for (const char* bad : {"dataset\ttank\tmany\tfilesystem", "hold\ttank@a", "hold\ttank@a\t",
                          "clone\ttank@a\ttank/b\textra", "version\t"}) {
    SCOPED_TRACE(bad);
    {
      std::ofstream out(state.dir() + "/state");
      out << "clock\t1\n" << bad << "\n";
    }
    expect_run(run_sim(GET), "", "zfs-sim: " + state.dir() + "/state:2: bad state line\n", 2);
  }
  expect_run(run_sim(GET, false), "", "zfs-sim: ZFS_SIM_STATE must name an absolute folder\n", 2);
}

TEST(ZfsSimState, FaultsSurviveTheStateFile) {
  SimState state;
  state.add_dataset("tank");
  const SimFault fault{.kind = "get",
                       .exit_status = 0,
                       .stderr_text = "e\\x41\n",
                       .stdout_bytes = std::string("a\0\t\\\r\nb", 7)};
  state.add_fault(fault);
  state.set_clock(9);  // rewrites the state through a load and a save
  state.export_env();
  expect_run(run_sim(GET), fault.stdout_bytes, fault.stderr_text, 0);
}

TEST(ZfsSimState, NamedFolderIsMadeAndReset) {
  SimState scratch;
  const std::string dir = scratch.dir() + "/deeper/state";
  {
    SimState named(dir);
    named.add_dataset("tank", 4);
    named.add_snapshot("tank@a", 5);
  }
  {
    SimState again(dir);
    EXPECT_EQ(again.written("tank"), -1);
    EXPECT_TRUE(again.snapshots().empty());
    EXPECT_TRUE(again.calls().empty());
  }
  for (const char* file : {"state", "calls"}) unlink((dir + "/" + file).c_str());
  rmdir(dir.c_str());
  rmdir((scratch.dir() + "/deeper").c_str());
}

}  // namespace
}  // namespace corvatel::testing
