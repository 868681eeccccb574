#include "job_lists.h"

#include <gtest/gtest.h>

namespace corvatel::testing {

JobList job_list(const std::vector<JobSpec>& jobs) {
  JobList list;
  for (const JobSpec& spec : jobs) {
    int appended =
        job_list_append(list, spec.dataset, spec.prefix, spec.retention, spec.min_bytes);
    EXPECT_EQ(appended, 0) << spec.dataset << "@" << spec.prefix;
    if (appended != 0) continue;
    SnapshotJob& job = list.items.back();
    job.written_total = spec.written_total;
    job.failed = spec.failed;
    job.wave = spec.wave;
  }
  return list;
}

JobList job_list_on(const std::vector<std::string>& datasets, const JobSpec& each) {
  std::vector<JobSpec> jobs(datasets.size(), each);
  for (std::size_t i = 0; i < datasets.size(); ++i) jobs[i].dataset = datasets[i];
  return job_list(jobs);
}

SnapshotJob snapshot_job(const JobSpec& spec) { return job_list({spec}).items.at(0); }

}  // namespace corvatel::testing
