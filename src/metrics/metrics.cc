// The metric table: one row per line of zfs get's output, sorted by name once the fetch has
// ended. A malformed line is logged and skipped; only a memory failure stops the fetch.
#include "metrics/metrics.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/ascii.h"
#include "base/growth.h"
#include "log/log.h"

namespace corvatel {
namespace {

constexpr std::size_t kWorkBytes = 512;
constexpr std::size_t kFirstRows = 256;

void trim_trailing_space(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && is_ascii_space(text[length - 1])) --length;
  text[length] = '\0';
}

// Cuts `work` into name and value at its first tab; logs and returns false when the line is
// skipped.
bool split_metric_line(char* work, const char* line, char*& value) {
  char* tab = std::strchr(work, '\t');
  if (tab == nullptr) {
    log_event("Error: Skipping metric line missing tab delimiter: %s", line);
    return false;
  }
  *tab = '\0';
  value = tab + 1;
  if (std::strchr(value, '\t') != nullptr) {
    log_event("Error: Skipping metric line with unexpected fields: %s", line);
    return false;
  }
  trim_trailing_space(value);
  if (work[0] == '\0' || value[0] == '\0') {
    log_event("Error: Skipping metric line with empty dataset or written value: %s", line);
    return false;
  }
  if (static_cast<std::size_t>(tab - work) >= sizeof(WrittenMetric::name)) {
    log_event("Error: Skipping metric line with oversized dataset name: %s", work);
    return false;
  }
  return true;
}

// A plain non-negative base-10 number in range, or -1.
std::int64_t convert_written_value(const char* text) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno == ERANGE || *end != '\0' || value < 0) return -1;
  return value;
}

}  // namespace

int parse_metric_line(const char* line, void* user_data) {
  MetricTable& table = *static_cast<MetricTable*>(user_data);
  char work[kWorkBytes];
  std::size_t length = std::strlen(line);
  // The runner never hands over more than 511 bytes; a longer line must not be cut silently.
  if (length >= sizeof work) return -1;
  std::memcpy(work, line, length + 1);
  char* value = nullptr;
  if (!split_metric_line(work, line, value)) return 0;
  if (grow_for_one_more(table.rows, kFirstRows) != 0) return -1;
  WrittenMetric row{};
  std::memcpy(row.name, work, std::strlen(work) + 1);
  row.value = convert_written_value(value);
  table.rows.push_back(row);
  return 0;
}

int compare_metric_names(const WrittenMetric& a, const WrittenMetric& b) {
  return std::strcmp(a.name, b.name);
}

int compare_metric_names(const char* key, const WrittenMetric& row) {
  return std::strcmp(key, row.name);
}

void sort_metric_table(MetricTable& table) {
  std::sort(table.rows.begin(), table.rows.end(),
            [](const WrittenMetric& a, const WrittenMetric& b) {
              return compare_metric_names(a, b) < 0;
            });
}

}  // namespace corvatel
