#ifndef CORVATEL_TEST_SUPPORT_IN_PROCESS_RUN_H
#define CORVATEL_TEST_SUPPORT_IN_PROCESS_RUN_H

#include <ctime>
#include <string>
#include <vector>

#include "run/run.h"
#include "scoped_env.h"
#include "sim_state.h"
#include "temp_dir.h"

namespace corvatel::testing {

/// A corvatel installation in a fresh temporary folder (configuration, log, lock and a zfs-sim
/// state) whose runs call corvatel_main in this process, in UTC, at fixed times. Tests may
/// change the paths and, after begin(), the clock.
class InProcessRun {
 public:
  struct Outcome {
    int status = -1;
    bool threw = false;            // an exception left corvatel_main
    bool timed_out = false;        // run_child_at only: killed at its time limit
    std::string err;               // what the run wrote to standard error
    std::vector<std::string> log;  // the lines this run added, stamps removed (regular file only)
  };

  InProcessRun();
  ~InProcessRun();
  InProcessRun(const InProcessRun&) = delete;
  InProcessRun& operator=(const InProcessRun&) = delete;

  /// Replaces the configuration file.
  void write_config(const std::string& text) const;

  /// One whole run at `now`: begin, call_main, end.
  Outcome run_at(std::time_t now);
  /// One whole run at `now` of the test driver in a child process, killed (with its zfs
  /// children) when it takes longer than `time_limit_seconds`; a run that never ends then
  /// fails its test instead of holding up the suite.
  Outcome run_child_at(std::time_t now, double time_limit_seconds);

  /// The first step of a run: sets the clocks (zfs-sim's too) and starts taking standard error.
  void begin(std::time_t now);
  /// The paths a run is given.
  RunPaths paths() const;
  /// corvatel_main alone, so that a test can arm a fault around it; returns the exit status.
  int call_main();
  /// Stops taking standard error and collects what the run left.
  Outcome end();

  TempDir dir;
  SimState zfs;
  std::string config_path;
  std::string log_path;
  std::string lock_path;
  RunClock clock;

 private:
  /// The status and the log lines added since the last collection.
  Outcome collect_log();

  ScopedEnv tz_;
  ScopedEnv asan_options_;
  std::size_t log_lines_seen_ = 0;
  int status_ = -1;
  bool threw_ = false;
};

/// A snapshot timestamp of a UTC time: "YYYY-MM-DD_HH:MM:SS" and `zone`, as runs of an
/// InProcessRun write it with the default "p0000".
std::string utc_stamp(std::time_t t, const char* zone = "p0000");

}  // namespace corvatel::testing

#endif
