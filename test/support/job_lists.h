#ifndef CORVATEL_TEST_SUPPORT_JOB_LISTS_H
#define CORVATEL_TEST_SUPPORT_JOB_LISTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/job_list.h"

namespace corvatel::testing {

/// One job as a test states it, best with designated initialisers: what it leaves out keeps
/// the value here, which for written_total, failed and wave is the one a fresh job has. The
/// first four members come in job_list_append's order.
struct JobSpec {
  std::string dataset = {};  // an initialiser, or GCC before 14 warns where a test leaves it out
  std::string prefix = "hourly";
  std::int64_t retention = 1;
  std::int64_t min_bytes = 0;
  std::int64_t written_total = -1;  // -1: no total yet
  bool failed = false;
  std::uint64_t wave = 0;
};

/// The jobs in order, appended as the configuration appends them, then given the written_total,
/// failed and wave that later stages would set; an append that fails fails the test.
JobList job_list(const std::vector<JobSpec>& jobs);

/// One job on each dataset, in order, each like `each` but for its dataset.
JobList job_list_on(const std::vector<std::string>& datasets, const JobSpec& each = {});

/// The one job of job_list({spec}).
SnapshotJob snapshot_job(const JobSpec& spec);

}  // namespace corvatel::testing

#endif
