#ifndef CORVATEL_METRICS_METRICS_FETCH_H
#define CORVATEL_METRICS_METRICS_FETCH_H

#include "config/job_list.h"
#include "metrics/metrics.h"

namespace corvatel {

/// Runs `zfs` get ... written over the jobs' dataset roots into `table` (unsorted). Logs its
/// own error and returns -1 when the run must end; 0 on success.
[[nodiscard]] int fetch_written_metrics(const char* zfs, const JobList& standard,
                                        const JobList& recursive, MetricTable& table);

}  // namespace corvatel

#endif
