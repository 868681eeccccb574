#ifndef CORVATEL_METRICS_WRITTEN_TOTALS_H
#define CORVATEL_METRICS_WRITTEN_TOTALS_H

#include <cstdint>

#include "config/job_list.h"
#include "metrics/metrics.h"

namespace corvatel {

/// The job's written total from the sorted table (recursive: its dataset and everything below
/// it, rows below with unusable values left out and logged); -1 when its dataset has no usable
/// value or the sum would pass 2^63 - 1 (logged).
std::int64_t job_written_total(const SnapshotJob& job, const MetricTable& table, bool recursive);

/// Stores each job's written total (recursive: its dataset and everything below it) from the
/// sorted table; drops jobs without a usable total (logged, run_status 1) or below min_bytes.
void compute_written_totals(JobList& list, const MetricTable& table, bool recursive,
                            int& run_status);

}  // namespace corvatel

#endif
