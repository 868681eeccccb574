#ifndef CORVATEL_TEST_WHOLE_RUN_WHOLE_RUN_H
#define CORVATEL_TEST_WHOLE_RUN_WHOLE_RUN_H

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "in_process_run.h"
#include "sim_state.h"
#include "temp_dir.h"

namespace corvatel::testing {

/// Whole runs of the program in this process against zfs-sim, in UTC, with a settable clock.
class WholeRunTest : public ::testing::Test {
 protected:
  struct Result {
    int status;
    std::string err;
    std::vector<std::string> log;  // the lines this run added, without their stamps
  };

  static constexpr std::time_t kMarch1At1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
  static constexpr const char* kStamp1400 = "2025-03-01_14:00:00p0000";

  void write_config(const std::string& text) const { installation.write_config(text); }
  /// One start of the program at `now`; zfs-sim's clock is set to the same second.
  Result run_at(std::time_t now);
  /// The zfs invocations since the last clear, argv[0] dropped.
  std::vector<std::vector<std::string>> zfs_calls() const;
  /// The invocations of one kind ("get", "snapshot", "list", "destroy").
  std::vector<std::vector<std::string>> zfs_calls(const std::string& kind) const;

  InProcessRun installation;  // first: the references below name its parts
  TempDir& dir = installation.dir;
  SimState& zfs = installation.zfs;
  std::string& config_path = installation.config_path;
  std::string& log_path = installation.log_path;
  std::string& lock_path = installation.lock_path;
};

}  // namespace corvatel::testing

#endif
