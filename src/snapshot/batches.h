#ifndef CORVATEL_SNAPSHOT_BATCHES_H
#define CORVATEL_SNAPSHOT_BATCHES_H

#include "config/job_list.h"

namespace corvatel {

/// Snapshots every job as "dataset@prefix_timestamp", per pool (first appearance) and wave
/// (ascending), in batches within ZFS_ARG_BYTES_MAX; jobs of a failed batch get `failed` = 1.
/// Returns 0, or -1 after logging the one closing error line when any batch or wave failed.
int create_snapshot_batches(const char* zfs, JobList& list, const char* timestamp,
                            bool recursive);

}  // namespace corvatel

#endif
