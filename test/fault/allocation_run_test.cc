// Whole runs repeated with their N-th operator new failing, for every N: a representative run
// here, and (scripts/allocation) a run large enough that every growable store grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "allocation_fault.h"
#include "in_process_run.h"
#include "log_capture.h"
#include "sim_model.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;
using Names = std::set<std::string>;

constexpr std::time_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
constexpr const char* kNow = "2025-03-01_14:00:00p0000";
constexpr const char* kIncomplete =
    "Error: Configuration incomplete for want of memory; nothing created or pruned";

// The configuration and the pools of one run.
struct Scenario {
  Lines config;
  void (*populate)(SimState& zfs);
};

// Standard and recursive jobs over two pools: a covered child, two prefixes on one dataset, a
// job that is not due, and names long enough that copying them allocates (with libstdc++; libc++
// keeps up to 22 characters inline, so fewer of them do there).
const Lines kConfig = {
    "tank/projects,60,3,hourly,yes,1000",
    "tank/projects/alpha,60,2,hourly,no,0",
    "tank/projects/alpha,30,2,frequent-snapshots,no,0",
    "archive/photos/2024,60,2,hourly,no,0",
    "archive/photos/2024,60,4,daily-archive,no,0",
    "archive,60,2,h,yes,0",
    "tank,1440,7,daily,no,0",
};

std::string config_text(const Lines& lines) {
  std::string text = "# representative configuration\n";
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string at(const std::string& dataset, const std::string& snapshot) {
  return dataset + "@" + snapshot;
}

void add_datasets_and_history(SimState& zfs) {
  for (const char* name : {"tank", "tank/projects", "tank/projects/alpha",
                           "tank/projects/alpha/src", "tank/homework", "archive",
                           "archive/photos", "archive/photos/2024"})
    zfs.add_dataset(name, 4096);
  for (int hour = 10; hour <= 13; ++hour) {
    std::string snap = "hourly_2025-03-01_" + std::to_string(hour) + ":00:00p0000";
    std::time_t when = k1400 - (14 - hour) * 3600;
    for (const char* d : {"tank/projects", "tank/projects/alpha", "tank/projects/alpha/src"})
      zfs.add_snapshot(at(d, snap), when);
    if (hour >= 11) zfs.add_snapshot(at("archive/photos/2024", snap), when);
    if (hour >= 12) {
      zfs.add_snapshot(at("archive/photos/2024", "daily-archive_2025-03-01_" +
                                                      std::to_string(hour) + ":00:00p0000"),
                       when);
      for (const char* d : {"archive", "archive/photos", "archive/photos/2024"})
        zfs.add_snapshot(at(d, "h_2025-03-01_" + std::to_string(hour) + ":00:00p0000"), when);
    }
  }
  for (int half_hours : {3, 2, 1}) {
    std::time_t when = k1400 - half_hours * 1800;
    std::string t = half_hours == 3 ? "12:30:00" : half_hours == 2 ? "13:00:00" : "13:30:00";
    zfs.add_snapshot(at("tank/projects/alpha", "frequent-snapshots_2025-03-01_" + t + "p0000"),
                     when);
  }
  // Look-alikes that no job may touch.
  for (const char* name : {"tank/projects@hourly_manual",
                           "tank/projects@hourly_2025-03-01_09:00:00+0100",
                           "tank/projects/alpha@hourly2_2025-03-01_09:00:00p0000",
                           "archive/photos/2024@hourly_2025-03-01_09:00:00p0000x",
                           "archive/photos@h_2025-03-01_09:00:00p0000"})
    zfs.add_snapshot(name, k1400 - 5 * 3600);
}

struct Record {
  InProcessRun::Outcome outcome;
  Names destroyed;
  Names created;
  bool fired = false;
  std::size_t zfs_calls = 0;  // zfs invocations the run made
  std::vector<Lines> zfs_argv;  // their argument vectors
  std::size_t calls = 0;
  long leaked = 0;  // operator new blocks corvatel_main left behind
};

Names minus(const Names& a, const Names& b) {
  Names result;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(),
                      std::inserter(result, result.end()));
  return result;
}

Names snapshot_set(const SimState& zfs) {
  Lines names = zfs.snapshots();
  return Names(names.begin(), names.end());
}

// Forty standard jobs, one of them with 135 snapshots, a recursive job over 300 datasets and
// thirty-nine recursive jobs below it (three of them covered): the key set, both job lists, the
// roots, the metric table, the plans, a wave of each list, the listing's map of the jobs, and
// the six names d00 keeps beyond its retention all grow past their first capacity.
Lines growth_config() {
  Lines config;
  char line[80];
  for (int i = 0; i < 40; ++i) {
    std::snprintf(line, sizeof line, "tank/projects/d%02d,60,%d,hourly-snapshots,no,0", i,
                  i == 0 ? 130 : 2);
    config.push_back(line);
  }
  config.push_back("archive,60,1,h,yes,0");
  for (int i = 0; i < 36; ++i) {
    std::snprintf(line, sizeof line, "archive/c%d,60,1,nightly,yes,0", 1000 + i);
    config.push_back(line);
  }
  for (int i = 0; i < 3; ++i) {
    std::snprintf(line, sizeof line, "archive/c%d,60,1,h,yes,0", 1100 + i);
    config.push_back(line);
  }
  return config;
}

void add_growth_pools(SimState& zfs) {
  zfs.add_dataset("tank", 0);
  zfs.add_dataset("tank/projects", 0);
  for (int i = 0; i < 40; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "tank/projects/d%02d", i);
    zfs.add_dataset(name, 4096);
    zfs.add_snapshot(at(name, "hourly-snapshots_2025-03-01_13:00:00p0000"), k1400 - 3600);
  }
  for (int minute = 1; minute <= 134; ++minute) {
    std::time_t when = k1400 - 3600 - minute * 60;
    std::tm tm{};
    gmtime_r(&when, &tm);
    char snapshot[64];
    std::strftime(snapshot, sizeof snapshot, "hourly-snapshots_%Y-%m-%d_%H:%M:%Sp0000", &tm);
    zfs.add_snapshot(at("tank/projects/d00", snapshot), when);
  }
  zfs.add_dataset("archive", 4096);
  for (int i = 0; i < 300; ++i) zfs.add_dataset("archive/c" + std::to_string(1000 + i), 1);
  zfs.add_snapshot("archive@h_2025-03-01_12:00:00p0000", k1400 - 7200);
  zfs.add_snapshot("archive@h_2025-03-01_13:00:00p0000", k1400 - 3600);
}

// The zfs-sim state file of the scenario's pools, made once: filling a state one dataset and
// one snapshot at a time rewrites it each time.
std::string pools_state(const Scenario& scenario) {
  SimState zfs;
  scenario.populate(zfs);
  return read_file(zfs.dir() + "/state");
}

// One run of `config` on pools in `state`; the allocation after `allowed` successful ones fails
// (and, with `keep_failing`, every one after it).
Record run_once(const std::string& state, const Lines& config, std::size_t allowed,
                bool keep_failing) {
  InProcessRun inst;
  std::ofstream(inst.zfs.dir() + "/state", std::ios::binary | std::ios::trunc) << state;
  inst.write_config(config_text(config));
  Names before = snapshot_set(inst.zfs);
  Record record;
  inst.begin(k1400);
  long live_before = live_allocations();
  {
    AllocationFailure failure(allowed, keep_failing);
    inst.call_main();
    record.fired = failure.fired();
    record.calls = failure.calls();
  }
  record.leaked = live_allocations() - live_before;
  record.outcome = inst.end();
  Names after = snapshot_set(inst.zfs);
  record.destroyed = minus(before, after);
  record.created = minus(after, before);
  record.zfs_argv = inst.zfs.calls();
  record.zfs_calls = record.zfs_argv.size();
  return record;
}

Record fault_free_run(const std::string& state, const Lines& config) {
  return run_once(state, config, SIZE_MAX, false);
}

// The messages the design gives for an allocation failure, with every placeholder this
// configuration can fill in.
Names allocation_messages(const Lines& config, const Record& base) {
  Names messages = {"Error: Failed to determine dataset roots for metrics fetch",
                    "Error: Failed to allocate metrics command",
                    "Error: Failed to read ZFS written metrics",
                    "Error: Failed to check recursive ancestor overlaps",
                    "Error: Failed to check recursive overlaps",
                    "Error: standard zfs snapshot batch execution failed",
                    "Error: recursive zfs snapshot batch execution failed",
                    "Error: Unable to list snapshots for batch verification and pruning"};
  for (const std::string& line : config) {
    std::string dataset = line.substr(0, line.find(','));
    messages.insert("Error: Failed to track config entry for " + dataset);
    messages.insert("Error: Failed to allocate batch entry for " + dataset);
    messages.insert("Error: Failed to allocate prune match list for " + dataset);
  }
  for (const std::string& name : base.destroyed)
    messages.insert("Error: Failed to prune snapshot " + name);
  return messages;
}

// The dataset a configuration-line message names, or "".
std::string config_line_dataset(const std::string& message) {
  for (const char* head : {"Error: Failed to track config entry for ",
                           "Error: Failed to allocate batch entry for "}) {
    std::string h = head;
    if (message.rfind(h, 0) == 0) return message.substr(h.size());
  }
  return "";
}

// The first line where the faulty log leaves the fault-free one; "" when it never does.
std::string first_divergence(const Lines& faulty, const Lines& base) {
  for (std::size_t i = 0; i < faulty.size(); ++i)
    if (i >= base.size() || faulty[i] != base[i]) return faulty[i];
  return "";
}

class AllocationSweep : public ::testing::Test {
 protected:
  void prepare(const Scenario& chosen) {
    scenario = chosen;
    state = pools_state(scenario);
    base = fault_free_run(state, scenario.config);
  }

  // Checks one faulty run; returns the message it was judged by.
  std::string check(const Record& r, std::size_t n, bool keep_failing) {
    std::ostringstream where;
    where << "allocation " << n << (keep_failing ? " and every later one" : "") << " failed";
    SCOPED_TRACE(where.str());
    EXPECT_FALSE(r.outcome.threw) << "an exception left corvatel_main";
    EXPECT_EQ(r.outcome.status, 1);
    EXPECT_EQ(r.outcome.err, "");
    EXPECT_EQ(r.leaked, 0);
    std::string message = first_divergence(r.outcome.log, base.outcome.log);
    EXPECT_EQ(allocation_messages(scenario.config, base).count(message), 1u)
        << "first line that differs from the fault-free run: '" << message << "'";
    for (const std::string& name : minus(r.destroyed, base.destroyed))
      ADD_FAILURE() << "destroyed " << name << ", which the fault-free run keeps";
    for (const std::string& name : minus(r.created, base.created))
      ADD_FAILURE() << "created " << name << ", which the fault-free run does not";
    if (!config_line_dataset(message).empty()) {
      // A configuration known only in part is not acted on.
      EXPECT_EQ(r.outcome.log.back(), kIncomplete);
      EXPECT_EQ(r.zfs_calls, 0u);
      EXPECT_TRUE(r.destroyed.empty());
      EXPECT_TRUE(r.created.empty());
    }
    return message;
  }

  // Fails allocation 1, 2, ... until a run meets no failure; returns how many failed.
  std::size_t sweep(bool keep_failing) {
    std::map<std::string, int> by_message;
    std::size_t n = 1;
    for (;; ++n) {
      Record r = run_once(state, scenario.config, n - 1, keep_failing);
      if (!r.fired) {
        EXPECT_EQ(r.outcome.status, 0);
        EXPECT_EQ(r.outcome.log, base.outcome.log);
        EXPECT_EQ(r.calls, n - 1);
        break;
      }
      ++by_message[check(r, n, keep_failing)];
      if (::testing::Test::HasFailure() || n > 100000) break;
    }
    std::printf("%zu allocations in the run; %zu runs with a failed allocation%s\n", n - 1, n - 1,
                keep_failing ? " and every later one" : "");
    for (const auto& [message, count] : by_message)
      std::printf("  %4d  %s\n", count, message.c_str());
    return n - 1;
  }

  Scenario scenario;
  std::string state;  // the zfs-sim state file of the scenario's pools
  Record base;
};

class AllocationRun : public AllocationSweep {
 protected:
  void SetUp() override { prepare(Scenario{kConfig, add_datasets_and_history}); }
};

TEST_F(AllocationRun, FaultFreeRunIsTheRepresentativeOne) {
  EXPECT_EQ(base.outcome.status, 0);
  EXPECT_EQ(base.outcome.err, "");
  EXPECT_EQ(base.leaked, 0);
  const std::string p = "tank/projects@hourly_2025-03-01_";
  const std::string a = "archive/photos/2024@hourly_2025-03-01_";
  EXPECT_EQ(base.outcome.log,
            (Lines{"Skipping tank/projects/alpha: covered by a recursive ancestor with prefix "
                   "'hourly'",
                   std::string("Created=tank/projects/alpha@frequent-snapshots_") + kNow +
                       " Written=4.00K",
                   "Pruned=tank/projects/alpha@frequent-snapshots_2025-03-01_12:30:00p0000",
                   "Pruned=tank/projects/alpha@frequent-snapshots_2025-03-01_13:00:00p0000",
                   "Created=" + a.substr(0, a.size() - 11) + kNow + " Written=4.00K",
                   "Pruned=" + a + "11:00:00p0000",
                   "Pruned=" + a + "12:00:00p0000",
                   std::string("Created=archive/photos/2024@daily-archive_") + kNow +
                       " Written=4.00K",
                   std::string("Created=tank/projects@hourly_") + kNow +
                       " Written=12.00K Recursive",
                   "Pruned=" + p + "10:00:00p0000 Recursive",
                   "Pruned=" + p + "11:00:00p0000 Recursive",
                   std::string("Created=archive@h_") + kNow + " Written=12.00K Recursive",
                   "Pruned=archive@h_2025-03-01_12:00:00p0000 Recursive"}));
  EXPECT_EQ(base.destroyed.size(), 13u);  // two of them with -r on two descendants each
  EXPECT_GT(base.calls, 50u);
}

// Rejected, the recursive line would leave its covered child a job of its own, and the child
// would prune to its retention of 2 what the parent's retention of 3 keeps. Fails allocation 1,
// 2, ... until the failure falls past the first line; how many allocations registering the key
// takes depends on the C++ library (a short key needs none of its own).
TEST_F(AllocationRun, RecursiveLineLostToMemoryStopsTheRunBeforeAnyZfsCommand) {
  const std::string track = "Error: Failed to track config entry for tank/projects";
  const std::string append = "Error: Failed to allocate batch entry for tank/projects";
  Lines seen;  // the first line of each run, one entry per message in the order met
  for (std::size_t allowed = 0;; ++allowed) {
    SCOPED_TRACE("allocations allowed before the failure: " + std::to_string(allowed));
    Record r = run_once(state, scenario.config, allowed, false);
    ASSERT_TRUE(r.fired);
    ASSERT_FALSE(r.outcome.log.empty());
    const std::string& first = r.outcome.log.front();
    if (first != track && first != append) break;
    if (seen.empty() || seen.back() != first) seen.push_back(first);
    EXPECT_EQ(r.outcome.status, 1);
    EXPECT_EQ(r.outcome.log, (Lines{first, kIncomplete}));
    EXPECT_EQ(r.zfs_calls, 0u);
    EXPECT_TRUE(r.destroyed.empty());
    EXPECT_TRUE(r.created.empty());
    EXPECT_EQ(r.leaked, 0);
    ASSERT_LT(allowed, 100u);
  }
  // The key first, then the job; each failure point met.
  EXPECT_EQ(seen, (Lines{track, append}));
}

TEST_F(AllocationRun, EachSingleFailedAllocationEndsCleanlyWithItsMessage) {
  EXPECT_GT(sweep(false), 50u);
}

TEST_F(AllocationRun, EveryAllocationFromTheNthOnFailingEndsCleanly) {
  EXPECT_GT(sweep(true), 50u);
}

// Some 350 runs: about 7 s in a plain build and 45 s under the sanitizers.
class AllocationRunWithGrowth : public AllocationSweep {
 protected:
  void SetUp() override { prepare(Scenario{growth_config(), add_growth_pools}); }
};

TEST_F(AllocationRunWithGrowth, EachSingleFailedAllocationEndsCleanlyWithItsMessage) {
  EXPECT_EQ(base.outcome.status, 0);
  EXPECT_EQ(base.outcome.err, "");
  EXPECT_EQ(base.leaked, 0);
  EXPECT_EQ(base.destroyed.size(), 8u);  // six of d00, two of archive
  EXPECT_EQ(base.created.size(), 377u);  // forty, archive with its 300 children, thirty-six
  EXPECT_EQ(std::count_if(base.outcome.log.begin(), base.outcome.log.end(),
                          [](const std::string& line) { return line.rfind("Skipping ", 0) == 0; }),
            3);
  EXPECT_EQ(sweep(false), base.calls);  // every allocation of the run failed once
}

// What each growable store of the fault-free run held, against its first capacity: more means
// the sweep above failed its growth too.
TEST_F(AllocationRunWithGrowth, EveryStoreOutgrowsItsFirstCapacity) {
  auto count_lines = [&](auto&& keep) {
    return static_cast<std::size_t>(
        std::count_if(base.outcome.log.begin(), base.outcome.log.end(), keep));
  };
  auto ends_with = [](const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(),
                                                      tail) == 0;
  };
  // The names an invocation gives after `last` and the `skip` elements that follow it.
  auto operands = [](const Lines& argv, const std::string& last, std::size_t skip) {
    auto at = std::find(argv.begin(), argv.end(), last);
    if (at == argv.end() || argv.end() - at <= static_cast<std::ptrdiff_t>(skip)) return Lines{};
    return Lines(at + 1 + static_cast<std::ptrdiff_t>(skip), argv.end());
  };
  Lines roots, listed;
  std::size_t standard_wave = 0, recursive_wave = 0;
  for (const Lines& argv : base.zfs_argv) {
    ASSERT_GE(argv.size(), 2u);
    if (argv[1] == "get") roots = operands(argv, "written", 0);
    if (argv[1] == "list") listed = operands(argv, "-S", 1);  // after the sort property
    if (argv[1] != "snapshot") continue;
    bool recursive = argv.size() > 2 && argv[2] == "-r";
    std::size_t names = argv.size() - (recursive ? 3 : 2);
    std::size_t& largest = recursive ? recursive_wave : standard_wave;
    largest = std::max(largest, names);
  }
  auto under = [](const Lines& tops, std::string_view name) {
    return std::any_of(tops.begin(), tops.end(), [&](const std::string& top) {
      return name == top || is_descendant(top, name);
    });
  };
  SimState pools;
  std::ofstream(pools.dir() + "/state", std::ios::binary | std::ios::trunc) << state;
  SimModel model;
  std::string error;
  ASSERT_TRUE(load_model(pools.dir() + "/state", model, error)) << error;
  std::size_t metric_rows = 0;
  for (const SimDataset& dataset : model.datasets)
    metric_rows += under(roots, dataset.name);
  // The listing came after the snapshots were made and before any was destroyed.
  Names at_listing = snapshot_set(pools);
  at_listing.insert(base.created.begin(), base.created.end());
  std::size_t inventory = 0;
  std::size_t d00_matches = 0;
  for (const std::string& name : at_listing) {
    inventory += under(listed, dataset_part(name));
    d00_matches += name.rfind("tank/projects/d00@hourly-snapshots_", 0) == 0;
  }
  struct Store {
    const char* name;
    std::size_t held;
    std::size_t first_capacity;
  };
  const std::vector<Store> stores = {
      {"configuration keys", scenario.config.size(), 32},
      {"standard jobs",
       count_lines([&](const std::string& line) {
         return line.rfind("Created=", 0) == 0 && !ends_with(line, " Recursive");
       }),
       32},
      {"recursive jobs",
       count_lines([&](const std::string& line) {
         return line.rfind("Created=", 0) == 0 && ends_with(line, " Recursive");
       }),
       32},
      {"dataset roots", roots.size(), 32},
      {"metric rows", metric_rows, 256},
      {"largest standard wave", standard_wave, 32},
      {"largest recursive wave", recursive_wave, 32},
      {"listed snapshots", inventory, 128},
      {"prune matches of tank/projects/d00", d00_matches, 128},
  };
  for (const Store& store : stores)
    EXPECT_GT(store.held, store.first_capacity) << store.name;
}

}  // namespace
}  // namespace corvatel::testing
