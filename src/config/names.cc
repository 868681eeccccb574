// The character rules of configured dataset names and prefixes, and the relations between
// dataset names that planning uses (pool, ancestor, config key). Plain ASCII, never the locale.
#include "config/names.h"

#include <algorithm>

namespace corvatel {
namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool dataset_name_is_valid(std::string_view name) {
  if (name.empty() || !is_letter(name[0])) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (is_letter(c) || is_digit(c)) continue;
    if (c == ' ' || c == '-' || c == '.' || c == ':' || c == '_') continue;
    if (c == '/' && i + 1 < name.size() && name[i + 1] != '/') continue;
    return false;
  }
  return true;
}

bool prefix_is_valid(std::string_view prefix) {
  for (char c : prefix)
    if (!is_letter(c) && !is_digit(c) && c != '_' && c != '-') return false;
  return true;
}

std::string_view dataset_pool(std::string_view dataset) {
  return dataset.substr(0, dataset.find('/'));
}

bool dataset_is_ancestor(std::string_view ancestor, std::string_view descendant) {
  return descendant.size() > ancestor.size() && descendant.starts_with(ancestor) &&
         descendant[ancestor.size()] == '/';
}

std::string_view config_key(std::string_view dataset, std::string_view prefix,
                            ConfigKeyBuffer& buffer) {
  if (dataset.size() + 1 + prefix.size() > buffer.size()) return {};
  char* end = std::copy(dataset.begin(), dataset.end(), buffer.data());
  *end++ = '\x1f';
  end = std::copy(prefix.begin(), prefix.end(), end);
  return std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
}

}  // namespace corvatel
