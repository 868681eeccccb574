#include "sim_state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tab_fields.h"

namespace corvatel::testing {
namespace {

void make_folders(const std::string& dir) {
  for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string part = dir.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot create " + part);
    if (slash == std::string::npos) return;
  }
}

std::string make_temp_folder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/zfs_sim_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// Txgs follow creation order, as on a real pool; snapshots that share a txg keep sharing it.
void renumber_txgs(SimModel& model) {
  std::vector<SimSnapshot*> order;
  for (SimSnapshot& snapshot : model.snapshots) order.push_back(&snapshot);
  std::stable_sort(order.begin(), order.end(), [](const SimSnapshot* a, const SimSnapshot* b) {
    return a->creation != b->creation ? a->creation < b->creation : a->txg < b->txg;
  });
  std::int64_t txg = 0;
  const SimSnapshot* previous = nullptr;
  std::vector<std::int64_t> renumbered;
  for (const SimSnapshot* snapshot : order) {
    if (previous == nullptr || previous->creation != snapshot->creation || previous->txg != snapshot->txg)
      ++txg;
    renumbered.push_back(txg);
    previous = snapshot;
  }
  for (std::size_t i = 0; i < order.size(); ++i) order[i]->txg = renumbered[i];
  model.txg = txg;
}

const char* const STATE_FILES[] = {"state", "state.tmp", "calls", "lock"};

}  // namespace

SimState::SimState() : dir_(make_temp_folder()), owned_(true) { reset(); }

SimState::SimState(std::string dir) : dir_(std::move(dir)) {
  if (dir_.empty() || dir_[0] != '/') throw std::runtime_error("SimState needs an absolute folder");
  make_folders(dir_);
  reset();
}

SimState::~SimState() {
  if (!owned_) return;
  for (const char* file : STATE_FILES) ::unlink((dir_ + "/" + file).c_str());
  ::rmdir(dir_.c_str());
}

void SimState::reset() {
  save(SimModel{});
  clear_calls();
}

SimModel SimState::load() const {
  SimModel model;
  std::string error;
  if (!load_model(dir_ + "/state", model, error)) throw std::runtime_error(error);
  return model;
}

void SimState::save(const SimModel& model) const {
  if (!save_model(dir_ + "/state", model)) throw std::runtime_error("cannot write " + dir_ + "/state");
}

void SimState::add_dataset(const std::string& name, std::int64_t written, bool volume) {
  SimModel model = load();
  model.datasets.push_back({name, written, volume});
  save(model);
}

void SimState::set_written(const std::string& name, std::int64_t bytes) {
  SimModel model = load();
  SimDataset* dataset = find_dataset(model, name);
  if (dataset == nullptr) throw std::runtime_error("no dataset " + name);
  dataset->written = bytes;
  save(model);
}

std::int64_t SimState::written(const std::string& name) const {
  SimModel model = load();
  const SimDataset* dataset = find_dataset(model, name);
  return dataset ? dataset->written : -1;
}

void SimState::add_snapshot(const std::string& full_name, std::int64_t creation_seconds) {
  SimModel model = load();
  model.snapshots.push_back({full_name, creation_seconds, ++model.txg});
  renumber_txgs(model);
  save(model);
}

void SimState::add_hold(const std::string& snapshot, const std::string& tag) {
  SimModel model = load();
  model.holds.push_back({snapshot, tag});
  save(model);
}

void SimState::add_clone(const std::string& origin, const std::string& clone) {
  SimModel model = load();
  model.clones.push_back({origin, clone});
  model.datasets.push_back({clone, 0, false});
  save(model);
}

void SimState::set_version(const std::string& version) {
  SimModel model = load();
  model.version = version;
  save(model);
}

void SimState::set_clock(std::int64_t seconds) {
  SimModel model = load();
  model.clock = seconds;
  save(model);
}

std::vector<std::string> SimState::snapshots() const {
  std::vector<std::string> names;
  for (const SimSnapshot& snapshot : load().snapshots) names.push_back(snapshot.name);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SimState::snapshots_newest_first() const {
  std::vector<SimSnapshot> snapshots = load().snapshots;
  sort_newest_first(snapshots);
  std::vector<std::string> names;
  for (const SimSnapshot& snapshot : snapshots) names.push_back(snapshot.name);
  return names;
}

std::vector<std::vector<std::string>> SimState::calls() const {
  std::vector<std::vector<std::string>> calls;
  std::ifstream in(dir_ + "/calls", std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> argv;
    for (const std::string& field : split_tabs(line)) {
      std::string element;
      if (!unescape_field(field, element)) throw std::runtime_error("bad calls line: " + line);
      argv.push_back(element);
    }
    calls.push_back(argv);
  }
  return calls;
}

void SimState::clear_calls() {
  std::ofstream out(dir_ + "/calls", std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + dir_ + "/calls");
}

void SimState::add_fault(const SimFault& fault) {
  SimModel model = load();
  model.faults.push_back(fault);
  save(model);
}

void SimState::clear_faults() {
  SimModel model = load();
  model.faults.clear();
  save(model);
}

void SimState::export_env() const { ::setenv("ZFS_SIM_STATE", dir_.c_str(), 1); }

}  // namespace corvatel::testing
