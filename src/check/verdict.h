#ifndef CORVATEL_CHECK_VERDICT_H
#define CORVATEL_CHECK_VERDICT_H

#include <cstdint>
#include <optional>

#include "check/due.h"
#include "check/entries.h"
#include "check/log_lines.h"
#include "check/state_file.h"
#include "check/survey.h"

namespace corvatel {

/// The states of the Monitoring Plugins, with their exit statuses.
enum class Status { ok = 0, warning = 1, critical = 2, unknown = 3 };

/// The worse of two states: CRITICAL, then UNKNOWN, then WARNING, then OK. A known problem
/// outranks what could not be checked.
Status worse(Status a, Status b);

/// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* status_name(Status status);

/// The check's moment and what carries over from the previous check.
struct Moment {
  std::int64_t now = 0;      // wall clock
  bool continuous = false;   // the previous check's observations hold up to now
};

/// How late a snapshot may be, in seconds after the due minute, before it is WARNING and
/// before it is CRITICAL.
struct Lateness {
  std::int64_t warning = 120;
  std::int64_t critical = 300;
};

/// What the check concludes of one entry, and from what.
struct Verdict {
  Status status = Status::ok;
  bool checked = false;                       // zfs answered for it
  bool no_dataset = false;                    // zfs reports no written value for its dataset
  bool idle = false;                          // written bytes below the threshold
  bool started_over = false;                  // nothing carried over from the previous check
  bool new_entry = false;                     // the previous check had no entry of these settings
  std::optional<std::int64_t> pending_since;  // see EntryRecord
  std::optional<std::int64_t> due;            // the first due minute after pending_since
  bool late = false;                          // a due minute passed, the -w seconds too
  bool missed = false;                        // and the -c seconds
  std::uint64_t beyond = 0;                   // own snapshots beyond the retention limit
  std::size_t failing = 0;                    // error lines naming it
  std::size_t prune_failures = 0;             // error lines of its failed destroys
  std::optional<std::int64_t> newest_own_at;  // the moment its newest own snapshot names
  bool newest_own_ahead = false;              // that moment is later than now
  bool snapshotted_at_last_due = false;       // at or after the last due minute, not ahead
  std::optional<std::int64_t> next_due;       // the next due minute after now
};

/// Judges one entry. `survey` is null when zfs did not answer; `previous` is the record the
/// previous check left for it, or null (none, or one of other settings); `log` is null when the
/// log could not be read.
Verdict judge_entry(const CheckEntry& entry, const EntrySurvey* survey,
                    const EntryRecord* previous, const EntryLogLines* log, const Moment& moment,
                    const Lateness& lateness, DueCalendar& calendar);

/// The record to leave for the next check: from the verdict when zfs answered, else the
/// previous one (without its evidence when the clock did not carry over).
EntryRecord next_record(const CheckEntry& entry, const EntrySurvey* survey,
                        const EntryRecord* previous, const Verdict& verdict,
                        const Moment& moment);

/// True when a record was made for an entry of these settings.
bool record_matches(const EntryRecord& record, const CheckEntry& entry);

}  // namespace corvatel

#endif
