#ifndef CORVATEL_CHECK_TIMES_H
#define CORVATEL_CHECK_TIMES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvatel {

/// The moment a snapshot timestamp of corvatel's form names: "YYYY-MM-DD_HH:MM:SS" followed by
/// "p" or "-" and the UTC offset "HHMM", or without the offset, then read as local time;
/// nullopt when it names no real date and time.
std::optional<std::int64_t> timestamp_moment(std::string_view timestamp);

/// The moment of a log line's stamp, "YYYY-MM-DD HH:MM:SS" in local time; nullopt when the
/// text is not such a stamp.
std::optional<std::int64_t> log_stamp_moment(std::string_view stamp);

/// "YYYY-MM-DD HH:MM" of a moment in local time.
std::string local_minute_text(std::int64_t moment);

/// A length of time to the minute: "3 d 2 h", "5 h 12 min", "7 min", or "under a minute".
std::string duration_text(std::int64_t seconds);

}  // namespace corvatel

#endif
