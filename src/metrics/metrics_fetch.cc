#include "metrics/metrics_fetch.h"

#include <vector>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// With names, zfs exits 1 for a named dataset that is gone yet still prints the others.
bool fetch_succeeded(const CommandResult& result, bool named) {
  if (!named) return command_succeeded(result);
  return result.output_failed == 0 && result.exited_normally == 1 && result.exit_status != 127;
}

}  // namespace

int fetch_written_metrics(const char* zfs, const JobList& standard, const JobList& recursive,
                          MetricTable& table) {
  DatasetRoots roots;
  if (dataset_roots_collect(roots, standard, recursive) != 0) {
    log_event("Error: Failed to determine dataset roots for metrics fetch");
    dataset_roots_free(roots);
    return -1;
  }
  // "-r" without a name would list everything under the lenient test; treat it as unnamed.
  const bool named = !roots.names.empty() && dataset_roots_fit(roots);
  std::vector<const char*> argv;
  if (build_written_argv(argv, zfs, named ? &roots.names : nullptr) != 0) {
    log_event("Error: Failed to allocate metrics command");
    dataset_roots_free(roots);
    return -1;
  }
  CommandResult result = run_zfs(argv.data(), parse_metric_line, &table);
  std::vector<const char*>().swap(argv);
  dataset_roots_free(roots);
  if (!fetch_succeeded(result, named)) {
    log_event("Error: Failed to read ZFS written metrics");
    return -1;
  }
  return 0;
}

}  // namespace corvatel
