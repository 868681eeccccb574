#ifndef CORVATEL_TEST_ZFS_SIM_SIM_MODEL_H
#define CORVATEL_TEST_ZFS_SIM_SIM_MODEL_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corvatel::testing {

/// A filesystem or volume and its `written` bytes.
struct SimDataset {
  std::string name;
  std::int64_t written = 0;
  bool volume = false;
};

/// A snapshot: full name, creation second, creation txg.
struct SimSnapshot {
  std::string name;
  std::int64_t creation = 0;
  std::int64_t txg = 0;
};

/// A failure that one invocation kind shows, on one call or on all of them.
struct SimFault {
  std::string kind;             // "get", "snapshot", "list" or "destroy"
  int call = 0;                 // the n-th call of that kind, 1 the first; 0: every call
  bool perform = false;         // still carry out the real command (state and output) first
  int exit_status = 1;          // status to exit with; -1: the real command's status
  std::string stderr_text;      // written after the real standard error
  std::string stdout_bytes;     // written after, or instead of, the real standard output
  bool replace_stdout = false;  // drop the real standard output
  int signal = 0;               // after writing, kill itself with this signal
  double stall_seconds = 0;     // sleep before anything else
};

/// A user hold on a snapshot: while any is on it, the snapshot cannot be destroyed.
struct SimHold {
  std::string snapshot;
  std::string tag;
};

/// A clone and the snapshot it was made from, which cannot be destroyed while it exists.
struct SimClone {
  std::string origin;
  std::string clone;
};

/// The OpenZFS release whose texts the simulator writes where releases differ.
inline constexpr const char* SIM_DEFAULT_VERSION = "2.3.2";

/// Everything the simulated zfs remembers between invocations.
struct SimModel {
  std::int64_t clock = 0;  // creation second of new snapshots; may step back, as a host clock can
  std::int64_t txg = 0;    // the last txg handed out
  std::string version = SIM_DEFAULT_VERSION;
  std::vector<SimDataset> datasets;
  std::vector<SimSnapshot> snapshots;
  std::vector<SimHold> holds;
  std::vector<SimClone> clones;
  std::map<std::string, std::int64_t> call_counts;  // invocations so far, by kind
  std::vector<SimFault> faults;
};

/// Reads a state file; a missing file is the empty state. False with `error` on a bad file.
bool load_model(const std::string& path, SimModel& model, std::string& error);

/// Replaces the state file whole, through a temporary file and a rename. False on failure.
bool save_model(const std::string& path, const SimModel& model);

/// Writes backslash, tab, newline, carriage return and NUL as \\ \t \n \r \0.
std::string escape_field(std::string_view text);

/// Undoes escape_field; also takes \xHH. False on a malformed escape.
bool unescape_field(std::string_view text, std::string& out);

/// The dataset of a dataset or snapshot name: the text before '@'.
std::string_view dataset_part(std::string_view name);

/// The pool: the text before the first '/' (and before any '@').
std::string_view pool_part(std::string_view name);

/// True when `descendant` lies below dataset `ancestor`.
bool is_descendant(std::string_view ancestor, std::string_view descendant);

/// zfs's name order: strcmp of the dataset parts, then creation txg ascending.
bool snapshot_name_less(const SimSnapshot& a, const SimSnapshot& b);

/// Sorted as `list -S createtxg` sorts: txg descending, ties (other datasets) in name order.
/// One txg counter serves every pool here, where real pools count their own: only the order
/// within a dataset is meant to match.
void sort_newest_first(std::vector<SimSnapshot>& snapshots);

/// The dataset of that name, or null.
SimDataset* find_dataset(SimModel& model, std::string_view name);

/// The snapshot of that full name, or null.
SimSnapshot* find_snapshot(SimModel& model, std::string_view name);

}  // namespace corvatel::testing

#endif
