// Whole runs of the program started with signal dispositions, a mask, a file-size limit or a
// standard error that whatever starts it (cron, a shell, a service manager) may hand down.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "in_process_run.h"
#include "log_capture.h"
#include "process.h"
#include "sim_state.h"
#include "temp_dir.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kTestdrive = CORVATEL_TESTDRIVE;
constexpr const char* kSignalReport = SIGNAL_REPORT;
constexpr std::int64_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
const std::string kNow = "2025-03-01_14:00:00p0000";
const Lines kFaultFreeLog = {"Created=data/x@h_" + kNow + " Written=2.93K",
                             "Pruned=data/x@h_2025-03-01_12:00:00p0000"};
const Lines kFaultFreeSnapshots = {"data/x@h_2025-03-01_13:00:00p0000", "data/x@h_" + kNow};

// A configuration due at 14:00 that creates one snapshot and prunes one, with the program's
// files in a fresh folder and zfs-sim as its zfs.
class Installation {
 public:
  Installation() : zfs(dir.file("zfs-state")) {
    zfs.export_env();
    zfs.add_dataset("data", 0);
    zfs.add_dataset("data/x", 3000);
    zfs.add_snapshot("data/x@h_2025-03-01_12:00:00p0000", k1400 - 7200);
    zfs.add_snapshot("data/x@h_2025-03-01_13:00:00p0000", k1400 - 3600);
    zfs.set_clock(k1400);
    dir.write("corvatel.conf", "data/x,60,2,h,no,0\n");
  }

  ProcessOptions options(const std::string& zfs_command = ZFS_SIM) const {
    ProcessOptions o;
    o.env = {"CORVATEL_TEST_CONFIG=" + config(), "CORVATEL_TEST_LOG=" + log(),
             "CORVATEL_TEST_LOCK=" + lock(), "CORVATEL_TEST_ZFS=" + zfs_command,
             "CORVATEL_TEST_TIME=" + std::to_string(k1400)};
    return o;
  }

  ProcessResult run(const ProcessOptions& o, const std::vector<std::string>& args = {kTestdrive}) {
    return run_process(args, o);
  }

  std::string config() const { return dir.file("corvatel.conf"); }
  std::string log() const { return dir.file("corvatel.log"); }
  std::string lock() const { return dir.file("corvatel.lock"); }
  Lines log_lines() const { return strip_stamps(split_lines(read_file(log()))); }

  TempDir dir;
  SimState zfs;
};

class SignalDisposition : public ::testing::Test {
 protected:
  ScopedEnv tz_{"TZ", "UTC0"};  // the children take it from this process's environment
  // The program's children are zfs-sim; their leak checks at exit only cost time.
  ScopedEnv asan_options_{"ASAN_OPTIONS", "detect_leaks=0"};
};

std::string log_failure(const std::string& log) {
  return std::string(kTestdrive) + ": one or more writes to log file " + log +
         " failed; log is incomplete\n";
}

TEST_F(SignalDisposition, IgnoredSigchldStillReapsEveryZfsCommand) {
  Installation inst;
  ProcessOptions o = inst.options();
  o.ignored_signals = {SIGCHLD};
  ProcessResult r = inst.run(o);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(inst.log_lines(), kFaultFreeLog);
  EXPECT_EQ(inst.zfs.snapshots(), kFaultFreeSnapshots);
  EXPECT_EQ(inst.zfs.calls().size(), 4u);  // get, snapshot, list, destroy
}

TEST_F(SignalDisposition, LogAtTheFileSizeLimitFailsItsWritesAndTheRunGoesOn) {
  const std::string old_lines(16384, 'o');
  struct Case {
    const char* name;
    std::int64_t limit;
  };
  const std::int64_t size = static_cast<std::int64_t>(old_lines.size());
  const Case cases[] = {
      {"at the limit", size},
      {"past the limit", size - 4096},
      {"ten bytes below the limit", size + 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    inst.dir.write("corvatel.log", old_lines);
    ProcessOptions o = inst.options();
    o.file_size_limit = c.limit;
    ProcessResult r = inst.run(o);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, log_failure(inst.log()));
    // Snapshots were made and pruned although no line reached the log whole.
    EXPECT_EQ(inst.zfs.snapshots(), kFaultFreeSnapshots);
    const std::string log = read_file(inst.log());
    EXPECT_EQ(static_cast<std::int64_t>(log.size()), std::max(size, c.limit));
    EXPECT_EQ(log.substr(0, old_lines.size()), old_lines);
  }
}

TEST_F(SignalDisposition, StandardErrorWithoutAReaderOnlyFailsItsWrites) {
  enum class LogAfter { kNone, kConfigMissing, kUnchanged };
  const std::string old_lines(16384, 'o');
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool remove_config;
    bool hold_lock;
    std::int64_t file_size_limit;
    int exit_status;
    LogAfter log;
    Lines snapshots;
  };
  const Lines untouched = {"data/x@h_2025-03-01_12:00:00p0000",
                           "data/x@h_2025-03-01_13:00:00p0000"};
  const Case cases[] = {
      {"missing configuration", {kTestdrive}, true, false, -1, 1, LogAfter::kConfigMissing,
       untouched},
      {"lock held", {kTestdrive}, false, true, -1, 1, LogAfter::kNone, untouched},
      {"unknown option", {kTestdrive, "-x"}, false, false, -1, 2, LogAfter::kNone, untouched},
      // Its message comes at the very end, after the zfs children ran.
      {"log at the file-size limit", {kTestdrive}, false, false,
       static_cast<std::int64_t>(old_lines.size()), 1, LogAfter::kUnchanged, kFaultFreeSnapshots},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    if (c.remove_config) {
      ASSERT_EQ(unlink(inst.config().c_str()), 0);
    }
    if (c.log == LogAfter::kUnchanged) inst.dir.write("corvatel.log", old_lines);
    int holder = -1;
    if (c.hold_lock) {
      holder = open(inst.lock().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      ASSERT_GE(holder, 0);
      ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    ProcessOptions o = inst.options();
    o.stderr_unread = true;
    o.file_size_limit = c.file_size_limit;
    ProcessResult r = inst.run(o, c.args);
    if (holder >= 0) close(holder);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_status, c.exit_status);
    switch (c.log) {
      case LogAfter::kNone:
        EXPECT_NE(access(inst.log().c_str(), F_OK), 0);
        break;
      case LogAfter::kConfigMissing:
        EXPECT_EQ(inst.log_lines(), Lines{"Error: failed to open config file " + inst.config() +
                                          ": No such file or directory"});
        break;
      case LogAfter::kUnchanged:
        EXPECT_EQ(read_file(inst.log()), old_lines);
        break;
    }
    EXPECT_EQ(inst.zfs.snapshots(), c.snapshots);
  }
}

std::string numbers(std::vector<int> signals) {
  if (signals.empty()) return " none";
  std::sort(signals.begin(), signals.end());
  std::string list;
  for (int sig : signals) list += " " + std::to_string(sig);
  return list;
}

TEST_F(SignalDisposition, ZfsStartsWithEverySignalAtItsDefaultAndNoneBlocked) {
  Installation inst;
  ProcessOptions o = inst.options(kSignalReport);
  // What nohup, a shell's background job or a service manager may leave behind, with SIGPIPE
  // and SIGXFSZ also ignored by the program itself.
  o.ignored_signals = {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGPIPE, SIGXFSZ};
  o.blocked_signals = {SIGUSR2, SIGTERM, SIGALRM};

  // The report itself sees what it inherits.
  ProcessResult direct = run_process({kSignalReport}, o);
  ASSERT_EQ(direct.exit_status, 0);
  ASSERT_EQ(direct.err, "ignored:" + numbers(o.ignored_signals) + "\nblocked:" +
                            numbers(o.blocked_signals) + "\n");

  ProcessResult r = inst.run(o);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(inst.log_lines(),
            (Lines{"Error: zfs: ignored: none", "Error: zfs: blocked: none",
                   "Error: Configured dataset not found or has invalid written metric: data/x"}));
}

}  // namespace
}  // namespace corvatel::testing
