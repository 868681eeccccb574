// The inventory line handler: it accepts exactly the lines that are one snapshot name, and
// every job's tally is what a scan of the accepted names in order gives: its matches, those
// beyond its retention, and whether a failed job's own snapshot came.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "log/log.h"
#include "snapshot/inventory.h"
#include "snapshot/prune.h"

namespace {

using corvatel::fuzz::check;

constexpr const char* TIMESTAMP = "2025-03-01_14:00:00p0100";

// One '@', neither first nor last, and none of tab, carriage return, line feed.
bool one_snapshot_name(const std::string& line) {
  int ats = 0;
  for (char c : line) {
    if (c == '@') ++ats;
    if (c == '\t' || c == '\r' || c == '\n') return false;
  }
  return ats == 1 && line.front() != '@' && line.back() != '@';
}

// Jobs on datasets that are text prefixes of each other, with prefixes that are too.
void add_jobs(corvatel::JobList& list, int seed) {
  const char* datasets[] = {"a", "a/b", "ab", "b"};
  const char* prefixes[] = {"h", "h_x", "d"};
  for (int i = 0; i < 12; ++i) {
    if ((i + seed) % 3 == 0) continue;
    corvatel::job_list_append(list, datasets[i % 4], prefixes[i % 3], 1 + (i + seed) % 3, 0);
    list.items.back().failed = i % 2 == 1;
  }
}

void check_tallies(const corvatel::SnapshotInventory& inventory, const corvatel::JobList& list,
                   bool recursive, const std::vector<std::string>& accepted) {
  for (std::size_t i = 0; i < list.items.size(); ++i) {
    const corvatel::SnapshotJob& job = list.items[i];
    const std::string own = job.dataset + "@" + job.prefix + "_" + TIMESTAMP;
    std::uint64_t matches = 0;
    std::vector<std::string> beyond;
    bool own_listed = false;
    for (const std::string& name : accepted) {
      if (job.failed && name == own) own_listed = true;
      if (!corvatel::is_prune_match(name, job.dataset, job.prefix + "_")) continue;
      if (++matches > static_cast<std::uint64_t>(job.retention)) beyond.push_back(name);
    }
    const corvatel::JobTally& tally = corvatel::job_tally(inventory, recursive, i);
    check(tally.match_count == matches);
    check(tally.beyond_retention == beyond);
    check(tally.own_snapshot_listed == own_listed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  corvatel::log_state().stream = sink;
  corvatel::JobList standard;
  corvatel::JobList recursive;
  add_jobs(standard, 0);
  add_jobs(recursive, 1);
  corvatel::SnapshotInventory inventory;
  corvatel::InventoryListing reading;
  check(corvatel::prepare_inventory_listing(reading, inventory, standard, recursive, TIMESTAMP) ==
        0);
  std::vector<std::string> accepted;
  corvatel::fuzz::for_each_handler_line(data, size, [&](const std::string& line) {
    int result = corvatel::add_inventory_line(line.c_str(), &reading);
    bool good = one_snapshot_name(line);
    check((result == 0) == good);
    if (good) accepted.push_back(line);
  });
  check_tallies(inventory, standard, false, accepted);
  check_tallies(inventory, recursive, true, accepted);
  corvatel::free_snapshot_inventory(inventory);
  check(inventory.standard.empty() && inventory.recursive.capacity() == 0);
  corvatel::log_state().stream = nullptr;
  return 0;
}
