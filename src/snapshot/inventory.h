#ifndef CORVATEL_SNAPSHOT_INVENTORY_H
#define CORVATEL_SNAPSHOT_INVENTORY_H

#include <string>
#include <vector>

#include "config/job_list.h"

namespace corvatel {

/// Full names of existing snapshots, newest first (capacity 128 first, then doubling).
struct SnapshotInventory {
  std::vector<std::string> items;
};

/// Lists the snapshots under the remaining jobs' datasets into the empty `inventory`.
/// Returns 0 (also when both lists are empty: nothing is run), or -1 with the inventory
/// emptied; logs no message of its own.
int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                             const JobList& standard, const JobList& recursive);

/// LineHandler of the listing (user_data: the SnapshotInventory): stores a copy of a
/// well-formed snapshot name and returns 0, or -1 for a malformed line (logged) or no memory.
int add_inventory_line(const char* line, void* user_data);

/// Releases every name and the storage.
void free_snapshot_inventory(SnapshotInventory& inventory);

}  // namespace corvatel

#endif
