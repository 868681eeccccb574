#ifndef CORVATEL_SNAPSHOT_INVENTORY_H
#define CORVATEL_SNAPSHOT_INVENTORY_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/job_list.h"

namespace corvatel {

/// What one job needs of the listing, which comes newest first.
struct JobTally {
  std::uint64_t match_count = 0;  // names of the job's prune form
  // The matches beyond the job's retention, newest first, each followed by a NUL; the store
  // takes 256 bytes first, then doubles.
  std::string beyond_retention;
  bool beyond_retention_lost = false;  // the store could not grow: destroy nothing
  bool own_snapshot_listed = false;    // failed jobs only: this run's snapshot was listed
};

/// The jobs of one dataset, while the listing is read.
struct DatasetWatch {
  std::uint32_t first;      // its first entry in InventoryIndex::watches
  std::uint32_t count;      // and the number of entries
  std::uint32_t successor;  // the dataset of the line that came after its last one, or none
};

/// One job to tally: its place and its prefix tag (prefix "_").
struct JobWatch {
  const SnapshotJob* job;
  JobTally* tally;
  std::string_view tag;
};

/// Every job's dataset to its jobs, both lists and all prefixes (the keys and tags refer to the
/// jobs' own strings and to `tags`).
struct InventoryIndex {
  std::unordered_map<std::string_view, std::uint32_t> by_dataset;
  std::vector<DatasetWatch> datasets;
  std::vector<JobWatch> watches;
  std::string tags;  // every prefix tag, back to back
  std::string timestamp;
  std::uint32_t last_dataset = UINT32_MAX;  // the dataset of the last line, if it had jobs
};

/// The listing as the jobs see it: one tally per job of each list, in list order.
struct SnapshotInventory {
  std::vector<JobTally> standard;
  std::vector<JobTally> recursive;
  InventoryIndex index;  // only while the listing is read
};

/// Lists the snapshots under the jobs' datasets into the empty `inventory`, tallying them for
/// the jobs (`timestamp`: the run's); 0 (nothing run when both lists are empty), or -1 with the
/// inventory emptied and no message of its own. The lists must not change while it is used.
int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                             const JobList& standard, const JobList& recursive,
                             const char* timestamp);

/// Readies the empty `inventory` to tally lines for the jobs; 0, or -1 when memory ran out.
int prepare_snapshot_inventory(SnapshotInventory& inventory, const JobList& standard,
                               const JobList& recursive, const char* timestamp);

/// LineHandler of the listing (user_data: the inventory): tallies a well-formed snapshot name
/// for the jobs of its dataset; -1 for a malformed line (logged).
int add_inventory_line(const char* line, void* user_data);

/// The tally of the job at `position` of the standard or the recursive list (an empty one when
/// the inventory holds none for it).
const JobTally& job_tally(const SnapshotInventory& inventory, bool recursive,
                          std::size_t position);

/// Releases every tally and the index.
void free_snapshot_inventory(SnapshotInventory& inventory);

}  // namespace corvatel

#endif
