#include "check/times.h"

#include <gtest/gtest.h>

#include <optional>

#include "scoped_env.h"

namespace corvatel {
namespace {

constexpr std::int64_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC

TEST(TimestampMoment, ReadsCorvatelsTimestamps) {
  testing::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  struct Case {
    const char* timestamp;
    std::optional<std::int64_t> moment;
  };
  const Case cases[] = {
      {"2025-03-01_14:00:00p0000", k1400},
      {"2025-03-01_15:00:00p0100", k1400},
      {"2025-03-01_09:30:00-0430", k1400},
      {"2025-03-01_15:00:00", k1400},          // no offset: local time, here CET
      {"2025-07-01_16:00:00", 1751378400},     // CEST
      {"2024-02-29_00:00:00p0000", 1709164800},
      {"1969-12-31_23:59:59p0000", -1},
      {"2025-02-29_00:00:00p0000", std::nullopt},  // no such day
      {"2025-13-01_00:00:00p0000", std::nullopt},
      {"2025-03-01_24:00:00p0000", std::nullopt},
      {"2025-03-01_14:60:00p0000", std::nullopt},
      {"2025-03-01_14:00:00+0000", std::nullopt},
      {"2025-03-01_14:00:00p0060", std::nullopt},
      {"2025-03-01_14:00:00p000", std::nullopt},
      {"2025-03-01 14:00:00", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(timestamp_moment(c.timestamp), c.moment) << c.timestamp;
}

TEST(LogStampMoment, ReadsLocalStamps) {
  testing::ScopedEnv tz("TZ", "UTC0");
  EXPECT_EQ(log_stamp_moment("2025-03-01 14:00:00"), k1400);
  EXPECT_EQ(log_stamp_moment("2025-03-01_14:00:00"), std::nullopt);
  EXPECT_EQ(log_stamp_moment("unknown-time"), std::nullopt);
  EXPECT_EQ(log_stamp_moment("2025-03-01 14:00:0x"), std::nullopt);
}

TEST(LocalMinuteText, IsLocalToTheMinute) {
  testing::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(local_minute_text(k1400 + 59), "2025-03-01 15:00");
}

TEST(DurationText, KeepsTheTwoLargestUnits) {
  struct Case {
    std::int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {-5, "under a minute"}, {0, "under a minute"}, {59, "under a minute"}, {60, "1 min"},
      {3599, "59 min"},       {3600, "1 h 0 min"},   {4200, "1 h 10 min"},   {86399, "23 h 59 min"},
      {86400, "1 d 0 h"},     {604800, "7 d 0 h"},   {90061, "1 d 1 h"},
  };
  for (const Case& c : cases) EXPECT_EQ(duration_text(c.seconds), c.text) << c.seconds;
}

}  // namespace
}  // namespace corvatel
