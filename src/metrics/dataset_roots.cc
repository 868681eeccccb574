#include "metrics/dataset_roots.h"

#include <new>

#include "config/names.h"
#include "zfs/zfs_command.h"

namespace corvatel {

int dataset_roots_add(DatasetRoots& roots, std::string_view name) {
  std::vector<std::string>& names = roots.names;
  std::size_t i = 0;
  while (i < names.size()) {
    if (names[i] == name || dataset_is_ancestor(names[i], name)) return 0;
    if (dataset_is_ancestor(name, names[i])) {
      names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
  if (grow_for_one_more(names, 32) != 0) return -1;
  try {
    names.emplace_back(name);  // capacity is already there: only the copy can throw
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

int dataset_roots_collect(DatasetRoots& roots, const JobList& standard, const JobList& recursive) {
  for (const JobList* list : {&standard, &recursive}) {
    for (const SnapshotJob& job : list->items) {
      if (dataset_roots_add(roots, job.dataset) != 0) return -1;
    }
  }
  return 0;
}

void dataset_roots_free(DatasetRoots& roots) { std::vector<std::string>().swap(roots.names); }

bool dataset_roots_fit(const DatasetRoots& roots) {
  std::size_t total = 0;
  for (const std::string& name : roots.names) {
    total += name.size() + 1;
    if (total > ZFS_ARG_BYTES_MAX) return false;
  }
  return true;
}

}  // namespace corvatel
