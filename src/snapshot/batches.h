#ifndef CORVATEL_SNAPSHOT_BATCHES_H
#define CORVATEL_SNAPSHOT_BATCHES_H

#include <cstddef>

#include "config/job_list.h"

namespace corvatel {

/// Snapshots the jobs per pool and wave in batches within ZFS_ARG_BYTES_MAX, marking the jobs
/// of failed batches `failed`; 0, or -1 after one closing error line.
[[nodiscard]] int create_snapshot_batches(const char* zfs, JobList& list, const char* timestamp,
                                          bool recursive);

/// Writes the job's snapshot name, dataset "@" prefix "_" timestamp, into `buffer` of `size`
/// bytes; its length, or -1 when it does not fit.
[[nodiscard]] int format_snapshot_name(const SnapshotJob& job, const char* timestamp,
                                       char* buffer, std::size_t size);

}  // namespace corvatel

#endif
