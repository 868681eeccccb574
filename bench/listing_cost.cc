// What reading the snapshot listing costs corvatel, in parts: run_zfs on the replay stand-in's
// "list" output with a handler that only counts the lines (the runner: reads, line cutting,
// one call per line), then with add_inventory_line (the runner and the inventory: checking,
// copying and indexing every name). Each is the CPU time and minor faults of this process
// alone, the stand-in excluded; one process for one measurement, as a run is.
//
//   corvatel-bench-listing STAND_IN
//     (CORVATEL_BENCH_REPLAY names the scenario folder, as for the stand-in)
//     prints "runner_us runner_faults inventory_us inventory_faults names"
#include <sys/resource.h>

#include <cstdio>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: corvatel-bench-listing STAND_IN\n");
    return 2;
  }
  const char* args[] = {argv[1], "list", nullptr};
  long lines = 0;
  Usage before = usage_now();
  corvatel::CommandResult counted = corvatel::run_zfs(args, count_line, &lines);
  Usage middle = usage_now();
  corvatel::SnapshotInventory inventory;
  corvatel::CommandResult listed =
      corvatel::run_zfs(args, corvatel::add_inventory_line, &inventory);
  Usage after = usage_now();
  if (!corvatel::command_succeeded(counted) || !corvatel::command_succeeded(listed) ||
      static_cast<std::size_t>(lines) != inventory.items.size()) {
    std::fprintf(stderr, "corvatel-bench-listing: the listing failed\n");
    return 1;
  }
  std::printf("%ld %ld %ld %ld %zu\n", middle.cpu_us - before.cpu_us,
              middle.faults - before.faults, after.cpu_us - middle.cpu_us,
              after.faults - middle.faults, inventory.items.size());
  return 0;
}
