// The inventory line handler: it keeps exactly the lines that are one snapshot name, and the
// names of each dataset are chained in the order they came.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "log/log.h"
#include "snapshot/inventory.h"

namespace {

using corvatel::fuzz::check;

// One '@', neither first nor last, and none of tab, carriage return, line feed.
bool one_snapshot_name(const std::string& line) {
  int ats = 0;
  for (char c : line) {
    if (c == '@') ++ats;
    if (c == '\t' || c == '\r' || c == '\n') return false;
  }
  return ats == 1 && line.front() != '@' && line.back() != '@';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  corvatel::log_state().stream = sink;
  corvatel::SnapshotInventory inventory;
  corvatel::fuzz::for_each_handler_line(data, size, [&](const std::string& line) {
    std::size_t before = inventory.items.size();
    int result = corvatel::add_inventory_line(line.c_str(), &inventory);
    bool good = one_snapshot_name(line);
    check((result == 0) == good);
    check(inventory.items.size() == before + (good ? 1 : 0));
    if (good) check(inventory.items[inventory.items.size() - 1] == line);
  });
  std::map<std::string, std::vector<std::size_t>> by_dataset;
  for (std::size_t i = 0; i < inventory.items.size(); ++i) {
    std::string name(inventory.items[i]);
    by_dataset[name.substr(0, name.find('@'))].push_back(i);
  }
  for (const auto& [dataset, positions] : by_dataset) {
    std::vector<std::size_t> chain;
    for (std::size_t at = inventory.items.first_of(dataset); at != corvatel::SnapshotNames::npos;
         at = inventory.items.next_of(at))
      chain.push_back(at);
    check(chain == positions);
    check(inventory.items.first_of(dataset + "/x") == corvatel::SnapshotNames::npos ||
          by_dataset.count(dataset + "/x") == 1);
  }
  corvatel::free_snapshot_inventory(inventory);
  check(inventory.items.empty() && inventory.items.capacity() == 0);
  corvatel::log_state().stream = nullptr;
  return 0;
}
