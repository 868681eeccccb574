// Snapshot batches: the run's snapshots, all with the run's one timestamp, created per pool and
// wave in as few zfs snapshot commands as ZFS_ARG_BYTES_MAX allows. The jobs of a failed
// command are marked `failed`; which of their snapshots exist is settled against the listing.
// Each wave's commands end before the next wave's begin.
#include "snapshot/batches.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "base/growth.h"
#include "config/names.h"
#include "log/log.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

constexpr std::size_t kWaveFirstCapacity = 32;

struct BatchRun {
  const char* zfs;
  JobList& list;
  const char* timestamp;
  std::size_t timestamp_length;
  bool recursive;
};

// A batch: positions [first, last) of the wave index list.
struct Batch {
  std::size_t first;
  std::size_t last;
  std::size_t cost;
};

std::size_t job_cost(const BatchRun& run, const SnapshotJob& job) {
  return job.dataset.size() + job.prefix.size() + run.timestamp_length + 3;
}

// True when a job before `index` is in the same pool: that pool was handled at its first job.
// A scan that allocates nothing. The job just before is looked at first, since a
// configuration lists a pool's entries together; the scan then ends at once for all but the
// first job of each run of one pool.
bool pool_seen_before(const JobList& list, std::size_t index) {
  std::string_view pool = dataset_pool(list.items[index].dataset);
  if (index > 0 && dataset_pool(list.items[index - 1].dataset) == pool) return true;
  for (std::size_t i = 0; i < index; ++i) {
    if (dataset_pool(list.items[i].dataset) == pool) return true;
  }
  return false;
}

std::uint64_t largest_wave(const JobList& list, std::string_view pool) {
  std::uint64_t largest = 0;
  for (const SnapshotJob& job : list.items) {
    if (dataset_pool(job.dataset) == pool && job.wave > largest) largest = job.wave;
  }
  return largest;
}

void mark_wave_failed(JobList& list, std::string_view pool, std::uint64_t wave) {
  for (SnapshotJob& job : list.items) {
    if (job.wave == wave && dataset_pool(job.dataset) == pool) job.failed = true;
  }
}

// The positions of the pool's jobs in `wave`, in list order; -1 when the list cannot grow.
int collect_wave(const JobList& list, std::string_view pool, std::uint64_t wave,
                 std::vector<std::size_t>& positions) {
  for (std::size_t i = 0; i < list.items.size(); ++i) {
    const SnapshotJob& job = list.items[i];
    if (job.wave != wave || dataset_pool(job.dataset) != pool) continue;
    if (grow_for_one_more(positions, kWaveFirstCapacity) != 0) return -1;
    positions.push_back(i);
  }
  return 0;
}

// Writes the batch's names back to back into `buffer` and points `names` at them.
int format_names(const BatchRun& run, const std::vector<std::size_t>& positions,
                 const Batch& batch, std::vector<char>& buffer,
                 std::vector<const char*>& names) {
  std::size_t used = 0;
  for (std::size_t i = batch.first; i < batch.last; ++i) {
    const SnapshotJob& job = run.list.items[positions[i]];
    std::size_t remaining = buffer.size() - used;
    int length = format_snapshot_name(job, run.timestamp, buffer.data() + used, remaining);
    if (length < 0) return -1;
    names.push_back(buffer.data() + used);
    used += static_cast<std::size_t>(length) + 1;
  }
  return 0;
}

int run_batch(const BatchRun& run, const std::vector<std::size_t>& positions,
              const Batch& batch) {
  std::vector<char> buffer;
  std::vector<const char*> names;
  try {
    buffer.reserve(batch.cost);
    buffer.resize(batch.cost);
    names.reserve(batch.last - batch.first);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (format_names(run, positions, batch, buffer, names) != 0) return -1;
  std::vector<const char*> argv;
  if (build_snapshot_argv(argv, run.zfs, run.recursive, names) != 0) return -1;
  return command_succeeded(run_zfs(argv.data(), nullptr, nullptr)) ? 0 : -1;
}

// The batch starting at `first`: its first job always, then jobs while the cost fits.
Batch next_batch(const BatchRun& run, const std::vector<std::size_t>& positions,
                 std::size_t first) {
  Batch batch{first, first + 1, job_cost(run, run.list.items[positions[first]])};
  while (batch.last < positions.size()) {
    std::size_t cost = job_cost(run, run.list.items[positions[batch.last]]);
    if (batch.cost + cost > ZFS_ARG_BYTES_MAX) break;
    batch.cost += cost;
    ++batch.last;
  }
  return batch;
}

int run_wave(const BatchRun& run, const std::vector<std::size_t>& positions) {
  int result = 0;
  std::size_t first = 0;
  while (first < positions.size()) {
    Batch batch = next_batch(run, positions, first);
    if (run_batch(run, positions, batch) != 0) {
      for (std::size_t i = batch.first; i < batch.last; ++i)
        run.list.items[positions[i]].failed = true;
      result = -1;
    }
    first = batch.last;
  }
  return result;
}

int run_pool(const BatchRun& run, std::string_view pool) {
  int result = 0;
  std::uint64_t last_wave = largest_wave(run.list, pool);
  // Counting up to the largest wave inclusive, so that no wave count can overflow.
  for (std::uint64_t wave = 0;; ++wave) {
    std::vector<std::size_t> positions;
    if (collect_wave(run.list, pool, wave, positions) != 0) {
      mark_wave_failed(run.list, pool, wave);
      result = -1;
    } else if (!positions.empty() && run_wave(run, positions) != 0) {
      result = -1;
    }
    if (wave == last_wave) break;
  }
  return result;
}

}  // namespace

int format_snapshot_name(const SnapshotJob& job, const char* timestamp, char* buffer,
                         std::size_t size) {
  int length = std::snprintf(buffer, size, "%s@%s_%s", job.dataset.c_str(), job.prefix.c_str(),
                             timestamp);
  if (length < 0 || static_cast<std::size_t>(length) >= size) return -1;
  return length;
}

int create_snapshot_batches(const char* zfs, JobList& list, const char* timestamp,
                            bool recursive) {
  BatchRun run{zfs, list, timestamp, std::strlen(timestamp), recursive};
  int result = 0;
  for (std::size_t i = 0; i < list.items.size(); ++i) {
    if (pool_seen_before(list, i)) continue;
    if (run_pool(run, dataset_pool(list.items[i].dataset)) != 0) result = -1;
  }
  if (result != 0 && recursive) log_event("Error: recursive zfs snapshot batch execution failed");
  if (result != 0 && !recursive) log_event("Error: standard zfs snapshot batch execution failed");
  return result;
}

}  // namespace corvatel
