#ifndef CORVATEL_SNAPSHOT_INVENTORY_H
#define CORVATEL_SNAPSHOT_INVENTORY_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/job_list.h"

namespace corvatel {

/// What the listing, which comes newest first, showed one job.
struct JobTally {
  std::uint64_t match_count = 0;               // names of the job's prune form
  std::vector<std::string> beyond_retention;   // the matches past its retention, newest first
  bool beyond_retention_lost = false;          // one could not be kept: destroy nothing
  bool own_snapshot_listed = false;            // failed jobs only: this run's snapshot was listed
  std::string newest_match;                    // the first match, when the listing keeps it
};

/// The listing as the jobs see it: one tally per job of each list, in list order.
struct SnapshotInventory {
  std::vector<JobTally> standard;
  std::vector<JobTally> recursive;
};

/// A job as the listing is read for it.
struct ListedJob {
  const SnapshotJob* job;
  JobTally* tally;
};

/// The user data of add_inventory_line: every job's dataset (a view of the job's own string)
/// to its jobs, of both lists and all prefixes. It lives only while the listing is read; the
/// job lists and the inventory must not change meanwhile.
struct InventoryListing {
  std::unordered_map<std::string_view, std::vector<ListedJob>> jobs_by_dataset;
  std::string_view timestamp;  // the run's
  bool keep_newest_match = false;  // corvatel-check's: each tally keeps its first match
};

/// Lists the snapshots under the jobs' datasets into the empty `inventory`, tallying them for
/// the jobs (`timestamp`: the run's); 0 (nothing run when both lists are empty), or -1 with the
/// inventory emptied and no message of its own.
[[nodiscard]] int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                                           const JobList& standard, const JobList& recursive,
                                           const char* timestamp);

/// Gives the empty `inventory` one tally per job and readies `listing` to fill them; 0, or -1
/// with both emptied when memory ran out.
[[nodiscard]] int prepare_inventory_listing(InventoryListing& listing,
                                            SnapshotInventory& inventory, const JobList& standard,
                                            const JobList& recursive, const char* timestamp);

/// LineHandler of the listing (user_data: the InventoryListing): tallies a well-formed
/// snapshot name for the jobs of its dataset; -1 for a malformed line (logged), or when a
/// newest match to keep cannot be copied.
[[nodiscard]] int add_inventory_line(const char* line, void* user_data);

/// The tally of the job at `position` of the standard or the recursive list (an empty one when
/// the inventory holds none for it).
const JobTally& job_tally(const SnapshotInventory& inventory, bool recursive,
                          std::size_t position);

/// Releases every tally.
void free_snapshot_inventory(SnapshotInventory& inventory);

}  // namespace corvatel

#endif
