// Whole runs at width: seeded random configurations of up to 300 entries over up to 200
// datasets, against random listings, each run of the program in a child under a time limit and
// compared with reference_run. CORVATEL_WIDTH_CASES sets the number of runs (scripts/width).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "in_process_run.h"
#include "reference_run.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::time_t kMarch1 = 1740787200;  // 2025-03-01 00:00:00 UTC
constexpr int kDefaultCases = 300;
// A run that never ends meets it; a run of 300 entries under the sanitizers on a loaded host of
// two cores once took more than 60 s, so the limit is well above any honest run.
constexpr double kTimeLimitSeconds = 300;

// Components that make names which are text prefixes of each other.
const Lines kComponents = {"a", "ab", "a-b", "a.b", "home", "homework", "x:y", "a b", "vm"};
// Prefixes that begin with another, and prefixes with "_".
const Lines kPrefixes = {"h", "h_x", "hourly", "hourly_2", "daily", "d-1", "_", "a_b", "a", "w"};
const Lines kForeign = {"manual", "before-upgrade", "hourly_manual", "x"};

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  // Uniform in [low, high].
  std::int64_t between(std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(engine_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(between(0, static_cast<std::int64_t>(items.size()) - 1))];
  }
  template <class T>
  void shuffle(std::vector<T>& items) { std::shuffle(items.begin(), items.end(), engine_); }

 private:
  std::mt19937_64 engine_;
};

// A stamp of the program's form, or one that is nearly so.
std::string some_stamp(Random& random, std::time_t now) {
  std::time_t t = now - random.between(1, 90 * 86400);
  switch (random.between(0, 5)) {
    case 0: return utc_stamp(t, "");
    case 1: return utc_stamp(t, "-0500");
    case 2: return utc_stamp(t, "+0100");  // "+" never matches
    case 3: return utc_stamp(t, "p010");   // one digit short
    default: return utc_stamp(t, "p0000");
  }
}

std::vector<SimDataset> random_datasets(Random& random, std::size_t count) {
  Lines pools = {"tank", "tank2", "data"};
  random.shuffle(pools);
  pools.resize(static_cast<std::size_t>(random.between(1, 3)));
  Lines names = pools;
  std::set<std::string> taken(names.begin(), names.end());
  while (names.size() < count) {
    std::string name = random.pick(names) + "/" + random.pick(kComponents);
    if (random.chance(0.5)) name += std::to_string(random.between(0, 99));
    if (taken.insert(name).second) names.push_back(name);
  }
  std::vector<SimDataset> datasets;
  for (const std::string& name : names) {
    std::int64_t written = random.chance(0.2) ? 0 : random.between(1, 20000);
    if (random.chance(0.02)) written = -7;  // an unusable value
    datasets.push_back({name, written, false});
  }
  return datasets;
}

// Entries over about a third of the datasets, 1 to 6 prefixes each, in random order, with a
// few duplicate and rejected lines.
std::vector<ReferenceEntry> random_config(Random& random, const std::vector<SimDataset>& datasets,
                                          std::size_t entries) {
  std::vector<ReferenceEntry> config;
  const std::vector<std::int64_t> intervals = {1, 1, 1, 2, 3, 5, 10, 15, 30, 60, 90, 1440, 2000};
  while (config.size() < entries) {
    const std::string& dataset =
        datasets[static_cast<std::size_t>(random.between(0, static_cast<std::int64_t>(
                                                                datasets.size() / 3)))]
            .name;
    Lines prefixes = kPrefixes;
    random.shuffle(prefixes);
    auto count = static_cast<std::size_t>(random.between(1, 6));
    for (std::size_t i = 0; i < count && config.size() < entries; ++i) {
      ReferenceEntry e;
      e.dataset = dataset;
      e.prefix = prefixes[i];
      e.interval = random.pick(intervals);
      e.retention = random.chance(0.8) ? random.between(1, 4) : random.between(5, 10);
      e.recursive = random.chance(0.25);
      e.min_bytes = random.chance(0.5) ? 0 : random.between(0, 30000);
      e.bad_retention = random.chance(0.02);
      config.push_back(e);
    }
  }
  random.shuffle(config);
  for (std::size_t i = 0; i < config.size(); ++i) {
    if (!random.chance(0.03)) continue;
    ReferenceEntry again = config[random.between(0, static_cast<std::int64_t>(i))];
    again.retention += 1;
    config.insert(config.begin() + static_cast<std::ptrdiff_t>(i) + 1, again);
  }
  return config;
}

// Snapshots of every dataset, most of them of datasets without entries; for each entry about
// its retention of its own, sometimes this run's; in random order, with duplicate lines.
Lines random_listing(Random& random, const ReferenceWorld& world) {
  Lines listing;
  for (const SimDataset& d : world.datasets) {
    for (std::int64_t k = random.between(0, 3); k > 0; --k) {
      if (random.chance(0.3))
        listing.push_back(d.name + "@" + random.pick(kForeign));
      else
        listing.push_back(d.name + "@" + random.pick(kPrefixes) + "_" + some_stamp(random, world.now));
    }
  }
  std::string now = utc_stamp(world.now, "p0000");
  for (const ReferenceEntry& e : world.config) {
    // Mostly within retention: every name beyond it costs the run a zfs command.
    const std::vector<std::int64_t> beyond = {-1, 0, 0, 0, 0, 1, 1, 2};
    std::int64_t own = std::max<std::int64_t>(0, e.retention + random.pick(beyond));
    for (std::int64_t k = 0; k < own; ++k)
      listing.push_back(e.dataset + "@" + e.prefix + "_" + some_stamp(random, world.now));
    if (random.chance(0.5)) listing.push_back(e.dataset + "@" + e.prefix + "_" + now);
  }
  std::set<std::string> unique(listing.begin(), listing.end());
  listing.assign(unique.begin(), unique.end());
  random.shuffle(listing);
  for (std::size_t i = 0; i < listing.size(); ++i)
    if (random.chance(0.03)) listing.push_back(listing[i]);
  random.shuffle(listing);
  if (random.chance(0.05)) {  // a line that is no snapshot name fails the listing
    auto at = random.between(0, static_cast<std::int64_t>(listing.size()));
    listing.insert(listing.begin() + at, world.datasets.front().name);
  }
  return listing;
}

// Every 25th world is as wide as allowed; the others mostly small.
ReferenceWorld random_world(std::uint64_t seed) {
  Random random(seed);
  std::size_t datasets = 200;
  std::size_t entries = 300;
  if (seed % 25 != 0) {
    bool small = random.chance(0.85);
    datasets = static_cast<std::size_t>(random.between(3, small ? 30 : 100));
    entries = static_cast<std::size_t>(random.between(1, small ? 20 : 100));
  }
  ReferenceWorld world;
  world.now = kMarch1 + (random.chance(0.3) ? 0 : 60 * random.between(0, 1439));
  world.datasets = random_datasets(random, datasets);
  world.config = random_config(random, world.datasets, entries);
  world.listing = random_listing(random, world);
  std::string now = utc_stamp(world.now, "p0000");
  for (const std::string& name : world.listing) {
    if (name.find('@') != std::string::npos && !name.ends_with("_" + now))
      world.snapshots.insert(name);
  }
  if (random.chance(0.3)) {
    // Braced initialisers run in order: call is drawn before perform, as the seeds expect.
    SimFault fault{.kind = "snapshot",
                   .call = static_cast<int>(random.between(1, 4)),
                   // zfs made the snapshots but failed all the same
                   .perform = random.chance(0.5)};
    if (!fault.perform) fault.stderr_text = "injected failure\n";
    world.snapshot_faults[fault.call] = fault;
  }
  return world;
}

// The world's pools, faults and configuration in a fresh installation.
void install(InProcessRun& installation, const ReferenceWorld& world) {
  SimModel model;
  model.datasets = world.datasets;
  for (const std::string& name : world.snapshots)
    model.snapshots.push_back({name, world.now - 86400, ++model.txg});
  for (const auto& [call, fault] : world.snapshot_faults) model.faults.push_back(fault);
  std::string printed;
  for (const std::string& line : world.listing) printed += line + "\n";
  model.faults.push_back(SimFault{.kind = "list",
                                  .perform = true,
                                  .exit_status = -1,
                                  .stdout_bytes = printed,
                                  .replace_stdout = true});
  installation.zfs.set_model(model);
  std::string config;
  for (const ReferenceEntry& e : world.config) config += e.line() + "\n";
  installation.write_config(config);
}

std::string joined(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

std::string joined(const std::vector<Lines>& calls) {
  std::string text;
  for (const Lines& call : calls) {
    text += " ";
    for (const std::string& word : call) text += " " + word;
    text += "\n";
  }
  return text;
}

::testing::AssertionResult runs_as_the_reference(std::uint64_t seed) {
  ReferenceWorld world = random_world(seed);
  ReferenceOutcome expected = reference_run(world);
  InProcessRun installation;
  install(installation, world);
  InProcessRun::Outcome run = installation.run_child_at(world.now, kTimeLimitSeconds);
  std::vector<Lines> calls = installation.zfs.calls();
  for (Lines& call : calls) call.erase(call.begin());
  Lines left = installation.zfs.snapshots();
  std::ostringstream why;
  why << "seed " << seed << " (" << world.config.size() << " lines, " << world.datasets.size()
      << " datasets, " << world.listing.size() << " listed): ";
  if (run.timed_out)
    why << "no end within " << kTimeLimitSeconds << " s";
  else if (run.status != expected.status)
    why << "status " << run.status << ", expected " << expected.status << "; log:\n"
        << joined(run.log);
  else if (!run.err.empty())
    why << "standard error: " << run.err;
  else if (run.log != expected.log)
    why << "log:\n" << joined(run.log) << "expected:\n" << joined(expected.log);
  else if (calls != expected.calls)
    why << "zfs calls:\n" << joined(calls) << "expected:\n" << joined(expected.calls);
  else if (std::set<std::string>(left.begin(), left.end()) != expected.snapshots)
    why << "the snapshots left differ";
  else
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << why.str();
}

int case_count() {
  const char* text = std::getenv("CORVATEL_WIDTH_CASES");
  return text != nullptr ? std::atoi(text) : kDefaultCases;
}

// The seeds are dealt to a few tests, so that CTest can run them side by side.
constexpr int kShards = 6;

class WholeRunsAtWidth : public ::testing::TestWithParam<int> {};

TEST_P(WholeRunsAtWidth, EachRandomRunDoesWhatTheReferenceDoes) {
  int failures = 0;
  for (int seed = 1 + GetParam(); seed <= case_count() && failures < 3; seed += kShards) {
    ::testing::AssertionResult same = runs_as_the_reference(static_cast<std::uint64_t>(seed));
    EXPECT_TRUE(same);
    failures += !same;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WholeRunsAtWidth, ::testing::Range(0, kShards));

}  // namespace
}  // namespace corvatel::testing
