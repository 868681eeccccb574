#ifndef CORVATEL_SNAPSHOT_PRUNE_H
#define CORVATEL_SNAPSHOT_PRUNE_H

#include <string_view>

#include "config/job_list.h"
#include "snapshot/inventory.h"

namespace corvatel {

/// True when `name` is `dataset` "@" `prefix_tag` and a timestamp of the program's form.
bool is_prune_match(std::string_view name, std::string_view dataset, std::string_view prefix_tag);

/// True when `snapshot`, the text after a name's "@", is `prefix`, "_" and such a timestamp.
bool is_prune_form(std::string_view snapshot, std::string_view prefix);

/// One pass over a job list: what checking, reporting and pruning its jobs share.
struct ListPass {
  const char* zfs;
  bool inventory_available;
  const char* timestamp;  // the run's snapshot timestamp
  bool recursive;         // the recursive list; its messages say so
};

/// Destroys the job's matches beyond its retention (from its tally), oldest first; a failure
/// sets `pass_status` 1.
void prune_job(const ListPass& pass, const SnapshotJob& job, const JobTally& tally,
               int& pass_status);

}  // namespace corvatel

#endif
