// Dataset roots: the fewest dataset names whose subtrees cover the jobs' datasets, named with
// -r to zfs get and zfs list. No held name equals another or lies below one.
#include "metrics/dataset_roots.h"

#include <new>
#include <unordered_map>

#include "base/growth.h"
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
  // The held roots come first, as if they had been added first.
  std::vector<std::string> held;
  held.swap(roots.names);
  auto for_each_name = [&](auto&& visit) {
    for (const std::string& name : held) visit(name);
    for (const JobList* list : {&standard, &recursive}) {
      for (const SnapshotJob& job : list->items) visit(job.dataset);
    }
  };
  // Each name once, with whether it has been taken as a root.
  std::unordered_map<std::string_view, bool> taken;
  try {
    taken.reserve(held.size() + standard.items.size() + recursive.items.size());
    for_each_name([&](std::string_view name) { taken.emplace(name, false); });
  } catch (const std::bad_alloc&) {
    return -1;
  }
  auto is_named = [&](std::string_view name) { return taken.contains(name); };
  // A name is a root when no other name is its ancestor; it stands where it first comes. Adding
  // the names one by one gives the same roots in the same order.
  int result = 0;
  for_each_name([&](std::string_view name) {
    bool& name_taken = taken.find(name)->second;
    if (result != 0 || name_taken || any_ancestor(name, is_named)) return;
    if (grow_for_one_more(roots.names, 32) != 0) {
      result = -1;
      return;
    }
    try {
      roots.names.emplace_back(name);  // capacity is already there: only the copy can throw
    } catch (const std::bad_alloc&) {
      result = -1;
      return;
    }
    name_taken = true;
  });
  return result;
}

bool dataset_roots_fit(const DatasetRoots& roots) {
  std::size_t total = 0;
  for (const std::string& name : roots.names) {
    total += name.size() + 1;
    if (total > ZFS_ARG_BYTES_MAX) return false;
  }
  return true;
}

}  // namespace corvatel
