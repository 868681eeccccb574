// corvatel-check: for each configured entry, whether corvatel skipped it rightly (idle),
// snapshotted it, or failed it (missed, failing, destroys failing), for monitoring systems.
// It reads corvatel's configuration and log, runs only `zfs get` and `zfs list`, never takes
// corvatel's lock, and keeps in its own state file what the next check needs: the evidence of
// a missed snapshot spans checks, and the log is read on from where the previous check stopped.
#include "check/check.h"

#include <csignal>
#include <cstdio>
#include <map>
#include <new>
#include <string>
#include <utility>

#include "check/due.h"
#include "check/entries.h"
#include "check/log_scan.h"
#include "check/messages.h"
#include "check/outcome.h"
#include "check/replace_file.h"
#include "check/state_file.h"
#include "check/survey.h"
#include "check/times.h"
#include "run/command_line.h"

namespace corvatel {
namespace {

constexpr std::int64_t kReportWindow = 24 * 3600;
constexpr const char* kZfsLine = "Error: zfs: ";

using SteadyClock = std::chrono::steady_clock;

void set_disposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// The previous check's state and whether the time since it carries its evidence over.
struct Previous {
  bool read = false;
  CheckState state;
  std::map<std::pair<std::string, std::string>, const EntryRecord*> records;
};

// Whether the wall clock moved as the time that passed since the previous check: a clock
// stepped forward (or a suspended or restarted system) jumps over due minutes at which
// corvatel never ran, so no evidence spans it.
bool clock_carried_over(const CheckState& previous, std::int64_t now, std::int64_t monotonic_ms,
                        std::vector<std::string>& notes) {
  std::int64_t wall = now - previous.observed;
  std::int64_t passed = (monotonic_ms - previous.monotonic_ms) / 1000;
  std::int64_t tolerance = 60 + (passed > 0 ? passed / 1000 : 0);
  if (monotonic_ms < previous.monotonic_ms || wall > passed + tolerance) {
    notes.push_back("the clock moved on more than the time that passed since the previous "
                    "check (stepped forward, or the system was suspended or restarted): "
                    "started over");
    return false;
  }
  if (wall < passed - tolerance)
    notes.push_back("the clock was stepped back by " + duration_text(passed - wall) +
                    " since the previous check");
  return true;
}

void read_previous(StateFile& file, Previous& previous, std::vector<std::string>& notes) {
  std::string why;
  previous.read = file.read(previous.state, why);
  if (!previous.read) {
    notes.push_back(why + ": started over; a missed snapshot can be shown from the next check on");
    return;
  }
  for (const EntryRecord& record : previous.state.entries)
    previous.records[{record.dataset, record.prefix}] = &record;
}

const EntryRecord* previous_record(const Previous& previous, const CheckEntry& entry) {
  auto found = previous.records.find({entry.dataset, entry.prefix});
  if (found == previous.records.end() || !record_matches(*found->second, entry)) return nullptr;
  return found->second;
}

void survey(const char* zfs, TimeLimit& limit, LibraryMessages& messages,
            CheckOutcome& outcome) {
  std::string problem;
  outcome.surveyed =
      survey_entries(zfs, outcome.configuration.entries, limit, outcome.surveys, problem) == 0;
  std::vector<std::string> logged = messages.take();
  if (outcome.surveyed) return;
  outcome.problems.push_back(problem);
  for (const std::string& line : logged) {
    if (line.starts_with(kZfsLine)) outcome.zfs_lines.push_back(line.substr(12));
  }
}

// Reads the log into the outcome; where the next check is to go on reading it.
std::optional<LogPosition> read_log(const char* path, const Previous& previous,
                                    CheckOutcome& outcome) {
  EntryIndex index(outcome.configuration.entries);
  LogReading reading;
  std::string problem;
  int result =
      outcome.report
          ? read_log_window(path, outcome.now - kReportWindow, index, reading, problem)
          : read_log_since(path, previous.read ? previous.state.log : std::nullopt, outcome.now,
                           index, reading, problem);
  if (result != 0) {
    outcome.problems.push_back(problem);
    return previous.state.log;
  }
  outcome.log_read = true;
  outcome.log = std::move(reading.lines);
  outcome.notes.insert(outcome.notes.end(), reading.notes.begin(), reading.notes.end());
  // The report reads by time: the next check goes on from where the previous one stopped.
  if (outcome.report) return previous.state.log;
  return reading.end;
}

CheckState judge(const Previous& previous, const Moment& moment, const Lateness& lateness,
                 CheckOutcome& outcome) {
  DueCalendar calendar;
  CheckState next;
  const std::vector<CheckEntry>& entries = outcome.configuration.entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const EntryRecord* record = previous.read ? previous_record(previous, entries[i]) : nullptr;
    const EntrySurvey* survey = outcome.surveyed ? &outcome.surveys[i] : nullptr;
    const EntryLogLines* log = outcome.log_read ? &outcome.log.entries[i] : nullptr;
    outcome.verdicts.push_back(
        judge_entry(entries[i], survey, record, log, moment, lateness, calendar));
    next.entries.push_back(next_record(entries[i], survey, record, outcome.verdicts.back(), moment));
  }
  return next;
}

// Everything after the configuration: the state, zfs, the log, the verdicts, the next state.
void check_entries(const CheckOptions& options, const CheckPaths& paths,
                   std::int64_t monotonic_ms, TimeLimit& limit, LibraryMessages& messages,
                   CheckOutcome& outcome) {
  StateFile file;
  std::string problem;
  bool state_open = file.open(paths.state, limit.deadline, problem) == 0;
  Previous previous;
  if (state_open)
    read_previous(file, previous, outcome.notes);
  else
    outcome.problems.push_back(problem);
  Moment moment{outcome.now, previous.read && clock_carried_over(previous.state, outcome.now,
                                                                 monotonic_ms, outcome.notes)};
  survey(paths.zfs, limit, messages, outcome);
  std::optional<LogPosition> position = read_log(paths.log, previous, outcome);
  CheckState next = judge(previous, moment, options.lateness, outcome);
  next.observed = outcome.now;
  next.monotonic_ms = monotonic_ms;
  next.log = position;
  if (state_open && file.write(next, problem) != 0) outcome.problems.push_back(problem);
}

int run_check(const CheckOptions& options, const CheckPaths& paths, const CheckClock& clock) {
  TimeLimit limit{SteadyClock::now() + std::chrono::seconds(options.time_limit)};
  CheckOutcome outcome;
  outcome.report = options.report;
  std::int64_t monotonic_ms = clock.monotonic_ms();
  std::int64_t now = 0;
  if (read_clock(now, clock.wall) != 0) {
    std::printf("CORVATEL UNKNOWN - cannot read the clock\n");
    return static_cast<int>(Status::unknown);
  }
  outcome.now = now;
  {
    LibraryMessages messages;
    std::string problem;
    outcome.configuration_read =
        read_check_configuration(paths.config, messages, outcome.configuration, problem) == 0;
    if (outcome.configuration_read)
      check_entries(options, paths, monotonic_ms, limit, messages, outcome);
    else
      outcome.problems.push_back(problem);
  }
  outcome.status = overall_status(outcome);
  std::string problem;
  if (options.textfile && replace_file(paths.textfile, textfile_metrics(outcome), problem) != 0) {
    outcome.problems.push_back(problem);
    outcome.status = overall_status(outcome);
  }
  std::string text = plugin_output(outcome, options.verbose);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return static_cast<int>(outcome.status);
}

}  // namespace

std::int64_t CheckClock::monotonic_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

int corvatel_check_main(int argc, char** argv, const CheckPaths& paths, const CheckClock& clock) {
  // An ignored SIGCHLD would have the kernel reap zfs before it could be waited for; a
  // monitoring system that stops reading must not kill the check before it saves its state.
  set_disposition(SIGCHLD, SIG_DFL);
  set_disposition(SIGPIPE, SIG_IGN);
  if (repair_standard_descriptors() != 0) return static_cast<int>(Status::unknown);
  CheckCommandLine command_line = read_check_command_line(argc, argv, paths);
  if (!command_line.run) return command_line.exit_status;
  try {
    return run_check(command_line.options, paths, clock);
  } catch (const std::bad_alloc&) {
    std::printf("CORVATEL UNKNOWN - out of memory\n");
    return static_cast<int>(Status::unknown);
  }
}

}  // namespace corvatel
