#ifndef CORVATEL_CHECK_DUE_H
#define CORVATEL_CHECK_DUE_H

#include <cstdint>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

namespace corvatel {

/// The minutes at which corvatel's entries are due, met the way cron meets them: every minute
/// the clock passes, each taken in local time. A day with a skipped hour has no due minutes in
/// it, a repeated hour brings its due minutes twice, and a moment in the clock's past or future
/// is as good as any other.
class DueCalendar {
 public:
  /// The start of the first minute after `after` (exclusive) at which an entry of `interval`
  /// minutes is due; nullopt only if no such minute comes within three days (it always does:
  /// every entry is due at local midnight, and no day misses two in a row).
  std::optional<std::int64_t> first_due_after(std::int64_t interval, std::int64_t after);

  /// The start of the latest minute at or before `moment` at which the entry is due, within
  /// three days; nullopt when there is none.
  std::optional<std::int64_t> last_due_at_or_before(std::int64_t interval, std::int64_t moment);

 private:
  // The local minute of the day of the minute starting at `start`; -1 when it has no local time.
  std::int64_t minute_of_day_at(std::int64_t start);
  bool due_at(std::int64_t interval, std::int64_t start);

  std::unordered_map<std::int64_t, std::int64_t> minute_of_day_;
  // Answers by interval and the minute the search starts from.
  std::map<std::pair<std::int64_t, std::int64_t>, std::optional<std::int64_t>> first_due_;
  std::map<std::pair<std::int64_t, std::int64_t>, std::optional<std::int64_t>> last_due_;
};

}  // namespace corvatel

#endif
