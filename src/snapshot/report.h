#ifndef CORVATEL_SNAPSHOT_REPORT_H
#define CORVATEL_SNAPSHOT_REPORT_H

#include <cstdint>

#include "config/job_list.h"
#include "snapshot/inventory.h"
#include "snapshot/prune.h"

namespace corvatel {

/// Confirms failed jobs against the inventory, reports and prunes each existing snapshot; 0 or 1.
[[nodiscard]] int verify_report_and_prune(const char* zfs, const JobList& list,
                                          const SnapshotInventory& inventory,
                                          bool inventory_available, const char* timestamp,
                                          bool recursive);

/// Human-readable size: "0" below 1, plain bytes below 1024, else "%.2f" and K, M, G, T, P or E.
void format_size(std::int64_t bytes, char (&text)[32]);

}  // namespace corvatel

#endif
