#include "sim_model.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tab_fields.h"

namespace corvatel::testing {
namespace {

bool parse_int(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool parse_double(const std::string& text, double& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && value >= 0;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool set_fault_field(SimFault& fault, const std::string& key, const std::string& raw) {
  std::string value;
  if (!unescape_field(raw, value)) return false;
  std::int64_t number = 0;
  if (key == "kind") {
    fault.kind = value;
  } else if (key == "stderr") {
    fault.stderr_text = value;
  } else if (key == "stdout") {
    fault.stdout_bytes = value;
  } else if (key == "stall") {
    return parse_double(value, fault.stall_seconds);
  } else if (!parse_int(value, number)) {
    return false;
  } else if (key == "call") {
    fault.call = static_cast<int>(number);
  } else if (key == "perform") {
    fault.perform = number != 0;
  } else if (key == "exit") {
    fault.exit_status = static_cast<int>(number);
  } else if (key == "replace_stdout") {
    fault.replace_stdout = number != 0;
  } else if (key == "signal") {
    fault.signal = static_cast<int>(number);
  } else {
    return false;
  }
  return true;
}

bool parse_fault(const std::vector<std::string>& fields, SimFault& fault) {
  for (std::size_t i = 1; i < fields.size(); ++i) {
    std::size_t equals = fields[i].find('=');
    if (equals == std::string::npos) return false;
    if (!set_fault_field(fault, fields[i].substr(0, equals), fields[i].substr(equals + 1)))
      return false;
  }
  return !fault.kind.empty();
}

bool parse_dataset(const std::vector<std::string>& f, SimModel& model) {
  SimDataset dataset;
  if (f.size() != 4 || !unescape_field(f[1], dataset.name) || !parse_int(f[2], dataset.written))
    return false;
  if (f[3] != "filesystem" && f[3] != "volume") return false;
  dataset.volume = f[3] == "volume";
  model.datasets.push_back(dataset);
  return true;
}

bool parse_snapshot(const std::vector<std::string>& f, SimModel& model) {
  SimSnapshot snapshot;
  if (f.size() != 4 || !unescape_field(f[1], snapshot.name) ||
      !parse_int(f[2], snapshot.creation) || !parse_int(f[3], snapshot.txg))
    return false;
  model.snapshots.push_back(snapshot);
  return true;
}

bool parse_pair(const std::vector<std::string>& f, std::string& first, std::string& second) {
  return f.size() == 3 && unescape_field(f[1], first) && unescape_field(f[2], second) &&
         !first.empty() && !second.empty();
}

bool parse_line(const std::string& line, SimModel& model) {
  if (line.empty() || line[0] == '#') return true;
  std::vector<std::string> f = split_tabs(line);
  const std::string& tag = f[0];
  if (tag == "clock") return f.size() == 2 && parse_int(f[1], model.clock);
  if (tag == "version") {
    if (f.size() != 2 || f[1].empty()) return false;
    model.version = f[1];
    return true;
  }
  if (tag == "hold") {
    SimHold hold;
    if (!parse_pair(f, hold.snapshot, hold.tag)) return false;
    model.holds.push_back(hold);
    return true;
  }
  if (tag == "clone") {
    SimClone clone;
    if (!parse_pair(f, clone.origin, clone.clone)) return false;
    model.clones.push_back(clone);
    return true;
  }
  if (tag == "txg") return f.size() == 2 && parse_int(f[1], model.txg);
  if (tag == "dataset") return parse_dataset(f, model);
  if (tag == "snapshot") return parse_snapshot(f, model);
  if (tag == "count") return f.size() == 3 && parse_int(f[2], model.call_counts[f[1]]);
  if (tag == "fault") {
    SimFault fault;
    if (!parse_fault(f, fault)) return false;
    model.faults.push_back(fault);
    return true;
  }
  return false;
}

std::string format_fault(const SimFault& fault) {
  std::ostringstream out;
  char stall[64];
  std::snprintf(stall, sizeof stall, "%.17g", fault.stall_seconds);
  out << "fault\tkind=" << escape_field(fault.kind) << "\tcall=" << fault.call
      << "\tperform=" << (fault.perform ? 1 : 0) << "\texit=" << fault.exit_status
      << "\tstderr=" << escape_field(fault.stderr_text)
      << "\tstdout=" << escape_field(fault.stdout_bytes)
      << "\treplace_stdout=" << (fault.replace_stdout ? 1 : 0) << "\tsignal=" << fault.signal
      << "\tstall=" << stall << "\n";
  return out.str();
}

std::string format_model(const SimModel& model) {
  std::ostringstream out;
  out << "clock\t" << model.clock << "\ntxg\t" << model.txg << "\n";
  out << "version\t" << model.version << "\n";
  for (const SimDataset& d : model.datasets)
    out << "dataset\t" << escape_field(d.name) << "\t" << d.written << "\t"
        << (d.volume ? "volume" : "filesystem") << "\n";
  for (const SimSnapshot& s : model.snapshots)
    out << "snapshot\t" << escape_field(s.name) << "\t" << s.creation << "\t" << s.txg << "\n";
  for (const SimHold& h : model.holds)
    out << "hold\t" << escape_field(h.snapshot) << "\t" << escape_field(h.tag) << "\n";
  for (const SimClone& c : model.clones)
    out << "clone\t" << escape_field(c.origin) << "\t" << escape_field(c.clone) << "\n";
  for (const auto& [kind, count] : model.call_counts) out << "count\t" << kind << "\t" << count << "\n";
  for (const SimFault& fault : model.faults) out << format_fault(fault);
  return out.str();
}

}  // namespace

bool load_model(const std::string& path, SimModel& model, std::string& error) {
  model = SimModel{};
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!parse_line(line, model)) {
      error = path + ":" + std::to_string(number) + ": bad state line";
      return false;
    }
  }
  return true;
}

bool save_model(const std::string& path, const SimModel& model) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << format_model(model);
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string escape_field(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default: out += c;
    }
  }
  return out;
}

bool unescape_field(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case '0': out += '\0'; break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        int high = hex_digit(text[i + 1]);
        int low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

std::string_view dataset_part(std::string_view name) { return name.substr(0, name.find('@')); }

std::string_view pool_part(std::string_view name) {
  std::string_view dataset = dataset_part(name);
  return dataset.substr(0, dataset.find('/'));
}

bool is_descendant(std::string_view ancestor, std::string_view descendant) {
  return descendant.size() > ancestor.size() && descendant.substr(0, ancestor.size()) == ancestor &&
         descendant[ancestor.size()] == '/';
}

bool snapshot_name_less(const SimSnapshot& a, const SimSnapshot& b) {
  int order = dataset_part(a.name).compare(dataset_part(b.name));
  if (order != 0) return order < 0;
  return a.txg < b.txg;
}

void sort_newest_first(std::vector<SimSnapshot>& snapshots) {
  std::stable_sort(snapshots.begin(), snapshots.end(), [](const SimSnapshot& a, const SimSnapshot& b) {
    if (a.txg != b.txg) return a.txg > b.txg;
    return snapshot_name_less(a, b);
  });
}

SimDataset* find_dataset(SimModel& model, std::string_view name) {
  for (SimDataset& dataset : model.datasets)
    if (dataset.name == name) return &dataset;
  return nullptr;
}

SimSnapshot* find_snapshot(SimModel& model, std::string_view name) {
  for (SimSnapshot& snapshot : model.snapshots)
    if (snapshot.name == name) return &snapshot;
  return nullptr;
}

}  // namespace corvatel::testing
