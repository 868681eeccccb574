#include "metrics/dataset_roots.h"

#include <functional>
#include <new>

#include "config/growth.h"
#include "config/names.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// The names of one collection, each once, with a mark on those already taken as roots.
class NameTable {
 public:
  // Room for `count` names at most half full; -1 when memory ran out.
  int reserve(std::size_t count) {
    std::size_t size = 16;
    while (size < count * 2) size *= 2;
    try {
      slots_.resize(size);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    return 0;
  }
  void insert(std::string_view name) {
    Slot& slot = slots_[find(name)];
    if (slot.name == nullptr) slot = Slot{name.data(), name.size(), false};
  }
  bool taken(std::string_view name) const { return slots_[find(name)].taken; }
  void take(std::string_view name) { slots_[find(name)].taken = true; }
  // True when a name held here is an ancestor of `name`.
  bool holds_ancestor_of(std::string_view name) const {
    return any_ancestor(name, [&](std::string_view ancestor) {
      return slots_[find(ancestor)].name != nullptr;
    });
  }

 private:
  struct Slot {
    const char* name = nullptr;  // null: free
    std::size_t size = 0;
    bool taken = false;
  };

  // The slot holding `name`, or the free one where it belongs.
  std::size_t find(std::string_view name) const {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = std::hash<std::string_view>{}(name) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.name == nullptr || std::string_view(slot.name, slot.size) == name) return i;
    }
  }

  std::vector<Slot> slots_;
};

}  // namespace

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
  std::size_t count = held.size() + standard.items.size() + recursive.items.size();
  NameTable table;
  if (table.reserve(count) != 0) return -1;
  for_each_name([&](std::string_view name) { table.insert(name); });
  // A name is a root when no other name is its ancestor; it stands where it first comes. Adding
  // the names one by one gives the same roots in the same order.
  int result = 0;
  for_each_name([&](std::string_view name) {
    if (result != 0 || table.taken(name) || table.holds_ancestor_of(name)) return;
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
    table.take(name);
  });
  return result;
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
