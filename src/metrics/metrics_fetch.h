#ifndef CORVATEL_METRICS_METRICS_FETCH_H
#define CORVATEL_METRICS_METRICS_FETCH_H

#include "config/job_list.h"
#include "metrics/metrics.h"
#include "zfs/runner.h"

namespace corvatel {

/// Runs `zfs` get ... written over the jobs' dataset roots into `table` (unsorted), under
/// `limit` when one is given. Logs its own error and returns -1 when the run must end; 0 on
/// success.
[[nodiscard]] int fetch_written_metrics(const char* zfs, const JobList& standard,
                                        const JobList& recursive, MetricTable& table,
                                        TimeLimit* limit = nullptr);

}  // namespace corvatel

#endif
