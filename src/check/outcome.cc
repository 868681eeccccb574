#include "check/outcome.h"

#include <cstdio>
#include <string_view>

#include "check/times.h"
#include "snapshot/report.h"

namespace corvatel {
namespace {

// Names shown per group in the status line before "and N more".
constexpr std::size_t kNamesInStatusLine = 5;

std::string size_text(std::int64_t bytes) {
  char text[32];
  format_size(bytes, text);
  return text;
}

std::string count_text(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// One group of the status line: "missed: a@h, b@h and 3 more".
std::string group_text(const char* title, const std::vector<std::string>& labels) {
  std::string text = std::string(title) + ": ";
  for (std::size_t i = 0; i < labels.size() && i < kNamesInStatusLine; ++i)
    text += (i ? ", " : "") + labels[i];
  if (labels.size() > kNamesInStatusLine)
    text += " and " + std::to_string(labels.size() - kNamesInStatusLine) + " more";
  return text;
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

const char* since_words(const CheckOutcome& outcome) {
  return outcome.report ? "in the last 24 hours" : "since the previous check";
}

std::string summary(const CheckOutcome& outcome) {
  std::vector<std::string> parts = outcome.problems;
  const std::vector<CheckEntry>& entries = outcome.configuration.entries;
  struct Group {
    const char* title;
    bool (*has)(const Verdict&);
  };
  static const Group kGroups[] = {
      {"missed", [](const Verdict& v) { return v.missed; }},
      {"failing", [](const Verdict& v) { return v.failing > 0; }},
      {"no such dataset", [](const Verdict& v) { return v.no_dataset; }},
      {"late", [](const Verdict& v) { return v.late; }},
      {"beyond retention", [](const Verdict& v) { return v.beyond > 0; }},
      {"destroys failing", [](const Verdict& v) { return v.prune_failures > 0; }},
  };
  for (const Group& group : kGroups) {
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < outcome.verdicts.size(); ++i)
      if (group.has(outcome.verdicts[i])) labels.push_back(entries[i].label());
    if (!labels.empty()) parts.push_back(group_text(group.title, labels));
  }
  if (outcome.log_read && outcome.log.unattributed > 0)
    parts.push_back(count_text(outcome.log.unattributed, "error line", "error lines") +
                    " naming no entry " + since_words(outcome));
  if (!outcome.configuration.rejected.empty())
    parts.push_back(count_text(outcome.configuration.rejected.size(),
                               "invalid configuration line", "invalid configuration lines"));
  if (outcome.configuration_read && entries.empty()) {
    parts.push_back("no entries configured");
  } else if (outcome.configuration_read && !outcome.surveyed) {
    parts.push_back(count_text(entries.size(), "entry", "entries") + " not checked");
  } else if (outcome.configuration_read) {
    std::size_t ok = 0;
    for (const Verdict& verdict : outcome.verdicts) ok += verdict.status == Status::ok;
    parts.push_back(std::to_string(ok) + " of " + count_text(entries.size(), "entry", "entries") +
                    " ok");
  }
  return join(parts, "; ");
}

// A performance data label, quoted (its blank asks for it).
std::string label(const CheckEntry& entry, const char* what) {
  std::string text = "'";
  for (char c : entry.label() + " " + what) {
    text += c;
    if (c == '\'') text += c;  // a quote is written twice
  }
  return text + "'";
}

std::optional<std::int64_t> age_of(const CheckOutcome& outcome, const Verdict& verdict) {
  if (!verdict.newest_own_at || verdict.newest_own_ahead) return std::nullopt;
  return outcome.now - *verdict.newest_own_at;
}

std::string perfdata(const CheckOutcome& outcome) {
  std::size_t counts[4] = {};
  for (const Verdict& verdict : outcome.verdicts) ++counts[static_cast<int>(verdict.status)];
  std::string text = "ok=" + std::to_string(counts[0]) + " warning=" + std::to_string(counts[1]) +
                     " critical=" + std::to_string(counts[2]) +
                     " unknown=" + std::to_string(counts[3]);
  if (outcome.log_read) text += " error_lines=" + std::to_string(outcome.log.error_lines);
  for (std::size_t i = 0; i < outcome.verdicts.size(); ++i) {
    const CheckEntry& entry = outcome.configuration.entries[i];
    const Verdict& verdict = outcome.verdicts[i];
    bool pending_known = verdict.checked && !verdict.no_dataset;
    auto age = age_of(outcome, verdict);
    // Appended piece by piece: g++ 12 at -O3 mistakes " " + std::string for an overlapping copy.
    text.append(" ").append(label(entry, "pending")).append("=");
    text.append(pending_known ? std::to_string(outcome.surveys[i].pending) + "B" : "U");
    text.append(" ").append(label(entry, "age")).append("=");
    text.append(age ? std::to_string(*age) + "s" : "U");
  }
  return text;
}

std::string newest_own_text(const CheckOutcome& outcome, const EntrySurvey& survey,
                            const Verdict& verdict) {
  if (survey.newest_own.empty()) return "no own snapshot";
  std::string text = "newest own snapshot " + survey.newest_own;
  if (verdict.newest_own_ahead) return text + ", dated ahead of the clock";
  if (auto age = age_of(outcome, verdict)) return text + ", " + duration_text(*age) + " old";
  return text;
}

std::string pending_text(const CheckEntry& entry, const EntrySurvey& survey,
                         const Verdict& verdict) {
  std::string written = size_text(survey.pending) + " written (min_bytes " +
                        std::to_string(entry.min_bytes) + ")";
  if (verdict.idle) return (verdict.snapshotted_at_last_due ? "snapshotted: " : "idle: ") + written;
  written += ", pending since " + local_minute_text(*verdict.pending_since);
  if (!verdict.due) return "pending: " + written;
  std::string due = "; due at " + local_minute_text(*verdict.due);
  if (verdict.missed) return "missed: " + written + due + " with no snapshot of the dataset since";
  if (verdict.late) return "late: " + written + due + " with no snapshot of the dataset yet";
  return "pending: " + written + due;
}

void append_lines(std::string& out, const std::vector<std::string>& lines, std::size_t count) {
  for (const std::string& line : lines) out += "  " + line + "\n";
  if (count > lines.size())
    out += "  ... and " + count_text(count - lines.size(), "more line", "more lines") + "\n";
}

void append_entry(std::string& out, const CheckOutcome& outcome, std::size_t i) {
  const CheckEntry& entry = outcome.configuration.entries[i];
  const Verdict& verdict = outcome.verdicts[i];
  std::vector<std::string> facts;
  if (!verdict.checked) facts.push_back("not checked");
  if (verdict.checked && verdict.no_dataset)
    facts.push_back("zfs gives no written bytes for " + entry.dataset + ": no such dataset?");
  if (verdict.checked && !verdict.no_dataset) {
    const EntrySurvey& survey = outcome.surveys[i];
    facts.push_back(pending_text(entry, survey, verdict));
    facts.push_back(newest_own_text(outcome, survey, verdict));
    if (verdict.beyond > 0)
      facts.push_back(count_text(survey.own_count, "own snapshot", "own snapshots") +
                      ", retention " + std::to_string(survey.retention_limit));
  }
  if (verdict.new_entry) facts.push_back("new or changed entry, watched from this check on");
  if (verdict.failing > 0)
    facts.push_back(count_text(verdict.failing, "error line", "error lines") + " " +
                    since_words(outcome));
  if (verdict.prune_failures > 0)
    facts.push_back(count_text(verdict.prune_failures, "error line", "error lines") +
                    " of failed destroys " + since_words(outcome));
  if (outcome.report && outcome.log_read)
    facts.push_back(std::to_string(outcome.log.entries[i].created) + " created, " +
                    std::to_string(outcome.log.entries[i].pruned) + " pruned " +
                    since_words(outcome));
  out += std::string(status_name(verdict.status)) + " " + entry.label() + ": " +
         join(facts, "; ") + "\n";
  if (verdict.checked && verdict.beyond > 0) {
    std::vector<std::string> beyond;
    for (const std::string& name : outcome.surveys[i].beyond) beyond.push_back("beyond retention: " + name);
    append_lines(out, beyond, beyond.size());
  }
  if (outcome.log_read) {
    const EntryLogLines& lines = outcome.log.entries[i];
    append_lines(out, lines.failing_shown, lines.failing);
    append_lines(out, lines.prune_shown, lines.prune_failures);
  }
}

void append_details(std::string& out, const CheckOutcome& outcome, bool verbose) {
  if (!outcome.zfs_lines.empty()) {
    out += "zfs said:\n";
    append_lines(out, outcome.zfs_lines, outcome.zfs_lines.size());
  }
  for (std::size_t i = 0; i < outcome.verdicts.size(); ++i) {
    if (verbose || outcome.report || outcome.verdicts[i].status == Status::warning ||
        outcome.verdicts[i].status == Status::critical)
      append_entry(out, outcome, i);
  }
  if (outcome.log_read && outcome.log.unattributed > 0) {
    out += std::string("Error lines naming no entry ") + since_words(outcome) + ":\n";
    append_lines(out, outcome.log.unattributed_shown, outcome.log.unattributed);
  }
  if (!outcome.configuration.rejected.empty()) {
    out += "Invalid configuration lines:\n";
    append_lines(out, outcome.configuration.rejected, outcome.configuration.rejected.size());
  }
  for (const std::string& note : outcome.notes) out += "Note: " + note + "\n";
}

std::string report_totals(const CheckOutcome& outcome) {
  std::size_t created = 0;
  std::size_t pruned = 0;
  for (const EntryLogLines& lines : outcome.log.entries) {
    created += lines.created;
    pruned += lines.pruned;
  }
  return "In the last 24 hours: " + count_text(created, "snapshot", "snapshots") +
         " created, " + std::to_string(pruned) + " pruned, " +
         count_text(outcome.log.error_lines, "error line", "error lines") + ".\n";
}

// Label values of the text format escape the backslash, the double quote and the newline.
std::string label_value(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}

void metric_header(std::string& out, const char* name, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

template <class Value>
void entry_metric(std::string& out, const CheckOutcome& outcome, const char* name,
                  const char* help, Value&& value) {
  metric_header(out, name, help);
  for (std::size_t i = 0; i < outcome.verdicts.size(); ++i) {
    const CheckEntry& entry = outcome.configuration.entries[i];
    out += std::string(name) + "{dataset=\"" + label_value(entry.dataset) + "\",prefix=\"" +
           label_value(entry.prefix) + "\"} " + value(i) + "\n";
  }
}

}  // namespace

Status overall_status(const CheckOutcome& outcome) {
  Status status = outcome.problems.empty() ? Status::ok : Status::unknown;
  for (const Verdict& verdict : outcome.verdicts) status = worse(status, verdict.status);
  if (outcome.log_read && outcome.log.unattributed > 0) status = worse(status, Status::critical);
  if (!outcome.configuration.rejected.empty()) status = worse(status, Status::warning);
  return status;
}

std::string plugin_output(const CheckOutcome& outcome, bool verbose) {
  std::string out = std::string("CORVATEL ") + status_name(outcome.status) + " - " +
                    summary(outcome);
  out += outcome.report ? "\n" : " | " + perfdata(outcome) + "\n";
  if (outcome.report && outcome.log_read) out += report_totals(outcome);
  append_details(out, outcome, verbose);
  return out;
}

std::string textfile_metrics(const CheckOutcome& outcome) {
  std::string out;
  metric_header(out, "corvatel_check_status",
                "State of the last check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.");
  out += "corvatel_check_status " + std::to_string(static_cast<int>(outcome.status)) + "\n";
  metric_header(out, "corvatel_check_timestamp_seconds", "When the last check ran.");
  out += "corvatel_check_timestamp_seconds " + std::to_string(outcome.now) + "\n";
  metric_header(out, "corvatel_check_error_lines",
                "Error lines corvatel logged since the previous check (report: in the last 24 hours).");
  out += "corvatel_check_error_lines " +
         (outcome.log_read ? std::to_string(outcome.log.error_lines) : std::string("NaN")) + "\n";
  metric_header(out, "corvatel_check_invalid_config_lines",
                "Configuration lines corvatel rejects.");
  out += "corvatel_check_invalid_config_lines " +
         std::to_string(outcome.configuration.rejected.size()) + "\n";
  if (outcome.verdicts.empty()) return out;
  entry_metric(out, outcome, "corvatel_entry_status",
               "State of each entry: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.",
               [&](std::size_t i) { return std::to_string(static_cast<int>(outcome.verdicts[i].status)); });
  auto known = [&](std::size_t i) {
    return outcome.verdicts[i].checked && !outcome.verdicts[i].no_dataset;
  };
  entry_metric(out, outcome, "corvatel_entry_pending_bytes",
               "Bytes written since the latest snapshot, as corvatel counts them.",
               [&](std::size_t i) {
                 return known(i) ? std::to_string(outcome.surveys[i].pending) : "NaN";
               });
  entry_metric(out, outcome, "corvatel_entry_threshold_bytes",
               "The entry's min_bytes.",
               [&](std::size_t i) { return std::to_string(outcome.configuration.entries[i].min_bytes); });
  entry_metric(out, outcome, "corvatel_entry_newest_snapshot_age_seconds",
               "Age of the entry's newest own snapshot by its name; NaN when there is none or "
               "it is dated ahead of the clock.",
               [&](std::size_t i) {
                 auto age = age_of(outcome, outcome.verdicts[i]);
                 return age ? std::to_string(*age) : std::string("NaN");
               });
  entry_metric(out, outcome, "corvatel_entry_snapshots", "The entry's own snapshots.",
               [&](std::size_t i) {
                 return outcome.verdicts[i].checked ? std::to_string(outcome.surveys[i].own_count)
                                                    : std::string("NaN");
               });
  entry_metric(out, outcome, "corvatel_entry_retention",
               "How many own snapshots corvatel keeps.",
               [&](std::size_t i) {
                 return outcome.verdicts[i].checked
                            ? std::to_string(outcome.surveys[i].retention_limit)
                            : std::to_string(outcome.configuration.entries[i].retention);
               });
  entry_metric(out, outcome, "corvatel_entry_error_lines",
               "Error lines naming the entry since the previous check (report: in the last 24 hours).",
               [&](std::size_t i) {
                 const Verdict& v = outcome.verdicts[i];
                 return outcome.log_read ? std::to_string(v.failing + v.prune_failures)
                                         : std::string("NaN");
               });
  return out;
}

}  // namespace corvatel
