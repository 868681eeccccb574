#include "check/survey.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "check/messages.h"
#include "sim_state.h"

namespace corvatel {
namespace {

using Lines = std::vector<std::string>;
using testing::SimState;

constexpr std::int64_t k1400 = 1740837600;

class Survey : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"tank", "tank/a", "tank/a/b", "tank/r", "tank/r/x", "tank/r/x/y",
                             "tank/ab"})
      zfs.add_dataset(name, 100);
    zfs.export_env();
  }
  int survey(std::vector<EntrySurvey>& surveys, std::string& problem, double seconds = 20) {
    TimeLimit limit{std::chrono::steady_clock::now() + std::chrono::milliseconds(
                                                           static_cast<int>(seconds * 1000))};
    return survey_entries(testing::ZFS_SIM, entries, limit, surveys, problem);
  }
  SimState zfs;
  LibraryMessages messages;
  std::vector<CheckEntry> entries = {
      {"tank/a", "h", false, 60, 2, 0},
      {"tank/a", "d", false, 1440, 7, 0},
      {"tank/gone", "h", false, 60, 3, 0},
      {"tank/r", "h", true, 60, 5, 0},
      {"tank/r/x", "h", false, 60, 2, 0},  // covered by tank/r's "h"
  };
};

std::string at(const std::string& dataset, const std::string& part, int hour) {
  return dataset + "@" + part + "_2025-03-01_" + (hour < 10 ? "0" : "") + std::to_string(hour) +
         ":00:00p0000";
}

TEST_F(Survey, AsksWhatCorvatelAsksOnceEach) {
  std::vector<EntrySurvey> surveys;
  std::string problem;
  ASSERT_EQ(survey(surveys, problem), 0) << problem;
  std::vector<std::vector<std::string>> calls = zfs.calls();
  for (auto& call : calls) call.erase(call.begin());
  EXPECT_EQ(calls, (std::vector<Lines>{
                       {"get", "-H", "-p", "-r", "-t", "filesystem,volume", "-o", "name,value",
                        "written", "tank/a", "tank/gone", "tank/r"},
                       // A dataset that is gone would fail the listing, as in corvatel's run.
                       {"list", "-H", "-r", "-t", "snapshot", "-o", "name", "-S", "createtxg",
                        "tank/a", "tank/r"}}));
  EXPECT_EQ(messages.take(),
            (Lines{"Error: zfs: cannot open 'tank/gone': dataset does not exist"}));
  EXPECT_EQ(surveys[2].pending, -1);
}

TEST_F(Survey, WrittenTotalsAsCorvatelCountsThem) {
  std::vector<EntrySurvey> surveys;
  std::string problem;
  ASSERT_EQ(survey(surveys, problem), 0);
  EXPECT_EQ(surveys[0].pending, 100);  // tank/a alone
  EXPECT_EQ(surveys[3].pending, 300);  // tank/r, tank/r/x, tank/r/x/y
  EXPECT_EQ(surveys[4].pending, 100);
}

TEST_F(Survey, OwnSnapshotsAndTheNewestOfAnyName) {
  int hour = 1;
  for (const std::string& name :
       {at("tank/a", "h", 1), at("tank/a", "h", 2), at("tank/a", "h", 3), at("tank/a", "d", 4),
        std::string("tank/a/b@manual"), std::string("tank/ab@other"), at("tank/r", "h", 7),
        at("tank/r/x", "h", 7), at("tank/r/x", "h", 8), std::string("tank/r/x/y@manual")}) {
    zfs.add_snapshot(name, k1400 - 86400 + 3600 * hour++);
  }
  std::vector<EntrySurvey> surveys;
  std::string problem;
  ASSERT_EQ(survey(surveys, problem), 0);
  struct Expected {
    std::string newest_own;
    std::uint64_t own_count;
    std::int64_t limit;
    Lines beyond;
    std::string newest_any;
  };
  const Expected expected[] = {
      {at("tank/a", "h", 3), 3, 2, {at("tank/a", "h", 1)}, at("tank/a", "d", 4)},
      {at("tank/a", "d", 4), 1, 7, {}, at("tank/a", "d", 4)},
      {"", 0, 3, {}, ""},
      {at("tank/r", "h", 7), 1, 5, {}, "tank/r/x/y@manual"},
      // The recursive "h" on tank/r keeps five here too.
      {at("tank/r/x", "h", 8), 2, 5, {}, at("tank/r/x", "h", 8)},
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(entries[i].label());
    EXPECT_EQ(surveys[i].newest_own, expected[i].newest_own);
    EXPECT_EQ(surveys[i].own_count, expected[i].own_count);
    EXPECT_EQ(surveys[i].retention_limit, expected[i].limit);
    EXPECT_EQ(surveys[i].beyond, expected[i].beyond);
    EXPECT_EQ(surveys[i].newest_any, expected[i].newest_any);
  }
}

TEST_F(Survey, AFailingZfsIsAProblem) {
  struct Case {
    const char* kind;
    int exit_status;
    double stall;
    const char* problem;
  };
  const Case cases[] = {
      {"get", 127, 0, "zfs get failed"},
      {"list", 1, 0, "zfs list failed"},
      {"get", 0, 30, "zfs get did not finish within the time limit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    zfs.clear_faults();
    testing::SimFault fault;
    fault.kind = c.kind;
    fault.exit_status = c.exit_status;
    fault.stall_seconds = c.stall;
    zfs.add_fault(fault);
    std::vector<EntrySurvey> surveys;
    std::string problem;
    EXPECT_EQ(survey(surveys, problem, 1), -1);
    EXPECT_EQ(problem, c.problem);
  }
}

TEST_F(Survey, NoEntriesNoZfs) {
  entries.clear();
  std::vector<EntrySurvey> surveys;
  std::string problem;
  EXPECT_EQ(survey(surveys, problem), 0);
  EXPECT_TRUE(zfs.calls().empty());
}

}  // namespace
}  // namespace corvatel
