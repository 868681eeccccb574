// The evidence of a missed snapshot. corvatel skips an entry silently while its dataset's
// `written` bytes are below the threshold, and `written` restarts from 0 at any snapshot of the
// dataset, whoever takes it. So a snapshot is shown missed when, at every check from some
// moment on, the bytes were at or above the threshold and the dataset's newest snapshot stayed
// the same, and a due minute came after that moment, long enough ago for its run to have
// finished: corvatel read the bytes at that minute and should have snapshotted. One check alone
// shows nothing (the bytes may have arrived a minute ago); `written` falling below the
// threshold between two checks and rising again (new data deleted, then written) is the rare
// case that still misleads it.
#include "check/verdict.h"

#include "check/times.h"

namespace corvatel {
namespace {

int rank(Status status) {
  switch (status) {
    case Status::ok: return 0;
    case Status::warning: return 1;
    case Status::unknown: return 2;
    case Status::critical: return 3;
  }
  return 2;
}

// The moment the newest own snapshot's name gives.
std::optional<std::int64_t> own_snapshot_moment(const CheckEntry& entry, const std::string& name) {
  std::size_t at = name.find('@');
  if (at == std::string::npos) return std::nullopt;
  std::string_view snapshot = std::string_view(name).substr(at + 1);
  if (snapshot.size() <= entry.prefix.size() + 1) return std::nullopt;
  return timestamp_moment(snapshot.substr(entry.prefix.size() + 1));
}

// Whether the previous check's evidence goes on: the bytes were pending then too, and no
// snapshot of the dataset came since.
std::optional<std::int64_t> carried_pending_since(const EntrySurvey& survey,
                                                  const EntryRecord* previous,
                                                  const Moment& moment) {
  if (!moment.continuous || previous == nullptr || !previous->pending_since) return std::nullopt;
  if (previous->newest_any != survey.newest_any || *previous->pending_since > moment.now)
    return std::nullopt;
  return previous->pending_since;
}

void judge_pending(const CheckEntry& entry, const EntrySurvey& survey, const EntryRecord* previous,
                   const Moment& moment, const Lateness& lateness, DueCalendar& calendar,
                   Verdict& verdict) {
  verdict.pending_since = carried_pending_since(survey, previous, moment).value_or(moment.now);
  verdict.due = calendar.first_due_after(entry.interval, *verdict.pending_since);
  if (!verdict.due || *verdict.due > moment.now) return;
  std::int64_t late_by = moment.now - *verdict.due;
  verdict.missed = late_by >= lateness.critical;
  verdict.late = !verdict.missed && late_by >= lateness.warning;
}

// corvatel prunes right after it snapshots, so for as long as its run may take (the -c
// seconds) a new snapshot may still stand beside the one it is about to destroy: an excess is
// counted only once the newest own snapshot is older than that.
void judge_snapshots(const CheckEntry& entry, const EntrySurvey& survey, const Moment& moment,
                     const Lateness& lateness, DueCalendar& calendar, Verdict& verdict) {
  if (!survey.newest_own.empty()) {
    verdict.newest_own_at = own_snapshot_moment(entry, survey.newest_own);
    if (verdict.newest_own_at) {
      verdict.newest_own_ahead = *verdict.newest_own_at > moment.now;
      auto last_due = calendar.last_due_at_or_before(entry.interval, moment.now);
      verdict.snapshotted_at_last_due =
          !verdict.newest_own_ahead && last_due && *verdict.newest_own_at >= *last_due;
    }
  }
  bool pruning_may_run = verdict.newest_own_at && !verdict.newest_own_ahead &&
                         moment.now - *verdict.newest_own_at < lateness.critical;
  if (!pruning_may_run && survey.own_count > static_cast<std::uint64_t>(survey.retention_limit))
    verdict.beyond = survey.own_count - static_cast<std::uint64_t>(survey.retention_limit);
}

// The log's evidence stands whether or not zfs answered.
Status status_of(const Verdict& verdict) {
  if (verdict.no_dataset || verdict.missed || verdict.failing > 0) return Status::critical;
  if (!verdict.checked) return Status::unknown;
  if (verdict.late || verdict.beyond > 0 || verdict.prune_failures > 0) return Status::warning;
  return Status::ok;
}

}  // namespace

Status worse(Status a, Status b) { return rank(a) >= rank(b) ? a : b; }

const char* status_name(Status status) {
  switch (status) {
    case Status::ok: return "OK";
    case Status::warning: return "WARNING";
    case Status::critical: return "CRITICAL";
    case Status::unknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

bool record_matches(const EntryRecord& record, const CheckEntry& entry) {
  return record.dataset == entry.dataset && record.prefix == entry.prefix &&
         record.recursive == entry.recursive && record.interval == entry.interval &&
         record.min_bytes == entry.min_bytes;
}

Verdict judge_entry(const CheckEntry& entry, const EntrySurvey* survey,
                    const EntryRecord* previous, const EntryLogLines* log, const Moment& moment,
                    const Lateness& lateness, DueCalendar& calendar) {
  Verdict verdict;
  verdict.started_over = !moment.continuous || previous == nullptr;
  verdict.new_entry = moment.continuous && previous == nullptr;
  if (log != nullptr) {
    verdict.failing = log->failing;
    verdict.prune_failures = log->prune_failures;
  }
  verdict.next_due = calendar.first_due_after(entry.interval, moment.now);
  if (survey != nullptr) {
    verdict.checked = true;
    verdict.no_dataset = survey->pending < 0;
    verdict.idle = !verdict.no_dataset && survey->pending < entry.min_bytes;
    if (!verdict.no_dataset && !verdict.idle)
      judge_pending(entry, *survey, previous, moment, lateness, calendar, verdict);
    judge_snapshots(entry, *survey, moment, lateness, calendar, verdict);
  }
  verdict.status = status_of(verdict);
  return verdict;
}

EntryRecord next_record(const CheckEntry& entry, const EntrySurvey* survey,
                        const EntryRecord* previous, const Verdict& verdict,
                        const Moment& moment) {
  EntryRecord record{entry.dataset, entry.prefix, entry.recursive, entry.interval,
                     entry.min_bytes, std::nullopt, ""};
  if (survey == nullptr) {
    if (previous != nullptr && moment.continuous) {
      record.pending_since = previous->pending_since;
      record.newest_any = previous->newest_any;
    }
    return record;
  }
  record.pending_since = verdict.pending_since;
  record.newest_any = survey->newest_any;
  return record;
}

}  // namespace corvatel
