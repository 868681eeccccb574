// Twenty starts, several at once, while another run holds the lock with its zfs stalled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "process.h"
#include "scoped_env.h"
#include "sim_state.h"
#include "temp_dir.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kTestdrive = CORVATEL_TESTDRIVE;
constexpr const char* kTime1400 = "1740837600";  // 2025-03-01 14:00:00 UTC
constexpr double kStallSeconds = 6;

class LockContention : public ::testing::Test {
 protected:
  LockContention() : zfs(dir.file("zfs-state")) { zfs.export_env(); }

  ProcessOptions options() const {
    ProcessOptions o;
    o.env = {"CORVATEL_TEST_CONFIG=" + dir.file("corvatel.conf"),
             "CORVATEL_TEST_LOG=" + dir.file("corvatel.log"),
             // Not in the zfs-sim state folder, whose own lock file zfs-sim holds while it runs.
             "CORVATEL_TEST_LOCK=" + dir.file("corvatel.lock"),
             std::string("CORVATEL_TEST_ZFS=") + ZFS_SIM, std::string("CORVATEL_TEST_TIME=") + kTime1400};
    return o;
  }

  std::future<ProcessResult> start() const {
    return std::async(std::launch::async, [o = options()] { return run_process({kTestdrive}, o); });
  }

  ScopedEnv tz_{"TZ", "UTC0"};  // the children take it from this process's environment
  TempDir dir;
  SimState zfs;
};

bool running(std::future<ProcessResult>& process) {
  return process.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

TEST_F(LockContention, TwentyStartsExitOneWithoutLoggingAndTheHolderFinishes) {
  zfs.add_dataset("data", 0);
  zfs.add_dataset("data/x", 3000);
  dir.write("corvatel.conf", "data/x,60,2,h,no,0\n");
  zfs.add_fault(
      {.kind = "get", .perform = true, .exit_status = -1, .stall_seconds = kStallSeconds});

  std::future<ProcessResult> holder = start();
  // zfs-sim records the call before it stalls: from then on the holder has the lock.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (zfs.calls().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(zfs.calls().size(), 1u);
  const std::string log_while_held = read_file(dir.file("corvatel.log"));

  const std::string expected_err = std::string(kTestdrive) +
                                   ": another instance is already running (lock held on " +
                                   dir.file("corvatel.lock") + ")\n";
  int refused = 0;
  for (int round = 0; round < 4; ++round) {
    std::vector<std::future<ProcessResult>> starts;
    for (int i = 0; i < 5; ++i) starts.push_back(start());
    for (std::future<ProcessResult>& s : starts) {
      ProcessResult r = s.get();
      EXPECT_EQ(r.exit_status, 1);
      EXPECT_EQ(r.err, expected_err);
      EXPECT_EQ(r.out, "");
      ++refused;
    }
  }
  EXPECT_EQ(refused, 20);
  // Each start must have met the lock held: the holder is still inside its stalled zfs.
  ASSERT_TRUE(running(holder)) << "the stall ended before the twenty starts did";
  EXPECT_EQ(read_file(dir.file("corvatel.log")), log_while_held);
  EXPECT_EQ(zfs.calls().size(), 1u);

  ProcessResult held = holder.get();
  EXPECT_EQ(held.exit_status, 0);
  EXPECT_EQ(held.err, "");
  EXPECT_EQ(strip_stamps(split_lines(read_file(dir.file("corvatel.log")))),
            Lines{"Created=data/x@h_2025-03-01_14:00:00p0000 Written=2.93K"});
  EXPECT_EQ(zfs.snapshots(), Lines{"data/x@h_2025-03-01_14:00:00p0000"});
}

}  // namespace
}  // namespace corvatel::testing
