// The safety property over random multi-run histories: random pools, nesting, configurations,
// look-alike snapshots and zfs failures. Seeded and reproducible: CORVATEL_SAFETY_SEED and
// CORVATEL_SAFETY_HISTORIES choose the histories (scripts/safety runs many more).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "in_process_run.h"

namespace corvatel::testing {
namespace {

using Names = std::set<std::string>;

constexpr std::time_t kMarch1 = 1740787200;  // 2025-03-01 00:00:00 UTC

struct Job {
  std::string dataset;
  int interval = 60;
  std::int64_t retention = 1;
  std::string prefix;
  bool recursive = false;
  std::int64_t min_bytes = 0;
  bool configured = true;  // false for a line the program rejects as a duplicate
};

std::string dataset_of(const std::string& name) { return name.substr(0, name.find('@')); }

bool below(const std::string& ancestor, const std::string& dataset) {
  return dataset.size() > ancestor.size() && dataset.compare(0, ancestor.size(), ancestor) == 0 &&
         dataset[ancestor.size()] == '/';
}

// The timestamp of the program's form: 2025-03-01_14:00:00, optionally p0100 or -0500.
bool is_stamp(const std::string& t) {
  static const std::string shape = "dddd-dd-dd_dd:dd:ddzdddd";
  if (t.size() != 19 && t.size() != 24) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    bool ok = shape[i] == 'd' ? (c >= '0' && c <= '9')
              : shape[i] == 'z' ? (c == 'p' || c == '-')
                                : c == shape[i];
    if (!ok) return false;
  }
  return true;
}

// True when `name` is `dataset`@`prefix`_ and a timestamp of the program's form.
bool has_form(const std::string& name, const std::string& dataset, const std::string& prefix) {
  std::string head = dataset + "@" + prefix + "_";
  return name.compare(0, head.size(), head) == 0 && name.find('@') == dataset.size() &&
         is_stamp(name.substr(head.size()));
}

// A job's own snapshots: its exact form on its own dataset.
std::size_t own_count(const Names& names, const Job& job) {
  return static_cast<std::size_t>(std::count_if(names.begin(), names.end(), [&](const std::string& n) {
    return has_form(n, job.dataset, job.prefix);
  }));
}

// Of some configured job's form: on its dataset, or for a recursive job also below it.
bool of_a_job_form(const std::string& name, const std::vector<Job>& jobs) {
  std::string dataset = dataset_of(name);
  for (const Job& job : jobs) {
    if (!job.configured) continue;
    if (has_form(name, dataset, job.prefix) &&
        (dataset == job.dataset || (job.recursive && below(job.dataset, dataset))))
      return true;
  }
  return false;
}

struct Figures {
  int histories = 0;
  int runs = 0;
  int faults = 0;
  int destroyed = 0;
  int look_alikes = 0;  // snapshots made outside the program that are of no job's form
  int floor_checks = 0;
  int clean_runs = 0;          // runs without zfs failure or configuration error
  int snapshots_expected = 0;  // snapshots those runs had to make
};

class History {
 public:
  History(std::uint32_t seed, Figures& figures) : random_(seed), figures_(figures) {}

  void play() {
    make_pools();
    make_jobs();
    inst_.write_config(config_text());
    add_history_snapshots();
    std::time_t now = kMarch1 + pick(1440) * 60;
    int runs = 4 + static_cast<int>(pick(7));
    for (int run = 0; run < runs && !::testing::Test::HasFatalFailure(); ++run) {
      SCOPED_TRACE("run " + std::to_string(run) + " at " + utc_stamp(now, ""));
      one_run(now);
      now += static_cast<std::time_t>(minute_steps()[pick(minute_steps().size())]) * 60;
    }
    ++figures_.histories;
  }

 private:
  std::size_t pick(std::size_t n) { return random_() % n; }  // mt19937 output is portable
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }
  template <class T>
  const T& one_of(const std::vector<T>& items) { return items[pick(items.size())]; }

  static const std::vector<int>& minute_steps() {
    static const std::vector<int> steps = {1, 2, 3, 5, 10, 15, 30, 60, 90};
    return steps;
  }

  void make_pools() {
    static const std::vector<std::string> pools = {"tank", "data", "tank2"};
    static const std::vector<std::string> parts = {"a", "ab", "a-x", "b", "a b"};
    std::size_t pool_count = 1 + pick(3);
    for (std::size_t p = 0; p < pool_count; ++p) datasets_.push_back(pools[p]);
    std::size_t children = 2 + pick(8);
    for (std::size_t i = 0; i < children; ++i) {
      std::string name = one_of(datasets_) + "/" + one_of(parts);
      if (std::find(datasets_.begin(), datasets_.end(), name) == datasets_.end())
        datasets_.push_back(name);
    }
    for (const std::string& name : datasets_) inst_.zfs.add_dataset(name, 0);
  }

  void make_jobs() {
    static const std::vector<std::string> prefixes = {"h", "h_1", "h-1", "H", "hourly", "hourly2",
                                                      "a", "a_b"};
    static const std::vector<int> intervals = {1, 2, 3, 5, 10, 15, 30, 60};
    std::size_t count = 1 + pick(6);
    for (std::size_t i = 0; i < count; ++i) {
      Job job;
      job.dataset = chance(8) ? datasets_[0] + "/gone" : one_of(datasets_);
      if (job.dataset == datasets_[0] + "/gone") config_has_errors_ = true;
      job.interval = one_of(intervals);
      job.retention = 1 + static_cast<std::int64_t>(pick(4));
      job.prefix = one_of(prefixes);
      job.recursive = chance(45);
      job.min_bytes = chance(60) ? 0 : static_cast<std::int64_t>(1 + pick(4000));
      for (const Job& other : jobs_)
        if (other.configured && other.dataset == job.dataset && other.prefix == job.prefix)
          job.configured = false;
      if (!job.configured) config_has_errors_ = true;
      jobs_.push_back(job);
    }
  }

  std::string config_text() {
    std::string text = "# random history\n";
    for (const Job& job : jobs_) {
      text += job.dataset + "," + std::to_string(job.interval) + "," +
              std::to_string(job.retention) + "," + job.prefix + "," +
              (job.recursive ? "yes" : "no") + "," + std::to_string(job.min_bytes) + "\n";
      if (chance(5)) {
        text += job.dataset + ",0,1,bad,no,0\n";  // a rejected line
        config_has_errors_ = true;
      }
    }
    return text;
  }

  // Snapshots that exist before the first run: some of the jobs' form, many look-alikes.
  void add_history_snapshots() {
    std::size_t count = pick(24);
    for (std::size_t i = 0; i < count; ++i)
      add_outside_snapshot(kMarch1 - static_cast<std::time_t>(1 + pick(20 * 86400)));
  }

  void add_outside_snapshot(std::time_t created) {
    std::string name = random_name(created);
    Names existing = snapshots();
    if (existing.count(name) != 0) return;
    inst_.zfs.add_snapshot(name, created);
    if (!of_a_job_form(name, jobs_)) ++figures_.look_alikes;
  }

  std::string random_name(std::time_t created) {
    static const std::vector<std::string> prefixes = {"h", "h_1", "h-1", "H", "hourly",
                                                       "hourly2", "a", "a_b", "h_", "b"};
    std::string dataset = one_of(datasets_);
    std::string prefix = chance(50) && !jobs_.empty() ? one_of(jobs_).prefix : one_of(prefixes);
    std::time_t named = chance(70) ? created : created - static_cast<std::time_t>(pick(86400 * 5));
    switch (pick(9)) {
      case 0: return dataset + "@" + prefix + "_" + utc_stamp(named, "+0100");
      case 1: return dataset + "@" + prefix + "_" + utc_stamp(named, "p010");
      case 2: return dataset + "@" + prefix + "_" + utc_stamp(named, "p0000") + "x";
      case 3: return dataset + "@" + prefix + "_manual";
      case 4: return dataset + "@" + prefix + utc_stamp(named, "p0000");
      case 5: return dataset + "@" + prefix + "_" + utc_stamp(named, "");
      case 6: return dataset + "@" + prefix + "_" + utc_stamp(named, "-0500");
      default: return dataset + "@" + prefix + "_" + utc_stamp(named, "p0000");
    }
  }

  // A zfs failure on one of this run's invocations.
  // Returns whether it did.
  bool maybe_inject_fault() {
    inst_.zfs.clear_faults();
    if (!chance(35)) return false;
    static const std::vector<std::string> kinds = {"get", "snapshot", "list", "destroy"};
    const std::string kind = one_of(kinds);
    SimFault fault{.kind = kind,
                   .call = static_cast<int>(calls_so_far_[kind] + 1 + pick(3)),
                   .perform = chance(50)};
    switch (pick(7)) {
      case 0: fault.exit_status = 1; fault.stderr_text = "injected failure\n"; break;
      case 1: fault.exit_status = 127; break;
      case 2: fault.exit_status = -1; fault.signal = 9; break;
      case 3: fault.exit_status = 0; fault.perform = true; fault.stdout_bytes = "garbage\n"; break;
      case 4:
        fault.exit_status = 0;
        fault.perform = true;
        fault.stdout_bytes = std::string("x\0y\n", 4);
        break;
      case 5:
        fault.exit_status = 0;
        fault.perform = true;
        fault.stdout_bytes = std::string(700, 'l') + "\n";
        break;
      default: fault.exit_status = 0; fault.perform = true; fault.stdout_bytes = "no newline"; break;
    }
    inst_.zfs.add_fault(fault);
    ++figures_.faults;
    return true;
  }

  void one_run(std::time_t now) {
    for (const std::string& name : datasets_) {
      written_[name] = chance(20) ? 0 : static_cast<std::int64_t>(pick(5000));
      inst_.zfs.set_written(name, written_[name]);
    }
    if (chance(30)) add_outside_snapshot(now - static_cast<std::time_t>(1 + pick(3600)));
    bool faulty = maybe_inject_fault();
    std::size_t calls_before = inst_.zfs.calls().size();
    Names before = snapshots();

    InProcessRun::Outcome r = inst_.run_at(now);
    ++figures_.runs;
    EXPECT_FALSE(r.threw);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
    EXPECT_EQ(r.err, "");

    Names after = snapshots();
    std::vector<std::vector<std::string>> calls = inst_.zfs.calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].size() > 1) ++calls_so_far_[calls[i][1]];
      if (i >= calls_before) check_destroy_call(calls[i], now);
    }
    for (const std::string& name : before) {
      if (after.count(name) != 0) continue;
      ++figures_.destroyed;
      EXPECT_TRUE(of_a_job_form(name, jobs_))
          << "destroyed " << name << ", which is of no job's form\n" << describe();
    }
    check_retention_floor(before, after);
    if (!faulty && !config_has_errors_) check_clean_run(r, after, now);
  }

  // Without a zfs failure or a configuration error nothing fails, and every due job whose
  // written total reaches its threshold and that no due same-prefix recursive ancestor covers
  // has its snapshot.
  void check_clean_run(const InProcessRun::Outcome& r, const Names& after, std::time_t now) {
    ++figures_.clean_runs;
    EXPECT_EQ(r.status, 0) << describe();
    int minute = static_cast<int>((now % 86400) / 60);
    auto takes_part = [&](const Job& job) {
      return job.configured && minute % job.interval == 0 && total(job) >= job.min_bytes;
    };
    for (const Job& job : jobs_) {
      if (!takes_part(job)) continue;
      bool covered = false;
      for (const Job& other : jobs_)
        covered = covered || (other.recursive && other.prefix == job.prefix &&
                              below(other.dataset, job.dataset) && takes_part(other));
      if (covered) continue;
      std::string name = job.dataset + "@" + job.prefix + "_" + utc_stamp(now);
      EXPECT_EQ(after.count(name), 1u) << "no snapshot " << name << "\n" << describe();
      ++figures_.snapshots_expected;
    }
  }

  // The job's written total: its dataset's bytes, for a recursive job with all below it.
  std::int64_t total(const Job& job) {
    std::int64_t sum = 0;
    for (const auto& [name, bytes] : written_)
      if (name == job.dataset || (job.recursive && below(job.dataset, name))) sum += bytes;
    return sum;
  }

  // A destroy names a snapshot of a due job's exact form, with -r exactly for a recursive job.
  void check_destroy_call(const std::vector<std::string>& call, std::time_t now) {
    if (call.size() < 2 || call[1] != "destroy") return;
    bool dash_r = call.size() == 4 && call[2] == "-r";
    const std::string& target = call.back();
    int minute = static_cast<int>((now % 86400) / 60);
    bool matched = false;
    for (const Job& job : jobs_)
      matched = matched || (job.configured && minute % job.interval == 0 &&
                            job.recursive == dash_r && has_form(target, job.dataset, job.prefix));
    EXPECT_TRUE(matched) << "destroy " << (dash_r ? "-r " : "") << target << "\n" << describe();
  }

  // No job is left with fewer of its own snapshots than min(retention, what it had), unless a
  // same-prefix recursive job on an ancestor shares them (the parent's -r destroys reach them).
  void check_retention_floor(const Names& before, const Names& after) {
    for (const Job& job : jobs_) {
      if (!job.configured || shared_with_a_recursive_ancestor(job)) continue;
      std::size_t had = own_count(before, job);
      std::size_t floor = std::min(static_cast<std::size_t>(job.retention), had);
      ++figures_.floor_checks;
      EXPECT_GE(own_count(after, job), floor)
          << job.dataset << "@" << job.prefix << "_ keeps fewer than " << floor << "\n"
          << describe();
    }
  }

  bool shared_with_a_recursive_ancestor(const Job& job) const {
    for (const Job& other : jobs_)
      if (other.configured && other.recursive && other.prefix == job.prefix &&
          below(other.dataset, job.dataset))
        return true;
    return false;
  }

  Names snapshots() const {
    std::vector<std::string> names = inst_.zfs.snapshots();
    return Names(names.begin(), names.end());
  }

  std::string describe() {
    std::string text = "configuration:\n";
    for (const Job& job : jobs_)
      text += "  " + job.dataset + "," + std::to_string(job.interval) + "," +
              std::to_string(job.retention) + "," + job.prefix + "," +
              (job.recursive ? "yes" : "no") + "," + std::to_string(job.min_bytes) +
              (job.configured ? "" : "  (duplicate)") + "\n";
    return text;
  }

  std::mt19937 random_;
  Figures& figures_;
  InProcessRun inst_;
  std::vector<std::string> datasets_;
  std::vector<Job> jobs_;
  std::map<std::string, std::int64_t> calls_so_far_;  // zfs-sim numbers calls per kind
  std::map<std::string, std::int64_t> written_;       // this run's written bytes per dataset
  bool config_has_errors_ = false;  // a rejected line, a duplicate or a dataset that is gone
};

std::uint32_t env_number(const char* name, std::uint32_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

TEST(SafetyProperty, NoForeignDestroyNoJobBelowItsFloorAndCleanRunsSnapshotEveryDueJob) {
  const std::uint32_t seed = env_number("CORVATEL_SAFETY_SEED", 20250301);
  const std::uint32_t histories = env_number("CORVATEL_SAFETY_HISTORIES", 24);
  Figures figures;
  for (std::uint32_t i = 0; i < histories && !::testing::Test::HasFailure(); ++i) {
    SCOPED_TRACE("history seed " + std::to_string(seed + i));
    History(seed + i, figures).play();
  }
  std::printf("seeds %u..%u: %d histories, %d runs, %d zfs faults injected, %d snapshots "
              "destroyed, %d look-alikes made, %d retention-floor checks, %d clean runs with "
              "%d snapshots they had to make\n",
              seed, seed + histories - 1, figures.histories, figures.runs, figures.faults,
              figures.destroyed, figures.look_alikes, figures.floor_checks, figures.clean_runs,
              figures.snapshots_expected);
  EXPECT_EQ(figures.histories, static_cast<int>(histories));
  EXPECT_GT(figures.destroyed, 0);
  EXPECT_GT(figures.snapshots_expected, 0);
}

}  // namespace
}  // namespace corvatel::testing
