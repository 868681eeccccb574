#ifndef CORVATEL_TEST_ZFS_SIM_SIM_STATE_H
#define CORVATEL_TEST_ZFS_SIM_SIM_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim_model.h"

namespace corvatel::testing {

/// The simulated zfs program, built with the tests.
inline constexpr const char* ZFS_SIM = ZFS_SIM_PATH;

/// A zfs-sim state folder that tests set up and inspect; throws std::runtime_error when the
/// folder or its state cannot be read or written.
class SimState {
 public:
  /// A fresh folder under the temporary directory, removed again by the destructor.
  SimState();
  /// The given absolute folder (made when missing), reset to the empty state; kept afterwards.
  explicit SimState(std::string dir);
  ~SimState();
  SimState(const SimState&) = delete;
  SimState& operator=(const SimState&) = delete;

  /// The state folder.
  const std::string& dir() const { return dir_; }

  /// The whole state.
  SimModel model() const { return load(); }
  /// Replaces the whole state at once: a large pool, filled one change at a time, would be
  /// rewritten at each.
  void set_model(const SimModel& model) { save(model); }

  /// Adds a filesystem (or volume) with its `written` bytes.
  void add_dataset(const std::string& name, std::int64_t written = 0, bool volume = false);
  /// Changes a dataset's `written` bytes.
  void set_written(const std::string& name, std::int64_t bytes);
  /// A dataset's `written` bytes; -1 when there is no such dataset.
  std::int64_t written(const std::string& name) const;
  /// Adds an existing snapshot created at `creation_seconds`; txgs are renumbered to follow
  /// creation order (after the others of the same second). Keep history at or before the clock.
  void add_snapshot(const std::string& full_name, std::int64_t creation_seconds);
  /// Puts a user hold with `tag` on a snapshot.
  void add_hold(const std::string& snapshot, const std::string& tag);
  /// Records `clone` as a clone of snapshot `origin` (and adds it as a filesystem).
  void add_clone(const std::string& origin, const std::string& clone);
  /// The OpenZFS release whose texts to write where releases differ ("2.1.11", "2.3.2").
  void set_version(const std::string& version);
  /// The creation second of snapshots made from now on; it stays until set again.
  void set_clock(std::int64_t seconds);

  /// Every snapshot's full name, in name order.
  std::vector<std::string> snapshots() const;
  /// Every snapshot's full name, as `list -S createtxg` orders them.
  std::vector<std::string> snapshots_newest_first() const;

  /// The argument vectors of the invocations so far, argv[0] included, oldest first.
  std::vector<std::vector<std::string>> calls() const;
  /// Forgets the recorded invocations (the per-kind call numbers go on).
  void clear_calls();

  /// Adds a fault; the first fault that matches an invocation applies.
  void add_fault(const SimFault& fault);
  /// Removes every fault.
  void clear_faults();

  /// Sets ZFS_SIM_STATE to this folder for the processes started afterwards.
  void export_env() const;

 private:
  SimModel load() const;
  void save(const SimModel& model) const;
  void reset();

  std::string dir_;
  bool owned_ = false;
};

}  // namespace corvatel::testing

#endif
