#include "check/due.h"

#include <gtest/gtest.h>

#include "scoped_env.h"

namespace corvatel {
namespace {

constexpr std::int64_t kMarch1 = 1740787200;    // 2025-03-01 00:00:00 UTC
constexpr std::int64_t kMarch30 = 1743292800;   // 2025-03-30 00:00:00 UTC
constexpr std::int64_t kOctober26 = 1761436800; // 2025-10-26 00:00:00 UTC
constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 3600;

TEST(DueCalendar, FirstDueMinuteAfterCountsFromLocalMidnight) {
  testing::ScopedEnv tz("TZ", "UTC0");
  struct Case {
    std::int64_t interval;
    std::int64_t after;
    std::int64_t due;
  };
  const Case cases[] = {
      {1, kMarch1, kMarch1 + kMinute},               // strictly after
      {1, kMarch1 + 1, kMarch1 + kMinute},           // from within a minute
      {60, kMarch1 + 14 * kHour - 1, kMarch1 + 14 * kHour},
      {60, kMarch1 + 14 * kHour, kMarch1 + 15 * kHour},
      {50, kMarch1 + 23 * kHour + 20 * kMinute, kMarch1 + 24 * kHour},  // 23:20, then 00:00
      {1440, kMarch1 + 1, kMarch1 + 24 * kHour},
      {5000, kMarch1 + 1, kMarch1 + 24 * kHour},     // above 1439: only at midnight
      {7, kMarch1 - 1, kMarch1},
  };
  DueCalendar calendar;
  for (const Case& c : cases) {
    EXPECT_EQ(calendar.first_due_after(c.interval, c.after), c.due) << c.interval << " " << c.after;
    // Asked again, from the cache.
    EXPECT_EQ(calendar.first_due_after(c.interval, c.after), c.due);
  }
}

TEST(DueCalendar, LastDueMinuteAtOrBefore) {
  testing::ScopedEnv tz("TZ", "UTC0");
  DueCalendar calendar;
  EXPECT_EQ(calendar.last_due_at_or_before(60, kMarch1 + 14 * kHour), kMarch1 + 14 * kHour);
  EXPECT_EQ(calendar.last_due_at_or_before(60, kMarch1 + 14 * kHour + 59), kMarch1 + 14 * kHour);
  EXPECT_EQ(calendar.last_due_at_or_before(60, kMarch1 + 14 * kHour - 1), kMarch1 + 13 * kHour);
  EXPECT_EQ(calendar.last_due_at_or_before(1440, kMarch1 + 14 * kHour), kMarch1);
  EXPECT_EQ(calendar.last_due_at_or_before(50, kMarch1 + 10 * kMinute), kMarch1);
}

TEST(DueCalendar, DaylightSavingTimeDaysAsCronMeetsThem) {
  testing::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  DueCalendar calendar;
  // 01:59 CET is followed by 03:00 CEST: 02:00 never comes, 04:00 CEST (02:00 UTC) is next.
  EXPECT_EQ(calendar.first_due_after(120, kMarch30 + 30 * kMinute), kMarch30 + 2 * kHour);
  EXPECT_EQ(calendar.first_due_after(60, kMarch30 + 30 * kMinute), kMarch30 + kHour);  // 03:00
  // 02:00 comes twice: at 00:00 UTC (CEST) and at 01:00 UTC (CET).
  EXPECT_EQ(calendar.first_due_after(60, kOctober26 - 1), kOctober26);
  EXPECT_EQ(calendar.first_due_after(60, kOctober26), kOctober26 + kHour);
  EXPECT_EQ(calendar.first_due_after(120, kOctober26), kOctober26 + kHour);
  EXPECT_EQ(calendar.last_due_at_or_before(60, kOctober26 + kHour + 30 * kMinute),
            kOctober26 + kHour);
}

// A day without a local midnight: the search still finds the next one.
TEST(DueCalendar, ADayWithoutMidnight) {
  // Summer time that starts at midnight, as in some zones: 23:59 is followed by 01:00.
  testing::ScopedEnv tz("TZ", "XST3XDT,M3.5.0/0,M10.5.0/0");
  DueCalendar calendar;
  const std::int64_t before = kMarch30 + 3 * kHour - kMinute;  // 23:59 local, March 29
  std::int64_t next = *calendar.first_due_after(1440, before);
  EXPECT_EQ(next, kMarch30 + 3 * kHour + 23 * kHour);  // March 31, 00:00 XDT
}

}  // namespace
}  // namespace corvatel
