#include "check/log_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scoped_env.h"

namespace corvatel {
namespace {

using Lines = std::vector<std::string>;

const std::vector<CheckEntry> kEntries = {
    {"tank/a", "d", false, 1440, 7, 0},
    {"tank/a", "h", false, 60, 3, 0},
    {"tank/r", "h", true, 60, 3, 0},
    {"tank/with blank", "h", false, 60, 3, 0},
};
enum Entry : std::size_t { kDaily, kHourly, kRecursive, kBlank };

const std::string kStamp = "2025-03-01 14:00:00 ";
const std::string kNew = "_2025-03-01_14:00:00p0000";

// What one sorted log said, entry by entry: failing, prune failures, created, pruned.
struct Said {
  std::vector<std::vector<std::size_t>> counts;
  std::size_t unattributed = 0;
  std::size_t error_lines = 0;
};

Said sort_lines(const Lines& messages) {
  EntryIndex index(kEntries);
  LogLines lines;
  LogLineSorter sorter(index, lines);
  for (const std::string& message : messages) sorter.take(kStamp + message);
  sorter.finish();
  Said said;
  for (const EntryLogLines& e : lines.entries)
    said.counts.push_back({e.failing, e.prune_failures, e.created, e.pruned});
  said.unattributed = lines.unattributed;
  said.error_lines = lines.error_lines;
  return said;
}

std::vector<std::vector<std::size_t>> only(std::initializer_list<std::size_t> entries,
                                           std::vector<std::size_t> counts) {
  std::vector<std::vector<std::size_t>> all(kEntries.size(), {0, 0, 0, 0});
  for (std::size_t e : entries) all[e] = counts;
  return all;
}

TEST(LogLineSorter, EachMessageFormFindsItsEntries) {
  const std::vector<std::size_t> failing = {1, 0, 0, 0};
  struct Case {
    std::string message;
    std::vector<std::vector<std::size_t>> counts;
    std::size_t unattributed;
    std::size_t error_lines;
  };
  const Case cases[] = {
      {"Error: Configured dataset not found or has invalid written metric: tank/a",
       only({kDaily, kHourly}, failing), 0, 1},
      {"Error: Configured recursive dataset not found or has invalid written metric: tank/r",
       only({kRecursive}, failing), 0, 1},
      {"Error: Configured dataset not found or has invalid written metric: tank/r", only({}, {}),
       1, 1},
      {"Error: Invalid written metric for tank/r/x, excluding from recursive total for tank/r",
       only({kRecursive}, failing), 0, 1},
      {"Error: Recursive written metric total overflows for tank/r", only({kRecursive}, failing),
       0, 1},
      {"Error: Snapshot not created: tank/a@h" + kNew +
           "; pruning skipped for dataset 'tank/a' with prefix 'h'",
       only({kHourly}, failing), 0, 1},
      {"Error: Recursive Snapshot not created: tank/r@h" + kNew +
           "; pruning skipped for dataset 'tank/r' with prefix 'h'",
       only({kRecursive}, failing), 0, 1},
      {"Error: Unable to verify snapshot exists: tank/a@d" + kNew, only({kDaily}, failing), 0, 1},
      {"Error: Unable to verify recursive snapshot exists: tank/r@h" + kNew,
       only({kRecursive}, failing), 0, 1},
      {"Error: Unable to prune snapshots for tank/with blank: snapshot inventory unavailable",
       only({kBlank}, failing), 0, 1},
      {"Error: Unable to prune recursive snapshots for tank/r: snapshot inventory unavailable",
       only({kRecursive}, failing), 0, 1},
      {"Error: Failed to format snapshot name for tank/a", only({kDaily, kHourly}, failing), 0, 1},
      {"Error: Failed to format recursive snapshot name for tank/r", only({kRecursive}, failing),
       0, 1},
      {"Error: Failed to allocate prune match list for tank/r", only({kRecursive}, failing), 0, 1},
      {"Error: Failed to track config entry for tank/a", only({kDaily, kHourly}, failing), 0, 1},
      {"Error: Failed to allocate batch entry for tank/r", only({kRecursive}, failing), 0, 1},
      {"Error: Failed to prune snapshot tank/a@h_2025-03-01_12:00:00p0000",
       only({kHourly}, {0, 1, 0, 0}), 0, 1},
      {"Error: Failed to prune snapshot tank/a@x_2025-03-01_12:00:00p0000", only({}, {}), 1, 1},
      {"Error: Config error for tank/a: invalid interval 'x'", only({}, {}), 0, 1},
      {"Error: Config error: adjacent comma delimiters", only({}, {}), 0, 1},
      {"Error: Failed to read ZFS written metrics", only({}, {}), 1, 1},
      {"Error: Snapshot not created: tank/gone@h" + kNew +
           "; pruning skipped for dataset 'tank/gone' with prefix 'h'",
       only({}, {}), 1, 1},
      {"Created=tank/a@h" + kNew + " Written=2.00M", only({kHourly}, {0, 0, 1, 0}), 0, 0},
      {"Created=tank/r@h" + kNew + " Written=1.00K Recursive", only({kRecursive}, {0, 0, 1, 0}),
       0, 0},
      {"Created=tank/r@h" + kNew + " Written=1.00K", only({}, {}), 0, 0},
      {"Pruned=tank/with blank@h" + kNew, only({kBlank}, {0, 0, 0, 1}), 0, 0},
      {"Skipping tank/a: covered by a recursive ancestor with prefix 'h'", only({}, {}), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Said said = sort_lines({c.message});
    EXPECT_EQ(said.counts, c.counts);
    EXPECT_EQ(said.unattributed, c.unattributed);
    EXPECT_EQ(said.error_lines, c.error_lines);
  }
}

TEST(LogLineSorter, ZfsLinesGoWithTheLineThatJudgesThem) {
  const std::string held = "Error: zfs: cannot destroy snapshot tank/a@h_x: it's being held.";
  struct Case {
    const char* name;
    Lines messages;
    std::vector<std::vector<std::size_t>> counts;
    std::size_t unattributed;
  };
  const Case cases[] = {
      {"a failed destroy", {held, "Error: Failed to prune snapshot tank/a@h" + kNew},
       only({kHourly}, {0, 2, 0, 0}), 0},
      {"a missing dataset",
       {"Error: zfs: cannot open 'tank/r': dataset does not exist",
        "Error: Configured recursive dataset not found or has invalid written metric: tank/r"},
       only({kRecursive}, {2, 0, 0, 0}), 0},
      {"a failed batch: the quoted name tells",
       {"Error: zfs: cannot create snapshot 'tank/a@d" + kNew + "': out of space",
        "Error: zfs: no snapshots were created",
        "Error: standard zfs snapshot batch execution failed"},
       only({kDaily}, {1, 0, 0, 0}), 2},
      {"followed by no error", {"Error: zfs: cannot open 'tank/a': odd", "Created=tank/a@h" + kNew},
       {{1, 0, 0, 0}, {1, 0, 1, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}, 0},
      {"at the end", {"Error: zfs: something"}, only({}, {}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Said said = sort_lines(c.messages);
    EXPECT_EQ(said.counts, c.counts);
    EXPECT_EQ(said.unattributed, c.unattributed);
  }
}

TEST(LogLineSorter, WaitingZfsLinesCanBePutBack) {
  testing::ScopedEnv tz("TZ", "UTC0");
  EntryIndex index(kEntries);
  LogLines lines;
  LogLineSorter sorter(index, lines);
  sorter.take(kStamp + "Error: zfs: first");
  sorter.take("unknown-time [clock read failed, using fallback timestamp] Error: zfs: second");
  EXPECT_EQ(sorter.waiting_moments(),
            (std::vector<std::optional<std::int64_t>>{1740837600, std::nullopt}));
  sorter.put_back_waiting();
  sorter.finish();
  EXPECT_EQ(lines.error_lines, 0u);
  EXPECT_EQ(lines.unattributed, 0u);
}

TEST(LogLineSorter, KeepsTheFirstLinesToShow) {
  EntryIndex index(kEntries);
  LogLines lines;
  LogLineSorter sorter(index, lines);
  for (int i = 0; i < 12; ++i)
    sorter.take(kStamp + "Error: Failed to format snapshot name for tank/with blank");
  sorter.finish();
  EXPECT_EQ(lines.entries[kBlank].failing, 12u);
  EXPECT_EQ(lines.entries[kBlank].failing_shown,
            Lines(kShownLines, kStamp + "Error: Failed to format snapshot name for tank/with blank"));
}

TEST(LogMessage, CutsTheStamp) {
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {"2025-03-01 14:00:00 Error: x", "Error: x"},
      {"unknown-time [localtime_r failed, using fallback timestamp] Error: x", "Error: x"},
      {"unknown-time Error: x", "Error: x"},
      {"garbage", "garbage"},
  };
  for (const Case& c : cases) EXPECT_EQ(log_message(c.line), c.message) << c.line;
}

}  // namespace
}  // namespace corvatel
