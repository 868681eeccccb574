// Verification and report, the last stage: a job whose command failed is looked up in the
// listing, every snapshot known to exist gets its Created= line, and then the job is pruned. A
// job is pruned only after its snapshot of this run was reported.
#include "snapshot/report.h"

#include <cmath>
#include <cstdio>

#include "log/log.h"
#include "snapshot/batches.h"

namespace corvatel {
namespace {

constexpr std::size_t kSnapshotNameSize = 512;

// For a job whose batch failed: true when its snapshot is known to exist, else logs why not.
bool failed_snapshot_exists(const ListPass& pass, const SnapshotJob& job, const JobTally& tally,
                            const char* name) {
  const char* dataset = job.dataset.c_str();
  const char* prefix = job.prefix.c_str();
  if (!pass.inventory_available && pass.recursive)
    log_event("Error: Unable to verify recursive snapshot exists: %s", name);
  else if (!pass.inventory_available)
    log_event("Error: Unable to verify snapshot exists: %s", name);
  else if (tally.own_snapshot_listed)
    return true;
  else if (pass.recursive)
    log_event("Error: Recursive Snapshot not created: %s; pruning skipped for dataset '%s' with "
              "prefix '%s'",
              name, dataset, prefix);
  else
    log_event("Error: Snapshot not created: %s; pruning skipped for dataset '%s' with prefix '%s'",
              name, dataset, prefix);
  return false;
}

void handle_job(const ListPass& pass, const SnapshotJob& job, const JobTally& tally, int& status) {
  char name[kSnapshotNameSize];
  if (format_snapshot_name(job, pass.timestamp, name, sizeof name) < 0) {
    if (pass.recursive)
      log_event("Error: Failed to format recursive snapshot name for %s", job.dataset.c_str());
    else
      log_event("Error: Failed to format snapshot name for %s", job.dataset.c_str());
    status = 1;
    return;
  }
  if (job.failed && !failed_snapshot_exists(pass, job, tally, name)) return;
  char size[32];
  format_size(job.written_total, size);
  if (pass.recursive)
    log_event("Created=%s Written=%s Recursive", name, size);
  else
    log_event("Created=%s Written=%s", name, size);
  prune_job(pass, job, tally, status);
}

}  // namespace

int verify_report_and_prune(const char* zfs, const JobList& list,
                            const SnapshotInventory& inventory, bool inventory_available,
                            const char* timestamp, bool recursive) {
  ListPass pass{zfs, inventory_available, timestamp, recursive};
  int status = 0;
  for (std::size_t i = 0; i < list.items.size(); ++i)
    handle_job(pass, list.items[i], job_tally(inventory, recursive, i), status);
  return status;
}

void format_size(std::int64_t bytes, char (&text)[32]) {
  static constexpr const char* kUnits[] = {"", "K", "M", "G", "T", "P", "E"};
  if (bytes < 1) {
    std::snprintf(text, sizeof text, "0");
    return;
  }
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(bytes));
    return;
  }
  double value = std::ldexp(static_cast<double>(bytes), -10);
  int unit = 1;
  while (value >= 1024.0 && unit < 6) {
    value = std::ldexp(value, -10);
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.2f%s", value, kUnits[unit]);
}

}  // namespace corvatel
