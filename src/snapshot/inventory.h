#ifndef CORVATEL_SNAPSHOT_INVENTORY_H
#define CORVATEL_SNAPSHOT_INVENTORY_H

#include <cstdint>
#include <string>
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
  std::uint32_t key_offset;  // its name in InventoryIndex::keys
  std::uint32_t key_length;
  std::uint32_t first;      // its first entry in InventoryIndex::watches
  std::uint32_t count;      // and the number of entries (0: a dataset without jobs)
  std::uint32_t successor;  // the dataset that came next after it last time, or none
};

/// One job as the listing is read: what each line is checked against is copied here, so that
/// a line touches neither the job nor its tally unless a name is to be kept.
struct JobWatch {
  const SnapshotJob* job;
  JobTally* tally;
  std::uint64_t retention;
  std::uint64_t match_count;
  std::uint32_t tag_offset;  // its prefix tag (prefix "_") in InventoryIndex::tags
  std::uint32_t tag_length;
  bool failed;
};

/// Every job's dataset to its jobs, both lists and all prefixes, in the datasets' order.
struct InventoryIndex {
  // Open addressing over the datasets (a power of two, at most 3/4 full): the upper half of
  // a dataset's hash and its position in `datasets` + 1 (0: free). One probe of a dense
  // table instead of a bucket and a node, for lines the order guess misses: in a profile of
  // the scale-1 benchmark listing, std::unordered_map's find took 8.7 % of the samples, this
  // table's 3.2 %.
  std::vector<std::uint64_t> slots;
  std::vector<DatasetWatch> datasets;
  std::string keys;  // the datasets' names, back to back
  std::vector<JobWatch> watches;
  std::string tags;  // the watches' prefix tags, back to back
  std::string timestamp;
  std::uint32_t last_dataset = UINT32_MAX;  // the dataset of the latest line entered
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

/// Ends the listing of a prepared inventory: the match counts go into the tallies and the
/// index is released.
void finish_snapshot_inventory(SnapshotInventory& inventory);

/// The tally of the job at `position` of the standard or the recursive list (an empty one when
/// the inventory holds none for it).
const JobTally& job_tally(const SnapshotInventory& inventory, bool recursive,
                          std::size_t position);

/// Releases every tally and the index.
void free_snapshot_inventory(SnapshotInventory& inventory);

}  // namespace corvatel

#endif
