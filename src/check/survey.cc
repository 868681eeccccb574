// The check asks zfs what corvatel would ask, with corvatel's own argument vectors and output
// readers: one get for the written totals and one listing, newest first, for the snapshots.
// The listing's tally gives each entry its own snapshots; the check adds, per entry, the newest
// snapshot of any name on its dataset (or below it, for a recursive entry), since any snapshot
// there resets the written bytes that corvatel compares with the threshold.
#include "check/survey.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "config/job_list.h"
#include "config/names.h"
#include "metrics/dataset_roots.h"
#include "metrics/metrics.h"
#include "metrics/metrics_fetch.h"
#include "metrics/written_totals.h"
#include "snapshot/inventory.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

// Entries as corvatel's job lists, and where each went (kAbsent: left out).
struct Jobs {
  JobList standard;
  JobList recursive;
  std::vector<std::size_t> position;  // entry index -> index in its list
};

constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

// A recursive entry with the same prefix on an ancestor snapshots and prunes this entry's
// dataset too (zfs snapshot -r, zfs destroy -r) whenever both are due, keeping its own
// retention there: so the entry is left with as many own snapshots as the largest of them.
std::vector<std::int64_t> retention_limits(const std::vector<CheckEntry>& entries) {
  std::unordered_map<std::string, std::int64_t> recursive_retention;  // by config key
  ConfigKeyBuffer key;
  for (const CheckEntry& entry : entries) {
    if (entry.recursive)
      recursive_retention.emplace(config_key(entry.dataset, entry.prefix, key), entry.retention);
  }
  std::vector<std::int64_t> limits;
  limits.reserve(entries.size());
  for (const CheckEntry& entry : entries) {
    std::int64_t limit = entry.retention;
    any_ancestor(entry.dataset, [&](std::string_view ancestor) {
      auto found = recursive_retention.find(std::string(config_key(ancestor, entry.prefix, key)));
      if (found != recursive_retention.end()) limit = std::max(limit, found->second);
      return false;
    });
    limits.push_back(limit);
  }
  return limits;
}

// The entries for which `include` holds, with the retention limits as their retention.
template <class Include>
[[nodiscard]] int make_jobs(const std::vector<CheckEntry>& entries,
                            const std::vector<EntrySurvey>& surveys, Include&& include,
                            Jobs& jobs) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CheckEntry& entry = entries[i];
    if (!include(i)) {
      jobs.position.push_back(kAbsent);
      continue;
    }
    JobList& list = entry.recursive ? jobs.recursive : jobs.standard;
    if (job_list_append(list, entry.dataset, entry.prefix, surveys[i].retention_limit,
                        entry.min_bytes) != 0)
      return -1;
    jobs.position.push_back(list.items.size() - 1);
  }
  return 0;
}

std::string zfs_failure(const char* command, const TimeLimit& limit) {
  if (limit.passed) return std::string("zfs ") + command + " did not finish within the time limit";
  return std::string("zfs ") + command + " failed";
}

[[nodiscard]] int fetch_totals(const char* zfs, const std::vector<CheckEntry>& entries,
                               const Jobs& jobs, TimeLimit& limit,
                               std::vector<EntrySurvey>& surveys, std::string& problem) {
  MetricTable table;
  if (fetch_written_metrics(zfs, jobs.standard, jobs.recursive, table, &limit) != 0) {
    problem = zfs_failure("get", limit);
    return -1;
  }
  if (!table.rows.empty()) sort_metric_table(table);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const JobList& list = entries[i].recursive ? jobs.recursive : jobs.standard;
    surveys[i].pending =
        job_written_total(list.items[jobs.position[i]], table, entries[i].recursive);
  }
  return 0;
}

// The listing's reader: corvatel's tally, then the newest snapshot of any name per entry.
struct CheckListing {
  InventoryListing inventory;
  // Each entry's dataset to the entries that watch snapshots there: all of its entries for
  // snapshots of the dataset itself, its recursive entries for snapshots below it.
  std::unordered_map<std::string_view, std::vector<std::size_t>> watchers;
  const std::vector<CheckEntry>* entries = nullptr;
  std::vector<EntrySurvey>* surveys = nullptr;
  std::size_t unseen = 0;  // entries without a newest snapshot yet
};

void note_newest(CheckListing& listing, std::string_view dataset, bool below,
                 std::string_view name) {
  auto found = listing.watchers.find(dataset);
  if (found == listing.watchers.end()) return;
  for (std::size_t i : found->second) {
    EntrySurvey& survey = (*listing.surveys)[i];
    if (!survey.newest_any.empty() || (below && !(*listing.entries)[i].recursive)) continue;
    survey.newest_any.assign(name);
    --listing.unseen;
  }
}

int add_check_line(const char* line, void* user_data) {
  auto& listing = *static_cast<CheckListing*>(user_data);
  if (add_inventory_line(line, &listing.inventory) != 0) return -1;
  if (listing.unseen == 0) return 0;
  std::string_view name(line);
  std::string_view dataset = name.substr(0, name.find('@'));  // checked by the tally
  note_newest(listing, dataset, false, name);
  any_ancestor(dataset, [&](std::string_view ancestor) {
    note_newest(listing, ancestor, true, name);
    return false;
  });
  return 0;
}

[[nodiscard]] int prepare_listing(const std::vector<CheckEntry>& entries, const Jobs& jobs,
                                  SnapshotInventory& inventory, std::vector<EntrySurvey>& surveys,
                                  CheckListing& listing) {
  if (prepare_inventory_listing(listing.inventory, inventory, jobs.standard, jobs.recursive,
                                "") != 0)
    return -1;
  listing.inventory.keep_newest_match = true;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (jobs.position[i] == kAbsent) continue;
    listing.watchers[entries[i].dataset].push_back(i);
    ++listing.unseen;
  }
  listing.entries = &entries;
  listing.surveys = &surveys;
  return 0;
}

// Lists the snapshots of the entries whose datasets zfs reported: as in corvatel's run, a
// dataset that is gone would fail the whole listing.
[[nodiscard]] int list_snapshots(const char* zfs, const std::vector<CheckEntry>& entries,
                                 TimeLimit& limit, std::vector<EntrySurvey>& surveys,
                                 std::string& problem) {
  Jobs jobs;
  DatasetRoots roots;
  SnapshotInventory inventory;
  CheckListing listing;
  std::vector<const char*> argv;
  auto reported = [&](std::size_t i) { return surveys[i].pending >= 0; };
  if (make_jobs(entries, surveys, reported, jobs) != 0 ||
      dataset_roots_collect(roots, jobs.standard, jobs.recursive) != 0 ||
      prepare_listing(entries, jobs, inventory, surveys, listing) != 0 ||
      build_list_argv(argv, zfs, dataset_roots_fit(roots) ? &roots.names : nullptr) != 0) {
    problem = "out of memory";
    return -1;
  }
  if (roots.names.empty()) return 0;
  if (!command_succeeded(run_zfs_within(argv.data(), add_check_line, &listing, limit))) {
    problem = zfs_failure("list", limit);
    return -1;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (jobs.position[i] == kAbsent) continue;
    JobTally& tally = (entries[i].recursive ? inventory.recursive
                                            : inventory.standard)[jobs.position[i]];
    surveys[i].newest_own = std::move(tally.newest_match);
    surveys[i].own_count = tally.match_count;
    surveys[i].beyond = std::move(tally.beyond_retention);
  }
  return 0;
}

}  // namespace

int survey_entries(const char* zfs, const std::vector<CheckEntry>& entries, TimeLimit& limit,
                   std::vector<EntrySurvey>& surveys, std::string& problem) {
  surveys.assign(entries.size(), EntrySurvey{});
  std::vector<std::int64_t> limits = retention_limits(entries);
  for (std::size_t i = 0; i < entries.size(); ++i) surveys[i].retention_limit = limits[i];
  if (entries.empty()) return 0;
  Jobs jobs;
  if (make_jobs(entries, surveys, [](std::size_t) { return true; }, jobs) != 0) {
    problem = "out of memory";
    return -1;
  }
  if (fetch_totals(zfs, entries, jobs, limit, surveys, problem) != 0) return -1;
  return list_snapshots(zfs, entries, limit, surveys, problem);
}

}  // namespace corvatel
