// A standard job and a same-prefix recursive job on an ancestor share the child's snapshots:
// the parent overrides the child, so the parent's retention governs what its -r destroys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "in_process_run.h"

namespace corvatel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::time_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC

std::string p(const std::string& dataset, const std::string& time) {
  return dataset + "@p_2025-03-01_" + time + "p0000";
}

class SharedSnapshots : public ::testing::Test {
 protected:
  void SetUp() override {
    inst.zfs.add_dataset("tank", 4096);
    inst.zfs.add_dataset("tank/a", 4096);
    // Left by an earlier configuration that kept four.
    for (int hour = 10; hour <= 13; ++hour) {
      std::string time = std::to_string(hour) + ":00:00";
      inst.zfs.add_snapshot(p("tank", time), k1400 - (14 - hour) * 3600);
      inst.zfs.add_snapshot(p("tank/a", time), k1400 - (14 - hour) * 3600);
    }
  }

  InProcessRun inst;
};

TEST_F(SharedSnapshots, ParentsRetentionGovernsTheChildsSnapshotsWhenBothAreDue) {
  inst.write_config("tank/a,30,5,p,no,0\ntank,60,1,p,yes,0\n");
  InProcessRun::Outcome r = inst.run_at(k1400);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, (Lines{"Skipping tank/a: covered by a recursive ancestor with prefix 'p'",
                          "Created=" + p("tank", "14:00:00") + " Written=8.00K Recursive",
                          "Pruned=" + p("tank", "10:00:00") + " Recursive",
                          "Pruned=" + p("tank", "11:00:00") + " Recursive",
                          "Pruned=" + p("tank", "12:00:00") + " Recursive",
                          "Pruned=" + p("tank", "13:00:00") + " Recursive"}));
  // The child had four and keeps one: min(its retention 5, the parent's 1, the 4 it had).
  EXPECT_EQ(inst.zfs.snapshots(), (Lines{p("tank/a", "14:00:00"), p("tank", "14:00:00")}));

  // Alone at 14:30, the child is its own job again and keeps up to five.
  inst.zfs.set_written("tank/a", 100);
  r = inst.run_at(k1400 + 1800);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, Lines{"Created=" + p("tank/a", "14:30:00") + " Written=100"});
  EXPECT_EQ(inst.zfs.snapshots(),
            (Lines{p("tank/a", "14:00:00"), p("tank/a", "14:30:00"), p("tank", "14:00:00")}));
}

TEST_F(SharedSnapshots, OutsideSnapshotOfTheParentsFormCountsTowardItsRetention) {
  // Made by hand in the program's exact form on the parent only.
  inst.zfs.add_snapshot(p("tank", "13:59:00"), k1400 - 60);
  inst.write_config("tank/a,30,5,p,no,0\ntank,60,2,p,yes,0\n");
  InProcessRun::Outcome r = inst.run_at(k1400);
  EXPECT_EQ(r.status, 0);
  // The parent keeps its two newest, the hand-made one among them; the child keeps only one.
  EXPECT_EQ(inst.zfs.snapshots(),
            (Lines{p("tank/a", "14:00:00"), p("tank", "13:59:00"), p("tank", "14:00:00")}));
}

}  // namespace
}  // namespace corvatel::testing
