// The written metrics fetch: one zfs get for the datasets of every due job and their
// descendants. Takes both job lists; leaves the unsorted metric table. A failure here ends the
// run before anything is created or destroyed.
#include "metrics/metrics_fetch.h"

#include <vector>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// With names, zfs exits 1 for a named dataset that is gone yet still prints the others.
bool fetch_succeeded(const CommandResult& result, bool named) {
  if (!named) return command_succeeded(result);
  return !result.output_failed && result.exited_normally && result.exit_status != 127;
}

// Runs the get over the jobs' dataset roots into `table`; -1 (logged) when it cannot be
// started for want of memory. The roots and the argument vector end with the call.
int run_written_get(const char* zfs, const JobList& standard, const JobList& recursive,
                    MetricTable& table, TimeLimit* limit, CommandResult& result, bool& named) {
  DatasetRoots roots;
  if (dataset_roots_collect(roots, standard, recursive) != 0) {
    log_event("Error: Failed to determine dataset roots for metrics fetch");
    return -1;
  }
  // "-r" without a name would list everything under the lenient test; treat it as unnamed.
  named = !roots.names.empty() && dataset_roots_fit(roots);
  std::vector<const char*> argv;
  if (build_written_argv(argv, zfs, named ? &roots.names : nullptr) != 0) {
    log_event("Error: Failed to allocate metrics command");
    return -1;
  }
  result = limit ? run_zfs_within(argv.data(), parse_metric_line, &table, *limit)
                 : run_zfs(argv.data(), parse_metric_line, &table);
  return 0;
}

}  // namespace

int fetch_written_metrics(const char* zfs, const JobList& standard, const JobList& recursive,
                          MetricTable& table, TimeLimit* limit) {
  CommandResult result;
  bool named = false;
  if (run_written_get(zfs, standard, recursive, table, limit, result, named) != 0) return -1;
  if (!fetch_succeeded(result, named)) {
    log_event("Error: Failed to read ZFS written metrics");
    return -1;
  }
  return 0;
}

}  // namespace corvatel
