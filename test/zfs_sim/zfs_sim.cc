#include "zfs_sim.h"

#include <algorithm>
#include <set>
#include <string_view>

namespace corvatel::testing {
namespace {

// Options before the operands, getopt style: flags, and letters that take a value.
struct Options {
  std::set<char> flags;
  std::vector<std::pair<char, std::string>> values;
  std::vector<std::string> operands;
  bool ok = true;

  bool has(char flag) const { return flags.count(flag) != 0; }
  const std::string* value(char letter) const {
    for (const auto& [key, text] : values)
      if (key == letter) return &text;
    return nullptr;
  }
};

bool take_option_cluster(const std::vector<std::string>& args, std::size_t& i,
                         std::string_view flag_letters, std::string_view value_letters,
                         Options& options) {
  const std::string& arg = args[i];
  for (std::size_t k = 1; k < arg.size(); ++k) {
    char letter = arg[k];
    if (flag_letters.find(letter) != std::string_view::npos) {
      options.flags.insert(letter);
      continue;
    }
    if (value_letters.find(letter) == std::string_view::npos) return false;
    if (k + 1 < arg.size()) {
      options.values.emplace_back(letter, arg.substr(k + 1));
    } else if (i + 1 < args.size()) {
      options.values.emplace_back(letter, args[++i]);
    } else {
      return false;
    }
    return true;
  }
  return true;
}

Options parse_options(const std::vector<std::string>& args, std::string_view flag_letters,
                      std::string_view value_letters) {
  Options options;
  std::size_t i = 1;  // args[0] is the subcommand
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
    if (args[i] == "--") {
      ++i;
      break;
    }
    if (!take_option_cluster(args, i, flag_letters, value_letters, options)) {
      options.ok = false;
      return options;
    }
  }
  options.operands.assign(args.begin() + static_cast<std::ptrdiff_t>(std::min(i, args.size())),
                          args.end());
  return options;
}

SimOutput usage_error(const std::vector<std::string>& args) {
  std::string joined;
  for (const std::string& arg : args) joined += (joined.empty() ? "" : " ") + arg;
  return {"", "zfs-sim: unsupported arguments: " + joined + "\n" +
                  "usage: zfs get|snapshot|list|destroy, as corvatel runs them\n",
          2};
}

std::string cannot_open(const std::string& name) {
  return "cannot open '" + name + "': dataset does not exist\n";
}

bool types_supported(const std::string& types, bool& filesystems, bool& volumes) {
  filesystems = volumes = false;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = types.find(',', start);
    std::string type = types.substr(start, comma - start);
    if (type == "filesystem")
      filesystems = true;
    else if (type == "volume")
      volumes = true;
    else
      return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// The datasets named (with `recursive` also their descendants), or all; missing names reported.
std::vector<const SimDataset*> select_datasets(SimModel& model, const std::vector<std::string>& names,
                                               bool recursive, SimOutput& output) {
  std::vector<const SimDataset*> chosen;
  for (const SimDataset& dataset : model.datasets) {
    bool wanted = names.empty();
    for (const std::string& name : names)
      wanted = wanted || dataset.name == name || (recursive && is_descendant(name, dataset.name));
    if (wanted) chosen.push_back(&dataset);
  }
  for (const std::string& name : names) {
    if (find_dataset(model, name) != nullptr) continue;
    output.err += cannot_open(name);
    output.status = 1;
  }
  std::sort(chosen.begin(), chosen.end(),
            [](const SimDataset* a, const SimDataset* b) { return a->name < b->name; });
  return chosen;
}

SimOutput run_get(SimModel& model, const std::vector<std::string>& args) {
  Options options = parse_options(args, "Hpr", "to");
  const std::string* types = options.value('t');
  const std::string* fields = options.value('o');
  bool filesystems = true;  // without -t: snapshots, which real zfs would add, are left out
  bool volumes = true;
  if (!options.ok || !options.has('H') || !options.has('p') ||
      (types != nullptr && !types_supported(*types, filesystems, volumes)) || fields == nullptr ||
      *fields != "name,value" || options.operands.empty() || options.operands[0] != "written")
    return usage_error(args);

  SimOutput output;
  std::vector<std::string> names(options.operands.begin() + 1, options.operands.end());
  for (const SimDataset* dataset : select_datasets(model, names, options.has('r'), output)) {
    if (dataset->volume ? !volumes : !filesystems) continue;
    output.out += dataset->name + "\t" + std::to_string(dataset->written) + "\n";
  }
  return output;
}

SimOutput run_list(SimModel& model, const std::vector<std::string>& args) {
  Options options = parse_options(args, "Hr", "toS");
  const std::string* types = options.value('t');
  const std::string* fields = options.value('o');
  const std::string* sort = options.value('S');
  if (!options.ok || !options.has('H') || types == nullptr || *types != "snapshot" ||
      fields == nullptr || *fields != "name" || (sort != nullptr && *sort != "createtxg"))
    return usage_error(args);

  SimOutput output;
  std::vector<SimSnapshot> chosen;
  std::vector<const SimDataset*> datasets =
      select_datasets(model, options.operands, options.has('r'), output);
  for (const SimSnapshot& snapshot : model.snapshots) {
    for (const SimDataset* dataset : datasets)
      if (dataset_part(snapshot.name) == dataset->name) chosen.push_back(snapshot);
  }
  if (sort != nullptr)
    sort_newest_first(chosen);
  else
    std::stable_sort(chosen.begin(), chosen.end(), snapshot_name_less);
  for (const SimSnapshot& snapshot : chosen) output.out += snapshot.name + "\n";
  return output;
}

bool is_snapshot_name(const std::string& name) {
  std::size_t at = name.find('@');
  return at != std::string::npos && at > 0 && at + 1 < name.size() &&
         name.find('@', at + 1) == std::string::npos;
}

// The snapshots one command asks for: each name, and with `recursive` the same snapshot of
// every descendant, without repeats, in that order.
std::vector<std::string> expand_snapshots(SimModel& model, const std::vector<std::string>& names,
                                          bool recursive) {
  std::vector<std::string> all;
  auto add = [&all](const std::string& name) {
    if (std::find(all.begin(), all.end(), name) == all.end()) all.push_back(name);
  };
  for (const std::string& name : names) {
    add(name);
    if (!recursive) continue;
    std::string_view dataset = dataset_part(name);
    std::string snap = name.substr(dataset.size());
    std::vector<std::string> below;
    for (const SimDataset& d : model.datasets)
      if (is_descendant(dataset, d.name)) below.push_back(d.name + snap);
    std::sort(below.begin(), below.end());
    for (const std::string& child : below) add(child);
  }
  return all;
}

// More than one pool, or two snapshots of one filesystem.
bool spans_filesystems_badly(const std::vector<std::string>& snapshots) {
  std::set<std::string_view> pools;
  std::set<std::string_view> datasets;
  for (const std::string& name : snapshots) {
    pools.insert(pool_part(name));
    if (!datasets.insert(dataset_part(name)).second) return true;
  }
  return pools.size() > 1;
}

void create_snapshots(SimModel& model, const std::vector<std::string>& snapshots) {
  ++model.txg;
  for (const std::string& name : snapshots) {
    model.snapshots.push_back({name, model.clock, model.txg});
    find_dataset(model, dataset_part(name))->written = 0;
  }
}

// The first character that zfs allows in no dataset or snapshot name ('/' and '@' aside), or 0.
char invalid_name_character(std::string_view name) {
  for (char c : name) {
    bool valid = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == ':' || c == ' ' || c == '/' || c == '@';
    if (!valid) return c;
  }
  return 0;
}

// What zfs writes when it refuses a snapshot command; empty when it creates them all.
std::string snapshot_refusal(SimModel& model, const std::vector<std::string>& names,
                             const std::vector<std::string>& snapshots) {
  // zfs checks every name before it asks the kernel for anything, and stops at the first bad one.
  for (const std::string& name : names) {
    if (char bad = invalid_name_character(name); bad != 0)
      return "cannot create snapshot '" + name + "': invalid character '" + bad + "' in name\n";
  }
  if (spans_filesystems_badly(snapshots))
    return "cannot create snapshots : multiple snapshots of same fs not allowed\n";
  std::string err;
  for (const std::string& name : snapshots) {
    if (find_dataset(model, dataset_part(name)) == nullptr)
      err += "cannot create snapshot '" + name + "': dataset does not exist\n";
    else if (find_snapshot(model, name) != nullptr)
      err += "cannot create snapshot '" + name + "': dataset already exists\n";
  }
  return err;
}

SimOutput run_snapshot(SimModel& model, const std::vector<std::string>& args) {
  Options options = parse_options(args, "r", "");
  if (!options.ok || options.operands.empty() ||
      !std::all_of(options.operands.begin(), options.operands.end(), is_snapshot_name))
    return usage_error(args);

  std::vector<std::string> snapshots = expand_snapshots(model, options.operands, options.has('r'));
  SimOutput output;
  output.err = snapshot_refusal(model, options.operands, snapshots);
  if (output.err.empty()) {
    create_snapshots(model, snapshots);
    return output;
  }
  if (snapshots.size() > 1) output.err += "no snapshots were created\n";
  output.status = 1;
  return output;
}

// Why a snapshot cannot be destroyed, in zfs's words; empty when it can.
std::string destroy_refusal(const SimModel& model, const std::string& name) {
  for (const SimHold& hold : model.holds) {
    if (hold.snapshot != name) continue;
    // 2.1 reports the EBUSY of a held snapshot plainly; 2.2 and later name the holds.
    if (model.version.rfind("2.1.", 0) == 0)
      return "cannot destroy snapshot " + name + ": dataset is busy\n";
    return "cannot destroy snapshot " + name + ": it's being held. Run 'zfs holds -r " + name +
           "' to see holders.\n";
  }
  std::string clones;
  for (const SimClone& clone : model.clones)
    if (clone.origin == name) clones += clone.clone + "\n";
  if (clones.empty()) return "";
  return "cannot destroy '" + name + "': snapshot has dependent clones\n" +
         "use '-R' to destroy the following datasets:\n" + clones;
}

SimOutput run_destroy(SimModel& model, const std::vector<std::string>& args) {
  Options options = parse_options(args, "r", "");
  if (!options.ok || options.operands.size() != 1 || !is_snapshot_name(options.operands[0]))
    return usage_error(args);

  const std::string& name = options.operands[0];
  std::string_view dataset = dataset_part(name);
  std::string_view snap = std::string_view(name).substr(dataset.size());
  // zfs opens the dataset first: a missing one is named, not its snapshot.
  if (find_dataset(model, dataset) == nullptr) return {"", cannot_open(std::string(dataset)), 1};
  auto doomed = [&](const SimSnapshot& s) {
    if (s.name == name) return true;
    std::string_view other = dataset_part(s.name);
    return options.has('r') && is_descendant(dataset, other) &&
           std::string_view(s.name).substr(other.size()) == snap;
  };
  SimOutput output;
  bool found = false;
  for (const SimSnapshot& snapshot : model.snapshots) {
    if (!doomed(snapshot)) continue;
    found = true;
    output.err += destroy_refusal(model, snapshot.name);
  }
  if (!found) return {"", "could not find any snapshots to destroy; check snapshot names.\n", 1};
  // One refusal keeps every snapshot of the command: zfs destroys them in one atomic operation.
  if (!output.err.empty()) {
    output.status = 1;
    return output;
  }
  model.snapshots.erase(std::remove_if(model.snapshots.begin(), model.snapshots.end(), doomed),
                        model.snapshots.end());
  return output;
}

}  // namespace

std::string command_kind(const std::vector<std::string>& args) {
  if (args.empty()) return "";
  for (const char* kind : {"get", "snapshot", "list", "destroy"})
    if (args[0] == kind) return kind;
  return "";
}

SimOutput run_sim_command(SimModel& model, const std::vector<std::string>& args) {
  std::string kind = command_kind(args);
  if (kind == "get") return run_get(model, args);
  if (kind == "list") return run_list(model, args);
  if (kind == "snapshot") return run_snapshot(model, args);
  if (kind == "destroy") return run_destroy(model, args);
  return usage_error(args);
}

const SimFault* matching_fault(const SimModel& model, const std::string& kind, std::int64_t count) {
  for (const SimFault& fault : model.faults)
    if (fault.kind == kind && (fault.call == 0 || fault.call == count)) return &fault;
  return nullptr;
}

void apply_fault(const SimFault& fault, SimOutput& output) {
  if (fault.replace_stdout) output.out.clear();
  output.out += fault.stdout_bytes;
  output.err += fault.stderr_text;
  if (fault.exit_status >= 0) output.status = fault.exit_status;
}

}  // namespace corvatel::testing
