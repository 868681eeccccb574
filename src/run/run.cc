// The run frame: takes the lock, opens the log and the configuration, reads the clock once,
// calls the stages in their fixed order and folds their results into the exit status. Every
// piece of state that outlives a stage belongs to a local here, released in scope order, and
// only this frame turns results into the exit status: no stage ends the process.
#include "run/run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/unique_fd.h"
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

namespace corvatel {
namespace {

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

/// The configuration stream and getline's buffer. close() reports a failed close; the
/// destructor only closes.
class ConfigFile {
 public:
  explicit ConfigFile(const char* path) : path_(path) {}
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;
  ~ConfigFile() {
    if (stream_ != nullptr) std::fclose(stream_);
  }

  /// Opens the file for reading; -1 (on standard error and in the log) when it cannot be.
  int open(const char* program) {
    stream_ = std::fopen(path_, "re");
    if (stream_ != nullptr) return 0;
    int saved = errno;
    warn_stderr("%s: failed to open config file %s: %s", program, path_, std::strerror(saved));
    log_event("Error: failed to open config file %s: %s", path_, std::strerror(saved));
    return -1;
  }

  /// Reads every line (read_configuration) and checks that the file was read to its end;
  /// the configuration error flag, or -1 (logged) after a read error.
  int read(std::int64_t minute_of_day, JobList& standard, JobList& recursive) {
    ConfigKeySet keys;
    int read_errno = 0;
    int flag = read_configuration(stream_, line_, minute_of_day, standard, recursive, keys,
                                  read_errno);
    if (std::feof(stream_)) return flag;
    log_event("Error: Failed to read config file %s: %s", path_, std::strerror(read_errno));
    return -1;
  }

  /// Frees the line buffer, then closes the stream; 1 (logged) when the close fails.
  int close() {
    line_.release();
    int result = std::fclose(stream_);
    stream_ = nullptr;
    if (result == 0) return 0;
    log_event("Error: failed to close config file %s: %s", path_, std::strerror(errno));
    return 1;
  }

 private:
  const char* path_;
  std::FILE* stream_ = nullptr;
  LineBuffer line_;
};

bool any_job(const JobList& standard, const JobList& recursive) {
  return !standard.items.empty() || !recursive.items.empty();
}

// Reads the clock once, as local time; -1 (logged) when it cannot be read.
int read_local_time(const RunClock& clock, std::tm& local) {
  std::int64_t reading = 0;
  if (read_clock(reading, clock.time) != 0) {
    log_event("Error: failed to read current time");
    return -1;
  }
  std::time_t now = static_cast<std::time_t>(reading);
  if (clock.localtime(&now, &local) == nullptr) {
    log_event("Error: localtime_r failed");
    return -1;
  }
  return 0;
}

// Keeps the configured jobs that are due at `minute_of_day`; the run status from the
// configuration error flag, or -1 when the run must end.
int read_due_jobs(ConfigFile& config, std::int64_t minute_of_day, JobList& standard,
                  JobList& recursive) {
  int flag = config.read(minute_of_day, standard, recursive);
  if (flag < 0) return -1;
  // As after a read error: acting on part of the configuration could prune what it keeps.
  if (flag == kConfigLineLost) {
    log_event("Error: Configuration incomplete for want of memory; nothing created or pruned");
    return -1;
  }
  return flag == 0 ? 0 : 1;
}

// Fetches the written metrics and drops the jobs below their threshold or without a usable
// total (these set `run_status` to 1); -1 when the run must end.
int keep_written_jobs(const char* zfs, JobList& standard, JobList& recursive, int& run_status) {
  MetricTable metrics;
  if (fetch_written_metrics(zfs, standard, recursive, metrics) != 0) return -1;
  if (!metrics.rows.empty()) sort_metric_table(metrics);
  compute_written_totals(standard, metrics, false, run_status);
  compute_written_totals(recursive, metrics, true, run_status);
  return 0;
}

// Drops the jobs that a recursive job covers and assigns the waves; -1 when the run must end.
int plan_overlaps(JobList& standard, JobList& recursive) {
  if (resolve_recursive_overlaps(recursive) != 0) {
    log_event("Error: Failed to check recursive ancestor overlaps");
    return -1;
  }
  // The standard waves belong to the same planning step, and share its message.
  if (drop_covered_standard_jobs(standard, recursive) != 0 ||
      assign_standard_waves(standard) != 0) {
    log_event("Error: Failed to check recursive overlaps");
    return -1;
  }
  return 0;
}

// Creates the run's snapshots, standard jobs first; 1 when a batch of either list failed.
int create_snapshots(const char* zfs, JobList& standard, JobList& recursive,
                     const char* timestamp) {
  int status = 0;
  if (create_snapshot_batches(zfs, standard, timestamp, false) != 0) status = 1;
  if (create_snapshot_batches(zfs, recursive, timestamp, true) != 0) status = 1;
  return status;
}

// Lists the snapshots once, then confirms, reports and prunes the standard jobs and then the
// recursive ones; 1 when either pass failed. A failed listing only leaves the inventory
// unavailable to both passes.
int report_and_prune(const char* zfs, const JobList& standard, const JobList& recursive,
                     const char* timestamp) {
  SnapshotInventory inventory;
  bool inventory_available = true;
  if (any_job(standard, recursive) &&
      fetch_snapshot_inventory(zfs, inventory, standard, recursive, timestamp) != 0) {
    log_event("Error: Unable to list snapshots for batch verification and pruning");
    inventory_available = false;
  }
  int status = 0;
  if (verify_report_and_prune(zfs, standard, inventory, inventory_available, timestamp,
                              false) != 0)
    status = 1;
  if (verify_report_and_prune(zfs, recursive, inventory, inventory_available, timestamp,
                              true) != 0)
    status = 1;
  return status;
}

// From the clock reading to the last stage; the exit status before the finish.
int run_stages(ConfigFile& config, const RunClock& clock, const char* zfs, JobList& standard,
               JobList& recursive) {
  std::tm local{};
  if (read_local_time(clock, local) != 0) return 1;
  int run_status = read_due_jobs(config, minute_of_day(local), standard, recursive);
  if (run_status < 0) return 1;
  if (any_job(standard, recursive) &&
      keep_written_jobs(zfs, standard, recursive, run_status) != 0)
    return 1;
  if (plan_overlaps(standard, recursive) != 0) return 1;
  char timestamp[32];
  if (format_snapshot_timestamp(local, timestamp) != 0) {
    log_event("Error: Failed to format timestamp");
    return 1;
  }
  // Beyond this point no failure ends the run: a failed batch, listing or destroy is logged and
  // raises the status, and every later job, batch and destroy is still tried.
  if (create_snapshots(zfs, standard, recursive, timestamp) != 0) run_status = 1;
  if (report_and_prune(zfs, standard, recursive, timestamp) != 0) run_status = 1;
  return run_status;
}

// The part of a run with the log open; the exit status before the final log checks.
int run_with_log(const RunPaths& paths, const char* program, const RunClock& clock) {
  // Declared before the configuration, so that they are released after it is closed.
  JobList standard;
  JobList recursive;
  ConfigFile config(paths.config);
  if (config.open(program) != 0) return 1;
  int exit_status = run_stages(config, clock, paths.zfs, standard, recursive);
  if (config.close() != 0) exit_status = 1;
  return exit_status;
}

// The locked part of a run: everything between taking and releasing the lock.
int run_locked(const RunPaths& paths, const char* program, const RunClock& clock) {
  LogFile log(paths.log, program);
  if (log.open() != 0) return 1;
  return log.close(run_with_log(paths, program, clock));
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
