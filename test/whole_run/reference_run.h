#ifndef CORVATEL_TEST_WHOLE_RUN_REFERENCE_RUN_H
#define CORVATEL_TEST_WHOLE_RUN_REFERENCE_RUN_H

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim_model.h"

namespace corvatel::testing {

/// One configuration line: an entry, or with `bad_retention` a line rejected for its retention.
struct ReferenceEntry {
  std::string dataset;
  std::int64_t interval = 1;
  std::int64_t retention = 1;
  std::string prefix;
  bool recursive = false;
  std::int64_t min_bytes = 0;
  bool bad_retention = false;  // written as retention 0

  /// The line as the configuration file holds it.
  std::string line() const;
};

/// What a run starts from, and what zfs does during it.
struct ReferenceWorld {
  std::vector<ReferenceEntry> config;
  std::vector<SimDataset> datasets;      // every filesystem, with its `written` bytes
  std::set<std::string> snapshots;       // the snapshots before the run
  std::vector<std::string> listing;      // what `zfs list` prints, whatever it is asked
  std::map<int, SimFault> snapshot_faults;  // by the number of the `zfs snapshot` call, from 1
  std::time_t now = 0;                   // the run's time, in UTC
};

/// What the run must do.
struct ReferenceOutcome {
  int status = 0;
  std::vector<std::string> log;                       // messages, without their stamps
  std::vector<std::vector<std::string>> calls;        // zfs argument vectors, argv[0] dropped
  std::set<std::string> snapshots;                    // the snapshots after the run
};

/// The run worked out from the rules in the plainest way: every list scanned whole, every
/// relation tested pair by pair, every listed name kept in order.
ReferenceOutcome reference_run(const ReferenceWorld& world);

}  // namespace corvatel::testing

#endif
