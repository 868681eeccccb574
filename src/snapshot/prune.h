#ifndef CORVATEL_SNAPSHOT_PRUNE_H
#define CORVATEL_SNAPSHOT_PRUNE_H

#include <string_view>
#include <vector>

#include "config/job_list.h"
#include "snapshot/inventory.h"

namespace corvatel {

/// References into the inventory's names; storage and capacity live across jobs and both passes.
struct PruneMatchBuffer {
  std::vector<const char*> matches;  // 128 first, then doubling; cleared per job
};

/// The words a pass puts into its messages, fixed by the list it walks.
struct ListWords {
  const char* title;   // "" or "Recursive "
  const char* plain;   // "" or "recursive "
  const char* suffix;  // "" or " Recursive"
};

/// The words of the standard list (all empty) or of the recursive list.
ListWords list_words(bool recursive);

/// True when `name` is `dataset` "@" `prefix_tag` and a timestamp of the program's form.
bool is_prune_match(std::string_view name, std::string_view dataset, std::string_view prefix_tag);

/// Destroys the job's matches beyond its retention, oldest first; a failure sets `pass_status` 1.
void prune_job(const char* zfs, const SnapshotJob& job, const SnapshotInventory& inventory,
               bool inventory_available, PruneMatchBuffer& buffer, const ListWords& words,
               bool recursive, int& pass_status);

}  // namespace corvatel

#endif
