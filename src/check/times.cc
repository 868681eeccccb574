#include "check/times.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace corvatel {
namespace {

constexpr std::size_t kShortTimestamp = 19;  // "YYYY-MM-DD_HH:MM:SS"
constexpr std::size_t kZonedTimestamp = 24;  // and "p0100"

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

struct Fields {
  int year, month, day, hour, minute, second;
};

// "YYYY-MM-DD?HH:MM:SS" with any one separator between date and time, checked as a calendar
// date and a time of day.
bool read_fields(std::string_view text, Fields& f) {
  if (text.size() < kShortTimestamp || text[4] != '-' || text[7] != '-' || text[13] != ':' ||
      text[16] != ':')
    return false;
  if (!digits(text, 0, 4, f.year) || !digits(text, 5, 2, f.month) || !digits(text, 8, 2, f.day) ||
      !digits(text, 11, 2, f.hour) || !digits(text, 14, 2, f.minute) ||
      !digits(text, 17, 2, f.second))
    return false;
  std::chrono::year_month_day date{std::chrono::year{f.year},
                                   std::chrono::month{static_cast<unsigned>(f.month)},
                                   std::chrono::day{static_cast<unsigned>(f.day)}};
  return date.ok() && f.hour < 24 && f.minute < 60 && f.second < 61;
}

std::int64_t days_since_epoch(const Fields& f) {
  std::chrono::sys_days days{std::chrono::year{f.year} /
                             std::chrono::month{static_cast<unsigned>(f.month)} /
                             std::chrono::day{static_cast<unsigned>(f.day)}};
  return days.time_since_epoch().count();
}

std::int64_t seconds_of_day(const Fields& f) {
  return static_cast<std::int64_t>(f.hour) * 3600 + f.minute * 60 + f.second;
}

// The fields as local time; mktime settles whether daylight saving time applies.
std::optional<std::int64_t> local_moment(const Fields& f) {
  std::tm local{};
  local.tm_year = f.year - 1900;
  local.tm_mon = f.month - 1;
  local.tm_mday = f.day;
  local.tm_hour = f.hour;
  local.tm_min = f.minute;
  local.tm_sec = f.second;
  local.tm_isdst = -1;
  local.tm_wday = -1;  // set by a successful mktime; -1 is also a valid result
  std::time_t moment = std::mktime(&local);
  if (local.tm_wday < 0) return std::nullopt;
  return static_cast<std::int64_t>(moment);
}

}  // namespace

std::optional<std::int64_t> timestamp_moment(std::string_view timestamp) {
  Fields f{};
  if (timestamp.size() != kShortTimestamp && timestamp.size() != kZonedTimestamp) return std::nullopt;
  if (timestamp[10] != '_' || !read_fields(timestamp, f)) return std::nullopt;
  if (timestamp.size() == kShortTimestamp) return local_moment(f);
  char sign = timestamp[19];
  int hours = 0;
  int minutes = 0;
  if ((sign != 'p' && sign != '-') || !digits(timestamp, 20, 2, hours) ||
      !digits(timestamp, 22, 2, minutes) || minutes >= 60)
    return std::nullopt;
  std::int64_t offset = (hours * 60 + minutes) * 60;
  return days_since_epoch(f) * 86400 + seconds_of_day(f) - (sign == 'p' ? offset : -offset);
}

std::optional<std::int64_t> log_stamp_moment(std::string_view stamp) {
  Fields f{};
  if (stamp.size() != kShortTimestamp || stamp[10] != ' ' || !read_fields(stamp, f))
    return std::nullopt;
  return local_moment(f);
}

std::string local_minute_text(std::int64_t moment) {
  std::time_t t = static_cast<std::time_t>(moment);
  std::tm local{};
  char text[64];
  if (localtime_r(&t, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0)
    return std::string("@").append(std::to_string(moment));
  return text;
}

std::string duration_text(std::int64_t seconds) {
  if (seconds < 60) return "under a minute";
  std::int64_t minutes = seconds / 60;
  std::int64_t hours = minutes / 60;
  std::int64_t days = hours / 24;
  char text[64];
  if (days > 0)
    std::snprintf(text, sizeof text, "%lld d %lld h", static_cast<long long>(days),
                  static_cast<long long>(hours % 24));
  else if (hours > 0)
    std::snprintf(text, sizeof text, "%lld h %lld min", static_cast<long long>(hours),
                  static_cast<long long>(minutes % 60));
  else
    std::snprintf(text, sizeof text, "%lld min", static_cast<long long>(minutes));
  return text;
}

}  // namespace corvatel
