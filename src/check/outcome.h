#ifndef CORVATEL_CHECK_OUTCOME_H
#define CORVATEL_CHECK_OUTCOME_H

#include <cstdint>
#include <string>
#include <vector>

#include "check/entries.h"
#include "check/log_lines.h"
#include "check/survey.h"
#include "check/verdict.h"

namespace corvatel {

/// Everything one check found, for its outputs.
struct CheckOutcome {
  std::int64_t now = 0;
  CheckConfiguration configuration;
  bool configuration_read = false;
  bool surveyed = false;                // zfs answered: `surveys` holds one per entry
  std::vector<EntrySurvey> surveys;
  std::vector<Verdict> verdicts;        // one per entry
  bool log_read = false;                // `log` holds what the log said
  LogLines log;
  std::vector<std::string> problems;    // what could not be checked (UNKNOWN)
  std::vector<std::string> zfs_lines;   // what zfs wrote when it failed
  std::vector<std::string> notes;       // how the check went, when not as usual
  bool report = false;                  // the daily report, over a window of time
  Status status = Status::ok;
};

/// The state of the whole check: the worst entry, CRITICAL for error lines naming no entry,
/// WARNING for invalid configuration lines, UNKNOWN for anything that could not be checked.
Status overall_status(const CheckOutcome& outcome);

/// The Monitoring Plugins output: the status line with its performance data, then a line for
/// each entry not OK (with `verbose` or in the report, every entry) and the details.
std::string plugin_output(const CheckOutcome& outcome, bool verbose);

/// The node exporter's textfile: the check's and each entry's state and figures.
std::string textfile_metrics(const CheckOutcome& outcome);

}  // namespace corvatel

#endif
