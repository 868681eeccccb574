#include "check/due.h"

#include <ctime>

#include "config/configuration.h"

namespace corvatel {
namespace {

constexpr std::int64_t kMinute = 60;
// Long enough to hold a local midnight whatever daylight saving time does to one day.
constexpr std::int64_t kSearchMinutes = 3 * 24 * 60;

// The start of the minute holding `moment` (floor, also before 1970).
std::int64_t minute_start(std::int64_t moment) {
  std::int64_t rest = moment % kMinute;
  return moment - (rest < 0 ? rest + kMinute : rest);
}

}  // namespace

std::int64_t DueCalendar::minute_of_day_at(std::int64_t start) {
  auto known = minute_of_day_.find(start);
  if (known != minute_of_day_.end()) return known->second;
  std::time_t t = static_cast<std::time_t>(start);
  std::tm local{};
  std::int64_t minute = -1;
  if (localtime_r(&t, &local) != nullptr)
    minute = static_cast<std::int64_t>(local.tm_hour) * 60 + local.tm_min;
  minute_of_day_.emplace(start, minute);
  return minute;
}

bool DueCalendar::due_at(std::int64_t interval, std::int64_t start) {
  std::int64_t minute = minute_of_day_at(start);
  return minute >= 0 && entry_is_due(interval, minute);
}

std::optional<std::int64_t> DueCalendar::first_due_after(std::int64_t interval,
                                                         std::int64_t after) {
  std::int64_t first = minute_start(after) + kMinute;
  auto key = std::make_pair(interval, first);
  auto cached = first_due_.find(key);
  if (cached != first_due_.end()) return cached->second;
  std::optional<std::int64_t> found;
  for (std::int64_t i = 0; i < kSearchMinutes && !found; ++i) {
    if (due_at(interval, first + i * kMinute)) found = first + i * kMinute;
  }
  first_due_.emplace(key, found);
  return found;
}

std::optional<std::int64_t> DueCalendar::last_due_at_or_before(std::int64_t interval,
                                                               std::int64_t moment) {
  std::int64_t last = minute_start(moment);
  auto key = std::make_pair(interval, last);
  auto cached = last_due_.find(key);
  if (cached != last_due_.end()) return cached->second;
  std::optional<std::int64_t> found;
  for (std::int64_t i = 0; i < kSearchMinutes && !found; ++i) {
    if (due_at(interval, last - i * kMinute)) found = last - i * kMinute;
  }
  last_due_.emplace(key, found);
  return found;
}

}  // namespace corvatel
