// Writes a large host into a folder: the configuration, the output of "zfs get" for its
// datasets, and the newest-first snapshot listing that the run would read, all for one run
// at 2025-03-01 12:00:00 UTC. The replay stand-in (zfs_replay.cc) serves the two outputs.
//
// Per pool: the pool, `groups` groups pN/gNNNN and nine leaves pN/gNNNN/dD per group.
// Entries: every pool recursive ("pool", 720 minutes), every group recursive ("rec", 720),
// every leaf standard ("hourly", 60); leaves d7 stay under their threshold, leaves d8 are
// not due; some extra entries are covered by a recursive one and skipped; 1 % of the
// leaves and 2 % of the groups sit at their retention, so each prunes one snapshot.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kPools = 10;
constexpr int kLeavesPerGroup = 9;
constexpr std::time_t kRunTime = 1740830400;  // 2025-03-01 12:00:00 UTC
constexpr int kPoolSnapshots = 5;               // "pool" snapshots on every dataset
constexpr int kRecSnapshots = 10;               // "rec" snapshots on groups and leaves
constexpr int kManualSnapshots = 6;             // never matched: five manual, one near miss
constexpr std::int64_t kHourlyRetention = 400;  // above every generated count

struct Counts {
  long groups_per_pool = 0;
  long hourly_per_leaf = 0;
  long config_lines = 0;
  long datasets = 0;
  long snapshots = 0;
  long listing_bytes = 0;
  long expected_destroys = 0;
};

std::string group_name(int pool, long group) {
  char text[32];
  std::snprintf(text, sizeof text, "p%d/g%04ld", pool, group);
  return text;
}

std::string leaf_name(int pool, long group, int leaf) {
  return group_name(pool, group) + "/d" + std::to_string(leaf);
}

std::string pool_name(int pool) {
  char text[16];
  std::snprintf(text, sizeof text, "p%d", pool);
  return text;
}

std::string stamp(std::time_t t, char zone = 'p') {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d_%H:%M:%S", &tm);
  return std::string(text) + zone + "0000";
}

bool leaf_prunes(long group, int leaf) { return group % 10 == 0 && leaf == 0; }
bool group_prunes(long group) { return group % 50 == 0; }

// Opens `folder`/`name` for writing, or ends the program.
std::FILE* open_out(const std::string& folder, const char* name) {
  std::string path = folder + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::fprintf(stderr, "corvatel-bench-gen: %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
  return file;
}

void close_out(std::FILE* file) {
  if (std::fclose(file) != 0) {
    std::fprintf(stderr, "corvatel-bench-gen: write failed: %s\n", std::strerror(errno));
    std::exit(1);
  }
}

void write_config(const std::string& folder, Counts& counts) {
  std::FILE* out = open_out(folder, "corvatel.conf");
  auto line = [&](const std::string& text) {
    std::fprintf(out, "%s\n", text.c_str());
    ++counts.config_lines;
  };
  line("# Generated benchmark host: " + std::to_string(counts.datasets) + " datasets");
  line("# dataset,interval_minutes,retention,prefix,recursive,min_bytes");
  line("");
  for (int p = 0; p < kPools; ++p) {
    line(pool_name(p) + ",720,14,pool,yes,0");
    for (long g = 0; g < counts.groups_per_pool; ++g) {
      std::string group = group_name(p, g);
      int rec_retention = group_prunes(g) ? kRecSnapshots : 30;
      line(group + ",720," + std::to_string(rec_retention) + ",rec,yes,0");
      for (int d = 0; d < kLeavesPerGroup; ++d) {
        std::string leaf = leaf_name(p, g, d);
        std::int64_t retention = leaf_prunes(g, d) ? counts.hourly_per_leaf : kHourlyRetention;
        const char* interval = d == 8 ? "1440" : "60";
        const char* min_bytes = d == 7 ? "1000000000000000" : "1048576";
        line(leaf + "," + interval + "," + std::to_string(retention) + ",hourly,no," + min_bytes);
      }
      if (g % 10 == 3) line(leaf_name(p, g, 1) + ",720,10,rec,yes,0");  // covered recursive
      if (g % 10 == 5) line(leaf_name(p, g, 2) + ",60,10,rec,no,0");    // covered standard
    }
  }
  close_out(out);
}

void write_written(const std::string& folder, const Counts& counts) {
  std::FILE* out = open_out(folder, "get.out");
  std::uint64_t state = 88172645463325252ULL;
  auto value = [&]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return 2000000 + state % 1000000000;
  };
  for (int p = 0; p < kPools; ++p) {
    std::fprintf(out, "%s\t%llu\n", pool_name(p).c_str(),
                 static_cast<unsigned long long>(value()));
    for (long g = 0; g < counts.groups_per_pool; ++g) {
      std::fprintf(out, "%s\t%llu\n", group_name(p, g).c_str(),
                   static_cast<unsigned long long>(value()));
      for (int d = 0; d < kLeavesPerGroup; ++d)
        std::fprintf(out, "%s\t%llu\n", leaf_name(p, g, d).c_str(),
                     static_cast<unsigned long long>(value()));
    }
  }
  close_out(out);
}

// One moment of the listing: which snapshot name every selected dataset got then.
struct Moment {
  std::time_t time;
  int order;  // among equal times: pool, rec, hourly, manual
  std::string part;
  bool pools, groups, leaves, only_due;
};

std::vector<Moment> moments(const Counts& counts) {
  std::vector<Moment> all;
  // The run's own snapshots, newest of all: the due jobs that pass and are not covered.
  all.push_back({kRunTime, 0, "pool_" + stamp(kRunTime), true, true, true, false});
  all.push_back({kRunTime, 1, "rec_" + stamp(kRunTime), false, true, true, false});
  all.push_back({kRunTime, 2, "hourly_" + stamp(kRunTime), false, false, true, true});
  for (int k = 1; k <= kPoolSnapshots; ++k) {
    std::time_t t = kRunTime - k * 12 * 3600;
    all.push_back({t, 0, "pool_" + stamp(t), true, true, true, false});
  }
  for (int k = 1; k <= kRecSnapshots; ++k) {
    std::time_t t = kRunTime - k * 12 * 3600;
    all.push_back({t, 1, "rec_" + stamp(t), false, true, true, false});
  }
  for (long k = 1; k <= counts.hourly_per_leaf; ++k) {
    std::time_t t = kRunTime - k * 3600;
    all.push_back({t, 2, "hourly_" + stamp(t), false, false, true, false});
  }
  for (int k = 1; k < kManualSnapshots; ++k) {
    std::time_t t = kRunTime - k * 17 * 3600 - 1800;
    all.push_back({t, 3, "manual-" + std::to_string(k), false, false, true, false});
  }
  std::time_t near_miss = kRunTime - 29 * 3600;
  all.push_back({near_miss, 3, "hourly_" + stamp(near_miss, '+'), false, false, true, false});
  std::stable_sort(all.begin(), all.end(), [](const Moment& a, const Moment& b) {
    return a.time != b.time ? a.time > b.time : a.order < b.order;
  });
  return all;
}

void write_listing(const std::string& folder, Counts& counts) {
  std::FILE* out = open_out(folder, "list.out");
  auto put = [&](const std::string& dataset, const std::string& part) {
    int written = std::fprintf(out, "%s@%s\n", dataset.c_str(), part.c_str());
    counts.listing_bytes += written;
    ++counts.snapshots;
  };
  for (const Moment& m : moments(counts)) {
    for (int p = 0; p < kPools; ++p) {
      if (m.pools) put(pool_name(p), m.part);
      for (long g = 0; g < counts.groups_per_pool; ++g) {
        if (m.groups) put(group_name(p, g), m.part);
        if (!m.leaves) continue;
        for (int d = 0; d < kLeavesPerGroup; ++d) {
          if (m.only_due && d >= 7) continue;  // d7 under its threshold, d8 not due
          put(leaf_name(p, g, d), m.part);
        }
      }
    }
  }
  close_out(out);
}

void write_summary(const std::string& folder, const Counts& counts) {
  std::FILE* out = open_out(folder, "scenario.txt");
  std::fprintf(out,
               "datasets %ld\nconfig_lines %ld\nsnapshots %ld\nlisting_bytes %ld\n"
               "expected_destroys %ld\n",
               counts.datasets, counts.config_lines, counts.snapshots, counts.listing_bytes,
               counts.expected_destroys);
  close_out(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: corvatel-bench-gen SCALE FOLDER  (SCALE 1: 10,010 datasets)\n");
    return 2;
  }
  double scale = std::strtod(argv[1], nullptr);
  if (!(scale > 0) || scale > 1000) {
    std::fprintf(stderr, "corvatel-bench-gen: bad scale %s\n", argv[1]);
    return 2;
  }
  std::string folder = argv[2];
  Counts counts;
  counts.groups_per_pool = std::max(1L, std::lround(100 * scale));
  long groups = kPools * counts.groups_per_pool;
  long leaves = groups * kLeavesPerGroup;
  counts.datasets = kPools + groups + leaves;
  // Fill about 1,000,000 snapshots per unit of scale with hourly ones.
  long target = std::lround(1000000 * scale);
  long others = kPools * kPoolSnapshots + groups * (kPoolSnapshots + kRecSnapshots) +
                leaves * (kPoolSnapshots + kRecSnapshots + kManualSnapshots);
  counts.hourly_per_leaf = std::max(1L, (target - others) / leaves);
  counts.expected_destroys = kPools * ((counts.groups_per_pool + 9) / 10) +
                             kPools * ((counts.groups_per_pool + 49) / 50);
  write_config(folder, counts);
  write_written(folder, counts);
  write_listing(folder, counts);
  write_summary(folder, counts);
  return 0;
}
