#include "snapshot/inventory.h"

#include <new>
#include <string_view>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

constexpr std::size_t INVENTORY_FIRST_CAPACITY = 128;

// One "@" that neither begins nor ends the line, and no tab, carriage return or line feed.
bool is_snapshot_line(std::string_view line) {
  std::size_t at = line.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == line.size()) return false;
  if (line.find('@', at + 1) != std::string_view::npos) return false;
  return line.find_first_of("\t\r\n") == std::string_view::npos;
}

int run_listing(const char* zfs, SnapshotInventory& inventory, const DatasetRoots& roots) {
  std::vector<const char*> argv;
  const std::vector<std::string>* named = dataset_roots_fit(roots) ? &roots.names : nullptr;
  if (build_list_argv(argv, zfs, named) != 0) return -1;
  return command_succeeded(run_zfs(argv.data(), add_inventory_line, &inventory)) ? 0 : -1;
}

}  // namespace

int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                             const JobList& standard, const JobList& recursive) {
  if (standard.items.empty() && recursive.items.empty()) return 0;
  DatasetRoots roots;
  int result = dataset_roots_collect(roots, standard, recursive);
  if (result == 0) result = run_listing(zfs, inventory, roots);
  dataset_roots_free(roots);
  if (result != 0) free_snapshot_inventory(inventory);
  return result;
}

int add_inventory_line(const char* line, void* user_data) {
  auto& inventory = *static_cast<SnapshotInventory*>(user_data);
  if (!is_snapshot_line(line)) {
    log_event("Error: Invalid snapshot inventory line: %s", line);
    return -1;
  }
  if (grow_for_one_more(inventory.items, INVENTORY_FIRST_CAPACITY) != 0) return -1;
  try {
    inventory.items.emplace_back(line);  // capacity is already there: only the copy can throw
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

void free_snapshot_inventory(SnapshotInventory& inventory) {
  std::vector<std::string>().swap(inventory.items);
}

}  // namespace corvatel
