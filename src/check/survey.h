#ifndef CORVATEL_CHECK_SURVEY_H
#define CORVATEL_CHECK_SURVEY_H

#include <cstdint>
#include <string>
#include <vector>

#include "check/entries.h"
#include "zfs/runner.h"

namespace corvatel {

/// What zfs shows of one entry.
struct EntrySurvey {
  std::int64_t pending = -1;          // the written total as corvatel computes it; -1: none
  std::string newest_own;             // newest snapshot of the entry's own name form; "": none
  std::uint64_t own_count = 0;        // snapshots of its own name form
  std::int64_t retention_limit = 0;   // the most own snapshots corvatel leaves (see .cc)
  std::vector<std::string> beyond;    // own snapshots past that, newest first
  std::string newest_any;             // newest snapshot of the dataset, of any name (recursive:
                                      // of the dataset or any dataset below it); "": none
};

/// Runs corvatel's own `zfs get ... written` and `zfs list` over every entry's dataset, once
/// each and under `limit`, and fills one survey per entry (in `entries`' order). 0, or -1 with
/// `problem` set (zfs failed, or the limit passed: `limit.passed`); zfs's standard error goes
/// to the library's messages.
[[nodiscard]] int survey_entries(const char* zfs, const std::vector<CheckEntry>& entries,
                                 TimeLimit& limit, std::vector<EntrySurvey>& surveys,
                                 std::string& problem);

}  // namespace corvatel

#endif
