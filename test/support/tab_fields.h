#ifndef CORVATEL_TEST_SUPPORT_TAB_FIELDS_H
#define CORVATEL_TEST_SUPPORT_TAB_FIELDS_H

#include <string>
#include <string_view>
#include <vector>

namespace corvatel::testing {

/// Splits at every tab: n tabs give n + 1 fields, empty ones kept.
std::vector<std::string> split_tabs(std::string_view line);

}  // namespace corvatel::testing

#endif
