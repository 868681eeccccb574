// The metric line handler against a plain reading of its rules.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "log/log.h"
#include "metrics/metrics.h"

namespace {

using corvatel::fuzz::check;

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value as the rules read it: optional leading blanks and sign, then decimal digits only;
// -1 for anything else, a negative number or one beyond 2^63 - 1.
std::int64_t expected_value(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return -1;
  unsigned __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > (static_cast<unsigned __int128>(1) << 64)) value = static_cast<unsigned __int128>(1) << 64;
  }
  if (negative) return value == 0 ? 0 : -1;
  return value > static_cast<unsigned __int128>(INT64_MAX) ? -1 : static_cast<std::int64_t>(value);
}

void check_line(const std::string& line, corvatel::MetricTable& table) {
  std::size_t rows = table.rows.size();
  check(corvatel::parse_metric_line(line.c_str(), &table) == 0);
  std::size_t tab = line.find('\t');
  bool kept = false;
  std::string name, value;
  if (tab != std::string::npos) {
    name = line.substr(0, tab);
    value = line.substr(tab + 1);
    while (!value.empty() && blank(value.back())) value.pop_back();
    kept = line.find('\t', tab + 1) == std::string::npos && !name.empty() && !value.empty() &&
           name.size() < 256;
  }
  check(table.rows.size() == rows + (kept ? 1 : 0));
  if (!kept) return;
  const corvatel::WrittenMetric& row = table.rows.back();
  check(name == row.name);
  check(row.value == expected_value(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  corvatel::log_state().stream = sink;
  // The runner hands over lines of at most 511 bytes without NUL or newline.
  corvatel::MetricTable table;
  corvatel::fuzz::for_each_handler_line(
      data, size, [&](const std::string& line) { check_line(line, table); });
  corvatel::log_state().stream = nullptr;
  return 0;
}
