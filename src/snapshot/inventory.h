#ifndef CORVATEL_SNAPSHOT_INVENTORY_H
#define CORVATEL_SNAPSHOT_INVENTORY_H

#include "config/job_list.h"
#include "snapshot/snapshot_names.h"

namespace corvatel {

/// Full names of existing snapshots, newest first (capacity 128 first, then doubling).
struct SnapshotInventory {
  SnapshotNames items;
};

/// Lists the snapshots under the jobs' datasets into the empty `inventory`; 0 (nothing run when
/// both lists are empty), or -1 with the inventory emptied and no message of its own.
int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                             const JobList& standard, const JobList& recursive);

/// LineHandler of the listing (user_data: the inventory): stores a well-formed snapshot name;
/// -1 for a malformed line (logged) or when memory ran out.
int add_inventory_line(const char* line, void* user_data);

/// Releases every name and the storage.
void free_snapshot_inventory(SnapshotInventory& inventory);

}  // namespace corvatel

#endif
