// Whole runs whose log or configuration fails them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <string>
#include <vector>

#include "full_device.h"
#include "in_process_run.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::time_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
const std::string kNow = "2025-03-01_14:00:00p0000";

class IoFault : public ::testing::Test {
 protected:
  void SetUp() override {
    inst.zfs.add_dataset("data", 0);
    inst.zfs.add_dataset("data/x", 3000);
    inst.zfs.add_snapshot("data/x@h_2025-03-01_12:00:00p0000", k1400 - 7200);
    inst.zfs.add_snapshot("data/x@h_2025-03-01_13:00:00p0000", k1400 - 3600);
    inst.write_config("data/x,60,2,h,no,0\n");
  }

  InProcessRun inst;
};

TEST_F(IoFault, LogOnAFullDeviceStillRunsEveryStageAndEndsWithStatusOne) {
  const FullDevice full = probe_full_device();
  if (!full.writable) GTEST_SKIP() << "/dev/full cannot be opened for writing here";
  inst.log_path = "/dev/full";
  InProcessRun::Outcome r = inst.run_at(k1400);
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.threw);
  // Every line failed as it was written; where stdio keeps the unwritten bytes (FreeBSD), the
  // close fails on them too.
  std::string err = "corvatel: one or more writes to log file /dev/full failed; log is incomplete\n";
  if (!full.close_error.empty())
    err += "corvatel: failed to flush log file /dev/full: " + full.close_error + "\n";
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(inst.zfs.snapshots(),
            (Lines{"data/x@h_2025-03-01_13:00:00p0000", "data/x@h_" + kNow}));
  EXPECT_EQ(inst.zfs.calls().size(), 4u);  // get, snapshot, list, destroy
}

TEST_F(IoFault, LogOnAFullDeviceWithNothingToLogIsNoFailure) {
  if (!probe_full_device().writable) GTEST_SKIP() << "/dev/full cannot be opened for writing here";
  inst.log_path = "/dev/full";
  InProcessRun::Outcome r = inst.run_at(k1400 + 60);  // 14:01: nothing is due
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(inst.zfs.calls().empty());
}

TEST_F(IoFault, UnopenableLogStopsBeforeTheConfigurationAndZfs) {
  struct Case {
    const char* name;
    std::string log;
    const char* error;
  };
  const Case cases[] = {
      {"a directory", inst.dir.path(), "Is a directory"},
      {"a missing folder", inst.dir.file("missing/corvatel.log"), "No such file or directory"},
      {"below a file", inst.dir.file("corvatel.conf") + "/log", "Not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inst.log_path = c.log;
    inst.config_path = inst.dir.file("missing.conf");  // opening it would add a message
    InProcessRun::Outcome r = inst.run_at(k1400);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "corvatel: failed to open log file " + c.log + ": " + c.error + "\n");
    EXPECT_TRUE(inst.zfs.calls().empty());
  }
}

TEST_F(IoFault, UnreadableConfigurationEndsTheRunBeforeAnyZfsCommand) {
  struct Case {
    const char* name;
    std::string path;
    std::string err;  // standard error
    Lines log;
  };
  const std::string missing = inst.dir.file("missing.conf");
  const std::string below_file = inst.dir.file("corvatel.conf") + "/conf";
  const std::string folder = inst.dir.path();
  const Case cases[] = {
      {"missing",
       missing,
       "corvatel: failed to open config file " + missing + ": No such file or directory\n",
       {"Error: failed to open config file " + missing + ": No such file or directory"}},
      {"below a file",
       below_file,
       "corvatel: failed to open config file " + below_file + ": Not a directory\n",
       {"Error: failed to open config file " + below_file + ": Not a directory"}},
      {"a directory", folder, "", {"Error: Failed to read config file " + folder + ": Is a directory"}},
#ifdef __linux__
      // Opens, then the first read fails with EIO.
      {"a read error",
       "/proc/self/mem",
       "",
       {"Error: Failed to read config file /proc/self/mem: Input/output error"}},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inst.config_path = c.path;
    InProcessRun::Outcome r = inst.run_at(k1400);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.log, c.log);
    EXPECT_TRUE(inst.zfs.calls().empty());
    EXPECT_EQ(inst.zfs.snapshots().size(), 2u);
  }
}

// The limit below which exactly `free` descriptor numbers are unused.
rlim_t limit_leaving_free(int free) {
  rlim_t limit = 0;
  for (int seen = 0; seen < free; ++limit)
    if (fcntl(static_cast<int>(limit), F_GETFD) == -1 && errno == EBADF) ++seen;
  return limit;
}

TEST_F(IoFault, NoDescriptorLeftForZfsPipesFailsTheFetchBeforeAnySnapshot) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  inst.begin(k1400);  // takes standard error into a file of its own first
  // Room for the lock, the log and the configuration, and not one descriptor more.
  rlimit tight{limit_leaving_free(3), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  inst.call_main();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  InProcessRun::Outcome r = inst.end();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.log, Lines{"Error: Failed to read ZFS written metrics"});
  EXPECT_TRUE(inst.zfs.calls().empty());
  EXPECT_EQ(inst.zfs.snapshots().size(), 2u);
}

}  // namespace
}  // namespace corvatel::testing
