#ifndef CORVATEL_PLAN_OVERLAP_H
#define CORVATEL_PLAN_OVERLAP_H

#include "config/job_list.h"

namespace corvatel {

/// Drops, with a log line each, every recursive job below a same-prefix recursive job, then
/// assigns the recursive waves. 0, or -1 when memory ran out.
[[nodiscard]] int resolve_recursive_overlaps(JobList& recursive);

/// Drops, with a log line each, every standard job at or below a same-prefix recursive job.
/// 0, or -1 when memory ran out (the standard list is then unchanged).
[[nodiscard]] int drop_covered_standard_jobs(JobList& standard, const JobList& recursive);

}  // namespace corvatel

#endif
