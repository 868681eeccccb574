#include "snapshot/prune.h"

#include <cstdint>
#include <cstdio>

#include "log/log.h"
#include "zfs/runner.h"
#include "zfs/zfs_command.h"

namespace corvatel {
namespace {

constexpr std::size_t MATCH_FIRST_CAPACITY = 128;

// What each position of the timestamp must hold: 'd' a digit, 'z' "p" or "-", else itself.
constexpr std::string_view TIMESTAMP_SHAPE = "dddd-dd-dd_dd:dd:ddzdddd";
constexpr std::size_t SHORT_TIMESTAMP_LENGTH = 19;

bool fits_shape(char c, char shape) {
  if (shape == 'd') return c >= '0' && c <= '9';
  if (shape == 'z') return c == 'p' || c == '-';
  return c == shape;
}

bool is_timestamp(std::string_view text) {
  if (text.size() != SHORT_TIMESTAMP_LENGTH && text.size() != TIMESTAMP_SHAPE.size())
    return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!fits_shape(text[i], TIMESTAMP_SHAPE[i])) return false;
  }
  return true;
}

// Fills the buffer with the job's matches in inventory order; -1 when it cannot grow.
int collect_matches(const SnapshotJob& job, std::string_view prefix_tag,
                    const SnapshotInventory& inventory, PruneMatchBuffer& buffer) {
  buffer.matches.clear();
  // Only names of the job's own dataset can match; the inventory chains them in its order.
  const SnapshotNames& names = inventory.items;
  for (std::size_t at = names.first_of(job.dataset); at != SnapshotNames::npos;
       at = names.next_of(at)) {
    StoredName name = names[at];
    if (!is_prune_match(name, job.dataset, prefix_tag)) continue;
    if (grow_for_one_more(buffer.matches, MATCH_FIRST_CAPACITY) != 0) return -1;
    buffer.matches.push_back(name.c_str());
  }
  return 0;
}

bool destroy_snapshot(const char* zfs, const char* snapshot, bool recursive) {
  std::vector<const char*> argv;
  if (build_destroy_argv(argv, zfs, recursive, snapshot) != 0) return false;
  return command_succeeded(run_zfs(argv.data(), nullptr, nullptr));
}

// Destroys matches r+1 .. m (counted from 1), from the oldest back; true when all succeeded.
bool destroy_beyond_retention(const char* zfs, const PruneMatchBuffer& buffer,
                              std::size_t retention, const ListWords& words, bool recursive) {
  bool all_destroyed = true;
  for (std::size_t i = buffer.matches.size(); i > retention; --i) {
    const char* snapshot = buffer.matches[i - 1];
    if (destroy_snapshot(zfs, snapshot, recursive)) {
      log_event("Pruned=%s%s", snapshot, words.suffix);
    } else {
      log_event("Error: Failed to prune snapshot %s", snapshot);
      all_destroyed = false;
    }
  }
  return all_destroyed;
}

}  // namespace

ListWords list_words(bool recursive) {
  if (recursive) return {"Recursive ", "recursive ", " Recursive"};
  return {"", "", ""};
}

bool is_prune_match(std::string_view name, std::string_view dataset,
                    std::string_view prefix_tag) {
  std::size_t at = name.find('@');
  if (at == std::string_view::npos || name.substr(0, at) != dataset) return false;
  std::string_view snapshot = name.substr(at + 1);
  if (!snapshot.starts_with(prefix_tag)) return false;
  return is_timestamp(snapshot.substr(prefix_tag.size()));
}

void prune_job(const char* zfs, const SnapshotJob& job, const SnapshotInventory& inventory,
               bool inventory_available, PruneMatchBuffer& buffer, const ListWords& words,
               bool recursive, int& pass_status) {
  if (!inventory_available) {
    log_event("Error: Unable to prune %ssnapshots for %s: snapshot inventory unavailable",
              words.plain, job.dataset.c_str());
    pass_status = 1;
    return;
  }
  char prefix_tag[256];
  int length = std::snprintf(prefix_tag, sizeof prefix_tag, "%s_", job.prefix.c_str());
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof prefix_tag) {
    pass_status = 1;
    return;
  }
  if (inventory.items.empty()) return;
  if (collect_matches(job, prefix_tag, inventory, buffer) != 0) {
    log_event("Error: Failed to allocate prune match list for %s", job.dataset.c_str());
    pass_status = 1;
    return;
  }
  // A retention below 0 never passes the configuration; as a huge count it destroys nothing.
  auto retention = static_cast<std::uint64_t>(job.retention);
  if (buffer.matches.size() <= retention) return;
  if (!destroy_beyond_retention(zfs, buffer, retention, words, recursive)) pass_status = 1;
}

}  // namespace corvatel
