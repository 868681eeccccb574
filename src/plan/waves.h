#ifndef CORVATEL_PLAN_WAVES_H
#define CORVATEL_PLAN_WAVES_H

#include "config/job_list.h"

namespace corvatel {

/// Gives every recursive job a wave that no job on an equal or ancestor dataset shares.
/// 0, or -1 when memory ran out.
[[nodiscard]] int assign_recursive_waves(JobList& recursive);

/// Gives every standard job the number of earlier jobs in the list on the same dataset.
/// 0, or -1 when memory ran out.
[[nodiscard]] int assign_standard_waves(JobList& standard);

}  // namespace corvatel

#endif
