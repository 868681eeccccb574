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

/// True when `name` is `dataset` "@" `prefix_tag` followed by a timestamp of the program's
/// form: "YYYY-MM-DD_HH:MM:SS", optionally followed by "p" or "-" and four digits.
bool is_prune_match(std::string_view name, std::string_view dataset, std::string_view prefix_tag);

/// Destroys the job's matching snapshots beyond its retention, oldest first, logging each;
/// sets `pass_status` to 1 on any failure and never lowers it.
void prune_job(const char* zfs, const SnapshotJob& job, const SnapshotInventory& inventory,
               bool inventory_available, PruneMatchBuffer& buffer, const ListWords& words,
               bool recursive, int& pass_status);

}  // namespace corvatel

#endif
