// Retention pruning: a reported job's matches beyond its retention are destroyed, oldest first.
// Only names of exactly the job's own form (dataset, "@", prefix, "_", timestamp) are matches,
// so no other snapshot is ever destroyed.
#include "snapshot/prune.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// What each position of the timestamp must hold: a character from kLowest to kHighest, or kAlso
// ("dddd-dd-dd_dd:dd:ddzdddd", where d is a digit and z "p" or "-"). Tables rather than a
// switch per position, so that the check is a few wide compares: every name of the listing is
// checked against every job of its dataset.
constexpr std::size_t kTimestampLength = 24;
constexpr std::size_t kShortTimestampLength = 19;
constexpr char kLowest[] = "0000-00-00_00:00:00p0000";
constexpr char kHighest[] = "9999-99-99_99:99:99p9999";
constexpr char kAlso[] = "0000-00-00_00:00:00-0000";

bool is_timestamp(std::string_view text) {
  if (text.size() != kShortTimestampLength && text.size() != kTimestampLength) return false;
  unsigned misfits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool in_range = static_cast<unsigned char>(c - kLowest[i]) <=
                    static_cast<unsigned char>(kHighest[i] - kLowest[i]);
    misfits |= !(in_range || c == static_cast<unsigned char>(kAlso[i]));
  }
  return misfits == 0;
}

bool destroy_snapshot(const char* zfs, const char* snapshot, bool recursive) {
  std::vector<const char*> argv;
  if (build_destroy_argv(argv, zfs, recursive, snapshot) != 0) return false;
  return command_succeeded(run_zfs(argv.data(), nullptr, nullptr));
}

// Destroys the matches beyond retention (newest first) from the oldest back to the newest;
// true when all succeeded.
bool destroy_beyond_retention(const char* zfs, const std::vector<std::string>& beyond,
                              bool recursive) {
  bool all_destroyed = true;
  for (auto name = beyond.rbegin(); name != beyond.rend(); ++name) {
    if (destroy_snapshot(zfs, name->c_str(), recursive)) {
      if (recursive)
        log_event("Pruned=%s Recursive", name->c_str());
      else
        log_event("Pruned=%s", name->c_str());
    } else {
      log_event("Error: Failed to prune snapshot %s", name->c_str());
      all_destroyed = false;
    }
  }
  return all_destroyed;
}

}  // namespace

bool is_prune_match(std::string_view name, std::string_view dataset,
                    std::string_view prefix_tag) {
  std::size_t at = name.find('@');
  if (at == std::string_view::npos || name.substr(0, at) != dataset) return false;
  std::string_view snapshot = name.substr(at + 1);
  return snapshot.starts_with(prefix_tag) && is_timestamp(snapshot.substr(prefix_tag.size()));
}

bool is_prune_form(std::string_view snapshot, std::string_view prefix) {
  return snapshot.size() > prefix.size() && snapshot.starts_with(prefix) &&
         snapshot[prefix.size()] == '_' && is_timestamp(snapshot.substr(prefix.size() + 1));
}

void prune_job(const ListPass& pass, const SnapshotJob& job, const JobTally& tally,
               int& pass_status) {
  if (!pass.inventory_available) {
    if (pass.recursive)
      log_event("Error: Unable to prune recursive snapshots for %s: snapshot inventory unavailable",
                job.dataset.c_str());
    else
      log_event("Error: Unable to prune snapshots for %s: snapshot inventory unavailable",
                job.dataset.c_str());
    pass_status = 1;
    return;
  }
  char prefix_tag[256];
  int length = std::snprintf(prefix_tag, sizeof prefix_tag, "%s_", job.prefix.c_str());
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof prefix_tag) {
    pass_status = 1;
    return;
  }
  if (tally.beyond_retention_lost) {
    log_event("Error: Failed to allocate prune match list for %s", job.dataset.c_str());
    pass_status = 1;
    return;
  }
  if (!destroy_beyond_retention(pass.zfs, tally.beyond_retention, pass.recursive))
    pass_status = 1;
}

}  // namespace corvatel
