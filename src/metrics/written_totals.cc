// Written totals: each job's bytes written since the latest snapshot of its dataset (with those
// of its descendants, for a recursive job), read from the sorted metric table. A job without a
// usable total is dropped with an error, one below its threshold silently; every job left has
// a written_total of at least its min_bytes.
#include "metrics/written_totals.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "config/names.h"
#include "log/log.h"

namespace corvatel {
namespace {

constexpr std::int64_t kTotalMax = std::numeric_limits<std::int64_t>::max();

// The first row whose name is not less than `key`.
std::vector<WrittenMetric>::const_iterator lower_bound_name(const MetricTable& table,
                                                            const char* key) {
  return std::lower_bound(
      table.rows.begin(), table.rows.end(), key,
      [](const WrittenMetric& row, const char* k) { return compare_metric_names(k, row) > 0; });
}

// The usable value of the row named exactly `dataset`, or -1.
std::int64_t exact_value(const MetricTable& table, const char* dataset) {
  auto row = lower_bound_name(table, dataset);
  if (row == table.rows.end() || compare_metric_names(dataset, *row) != 0) return -1;
  return row->value < 0 ? -1 : row->value;
}

// Adds every usable row below `dataset` to `total`; -1 when the sum would pass 2^63 - 1.
std::int64_t add_descendants(const MetricTable& table, const char* dataset, std::int64_t total) {
  // A found dataset has at most 255 characters, so the key always fits.
  char key[sizeof(WrittenMetric::name) + 1];
  std::snprintf(key, sizeof key, "%s/", dataset);
  for (auto row = lower_bound_name(table, key);
       row != table.rows.end() && dataset_is_ancestor(dataset, row->name); ++row) {
    if (row->value < 0) {
      log_event("Error: Invalid written metric for %s, excluding from recursive total for %s",
                row->name, dataset);
      continue;
    }
    if (row->value > kTotalMax - total) {
      log_event("Error: Recursive written metric total overflows for %s", dataset);
      return -1;
    }
    total += row->value;
  }
  return total;
}

}  // namespace

std::int64_t job_written_total(const SnapshotJob& job, const MetricTable& table, bool recursive) {
  std::int64_t total = exact_value(table, job.dataset.c_str());
  if (total < 0 || !recursive) return total;
  return add_descendants(table, job.dataset.c_str(), total);
}

void compute_written_totals(JobList& list, const MetricTable& table, bool recursive,
                            int& run_status) {
  job_list_compact(list, [&](SnapshotJob& job) {
    std::int64_t total = job_written_total(job, table, recursive);
    if (total < 0) {
      if (recursive)
        log_event("Error: Configured recursive dataset not found or has invalid written metric: %s",
                  job.dataset.c_str());
      else
        log_event("Error: Configured dataset not found or has invalid written metric: %s",
                  job.dataset.c_str());
      run_status = 1;
      return false;
    }
    if (total < job.min_bytes) return false;
    job.written_total = total;
    return true;
  });
}

}  // namespace corvatel
