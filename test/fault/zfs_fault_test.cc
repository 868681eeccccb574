// The simulated zfs failing at each of its invocations in each way, against the outcome the
// design gives for that invocation and that failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "in_process_run.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;
using Names = std::set<std::string>;

constexpr std::time_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
const std::string kNow = "2025-03-01_14:00:00p0000";

// Two standard jobs in two pools and one recursive job: snapshot calls 1 (pool data),
// 2 (pool tank) and 3 (recursive), then three destroys, the last with -r.
const Lines kConfig = {"data/x,60,2,h,no,0", "tank/home,60,2,h,no,0", "tank/db,60,2,h,yes,0"};

std::string config_text(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string own(const std::string& dataset, int hour) {
  return dataset + "@h_2025-03-01_" + std::to_string(hour) + ":00:00p0000";
}

void set_up_pools(SimState& zfs) {
  for (const char* name : {"data", "data/x", "tank", "tank/home", "tank/db", "tank/db/log"})
    zfs.add_dataset(name, 2048);
  for (int hour = 12; hour <= 13; ++hour) {
    std::time_t when = k1400 - (14 - hour) * 3600;
    for (const char* dataset : {"data/x", "tank/home", "tank/db", "tank/db/log"})
      zfs.add_snapshot(own(dataset, hour), when);
  }
  zfs.add_snapshot("data/x@h_manual", k1400 - 86400);
  zfs.add_snapshot("tank/home@h_2025-03-01_10:00:00+0100", k1400 - 86400);
}

Names snapshot_set(const SimState& zfs) {
  Lines names = zfs.snapshots();
  return Names(names.begin(), names.end());
}

Names minus(const Names& a, const Names& b) {
  Names result;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(),
                      std::inserter(result, result.end()));
  return result;
}

struct RunResult {
  InProcessRun::Outcome outcome;
  Names before;
  Names after;
  std::vector<Lines> calls;  // argv[0] dropped
};

RunResult run_with(const Lines& config, const SimFault* fault) {
  InProcessRun inst;
  set_up_pools(inst.zfs);
  inst.write_config(config_text(config));
  if (fault != nullptr) inst.zfs.add_fault(*fault);
  RunResult run;
  run.before = snapshot_set(inst.zfs);
  run.outcome = inst.run_at(k1400);
  run.after = snapshot_set(inst.zfs);
  for (Lines call : inst.zfs.calls()) {
    call.erase(call.begin());
    run.calls.push_back(call);
  }
  return run;
}

std::vector<Lines> calls_of(const RunResult& run, const std::string& kind) {
  std::vector<Lines> matching;
  for (const Lines& call : run.calls)
    if (call[0] == kind) matching.push_back(call);
  return matching;
}

// What goes wrong with one invocation.
enum class Fault { exit_status, signal, garbage, nul_byte, long_line, no_newline, stderr_flood };

struct Way {
  const char* name;
  Fault fault;
  bool acted;  // the real command was carried out before the failure showed
  int exit_status;
  std::string out;  // written after the real standard output
  std::string err;
};

std::string megabytes_of_stderr() {
  std::string text;
  for (int i = 0; i < 2048; ++i) text += std::string(1022, 'e') + "\n";
  return text;
}

const std::vector<Way>& ways() {
  static const std::vector<Way> all = {
      {"exit 1, nothing done", Fault::exit_status, false, 1, "", "zfs-sim: injected exit 1\n"},
      {"exit 1 after acting", Fault::exit_status, true, 1, "", "zfs-sim: injected exit 1\n"},
      {"exit 127, nothing done", Fault::exit_status, false, 127, "", ""},
      {"exit 127 after acting", Fault::exit_status, true, 127, "", ""},
      {"killed, nothing done", Fault::signal, false, 0, "", ""},
      {"killed after acting", Fault::signal, true, 0, "", ""},
      {"garbage line", Fault::garbage, true, 0, "garbage without the expected shape\n", ""},
      {"NUL byte", Fault::nul_byte, true, 0, std::string("tank\0junk\n", 10), ""},
      {"line over 511 bytes", Fault::long_line, true, 0, std::string(600, 'l') + "\n", ""},
      {"no final newline", Fault::no_newline, true, 0, "tank/home@h_extra", ""},
      {"megabytes on standard error", Fault::stderr_flood, true, 0, "", megabytes_of_stderr()},
  };
  return all;
}

SimFault fault_for(const std::string& kind, int call, const Way& way) {
  return {.kind = kind,
          .call = call,
          .perform = way.acted,
          .exit_status = way.exit_status,
          .stderr_text = way.err,
          .stdout_bytes = way.out,
          .signal = way.fault == Fault::signal ? 9 : 0};
}

// Only the output is wrong; the command exits 0.
bool output_only(const Way& way) {
  return way.fault != Fault::exit_status && way.fault != Fault::signal;
}

// The log without the lines a fault adds of its own (zfs's standard error, a skipped line).
Lines without_fault_noise(const Lines& log) {
  Lines kept;
  for (const std::string& line : log)
    if (line.rfind("Error: zfs: ", 0) != 0 && line.rfind("Error: Skipping metric line", 0) != 0)
      kept.push_back(line);
  return kept;
}

bool contains(const Lines& log, const std::string& line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

class ZfsFault : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = new RunResult(run_with(kConfig, nullptr));
    // What the run leaves when one batch's jobs are not there at all.
    for (const Lines& batch : batches()) {
      Lines config;
      for (const std::string& line : kConfig)
        if (std::find(batch.begin(), batch.end(), line) == batch.end()) config.push_back(line);
      without_batch_.push_back(run_with(config, nullptr).after);
    }
  }
  static void TearDownTestSuite() {
    std::printf("zfs faults injected: %d, in %zu ways\n", injected_, ways().size());
    delete base_;
    base_ = nullptr;
    without_batch_.clear();
  }

  // The configuration lines of snapshot calls 1, 2 and 3.
  static std::vector<Lines> batches() { return {{kConfig[0]}, {kConfig[1]}, {kConfig[2]}}; }

  const RunResult& base() const { return *base_; }

  // Checks that hold whatever failed: the run ends, never destroys after a failed inventory,
  // and destroys only snapshots of a job's exact form.
  void check_always(const RunResult& r) {
    EXPECT_TRUE(r.outcome.status == 0 || r.outcome.status == 1) << r.outcome.status;
    EXPECT_FALSE(r.outcome.threw);
    EXPECT_EQ(r.outcome.err, "");
    if (contains(r.outcome.log,
                 "Error: Unable to list snapshots for batch verification and pruning")) {
      EXPECT_TRUE(calls_of(r, "destroy").empty()) << "a destroy after a failed inventory";
    }
    for (const std::string& name : minus(r.before, r.after))
      EXPECT_TRUE(base().before.count(name) == 1 && base().after.count(name) == 0)
          << "destroyed " << name << ", which the fault-free run keeps";
  }

  void check_get(const Way& way, const RunResult& r) {
    // With names, any exit status but 127 is accepted; a line without a tab is skipped.
    bool accepted = (way.fault == Fault::exit_status && way.exit_status == 1) ||
                    way.fault == Fault::garbage || way.fault == Fault::stderr_flood;
    if (!accepted) {
      // The fetch failed: the run ends before any snapshot.
      EXPECT_EQ(r.outcome.status, 1);
      EXPECT_EQ(r.calls.size(), 1u);
      EXPECT_EQ(r.after, r.before);
      ASSERT_FALSE(r.outcome.log.empty());
      EXPECT_EQ(r.outcome.log.back(), "Error: Failed to read ZFS written metrics");
      EXPECT_EQ(contains(r.outcome.log, "Error: zfs stdout contained a NUL byte"),
                way.fault == Fault::nul_byte);
      return;
    }
    if (!way.acted) {
      // Accepted, but no rows: every job is reported as not found.
      EXPECT_EQ(r.outcome.status, 1);
      EXPECT_EQ(r.calls.size(), 1u);
      EXPECT_EQ(r.after, r.before);
      EXPECT_EQ(without_fault_noise(r.outcome.log),
                (Lines{"Error: Configured dataset not found or has invalid written metric: data/x",
                       "Error: Configured dataset not found or has invalid written metric: "
                       "tank/home",
                       "Error: Configured recursive dataset not found or has invalid written "
                       "metric: tank/db"}));
      return;
    }
    // Accepted with its rows: the run is the fault-free one, with the fault's lines logged.
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.after, base().after);
    EXPECT_EQ(without_fault_noise(r.outcome.log), base().outcome.log);
  }

  void check_snapshot(const Way& way, int call, const RunResult& r) {
    if (output_only(way)) {
      // Standard output of a snapshot command is never read.
      EXPECT_EQ(r.outcome.status, 0);
      EXPECT_EQ(r.after, base().after);
      EXPECT_EQ(without_fault_noise(r.outcome.log), base().outcome.log);
      return;
    }
    EXPECT_EQ(r.outcome.status, 1);
    bool recursive = call == 3;
    EXPECT_TRUE(contains(r.outcome.log, recursive
                                            ? "Error: recursive zfs snapshot batch execution failed"
                                            : "Error: standard zfs snapshot batch execution failed"));
    const std::string& line = kConfig[static_cast<std::size_t>(call - 1)];
    std::string dataset = line.substr(0, line.find(','));
    std::string name = dataset + "@h_" + kNow;
    if (way.acted) {
      // zfs made the snapshot after all: it is confirmed, reported and pruned as usual.
      EXPECT_EQ(r.after, base().after);
      EXPECT_TRUE(contains(r.outcome.log, "Created=" + name + " Written=" +
                                              (recursive ? "4.00K Recursive" : "2.00K")));
    } else {
      EXPECT_EQ(r.after, without_batch_[static_cast<std::size_t>(call - 1)]);
      EXPECT_TRUE(contains(r.outcome.log, std::string("Error: ") +
                                              (recursive ? "Recursive " : "") +
                                              "Snapshot not created: " + name +
                                              "; pruning skipped for dataset '" + dataset +
                                              "' with prefix 'h'"));
    }
  }

  void check_list(const Way& way, const RunResult& r) {
    if (way.fault == Fault::stderr_flood) {
      EXPECT_EQ(r.outcome.status, 0);
      EXPECT_EQ(r.after, base().after);
      EXPECT_EQ(without_fault_noise(r.outcome.log), base().outcome.log);
      return;
    }
    // No inventory: every snapshot is reported, nothing is pruned.
    EXPECT_EQ(r.outcome.status, 1);
    EXPECT_TRUE(calls_of(r, "destroy").empty());
    Names created = minus(base().after, base().before);
    Names expected = r.before;
    expected.insert(created.begin(), created.end());
    EXPECT_EQ(r.after, expected);
    EXPECT_TRUE(contains(r.outcome.log,
                         "Error: Unable to list snapshots for batch verification and pruning"));
    for (const char* dataset : {"data/x", "tank/home"})
      EXPECT_TRUE(contains(r.outcome.log, std::string("Error: Unable to prune snapshots for ") +
                                              dataset + ": snapshot inventory unavailable"));
    EXPECT_TRUE(contains(r.outcome.log,
                         "Error: Unable to prune recursive snapshots for tank/db: snapshot "
                         "inventory unavailable"));
  }

  void check_destroy(const Way& way, int call, const RunResult& r) {
    // Every destroy is still attempted, in the fault-free order.
    EXPECT_EQ(calls_of(r, "destroy"), calls_of(base(), "destroy"));
    if (output_only(way)) {
      EXPECT_EQ(r.outcome.status, 0);
      EXPECT_EQ(r.after, base().after);
      EXPECT_EQ(without_fault_noise(r.outcome.log), base().outcome.log);
      return;
    }
    const std::string target =
        calls_of(base(), "destroy")[static_cast<std::size_t>(call - 1)].back();
    EXPECT_EQ(r.outcome.status, 1);
    EXPECT_TRUE(contains(r.outcome.log, "Error: Failed to prune snapshot " + target));
    Names expected = base().after;
    if (!way.acted) {
      // The target, and with -r its namesakes below, stay.
      std::string dataset = target.substr(0, target.find('@'));
      std::string tail = target.substr(dataset.size());
      for (const std::string& name : minus(base().before, base().after)) {
        std::string d = name.substr(0, name.find('@'));
        if (name.substr(d.size()) == tail && (d == dataset || d.rfind(dataset + "/", 0) == 0))
          expected.insert(name);
      }
    }
    EXPECT_EQ(r.after, expected);
  }

  void fail_each_way(const std::string& kind, int call);

  static RunResult* base_;
  static std::vector<Names> without_batch_;
  static int injected_;  // faults injected over the whole suite
};

RunResult* ZfsFault::base_ = nullptr;
std::vector<Names> ZfsFault::without_batch_;
int ZfsFault::injected_ = 0;

TEST_F(ZfsFault, FaultFreeRunMakesEveryInvocation) {
  EXPECT_EQ(base().outcome.status, 0);
  EXPECT_EQ(calls_of(base(), "get").size(), 1u);
  EXPECT_EQ(calls_of(base(), "snapshot").size(), 3u);
  EXPECT_EQ(calls_of(base(), "list").size(), 1u);
  EXPECT_EQ(calls_of(base(), "destroy"),
            (std::vector<Lines>{{"destroy", own("data/x", 12)},
                                {"destroy", own("tank/home", 12)},
                                {"destroy", "-r", own("tank/db", 12)}}));
  EXPECT_EQ(minus(base().before, base().after).size(), 4u);
}

// Runs the configuration with call `call` of `kind` failing in each way in turn.
void ZfsFault::fail_each_way(const std::string& kind, int call) {
  for (const Way& way : ways()) {
    SCOPED_TRACE(kind + " call " + std::to_string(call) + ": " + way.name);
    SimFault fault = fault_for(kind, call, way);
    RunResult r = run_with(kConfig, &fault);
    ++injected_;
    check_always(r);
    if (kind == "get") check_get(way, r);
    if (kind == "snapshot") check_snapshot(way, call, r);
    if (kind == "list") check_list(way, r);
    if (kind == "destroy") check_destroy(way, call, r);
    if (way.fault == Fault::stderr_flood) {
      // Nothing of the two megabytes is lost: each 1022-byte line is logged in two pieces.
      std::size_t pieces = std::count(r.outcome.log.begin(), r.outcome.log.end(),
                                      "Error: zfs: " + std::string(511, 'e'));
      EXPECT_EQ(pieces, 4096u);
    }
  }
}

TEST_F(ZfsFault, MetricsFetchFailingInEachWay) { fail_each_way("get", 1); }

TEST_F(ZfsFault, EachSnapshotBatchFailingInEachWay) {
  for (int call = 1; call <= 3; ++call) fail_each_way("snapshot", call);
}

TEST_F(ZfsFault, InventoryFailingInEachWayPrunesNothing) { fail_each_way("list", 1); }

TEST_F(ZfsFault, EachDestroyFailingInEachWay) {
  for (int call = 1; call <= 3; ++call) fail_each_way("destroy", call);
}

}  // namespace
}  // namespace corvatel::testing
