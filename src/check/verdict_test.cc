#include "check/verdict.h"

#include <gtest/gtest.h>

#include <optional>

#include "scoped_env.h"

namespace corvatel {
namespace {

constexpr std::int64_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC
constexpr std::int64_t kMinute = 60;

class Judging : public ::testing::Test {
 protected:
  testing::ScopedEnv tz_{"TZ", "UTC0"};
  CheckEntry entry{"tank/a", "h", false, 60, 3, 1000};
  DueCalendar calendar;
  Lateness lateness;

  EntrySurvey survey(std::int64_t pending, const std::string& newest_any = "") const {
    EntrySurvey s;
    s.pending = pending;
    s.retention_limit = 3;
    s.newest_any = newest_any;
    return s;
  }
  EntryRecord record(std::optional<std::int64_t> pending_since, const std::string& newest_any = "") const {
    return {"tank/a", "h", false, 60, 1000, pending_since, newest_any};
  }
  Verdict judge(const EntrySurvey* s, const EntryRecord* r, std::int64_t now,
                bool continuous = true, const EntryLogLines* log = nullptr) {
    return judge_entry(entry, s, r, log, Moment{now, continuous}, lateness, calendar);
  }
};

TEST_F(Judging, PendingEvidenceCarriesOverOnlyWhileNothingResetIt) {
  struct Case {
    const char* name;
    std::int64_t pending;
    std::optional<std::int64_t> before;  // the previous record's pending_since
    std::string newest_before;
    std::string newest_now;
    bool continuous;
    std::int64_t now;
    std::optional<std::int64_t> since;
    Status status;
  };
  const std::int64_t t1350 = k1400 - 10 * kMinute;
  const Case cases[] = {
      {"idle", 999, t1350, "", "", true, k1400 + 10 * kMinute, std::nullopt, Status::ok},
      {"threshold met first now", 1000, std::nullopt, "", "", true, k1400 + 10 * kMinute,
       k1400 + 10 * kMinute, Status::ok},
      {"carried: missed", 1000, t1350, "", "", true, k1400 + 5 * kMinute, t1350, Status::critical},
      {"carried: one second short of missed", 1000, t1350, "", "", true,
       k1400 + 5 * kMinute - 1, t1350, Status::warning},
      {"carried: late", 1000, t1350, "", "", true, k1400 + 2 * kMinute, t1350, Status::warning},
      {"carried: one second short of late", 1000, t1350, "", "", true, k1400 + 2 * kMinute - 1,
       t1350, Status::ok},
      {"a snapshot came", 1000, t1350, "tank/a@x", "tank/a@y", true, k1400 + 10 * kMinute,
       k1400 + 10 * kMinute, Status::ok},
      {"the newest snapshot went", 1000, t1350, "tank/a@x", "", true, k1400 + 10 * kMinute,
       k1400 + 10 * kMinute, Status::ok},
      {"same newest snapshot", 1000, t1350, "tank/a@x", "tank/a@x", true, k1400 + 10 * kMinute,
       t1350, Status::critical},
      {"clock not carried over", 1000, t1350, "", "", false, k1400 + 10 * kMinute,
       k1400 + 10 * kMinute, Status::ok},
      {"evidence from the clock's future", 1000, k1400 + 20 * kMinute, "", "", true,
       k1400 + 10 * kMinute, k1400 + 10 * kMinute, Status::ok},
      {"pending since exactly the due minute", 1000, k1400, "", "", true, k1400 + 30 * kMinute,
       k1400, Status::ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EntrySurvey s = survey(c.pending, c.newest_now);
    EntryRecord r = record(c.before, c.newest_before);
    Verdict v = judge(&s, &r, c.now, c.continuous);
    EXPECT_EQ(v.pending_since, c.since);
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.missed, c.status == Status::critical);
    EXPECT_EQ(v.late, c.status == Status::warning);
    EntryRecord next = next_record(entry, &s, &r, v, Moment{c.now, c.continuous});
    EXPECT_EQ(next.pending_since, c.since);
    EXPECT_EQ(next.newest_any, c.newest_now);
  }
}

TEST_F(Judging, ProblemsOfTheEntryAndTheirStates) {
  EntrySurvey fine = survey(0);
  EntrySurvey missing = survey(-1);
  EntrySurvey beyond = survey(0);
  beyond.own_count = 5;
  EntryLogLines failing;
  failing.failing = 2;
  EntryLogLines destroys;
  destroys.prune_failures = 1;
  EntryLogLines both = failing;
  both.prune_failures = 1;
  struct Case {
    const char* name;
    const EntrySurvey* survey;
    const EntryLogLines* log;
    Status status;
  };
  const Case cases[] = {
      {"fine", &fine, nullptr, Status::ok},
      {"zfs did not answer", nullptr, nullptr, Status::unknown},
      {"zfs did not answer, error lines", nullptr, &failing, Status::critical},
      {"no such dataset", &missing, nullptr, Status::critical},
      {"beyond retention", &beyond, nullptr, Status::warning},
      {"failing", &fine, &failing, Status::critical},
      {"destroys failing", &fine, &destroys, Status::warning},
      {"both", &beyond, &both, Status::critical},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Verdict v = judge(c.survey, nullptr, k1400, true, c.log);
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.checked, c.survey != nullptr);
  }
  EXPECT_EQ(judge(&beyond, nullptr, k1400).beyond, 2u);
}

TEST_F(Judging, NewestOwnSnapshotTimes) {
  struct Case {
    const char* name;
    std::string newest_own;
    std::optional<std::int64_t> at;
    bool ahead;
    bool at_last_due;
  };
  const Case cases[] = {
      {"at the last due minute", "tank/a@h_2025-03-01_14:00:00p0000", k1400, false, true},
      {"before it", "tank/a@h_2025-03-01_13:00:00p0000", k1400 - 60 * kMinute, false, false},
      {"dated ahead", "tank/a@h_2026-03-01_14:00:00p0000", 1772373600, true, false},
      {"not a real date", "tank/a@h_2025-02-30_14:00:00p0000", std::nullopt, false, false},
      {"none", "", std::nullopt, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EntrySurvey s = survey(0);
    s.newest_own = c.newest_own;
    Verdict v = judge(&s, nullptr, k1400 + 10 * kMinute);
    EXPECT_EQ(v.newest_own_at, c.at);
    EXPECT_EQ(v.newest_own_ahead, c.ahead);
    EXPECT_EQ(v.snapshotted_at_last_due, c.at_last_due);
    EXPECT_EQ(v.status, Status::ok);
  }
}

// A run prunes right after its snapshot: an excess counts once the run has had its time.
TEST_F(Judging, AnExcessCountsOnceTheNewestOwnSnapshotIsOlderThanARun) {
  struct Case {
    const char* name;
    std::string newest_own;
    std::int64_t now;
    std::uint64_t beyond;
  };
  const std::string at_1400 = "tank/a@h_2025-03-01_14:00:00p0000";
  const Case cases[] = {
      {"just made", at_1400, k1400 + 10, 0},
      {"one second short", at_1400, k1400 + 5 * kMinute - 1, 0},
      {"run's time passed", at_1400, k1400 + 5 * kMinute, 2},
      {"dated ahead", "tank/a@h_2026-03-01_14:00:00p0000", k1400, 2},
      {"no real date", "tank/a@h_2025-02-30_14:00:00p0000", k1400, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EntrySurvey s = survey(0);
    s.own_count = 5;
    s.newest_own = c.newest_own;
    Verdict v = judge(&s, nullptr, c.now);
    EXPECT_EQ(v.beyond, c.beyond);
    EXPECT_EQ(v.status, c.beyond > 0 ? Status::warning : Status::ok);
  }
}

TEST_F(Judging, WithoutAnAnswerFromZfsTheRecordIsKept) {
  EntryRecord r = record(k1400, "tank/a@x");
  Verdict v = judge(nullptr, &r, k1400 + kMinute);
  EXPECT_EQ(next_record(entry, nullptr, &r, v, Moment{k1400 + kMinute, true}).pending_since, k1400);
  EXPECT_EQ(next_record(entry, nullptr, &r, v, Moment{k1400 + kMinute, false}).pending_since,
            std::nullopt);
}

TEST_F(Judging, RecordsOfOtherSettingsDoNotMatch) {
  EXPECT_TRUE(record_matches(record(std::nullopt), entry));
  for (auto change : {+[](EntryRecord& r) { r.interval = 30; },
                      +[](EntryRecord& r) { r.min_bytes = 1; },
                      +[](EntryRecord& r) { r.recursive = true; },
                      +[](EntryRecord& r) { r.prefix = "d"; }}) {
    EntryRecord r = record(std::nullopt);
    change(r);
    EXPECT_FALSE(record_matches(r, entry));
  }
}

TEST(Worse, CriticalThenUnknownThenWarningThenOk) {
  const Status order[] = {Status::ok, Status::warning, Status::unknown, Status::critical};
  for (std::size_t a = 0; a < 4; ++a) {
    for (std::size_t b = 0; b < 4; ++b) EXPECT_EQ(worse(order[a], order[b]), order[a > b ? a : b]);
  }
  EXPECT_STREQ(status_name(Status::unknown), "UNKNOWN");
}

}  // namespace
}  // namespace corvatel
