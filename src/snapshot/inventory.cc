#include "snapshot/inventory.h"

#include <string_view>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// One "@" that neither begins nor ends the line, and no tab, carriage return or line feed;
// the line's length in `length`. One pass, since every line of the listing comes through here.
bool is_snapshot_line(const char* line, std::size_t& length) {
  std::size_t at = 0;
  bool seen_at = false;
  std::size_t i = 0;
  for (; line[i] != '\0'; ++i) {
    char c = line[i];
    if (c == '@') {
      if (seen_at) return false;
      seen_at = true;
      at = i;
    } else if (c == '\t' || c == '\r' || c == '\n') {
      return false;
    }
  }
  length = i;
  return seen_at && at != 0 && at + 1 != i;
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
  std::size_t length = 0;
  if (!is_snapshot_line(line, length)) {
    log_event("Error: Invalid snapshot inventory line: %s", line);
    return -1;
  }
  return inventory.items.add(std::string_view(line, length));
}

void free_snapshot_inventory(SnapshotInventory& inventory) { inventory.items.clear(); }

}  // namespace corvatel
