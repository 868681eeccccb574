#include "whole_run.h"

#include <cstdlib>

#include "log_capture.h"
#include "run/run.h"

namespace corvatel::testing {
namespace {

std::time_t g_now;
std::time_t fixed_time(std::time_t* out) {
  if (out != nullptr) *out = g_now;
  return g_now;
}

}  // namespace

WholeRunTest::WholeRunTest()
    : zfs(dir.file("zfs-state")),
      config_path(dir.file("corvatel.conf")),
      log_path(dir.file("corvatel.log")),
      lock_path(dir.file("corvatel.lock")) {
  if (const char* tz = std::getenv("TZ")) saved_tz_ = tz, had_tz_ = true;
  setenv("TZ", "UTC0", 1);
  tzset();
  zfs.export_env();
}

WholeRunTest::~WholeRunTest() {
  if (had_tz_) setenv("TZ", saved_tz_.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

void WholeRunTest::write_config(const std::string& text) const { dir.write("corvatel.conf", text); }

WholeRunTest::Result WholeRunTest::run_at(std::time_t now) {
  g_now = now;
  zfs.set_clock(now);
  RunClock clock;
  clock.time = fixed_time;
  RunPaths paths{config_path.c_str(), log_path.c_str(), lock_path.c_str(), ZFS_SIM};
  char name[] = "corvatel";
  char* argv[] = {name, nullptr};
  ::testing::internal::CaptureStderr();
  int status = corvatel_main(1, argv, paths, clock);
  std::string err = ::testing::internal::GetCapturedStderr();

  std::vector<std::string> all = strip_stamps(split_lines(read_file(log_path)));
  std::vector<std::string> added(all.begin() + static_cast<std::ptrdiff_t>(log_lines_seen_),
                                 all.end());
  log_lines_seen_ = all.size();
  return {status, err, added};
}

std::vector<std::vector<std::string>> WholeRunTest::zfs_calls() const {
  std::vector<std::vector<std::string>> calls = zfs.calls();
  for (auto& call : calls) call.erase(call.begin());
  return calls;
}

std::vector<std::vector<std::string>> WholeRunTest::zfs_calls(const std::string& kind) const {
  std::vector<std::vector<std::string>> matching;
  for (auto& call : zfs_calls())
    if (!call.empty() && call[0] == kind) matching.push_back(call);
  return matching;
}

std::string utc_stamp(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d_%H:%M:%Sp0000", &tm);
  return text;
}

}  // namespace corvatel::testing
