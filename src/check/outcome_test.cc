#include "check/outcome.h"

#include <gtest/gtest.h>

#include <string>

#include "scoped_env.h"

namespace corvatel {
namespace {

constexpr std::int64_t k1400 = 1740837600;  // 2025-03-01 14:00:00 UTC

// An outcome of `count` entries tank/dN@h that zfs answered for, each idle.
CheckOutcome outcome_of(std::size_t count) {
  CheckOutcome outcome;
  outcome.now = k1400;
  outcome.configuration_read = true;
  outcome.surveyed = true;
  outcome.log_read = true;
  for (std::size_t i = 0; i < count; ++i) {
    outcome.configuration.entries.push_back(
        {"tank/d" + std::to_string(i), "h", false, 60, 3, 1000});
    EntrySurvey survey;
    survey.pending = 10;
    survey.retention_limit = 3;
    outcome.surveys.push_back(survey);
    Verdict verdict;
    verdict.checked = true;
    verdict.idle = true;
    outcome.verdicts.push_back(verdict);
  }
  outcome.log.entries.resize(count);
  return outcome;
}

TEST(PluginOutput, GroupsNameFiveEntriesAtMost) {
  testing::ScopedEnv tz("TZ", "UTC0");
  CheckOutcome outcome = outcome_of(8);
  for (std::size_t i = 0; i < 7; ++i) {
    Verdict& v = outcome.verdicts[i];
    v.idle = false;
    v.missed = true;
    v.pending_since = k1400 - 3600;
    v.due = k1400 - 1800;
    v.status = Status::critical;
  }
  outcome.status = overall_status(outcome);
  std::string out = plugin_output(outcome, false);
  EXPECT_EQ(out.substr(0, out.find(" | ")),
            "CORVATEL CRITICAL - missed: tank/d0@h, tank/d1@h, tank/d2@h, tank/d3@h, tank/d4@h "
            "and 2 more; 1 of 8 entries ok");
}

TEST(PluginOutput, NoEntries) {
  CheckOutcome outcome = outcome_of(0);
  outcome.status = overall_status(outcome);
  EXPECT_EQ(plugin_output(outcome, true),
            "CORVATEL OK - no entries configured | ok=0 warning=0 critical=0 unknown=0 "
            "error_lines=0\n");
}

TEST(PluginOutput, TheReportHasNoPerformanceData) {
  CheckOutcome outcome = outcome_of(1);
  outcome.report = true;
  outcome.status = overall_status(outcome);
  EXPECT_EQ(plugin_output(outcome, false),
            "CORVATEL OK - 1 of 1 entry ok\n"
            "In the last 24 hours: 0 snapshots created, 0 pruned, 0 error lines.\n"
            "OK tank/d0@h: idle: 10 written (min_bytes 1000); no own snapshot; 0 created, 0 "
            "pruned in the last 24 hours\n");
}

TEST(OverallStatus, TheWorstOfEntriesLogConfigurationAndProblems) {
  CheckOutcome outcome = outcome_of(1);
  EXPECT_EQ(overall_status(outcome), Status::ok);
  outcome.configuration.rejected.push_back("Error: Config error: adjacent comma delimiters");
  EXPECT_EQ(overall_status(outcome), Status::warning);
  outcome.problems.push_back("cannot open /var/log/corvatel.log: Permission denied");
  EXPECT_EQ(overall_status(outcome), Status::unknown);
  outcome.log.unattributed = 1;
  EXPECT_EQ(overall_status(outcome), Status::critical);
}

TEST(TextfileMetrics, EscapesLabelValues) {
  CheckOutcome outcome = outcome_of(1);
  outcome.configuration.entries[0].dataset = "odd\\\"name\n";
  std::string text = textfile_metrics(outcome);
  EXPECT_NE(text.find("corvatel_entry_status{dataset=\"odd\\\\\\\"name\\n\",prefix=\"h\"} 0\n"),
            std::string::npos)
      << text;
}

TEST(TextfileMetrics, WhatIsNotKnownIsNaN) {
  CheckOutcome outcome = outcome_of(1);
  outcome.surveyed = false;
  outcome.log_read = false;
  outcome.verdicts[0] = Verdict{};
  outcome.verdicts[0].status = Status::unknown;
  outcome.status = overall_status(outcome);
  std::string text = textfile_metrics(outcome);
  for (const char* line : {"corvatel_check_status 3\n", "corvatel_check_error_lines NaN\n",
                           "corvatel_entry_pending_bytes{dataset=\"tank/d0\",prefix=\"h\"} NaN\n",
                           "corvatel_entry_snapshots{dataset=\"tank/d0\",prefix=\"h\"} NaN\n",
                           "corvatel_entry_retention{dataset=\"tank/d0\",prefix=\"h\"} 3\n",
                           "corvatel_entry_error_lines{dataset=\"tank/d0\",prefix=\"h\"} NaN\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

}  // namespace
}  // namespace corvatel
