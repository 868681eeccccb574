#ifndef CORVATEL_METRICS_DATASET_ROOTS_H
#define CORVATEL_METRICS_DATASET_ROOTS_H

#include <string>
#include <string_view>
#include <vector>

#include "config/job_list.h"

namespace corvatel {

/// The fewest dataset names whose subtrees cover a set of datasets.
struct DatasetRoots {
  std::vector<std::string> names;  // no name equals or lies below another
};

/// Covers `name`: drops held names below it, appends it unless already covered. 0, or -1.
[[nodiscard]] int dataset_roots_add(DatasetRoots& roots, std::string_view name);

/// Adds every standard job's dataset, then every recursive one's. 0, or -1 at the first failure.
[[nodiscard]] int dataset_roots_collect(DatasetRoots& roots, const JobList& standard,
                                        const JobList& recursive);

/// True when the names, each counted with its NUL, fit in ZFS_ARG_BYTES_MAX.
bool dataset_roots_fit(const DatasetRoots& roots);

}  // namespace corvatel

#endif
