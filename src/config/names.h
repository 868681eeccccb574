#ifndef CORVATEL_CONFIG_NAMES_H
#define CORVATEL_CONFIG_NAMES_H

#include <array>
#include <cstddef>
#include <string_view>

namespace corvatel {

/// A configured dataset name: a letter first, then letters, digits, " -.:_" and
/// single '/' separators that never end the name. Plain ASCII, locale-independent.
bool dataset_name_is_valid(std::string_view name);

/// A configured prefix: letters, digits, '_' and '-' only (the empty prefix passes).
bool prefix_is_valid(std::string_view prefix);

/// The text before the first '/', or the whole name.
std::string_view dataset_pool(std::string_view dataset);

/// True when `descendant` begins with `ancestor` followed by '/'.
bool dataset_is_ancestor(std::string_view ancestor, std::string_view descendant);

/// Calls visit(ancestor) for each ancestor of `dataset`, the pool first, until a call returns
/// true; true when one did.
template <class Visit>
bool any_ancestor(std::string_view dataset, Visit&& visit) {
  for (std::size_t slash = dataset.find('/'); slash != std::string_view::npos;
       slash = dataset.find('/', slash + 1)) {
    if (visit(dataset.substr(0, slash))) return true;
  }
  return false;
}

/// The longest config key: a 255-character dataset, the separator and a 63-character prefix.
inline constexpr std::size_t kConfigKeyMax = 255 + 1 + 63;

/// Room for one config key, so that forming one allocates nothing.
using ConfigKeyBuffer = std::array<char, kConfigKeyMax>;

/// The config key (dataset, the byte 0x1F, prefix) formed in `buffer`; empty when the two are
/// longer than a configuration line may hold.
std::string_view config_key(std::string_view dataset, std::string_view prefix,
                            ConfigKeyBuffer& buffer);

}  // namespace corvatel

#endif
