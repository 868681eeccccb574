// The two job lists every stage shares. Jobs keep the configuration file's order: they are
// appended only while the configuration is read, and removed only by job_list_compact.
#include "config/job_list.h"

#include <new>

#include "base/growth.h"

namespace corvatel {

int job_list_append(JobList& list, std::string_view dataset, std::string_view prefix,
                    std::int64_t retention, std::int64_t min_bytes) {
  if (grow_for_one_more(list.items, 32) != 0) return -1;
  try {
    SnapshotJob job;
    job.dataset.assign(dataset);
    job.prefix.assign(prefix);
    job.retention = retention;
    job.min_bytes = min_bytes;
    list.items.push_back(std::move(job));  // capacity is already there: cannot throw
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

}  // namespace corvatel
