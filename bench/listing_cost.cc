// What reading the snapshot listing costs corvatel, in parts: run_zfs on the replay stand-in's
// "list" output with a handler that only counts the lines (the runner: reads, line cutting,
// one call per line), then with add_inventory_line (the runner and the inventory: checking
// every name and tallying it for the jobs of its dataset). The jobs are every entry of the
// scenario's configuration due at 12:00 (the written thresholds are not applied, so a few
// more than in the run). Each is the CPU time and minor faults of this process alone, the
// stand-in excluded; one process for one measurement, as a run is.
//
//   corvatel-bench-listing STAND_IN
//     (CORVATEL_BENCH_REPLAY names the scenario folder, as for the stand-in)
//     prints "runner_us runner_faults inventory_us inventory_faults names"
//     (names: the matches beyond retention kept for the jobs)
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/configuration.h"
#include "snapshot/inventory.h"
#include "zfs/runner.h"

namespace {

struct Usage {
  long cpu_us;
  long faults;
};

Usage usage_now() {
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  return {self.ru_utime.tv_sec * 1000000L + self.ru_utime.tv_usec +
              self.ru_stime.tv_sec * 1000000L + self.ru_stime.tv_usec,
          self.ru_minflt};
}

int count_line(const char*, void* count) {
  ++*static_cast<long*>(count);
  return 0;
}

int read_jobs(corvatel::JobList& standard, corvatel::JobList& recursive) {
  const char* folder = std::getenv("CORVATEL_BENCH_REPLAY");
  if (folder == nullptr) return -1;
  std::FILE* config = std::fopen((std::string(folder) + "/corvatel.conf").c_str(), "re");
  if (config == nullptr) return -1;
  corvatel::LineBuffer line;
  corvatel::ConfigKeySet keys;
  int read_errno = 0;
  int flag = corvatel::read_configuration(config, line, 720, standard, recursive, keys,
                                          read_errno);
  std::fclose(config);
  return flag == 0 ? 0 : -1;
}

std::size_t kept_names(const std::vector<corvatel::JobTally>& tallies) {
  std::size_t names = 0;
  for (const corvatel::JobTally& tally : tallies) names += tally.beyond_retention.size();
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: corvatel-bench-listing STAND_IN\n");
    return 2;
  }
  const char* args[] = {argv[1], "list", nullptr};
  corvatel::JobList standard;
  corvatel::JobList recursive;
  if (read_jobs(standard, recursive) != 0) {
    std::fprintf(stderr, "corvatel-bench-listing: cannot read the scenario's configuration\n");
    return 1;
  }
  long lines = 0;
  Usage before = usage_now();
  corvatel::CommandResult counted = corvatel::run_zfs(args, count_line, &lines);
  Usage middle = usage_now();
  corvatel::SnapshotInventory inventory;
  corvatel::InventoryListing reading;
  int prepared = corvatel::prepare_inventory_listing(reading, inventory, standard, recursive,
                                                     "2025-03-01_12:00:00p0000");
  corvatel::CommandResult listed =
      corvatel::run_zfs(args, corvatel::add_inventory_line, &reading);
  Usage after = usage_now();
  if (prepared != 0 || !corvatel::command_succeeded(counted) ||
      !corvatel::command_succeeded(listed) || lines == 0) {
    std::fprintf(stderr, "corvatel-bench-listing: the listing failed\n");
    return 1;
  }
  std::printf("%ld %ld %ld %ld %zu\n", middle.cpu_us - before.cpu_us,
              middle.faults - before.faults, after.cpu_us - middle.cpu_us,
              after.faults - middle.faults,
              kept_names(inventory.standard) + kept_names(inventory.recursive));
  return 0;
}
