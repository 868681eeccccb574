#ifndef CORVATEL_METRICS_METRICS_H
#define CORVATEL_METRICS_METRICS_H

#include <cstdint>
#include <vector>

namespace corvatel {

/// One dataset's `written` byte count as zfs reported it.
struct WrittenMetric {
  char name[256];      // NUL-terminated, 1 to 255 characters
  std::int64_t value;  // 0 or more; -1 when the reported value was unusable
};

/// The fetched rows; count is rows.size(), capacity rows.capacity() (256 first, then doubling).
struct MetricTable {
  std::vector<WrittenMetric> rows;
};

/// LineHandler for the written-metrics output (user_data: MetricTable*): stores or skips the
/// line, logging why it skipped; 0, or -1 when the table could not grow.
[[nodiscard]] int parse_metric_line(const char* line, void* user_data);

/// strcmp order of the two rows' names.
int compare_metric_names(const WrittenMetric& a, const WrittenMetric& b);

/// strcmp order of a dataset name and a row's name.
int compare_metric_names(const char* key, const WrittenMetric& row);

/// Sorts the rows into ascending byte order of their names.
void sort_metric_table(MetricTable& table);

}  // namespace corvatel

#endif
