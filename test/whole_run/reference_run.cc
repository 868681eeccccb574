#include "reference_run.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "in_process_run.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::size_t kArgumentBytes = 131072;

struct Job {
  std::string dataset;
  std::string prefix;
  std::int64_t retention = 0;
  std::int64_t min_bytes = 0;
  std::int64_t total = -1;
  std::uint64_t wave = 0;
  bool failed = false;
};

// The words a list's messages carry.
struct Words {
  std::string title;   // "Recursive " before "Snapshot not created"
  std::string plain;   // "recursive " before "snapshot"
  std::string suffix;  // " Recursive" after a report or prune line
};

Words words_of(bool recursive) {
  if (recursive) return {"Recursive ", "recursive ", " Recursive"};
  return {"", "", ""};
}

bool related(const std::string& a, const std::string& b) {
  return a == b || is_descendant(a, b) || is_descendant(b, a);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// dddd-dd-dd_dd:dd:dd, optionally followed by "p" or "-" and four digits.
bool is_timestamp_form(std::string_view t) {
  if (t.size() != 19 && t.size() != 24) return false;
  const std::string_view shape = "dddd-dd-dd_dd:dd:ddzdddd";
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (shape[i] == 'd' && !is_digit(t[i])) return false;
    if (shape[i] == 'z' && t[i] != 'p' && t[i] != '-') return false;
    if (shape[i] != 'd' && shape[i] != 'z' && t[i] != shape[i]) return false;
  }
  return true;
}

bool is_job_snapshot(const std::string& name, const Job& job) {
  std::string head = job.dataset + "@" + job.prefix + "_";
  return name.compare(0, head.size(), head) == 0 && is_timestamp_form(name.substr(head.size()));
}

// "0", plain bytes below 1024, else two decimals of the largest binary unit below 1024.
std::string size_text(std::int64_t bytes) {
  if (bytes < 1) return "0";
  if (bytes < 1024) return std::to_string(bytes);
  const char* units[] = {"", "K", "M", "G", "T", "P", "E"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 1;
  while (value >= 1024 && unit < 6) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%s", value, units[unit]);
  return text;
}

class Run {
 public:
  explicit Run(const ReferenceWorld& world)
      : world_(world), stamp_(utc_stamp(world.now)) {
    out_.snapshots = world.snapshots;
  }

  ReferenceOutcome go() {
    std::vector<Job> standard;
    std::vector<Job> recursive;
    read_configuration(standard, recursive);
    if (standard.empty() && recursive.empty()) return out_;
    fetch_totals(standard, recursive);
    remove_covered_recursive(recursive);
    assign_recursive_waves(recursive);
    remove_covered_standard(standard, recursive);
    assign_standard_waves(standard);
    create(standard, false);
    create(recursive, true);
    if (standard.empty() && recursive.empty()) return out_;
    bool available = list(standard, recursive);
    pass(standard, false, available);
    pass(recursive, true, available);
    return out_;
  }

 private:
  void log(const std::string& message) { out_.log.push_back(message); }

  // zfs's standard error as the runner logs it: each non-blank line, trailing blanks cut.
  void log_zfs_errors(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.pop_back();
      if (!line.empty()) log("Error: zfs: " + line);
      start = end + 1;
    }
  }

  void read_configuration(std::vector<Job>& standard, std::vector<Job>& recursive) {
    std::set<std::pair<std::string, std::string>> keys;
    std::int64_t minute = (world_.now % 86400) / 60;
    for (const ReferenceEntry& e : world_.config) {
      if (e.bad_retention) {
        log("Error: Config error for " + e.dataset + ": invalid retention count '0'");
        out_.status = 1;
        continue;
      }
      if (!keys.insert({e.dataset, e.prefix}).second) {
        log("Error: Config error for " + e.dataset + ": duplicate dataset/prefix '" + e.prefix +
            "' in config, skipping");
        out_.status = 1;
        continue;
      }
      if (minute % e.interval != 0) continue;
      Job job;
      job.dataset = e.dataset;
      job.prefix = e.prefix;
      job.retention = e.retention;
      job.min_bytes = e.min_bytes;
      (e.recursive ? recursive : standard).push_back(job);
    }
  }

  // The fewest names whose subtrees cover the jobs' datasets, in the order the rule gives.
  static Lines roots_of(const std::vector<Job>& standard, const std::vector<Job>& recursive) {
    Lines roots;
    auto add = [&roots](const std::string& name) {
      for (std::size_t i = 0; i < roots.size();) {
        if (roots[i] == name || is_descendant(roots[i], name)) return;
        if (is_descendant(name, roots[i])) {
          roots.erase(roots.begin() + static_cast<std::ptrdiff_t>(i));
          continue;
        }
        ++i;
      }
      roots.push_back(name);
    };
    for (const Job& job : standard) add(job.dataset);
    for (const Job& job : recursive) add(job.dataset);
    return roots;
  }

  void fetch_totals(std::vector<Job>& standard, std::vector<Job>& recursive) {
    Lines roots = roots_of(standard, recursive);
    Lines get = {"get", "-H", "-p", "-r", "-t", "filesystem,volume", "-o", "name,value",
                 "written"};
    get.insert(get.end(), roots.begin(), roots.end());
    out_.calls.push_back(get);
    std::map<std::string, std::int64_t> rows;  // in byte order, as the table is sorted
    for (const SimDataset& d : world_.datasets) {
      bool reached = std::any_of(roots.begin(), roots.end(), [&](const std::string& root) {
        return d.name == root || is_descendant(root, d.name);
      });
      if (reached) rows[d.name] = d.written < 0 ? -1 : d.written;
    }
    totals(standard, rows, false);
    totals(recursive, rows, true);
  }

  void totals(std::vector<Job>& jobs, const std::map<std::string, std::int64_t>& rows,
              bool recursive) {
    std::vector<Job> kept;
    for (Job job : jobs) {
      auto own = rows.find(job.dataset);
      if (own == rows.end() || own->second < 0) {
        log(std::string("Error: Configured ") + (recursive ? "recursive " : "") +
            "dataset not found or has invalid written metric: " + job.dataset);
        out_.status = 1;
        continue;
      }
      std::int64_t total = own->second;
      for (const auto& [name, value] : rows) {
        if (!recursive || !is_descendant(job.dataset, name)) continue;
        if (value < 0)
          log("Error: Invalid written metric for " + name + ", excluding from recursive total for " +
              job.dataset);
        else
          total += value;
      }
      if (total < job.min_bytes) continue;
      job.total = total;
      kept.push_back(job);
    }
    jobs = kept;
  }

  void remove_covered_recursive(std::vector<Job>& recursive) {
    std::vector<bool> covered(recursive.size(), false);
    for (std::size_t i = 0; i < recursive.size(); ++i) {
      for (std::size_t j = 0; j < recursive.size(); ++j) {
        if (j != i && recursive[j].prefix == recursive[i].prefix &&
            is_descendant(recursive[j].dataset, recursive[i].dataset))
          covered[i] = true;
      }
    }
    std::vector<Job> kept;
    for (std::size_t i = 0; i < recursive.size(); ++i) {
      if (!covered[i]) {
        kept.push_back(recursive[i]);
        continue;
      }
      log("Skipping " + recursive[i].dataset +
          ": already covered by a recursive ancestor with prefix '" + recursive[i].prefix + "'");
    }
    recursive = kept;
  }

  static void assign_standard_waves(std::vector<Job>& jobs) {
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      jobs[i].wave = 0;
      for (std::size_t j = 0; j < i; ++j) jobs[i].wave += jobs[j].dataset == jobs[i].dataset;
    }
  }

  // The smallest wave no related job placed before it holds, placing shorter datasets first.
  static void assign_recursive_waves(std::vector<Job>& jobs) {
    assign_standard_waves(jobs);
    std::vector<std::size_t> order(jobs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return jobs[a].dataset.size() < jobs[b].dataset.size();
    });
    for (std::size_t p = 1; p < order.size(); ++p) {
      Job& placed = jobs[order[p]];
      for (std::size_t q = 0; q < p; ++q) {
        const Job& earlier = jobs[order[q]];
        if (related(earlier.dataset, placed.dataset) && earlier.wave == placed.wave) {
          ++placed.wave;
          q = static_cast<std::size_t>(-1);  // scan again from the start
        }
      }
    }
  }

  void remove_covered_standard(std::vector<Job>& standard, const std::vector<Job>& recursive) {
    std::vector<Job> kept;
    for (const Job& job : standard) {
      bool covered = std::any_of(recursive.begin(), recursive.end(), [&](const Job& r) {
        return r.prefix == job.prefix &&
               (r.dataset == job.dataset || is_descendant(r.dataset, job.dataset));
      });
      if (!covered) {
        kept.push_back(job);
        continue;
      }
      log("Skipping " + job.dataset + ": covered by a recursive ancestor with prefix '" +
          job.prefix + "'");
    }
    standard = kept;
  }

  // What zfs snapshot does with `names`: every name, and with `recursive` the same snapshot of
  // every descendant, created all together or not at all.
  bool snapshot(const Lines& names, bool recursive) {
    int call = ++snapshot_calls_;
    auto fault = world_.snapshot_faults.find(call);
    std::string err;
    int status = 0;
    if (fault == world_.snapshot_faults.end() || fault->second.perform) {
      Lines all;
      auto add = [&all](const std::string& name) {
        if (std::find(all.begin(), all.end(), name) == all.end()) all.push_back(name);
      };
      for (const std::string& name : names) {
        add(name);
        if (!recursive) continue;
        std::string dataset(dataset_part(name));
        Lines below;
        for (const SimDataset& d : world_.datasets)
          if (is_descendant(dataset, d.name)) below.push_back(d.name + name.substr(dataset.size()));
        std::sort(below.begin(), below.end());
        for (const std::string& child : below) add(child);
      }
      std::set<std::string> pools;
      std::set<std::string> datasets;
      bool bad = false;
      for (const std::string& name : all) {
        pools.insert(std::string(pool_part(name)));
        bad = bad || !datasets.insert(std::string(dataset_part(name))).second;
      }
      if (bad || pools.size() > 1) {
        err = "cannot create snapshots : multiple snapshots of same fs not allowed\n";
      } else {
        for (const std::string& name : all)
          if (out_.snapshots.count(name) != 0)
            err += "cannot create snapshot '" + name + "': dataset already exists\n";
      }
      if (err.empty()) {
        out_.snapshots.insert(all.begin(), all.end());
      } else {
        if (all.size() > 1) err += "no snapshots were created\n";
        status = 1;
      }
    }
    if (fault != world_.snapshot_faults.end()) {
      err += fault->second.stderr_text;
      if (fault->second.exit_status >= 0) status = fault->second.exit_status;
    }
    log_zfs_errors(err);
    return status == 0;
  }

  void create(std::vector<Job>& jobs, bool recursive) {
    bool any_failed = false;
    Lines pools;
    for (const Job& first : jobs) {
      std::string pool(pool_part(first.dataset));
      if (std::find(pools.begin(), pools.end(), pool) != pools.end()) continue;
      pools.push_back(pool);
      std::uint64_t last_wave = 0;
      for (const Job& job : jobs)
        if (pool_part(job.dataset) == pool) last_wave = std::max(last_wave, job.wave);
      for (std::uint64_t wave = 0; wave <= last_wave; ++wave) {
        std::vector<Job*> members;
        for (Job& job : jobs)
          if (pool_part(job.dataset) == pool && job.wave == wave) members.push_back(&job);
        std::size_t next = 0;
        while (next < members.size()) {
          std::vector<Job*> batch;
          std::size_t cost = 0;
          while (next < members.size()) {
            std::size_t c = members[next]->dataset.size() + members[next]->prefix.size() +
                            stamp_.size() + 3;
            if (!batch.empty() && cost + c > kArgumentBytes) break;
            cost += c;
            batch.push_back(members[next++]);
          }
          Lines argv = {"snapshot"};
          if (recursive) argv.push_back("-r");
          Lines names;
          for (const Job* job : batch) names.push_back(name_of(*job));
          argv.insert(argv.end(), names.begin(), names.end());
          out_.calls.push_back(argv);
          if (snapshot(names, recursive)) continue;
          any_failed = true;
          for (Job* job : batch) job->failed = true;
        }
      }
    }
    if (!any_failed) return;
    log(std::string("Error: ") + (recursive ? "recursive" : "standard") +
        " zfs snapshot batch execution failed");
    out_.status = 1;
  }

  std::string name_of(const Job& job) const {
    return job.dataset + "@" + job.prefix + "_" + stamp_;
  }

  static bool malformed(const std::string& line) {
    std::size_t at = line.find('@');
    return at == std::string::npos || at == 0 || at + 1 == line.size() ||
           line.find('@', at + 1) != std::string::npos ||
           line.find_first_of("\t\r\n") != std::string::npos;
  }

  bool list(const std::vector<Job>& standard, const std::vector<Job>& recursive) {
    Lines argv = {"list", "-H", "-r", "-t", "snapshot", "-o", "name", "-S", "createtxg"};
    Lines roots = roots_of(standard, recursive);
    argv.insert(argv.end(), roots.begin(), roots.end());
    out_.calls.push_back(argv);
    for (const std::string& line : world_.listing) {
      if (!malformed(line)) continue;
      log("Error: Invalid snapshot inventory line: " + line);
      log("Error: Unable to list snapshots for batch verification and pruning");
      return false;
    }
    return true;
  }

  bool destroy(const std::string& name, bool recursive) {
    Lines argv = {"destroy"};
    if (recursive) argv.push_back("-r");
    argv.push_back(name);
    out_.calls.push_back(argv);
    std::string_view dataset = dataset_part(name);
    std::string_view tail = std::string_view(name).substr(dataset.size());
    Lines doomed;
    for (const std::string& s : out_.snapshots) {
      std::string_view other = dataset_part(s);
      if (s == name ||
          (recursive && is_descendant(dataset, other) && std::string_view(s).substr(other.size()) == tail))
        doomed.push_back(s);
    }
    if (doomed.empty()) {
      log_zfs_errors("could not find any snapshots to destroy; check snapshot names.\n");
      return false;
    }
    for (const std::string& s : doomed) out_.snapshots.erase(s);
    return true;
  }

  void pass(const std::vector<Job>& jobs, bool recursive, bool available) {
    Words words = words_of(recursive);
    for (const Job& job : jobs) {
      std::string name = name_of(job);
      if (job.failed) {
        if (!available) {
          log("Error: Unable to verify " + words.plain + "snapshot exists: " + name);
          continue;
        }
        if (std::find(world_.listing.begin(), world_.listing.end(), name) ==
            world_.listing.end()) {
          log("Error: " + words.title + "Snapshot not created: " + name +
              "; pruning skipped for dataset '" + job.dataset + "' with prefix '" + job.prefix +
              "'");
          continue;
        }
      }
      log("Created=" + name + " Written=" + size_text(job.total) + words.suffix);
      if (!available) {
        log("Error: Unable to prune " + words.plain + "snapshots for " + job.dataset +
            ": snapshot inventory unavailable");
        out_.status = 1;
        continue;
      }
      Lines matches;
      for (const std::string& line : world_.listing)
        if (is_job_snapshot(line, job)) matches.push_back(line);
      for (std::size_t k = matches.size(); k > static_cast<std::size_t>(job.retention); --k) {
        if (destroy(matches[k - 1], recursive)) {
          log("Pruned=" + matches[k - 1] + words.suffix);
        } else {
          log("Error: Failed to prune snapshot " + matches[k - 1]);
          out_.status = 1;
        }
      }
    }
  }

  const ReferenceWorld& world_;
  std::string stamp_;
  ReferenceOutcome out_;
  int snapshot_calls_ = 0;
};

}  // namespace

std::string ReferenceEntry::line() const {
  return dataset + "," + std::to_string(interval) + "," +
         (bad_retention ? std::string("0") : std::to_string(retention)) + "," + prefix + "," +
         (recursive ? "yes" : "no") + "," + std::to_string(min_bytes);
}

ReferenceOutcome reference_run(const ReferenceWorld& world) { return Run(world).go(); }

}  // namespace corvatel::testing
