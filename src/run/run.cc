#include "run/run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/configuration.h"
#include "config/job_list.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "metrics/metrics_fetch.h"
#include "metrics/written_totals.h"
#include "plan/overlap.h"
#include "plan/waves.h"
#include "snapshot/batches.h"
#include "snapshot/inventory.h"
#include "snapshot/prune.h"
#include "snapshot/report.h"
#include "zfs/unique_fd.h"

namespace corvatel {
namespace {

/// Everything that outlives one stage of a run.
struct RunFrame {
  RunFrame(const RunPaths& run_paths, const char* program_name)
      : paths(run_paths), program(program_name) {}

  const RunPaths& paths;
  const char* program;
  std::FILE* config = nullptr;
  LineBuffer line;
  std::tm local{};
  std::int64_t minute_of_day = 0;
  JobList standard;
  JobList recursive;
  ConfigKeySet keys;
  int run_status = 0;
  MetricTable metrics;
  char timestamp[32] = {};
  SnapshotInventory inventory;
  bool inventory_available = true;
};

void set_disposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// Dispositions inherited from whatever started the run must not end it silently. An ignored
// SIGCHLD has the kernel reap the zfs children, so waitpid fails and every command counts as
// failed. SIGXFSZ (a log at the file-size limit) and SIGPIPE (a standard error nobody reads)
// would kill the run mid-way with nothing reported; ignored, the write fails instead and the
// log checks report it.
void set_signal_dispositions() {
  set_disposition(SIGCHLD, SIG_DFL);
  set_disposition(SIGXFSZ, SIG_IGN);
  set_disposition(SIGPIPE, SIG_IGN);
}

int take_lock(const char* path, const char* program, UniqueFd& lock) {
  lock.reset(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) {
    warn_stderr("%s: failed to open lock file %s: %s", program, path, std::strerror(errno));
    return -1;
  }
  if (flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno == EWOULDBLOCK)
    warn_stderr("%s: another instance is already running (lock held on %s)", program, path);
  else
    warn_stderr("%s: failed to acquire lock %s: %s", program, path, std::strerror(errno));
  lock.reset();
  return -1;
}

int open_log(const RunFrame& frame) {
  std::FILE* stream = std::fopen(frame.paths.log, "ae");
  if (stream == nullptr) {
    warn_stderr("%s: failed to open log file %s: %s", frame.program, frame.paths.log,
                std::strerror(errno));
    return -1;
  }
  if (std::setvbuf(stream, nullptr, _IOLBF, 0) != 0)
    std::fprintf(stderr,
                 "%s: failed to enable line-buffered logging; continuing with fully-buffered "
                 "logging\n",
                 frame.program);
  log_state().stream = stream;
  return 0;
}

int open_config(RunFrame& frame) {
  frame.config = std::fopen(frame.paths.config, "re");
  if (frame.config != nullptr) return 0;
  int saved = errno;
  warn_stderr("%s: failed to open config file %s: %s", frame.program, frame.paths.config,
              std::strerror(saved));
  log_event("Error: failed to open config file %s: %s", frame.paths.config, std::strerror(saved));
  return -1;
}

bool any_job(const RunFrame& frame) {
  return !frame.standard.items.empty() || !frame.recursive.items.empty();
}

// Slots 2 to 5; -1 ends the run.
int slot_written_metrics(RunFrame& frame) {
  if (fetch_written_metrics(frame.paths.zfs, frame.standard, frame.recursive, frame.metrics) != 0)
    return -1;
  if (!frame.metrics.rows.empty()) sort_metric_table(frame.metrics);
  compute_written_totals(frame.standard, frame.metrics, false, frame.run_status);
  compute_written_totals(frame.recursive, frame.metrics, true, frame.run_status);
  return 0;
}

// Slots 6 to 8; -1 ends the run.
int slot_overlap_planning(RunFrame& frame) {
  if (resolve_recursive_overlaps(frame.recursive) != 0) {
    log_event("Error: Failed to check recursive ancestor overlaps");
    return -1;
  }
  if (drop_covered_standard_jobs(frame.standard, frame.recursive) != 0) {
    log_event("Error: Failed to check recursive overlaps");
    return -1;
  }
  assign_standard_waves(frame.standard);
  return 0;
}

// Slots 10 to 12: each failure is folded into the run status and the run goes on.
void slot_snapshots(RunFrame& frame) {
  const char* zfs = frame.paths.zfs;
  if (create_snapshot_batches(zfs, frame.standard, frame.timestamp, false) != 0)
    frame.run_status = 1;
  if (create_snapshot_batches(zfs, frame.recursive, frame.timestamp, true) != 0)
    frame.run_status = 1;
  if (any_job(frame) &&
      fetch_snapshot_inventory(zfs, frame.inventory, frame.standard, frame.recursive,
                               frame.timestamp) != 0) {
    log_event("Error: Unable to list snapshots for batch verification and pruning");
    frame.inventory_available = false;
  }
  for (bool recursive : {false, true}) {
    const JobList& list = recursive ? frame.recursive : frame.standard;
    if (verify_report_and_prune(zfs, list, frame.inventory, frame.inventory_available,
                                frame.timestamp, recursive) != 0)
      frame.run_status = 1;
  }
  free_snapshot_inventory(frame.inventory);
}

// From the clock reading up to the last stage; returns the exit status before the finish.
int run_stages(RunFrame& frame, const RunClock& clock) {
  std::int64_t reading = 0;
  if (read_clock(reading, clock.time) != 0) {
    log_event("Error: failed to read current time");
    return 1;
  }
  std::time_t now = static_cast<std::time_t>(reading);
  if (clock.localtime(&now, &frame.local) == nullptr) {
    log_event("Error: localtime_r failed");
    return 1;
  }
  frame.minute_of_day = minute_of_day(frame.local);

  int read_errno = 0;
  int config_flag = read_configuration(frame.config, frame.line, frame.minute_of_day,
                                       frame.standard, frame.recursive, frame.keys, read_errno);
  frame.run_status = config_flag == 0 ? 0 : 1;
  if (!std::feof(frame.config)) {
    log_event("Error: Failed to read config file %s: %s", frame.paths.config,
              std::strerror(read_errno));
    return 1;
  }
  // As after a read error: acting on part of the configuration could prune what it keeps.
  if (config_flag == kConfigLineLost) {
    log_event("Error: Configuration incomplete for want of memory; nothing created or pruned");
    return 1;
  }
  if (any_job(frame) && slot_written_metrics(frame) != 0) return 1;
  if (slot_overlap_planning(frame) != 0) return 1;
  if (format_snapshot_timestamp(frame.local, frame.timestamp) != 0) {
    log_event("Error: Failed to format timestamp");
    return 1;
  }
  slot_snapshots(frame);
  return frame.run_status;
}

int close_config(RunFrame& frame) {
  frame.line.release();
  if (frame.config == nullptr) return 0;
  int result = std::fclose(frame.config);
  frame.config = nullptr;
  if (result == 0) return 0;
  log_event("Error: failed to close config file %s: %s", frame.paths.config, std::strerror(errno));
  return 1;
}

void clean_up(RunFrame& frame) {
  std::vector<WrittenMetric>().swap(frame.metrics.rows);
  job_list_free(frame.standard);
  job_list_free(frame.recursive);
}

int final_log_checks(const RunFrame& frame, int exit_status) {
  LogState& log = log_state();
  if (log.stream == nullptr) return exit_status;
  if (log.write_failed) {
    std::fprintf(stderr, "%s: one or more writes to log file %s failed; log is incomplete\n",
                 frame.program, frame.paths.log);
    exit_status = 1;
  }
  if (std::fclose(log.stream) != 0) {
    std::fprintf(stderr, "%s: failed to flush log file %s: %s\n", frame.program, frame.paths.log,
                 std::strerror(errno));
    exit_status = 1;
  }
  log.stream = nullptr;
  return exit_status;
}

// The locked part of a run: everything between taking and releasing the lock.
int run_locked(const RunPaths& paths, const char* program, const RunClock& clock) {
  RunFrame frame{paths, program};
  log_state().write_failed = false;
  if (open_log(frame) != 0) {
    clean_up(frame);
    return 1;
  }
  int exit_status = 1;
  if (open_config(frame) == 0) {
    exit_status = run_stages(frame, clock);
    if (close_config(frame) != 0) exit_status = 1;
  }
  clean_up(frame);
  return final_log_checks(frame, exit_status);
}

}  // namespace

int read_clock(std::int64_t& reading, const TimeSource& time_source) {
  errno = 0;
  std::time_t now = time_source(nullptr);
  if (now == static_cast<std::time_t>(-1) && errno != 0) return -1;
  reading = static_cast<std::int64_t>(now);
  return 0;
}

std::int64_t minute_of_day(const std::tm& local) {
  return static_cast<std::int64_t>(local.tm_hour) * 60 + local.tm_min;
}

int format_snapshot_timestamp(const std::tm& local, char (&timestamp)[32]) {
  if (std::strftime(timestamp, sizeof timestamp, "%Y-%m-%d_%H:%M:%S%z", &local) == 0) return -1;
  if (timestamp[19] == '+') timestamp[19] = 'p';
  return 0;
}

int corvatel_main(int argc, char** argv, const RunPaths& paths, const RunClock& clock) {
  set_signal_dispositions();
  const char* program = program_name(argc, argv);
  if (repair_standard_descriptors() != 0) {
    warn_stderr("%s: failed to establish standard file descriptors", program);
    return 1;
  }
  CommandLineOutcome outcome = handle_command_line(argc, argv, program, paths);
  if (!outcome.run) return outcome.exit_status;

  UniqueFd lock;  // released as the very last action, after the log is closed
  if (take_lock(paths.lock, program, lock) != 0) return 1;
  return run_locked(paths, program, clock);
}

}  // namespace corvatel
