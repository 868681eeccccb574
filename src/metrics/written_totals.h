#ifndef CORVATEL_METRICS_WRITTEN_TOTALS_H
#define CORVATEL_METRICS_WRITTEN_TOTALS_H

#include "config/job_list.h"
#include "metrics/metrics.h"

namespace corvatel {

/// Stores each job's written total (recursive: its dataset and everything below it) from the
/// sorted table; drops jobs without a usable total (logged, run_status 1) or below min_bytes.
void compute_written_totals(JobList& list, const MetricTable& table, bool recursive,
                            int& run_status);

}  // namespace corvatel

#endif
