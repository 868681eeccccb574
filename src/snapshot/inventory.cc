#include "snapshot/inventory.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <utility>

#include "log/log.h"
#include "metrics/dataset_roots.h"
#include "snapshot/prune.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
constexpr std::size_t kBeyondFirstCapacity = 256;
constexpr std::uint64_t kLowHalf = 0xffffffff;

std::uint64_t hash_of(std::string_view dataset) {
  return std::hash<std::string_view>{}(dataset);
}

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

int run_listing(const char* zfs, SnapshotInventory& inventory, const DatasetRoots& roots) {
  std::vector<const char*> argv;
  const std::vector<std::string>* named = dataset_roots_fit(roots) ? &roots.names : nullptr;
  if (build_list_argv(argv, zfs, named) != 0) return -1;
  return command_succeeded(run_zfs(argv.data(), add_inventory_line, &inventory)) ? 0 : -1;
}

// A watch for each job of the list. Throws std::bad_alloc.
void collect_watches(InventoryIndex& index, const JobList& list,
                     std::vector<JobTally>& tallies) {
  for (std::size_t i = 0; i < list.items.size(); ++i)
    index.watches.push_back(JobWatch{&list.items[i], &tallies[i],
                                     static_cast<std::uint64_t>(list.items[i].retention), 0, 0,
                                     0, list.items[i].failed != 0});
}

std::string_view dataset_of(const InventoryIndex& index, std::uint32_t dataset) {
  const DatasetWatch& known = index.datasets[dataset];
  return std::string_view(index.keys).substr(known.key_offset, known.key_length);
}

// The slot of `dataset`, or the free one where it belongs.
std::size_t find_slot(const InventoryIndex& index, std::string_view dataset,
                      std::uint64_t hash) {
  std::size_t mask = index.slots.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    std::uint64_t held = index.slots[slot];
    if (held == 0) return slot;
    if ((held >> 32) == (hash >> 32) &&
        dataset_of(index, static_cast<std::uint32_t>((held & kLowHalf) - 1)) == dataset)
      return slot;
  }
}

// The watches sorted and grouped by dataset; the datasets' names and the prefix tags are
// copied in that order, so that a listing that names the datasets in about that order reads
// them in order. Throws std::bad_alloc.
void group_by_dataset(InventoryIndex& index) {
  // std::sort allocates nothing; the order of one dataset's jobs does not matter.
  std::sort(index.watches.begin(), index.watches.end(),
            [](const JobWatch& a, const JobWatch& b) { return a.job->dataset < b.job->dataset; });
  for (std::size_t i = 0; i < index.watches.size(); ++i) {
    const SnapshotJob& job = *index.watches[i].job;
    index.watches[i].tag_offset = static_cast<std::uint32_t>(index.tags.size());
    index.watches[i].tag_length = static_cast<std::uint32_t>(job.prefix.size() + 1);
    index.tags.append(job.prefix).push_back('_');
    if (i > 0 && index.watches[i - 1].job->dataset == job.dataset) {
      ++index.datasets.back().count;
      continue;
    }
    index.datasets.push_back(DatasetWatch{static_cast<std::uint32_t>(index.keys.size()),
                                          static_cast<std::uint32_t>(job.dataset.size()),
                                          static_cast<std::uint32_t>(i), 1, kNone});
    index.keys.append(job.dataset);
  }
}

// The table of the datasets, with room for as many datasets without jobs (and as much of their
// names' text) as there are with jobs, so that the listing allocates nothing. Every slot is
// written here, so the table's size is the index's largest part of the peak memory. Throws
// std::bad_alloc.
void enter_datasets(InventoryIndex& index) {
  std::size_t known = index.datasets.size();
  std::size_t size = 64;
  while (size * 3 < known * 2 * 4) size *= 2;  // at most three quarters full with the room taken
  index.slots.assign(size, 0);
  for (std::uint32_t i = 0; i < known; ++i) {
    std::uint64_t hash = hash_of(dataset_of(index, i));
    index.slots[find_slot(index, dataset_of(index, i), hash)] = (hash & ~kLowHalf) | (i + 1);
  }
  index.datasets.reserve(known * 2);
  index.keys.reserve(index.keys.size() * 2);
}

// Enters a dataset without jobs at its free `slot` when there is room left; its index, or kNone.
std::uint32_t enter_dataset_without_jobs(InventoryIndex& index, std::string_view dataset,
                                         std::uint64_t hash, std::size_t slot) {
  if (index.datasets.size() == index.datasets.capacity() ||
      dataset.size() > index.keys.capacity() - index.keys.size())
    return kNone;
  auto entered = static_cast<std::uint32_t>(index.datasets.size());
  index.datasets.push_back(DatasetWatch{static_cast<std::uint32_t>(index.keys.size()),
                                        static_cast<std::uint32_t>(dataset.size()), 0, 0, kNone});
  index.keys.append(dataset);
  index.slots[slot] = (hash & ~kLowHalf) | (entered + 1);
  return entered;
}

// The text the index copies: every dataset's name and every prefix tag.
std::size_t text_size(const JobList& list) {
  std::size_t size = 0;
  for (const SnapshotJob& job : list.items) size += job.dataset.size() + job.prefix.size() + 1;
  return size;
}

int build_index(SnapshotInventory& inventory, const JobList& standard, const JobList& recursive,
                const char* timestamp) {
  InventoryIndex& index = inventory.index;
  std::size_t jobs = standard.items.size() + recursive.items.size();
  // The text is reserved twice over (see enter_datasets) and placed by 32-bit offsets.
  if (jobs >= kNone || 2 * (text_size(standard) + text_size(recursive)) >= kNone) return -1;
  try {
    inventory.standard.resize(standard.items.size());
    inventory.recursive.resize(recursive.items.size());
    index.watches.reserve(jobs);
    index.datasets.reserve(jobs);
    index.timestamp = timestamp;
    collect_watches(index, standard, inventory.standard);
    collect_watches(index, recursive, inventory.recursive);
    group_by_dataset(index);
    enter_datasets(index);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

// The jobs of `dataset` (none for a dataset without jobs), or null: first the dataset that came
// after the latest one last time, else from the table. A listing names its datasets in much
// the same order time after time, so the guess spares most lines a hashed lookup in a table
// larger than the caches; for that, the datasets without jobs are entered too, while there is
// room (at scale 10 of the benchmark, each read of the table costs more than the whole rest of
// a line's handling).
const DatasetWatch* find_dataset(InventoryIndex& index, std::string_view dataset) {
  std::uint32_t previous = index.last_dataset;
  if (previous != kNone) {
    std::uint32_t guess = index.datasets[previous].successor;
    if (guess != kNone && dataset_of(index, guess) == dataset) {
      index.last_dataset = guess;
      return &index.datasets[guess];
    }
  }
  if (index.slots.empty()) return nullptr;
  std::uint64_t hash = hash_of(dataset);
  std::size_t slot = find_slot(index, dataset, hash);
  std::uint64_t held = index.slots[slot];
  std::uint32_t found = held != 0 ? static_cast<std::uint32_t>((held & kLowHalf) - 1)
                                  : enter_dataset_without_jobs(index, dataset, hash, slot);
  if (found == kNone) return nullptr;
  if (previous != kNone) index.datasets[previous].successor = found;
  index.last_dataset = found;
  return &index.datasets[found];
}

// Appends `name` and its NUL to the job's matches beyond retention; when the store cannot
// grow it is released and the job marked, so that nothing is destroyed for it.
void keep_beyond_retention(JobTally& tally, std::string_view name) {
  if (tally.beyond_retention_lost) return;
  std::string& kept = tally.beyond_retention;
  std::size_t needed = kept.size() + name.size() + 1;
  if (needed > kept.capacity()) {
    std::size_t grown = std::max(kept.capacity() * 2, kBeyondFirstCapacity);
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

void tally_line(const InventoryIndex& index, JobWatch& watch, std::string_view name,
                std::string_view snapshot) {
  std::string_view tag(index.tags.data() + watch.tag_offset, watch.tag_length);
  if (watch.failed && snapshot.size() == tag.size() + index.timestamp.size() &&
      snapshot.starts_with(tag) && snapshot.ends_with(index.timestamp))
    watch.tally->own_snapshot_listed = true;
  if (!is_prune_form(snapshot, tag)) return;
  // A retention below 0 never passes the configuration; as a huge count it keeps everything.
  if (++watch.match_count > watch.retention) keep_beyond_retention(*watch.tally, name);
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
  if (result == 0)
    finish_snapshot_inventory(inventory);
  else
    free_snapshot_inventory(inventory);
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

void finish_snapshot_inventory(SnapshotInventory& inventory) {
  for (const JobWatch& watch : inventory.index.watches) watch.tally->match_count = watch.match_count;
  InventoryIndex spent;
  std::swap(spent, inventory.index);
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
