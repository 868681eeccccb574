#include "snapshot/inventory.h"

#include <algorithm>
#include <new>
#include <utility>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "snapshot/prune.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

constexpr std::uint32_t NONE = UINT32_MAX;
constexpr std::size_t BEYOND_FIRST_CAPACITY = 256;

// One "@" that neither begins nor ends the line, and no tab, carriage return or line feed;
// the line's length in `length` and the place of its "@" in `at`. One pass, since every line
// of the listing comes through here.
bool is_snapshot_line(const char* line, std::size_t& length, std::size_t& at) {
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

// A watch for each job and its prefix tag, back to back in `tags`; the tags' views are set
// once that text no longer moves. Throws std::bad_alloc.
void collect_watches(InventoryIndex& index, const JobList& list,
                     std::vector<JobTally>& tallies) {
  for (std::size_t i = 0; i < list.items.size(); ++i) {
    const SnapshotJob& job = list.items[i];
    index.watches.push_back(JobWatch{&job, &tallies[i], {}});
    index.tags.append(job.prefix).push_back('_');
  }
}

// The watches grouped by dataset, one table entry for each dataset. Throws std::bad_alloc.
void group_by_dataset(InventoryIndex& index) {
  std::size_t offset = 0;
  for (JobWatch& watch : index.watches) {
    std::size_t length = watch.job->prefix.size() + 1;
    watch.tag = std::string_view(index.tags).substr(offset, length);
    offset += length;
  }
  // std::sort allocates nothing; the order of one dataset's jobs does not matter.
  std::sort(index.watches.begin(), index.watches.end(),
            [](const JobWatch& a, const JobWatch& b) { return a.job->dataset < b.job->dataset; });
  for (std::size_t i = 0; i < index.watches.size(); ++i) {
    const std::string& dataset = index.watches[i].job->dataset;
    if (i > 0 && index.watches[i - 1].job->dataset == dataset) {
      ++index.datasets.back().count;
      continue;
    }
    index.by_dataset.emplace(dataset, static_cast<std::uint32_t>(index.datasets.size()));
    index.datasets.push_back(DatasetWatch{static_cast<std::uint32_t>(i), 1, NONE});
  }
}

int build_index(SnapshotInventory& inventory, const JobList& standard, const JobList& recursive,
                const char* timestamp) {
  InventoryIndex& index = inventory.index;
  std::size_t jobs = standard.items.size() + recursive.items.size();
  if (jobs >= NONE) return -1;
  try {
    inventory.standard.resize(standard.items.size());
    inventory.recursive.resize(recursive.items.size());
    index.watches.reserve(jobs);
    index.datasets.reserve(jobs);
    index.by_dataset.reserve(jobs);
    index.timestamp = timestamp;
    collect_watches(index, standard, inventory.standard);
    collect_watches(index, recursive, inventory.recursive);
    group_by_dataset(index);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

// The jobs of `dataset`: the dataset that followed the last line's last time when it is that
// one, else from the table. A listing names its datasets in much the same order time after
// time, so the guess spares most lines a hashed lookup in a table larger than the caches.
const DatasetWatch* find_dataset(InventoryIndex& index, std::string_view dataset) {
  std::uint32_t previous = index.last_dataset;
  if (previous != NONE) {
    std::uint32_t guess = index.datasets[previous].successor;
    if (guess != NONE && index.watches[index.datasets[guess].first].job->dataset == dataset) {
      index.last_dataset = guess;
      return &index.datasets[guess];
    }
  }
  auto found = index.by_dataset.find(dataset);
  if (found == index.by_dataset.end()) {
    index.last_dataset = NONE;
    return nullptr;
  }
  if (previous != NONE) index.datasets[previous].successor = found->second;
  index.last_dataset = found->second;
  return &index.datasets[found->second];
}

// Appends `name` and its NUL to the job's matches beyond retention; when the store cannot
// grow it is released and the job marked, so that nothing is destroyed for it.
void keep_beyond_retention(JobTally& tally, std::string_view name) {
  if (tally.beyond_retention_lost) return;
  std::string& kept = tally.beyond_retention;
  std::size_t needed = kept.size() + name.size() + 1;
  if (needed > kept.capacity()) {
    std::size_t grown = std::max(kept.capacity() * 2, BEYOND_FIRST_CAPACITY);
    try {
      kept.reserve(std::max(needed, grown));
    } catch (const std::bad_alloc&) {
      std::string().swap(kept);
      tally.beyond_retention_lost = true;
      return;
    }
  }
  kept.append(name).push_back('\0');
}

void tally_line(const InventoryIndex& index, const JobWatch& watch, std::string_view name,
                std::string_view snapshot) {
  JobTally& tally = *watch.tally;
  const SnapshotJob& job = *watch.job;
  if (job.failed != 0 && snapshot.size() == watch.tag.size() + index.timestamp.size() &&
      snapshot.starts_with(watch.tag) && snapshot.ends_with(index.timestamp))
    tally.own_snapshot_listed = true;
  if (!is_prune_form(snapshot, watch.tag)) return;
  // A retention below 0 never passes the configuration; as a huge count it keeps everything.
  if (++tally.match_count > static_cast<std::uint64_t>(job.retention))
    keep_beyond_retention(tally, name);
}

}  // namespace

int prepare_snapshot_inventory(SnapshotInventory& inventory, const JobList& standard,
                               const JobList& recursive, const char* timestamp) {
  if (build_index(inventory, standard, recursive, timestamp) == 0) return 0;
  free_snapshot_inventory(inventory);
  return -1;
}

int fetch_snapshot_inventory(const char* zfs, SnapshotInventory& inventory,
                             const JobList& standard, const JobList& recursive,
                             const char* timestamp) {
  if (standard.items.empty() && recursive.items.empty()) return 0;
  DatasetRoots roots;
  int result = dataset_roots_collect(roots, standard, recursive);
  if (result == 0) result = prepare_snapshot_inventory(inventory, standard, recursive, timestamp);
  if (result == 0) result = run_listing(zfs, inventory, roots);
  dataset_roots_free(roots);
  InventoryIndex spent;
  std::swap(spent, inventory.index);
  if (result != 0) free_snapshot_inventory(inventory);
  return result;
}

int add_inventory_line(const char* line, void* user_data) {
  auto& inventory = *static_cast<SnapshotInventory*>(user_data);
  std::size_t length = 0;
  std::size_t at = 0;
  if (!is_snapshot_line(line, length, at)) {
    log_event("Error: Invalid snapshot inventory line: %s", line);
    return -1;
  }
  std::string_view name(line, length);
  InventoryIndex& index = inventory.index;
  const DatasetWatch* dataset = find_dataset(index, name.substr(0, at));
  if (dataset == nullptr) return 0;
  std::string_view snapshot = name.substr(at + 1);
  for (std::uint32_t i = 0; i < dataset->count; ++i)
    tally_line(index, index.watches[dataset->first + i], name, snapshot);
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
  std::swap(inventory.index, empty.index);
}

}  // namespace corvatel
