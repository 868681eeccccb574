#include "in_process_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "log/log.h"
#include "log_capture.h"
#include "process.h"

namespace corvatel::testing {
InProcessRun::InProcessRun()
    : zfs(dir.file("zfs-state")),
      config_path(dir.file("corvatel.conf")),
      log_path(dir.file("corvatel.log")),
      lock_path(dir.file("corvatel.lock")),
      tz_("TZ", "UTC0"),
      // The only children are zfs-sim processes. Under LeakSanitizer their own leak check at
      // exit costs half their start-up; the program under test runs in this process, where the
      // check stays on.
      asan_options_("ASAN_OPTIONS", "detect_leaks=0") {
  zfs.export_env();
}

InProcessRun::~InProcessRun() = default;

void InProcessRun::write_config(const std::string& text) const {
  dir.write("corvatel.conf", text);
}

InProcessRun::Outcome InProcessRun::run_at(std::time_t now) {
  begin(now);
  call_main();
  return end();
}

InProcessRun::Outcome InProcessRun::run_child_at(std::time_t now, double time_limit_seconds) {
  zfs.set_clock(now);
  zfs.export_env();
  ProcessOptions options;
  options.env = {"CORVATEL_TEST_CONFIG=" + config_path, "CORVATEL_TEST_LOG=" + log_path,
                 "CORVATEL_TEST_LOCK=" + lock_path, std::string("CORVATEL_TEST_ZFS=") + ZFS_SIM,
                 "CORVATEL_TEST_TIME=" + std::to_string(now)};
  options.time_limit_seconds = time_limit_seconds;
  ProcessResult result = run_process({CORVATEL_TESTDRIVE}, options);
  status_ = result.exit_status;
  threw_ = false;
  Outcome outcome = collect_log();
  outcome.err = result.err;
  outcome.timed_out = result.timed_out;
  return outcome;
}

void InProcessRun::begin(std::time_t now) {
  clock.time = [now](std::time_t* out) {
    if (out != nullptr) *out = now;
    return now;
  };
  clock.localtime = localtime_r;
  zfs.set_clock(now);
  zfs.export_env();
  status_ = -1;
  threw_ = false;
  ::testing::internal::CaptureStderr();
}

RunPaths InProcessRun::paths() const {
  return {config_path.c_str(), log_path.c_str(), lock_path.c_str(), ZFS_SIM};
}

int InProcessRun::call_main() {
  static char name[] = "corvatel";
  char* argv[] = {name, nullptr};
  try {
    status_ = corvatel_main(1, argv, paths(), clock);
  } catch (...) {
    threw_ = true;
    // The frame's own finish did not run; close the log so that the next run starts clean.
    LogState& log = log_state();
    if (log.stream != nullptr) std::fclose(log.stream);
    log.stream = nullptr;
  }
  return status_;
}

InProcessRun::Outcome InProcessRun::end() {
  std::string err = ::testing::internal::GetCapturedStderr();
  Outcome outcome = collect_log();
  outcome.err = err;
  return outcome;
}

InProcessRun::Outcome InProcessRun::collect_log() {
  Outcome outcome;
  outcome.status = status_;
  outcome.threw = threw_;
  // Only a regular file can be read back: /dev/full, for one, reads as endless zeros.
  struct stat st {};
  if (::stat(log_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return outcome;
  std::vector<std::string> all = strip_stamps(split_lines(read_file(log_path)));
  if (all.size() > log_lines_seen_)
    outcome.log.assign(all.begin() + static_cast<std::ptrdiff_t>(log_lines_seen_), all.end());
  log_lines_seen_ = all.size();
  return outcome;
}

std::string utc_stamp(std::time_t t, const char* zone) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d_%H:%M:%S", &tm);
  return text + std::string(zone);
}

}  // namespace corvatel::testing
