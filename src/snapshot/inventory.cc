// The snapshot inventory: one zfs list, after every snapshot of the run was made, tallied line
// by line for the jobs of each name's dataset (their matches, the names beyond their retention,
// whether a failed job's snapshot was listed). Nothing is acted on before the listing has ended
// and succeeded, and a failed listing leaves no tally at all.
#include "snapshot/inventory.h"

#include <cstring>
#include <new>
#include <utility>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "snapshot/prune.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// One "@" that neither begins nor ends the line, and no tab, carriage return or line feed;
// the line's length in `length` and the place of its "@" in `at`. One pass, since every line
// of the listing comes through here.
bool is_snapshot_line(const char* line, std::size_t& length, std::size_t& at) {
  static constexpr const char* kStops = "@\t\r\n";
  at = std::strcspn(line, kStops);
  if (line[at] != '@' || at == 0) return false;
  length = at + 1 + std::strcspn(line + at + 1, kStops);
  return line[length] == '\0' && length != at + 1;
}

int run_listing(const char* zfs, InventoryListing& listing, const DatasetRoots& roots) {
  std::vector<const char*> argv;
  const std::vector<std::string>* named = dataset_roots_fit(roots) ? &roots.names : nullptr;
  if (build_list_argv(argv, zfs, named) != 0) return -1;
  return command_succeeded(run_zfs(argv.data(), add_inventory_line, &listing)) ? 0 : -1;
}

// Enters every job of the list under its dataset. Throws std::bad_alloc.
void enter_jobs(InventoryListing& listing, const JobList& list, std::vector<JobTally>& tallies) {
  for (std::size_t i = 0; i < list.items.size(); ++i)
    listing.jobs_by_dataset[list.items[i].dataset].push_back({&list.items[i], &tallies[i]});
}

// Keeps `name` past the job's retention; when it cannot be kept the job's names are released
// and the job marked, so that nothing is destroyed for it.
void keep_beyond_retention(JobTally& tally, std::string_view name) {
  if (tally.beyond_retention_lost) return;
  try {
    tally.beyond_retention.emplace_back(name);
  } catch (const std::bad_alloc&) {
    std::vector<std::string>().swap(tally.beyond_retention);
    tally.beyond_retention_lost = true;
  }
}

// Keeps `name` as the job's newest match; -1 when it cannot be copied.
int keep_newest_match(JobTally& tally, std::string_view name) {
  try {
    tally.newest_match.assign(name);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

int tally_name(const InventoryListing& listing, const ListedJob& listed, std::string_view name,
               std::string_view snapshot) {
  const SnapshotJob& job = *listed.job;
  JobTally& tally = *listed.tally;
  if (job.failed && snapshot.size() == job.prefix.size() + 1 + listing.timestamp.size() &&
      snapshot.starts_with(job.prefix) && snapshot[job.prefix.size()] == '_' &&
      snapshot.ends_with(listing.timestamp))
    tally.own_snapshot_listed = true;
  if (!is_prune_form(snapshot, job.prefix)) return 0;
  ++tally.match_count;
  if (tally.match_count == 1 && listing.keep_newest_match &&
      keep_newest_match(tally, name) != 0)
    return -1;
  // A retention below 0 never passes the configuration; as a huge count it keeps everything.
  if (tally.match_count > static_cast<std::uint64_t>(job.retention))
    keep_beyond_retention(tally, name);
  return 0;
}

}  // namespace

int prepare_inventory_listing(InventoryListing& listing, SnapshotInventory& inventory,
                              const JobList& standard, const JobList& recursive,
                              const char* timestamp) {
  try {
    inventory.standard.resize(standard.items.size());
    inventory.recursive.resize(recursive.items.size());
    enter_jobs(listing, standard, inventory.standard);
    enter_jobs(listing, recursive, inventory.recursive);
  } catch (const std::bad_alloc&) {
    free_snapshot_inventory(inventory);
    InventoryListing().jobs_by_dataset.swap(listing.jobs_by_dataset);
    return -1;
  }
  listing.timestamp = timestamp;
  return 0;
}

int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                             const JobList& standard, const JobList& recursive,
                             const char* timestamp) {
  if (standard.items.empty() && recursive.items.empty()) return 0;
  DatasetRoots roots;
  InventoryListing listing;
  int result = dataset_roots_collect(roots, standard, recursive);
  if (result == 0)
    result = prepare_inventory_listing(listing, inventory, standard, recursive, timestamp);
  if (result == 0) result = run_listing(zfs, listing, roots);
  if (result != 0) free_snapshot_inventory(inventory);
  return result;
}

int add_inventory_line(const char* line, void* user_data) {
  const auto& listing = *static_cast<const InventoryListing*>(user_data);
  std::size_t length = 0;
  std::size_t at = 0;
  if (!is_snapshot_line(line, length, at)) {
    log_event("Error: Invalid snapshot inventory line: %s", line);
    return -1;
  }
  std::string_view name(line, length);
  auto jobs = listing.jobs_by_dataset.find(name.substr(0, at));
  if (jobs == listing.jobs_by_dataset.end()) return 0;
  for (const ListedJob& listed : jobs->second) {
    if (tally_name(listing, listed, name, name.substr(at + 1)) != 0) return -1;
  }
  return 0;
}

const JobTally& job_tally(const SnapshotInventory& inventory, bool recursive,
                          std::size_t position) {
  static const JobTally nothing_listed;
  const std::vector<JobTally>& tallies = recursive ? inventory.recursive : inventory.standard;
  return position < tallies.size() ? tallies[position] : nothing_listed;
}

void free_snapshot_inventory(SnapshotInventory& inventory) {
  SnapshotInventory empty;
  std::swap(inventory.standard, empty.standard);
  std::swap(inventory.recursive, empty.recursive);
}

}  // namespace corvatel
