// The prune matcher against the naming form written out another way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "snapshot/prune.h"

namespace {

using corvatel::fuzz::check;

// The date and time with every digit turned into '9', then for the long form the zone sign
// and four more digits.
bool stamp_form(const std::string& text) {
  if (text.size() != 19 && text.size() != 24) return false;
  std::string shape = text.substr(0, 19);
  for (char& c : shape)
    if (c >= '0' && c <= '9') c = '9';
  if (shape != "9999-99-99_99:99:99") return false;
  if (text.size() == 19) return true;
  if (text[19] != 'p' && text[19] != '-') return false;
  for (char c : text.substr(20))
    if (c < '0' || c > '9') return false;
  return true;
}

bool expected(const std::string& name, const std::string& dataset, const std::string& tag) {
  if (dataset.find('@') != std::string::npos) return false;  // the first '@' must end it
  std::string head = dataset + "@" + tag;
  if (name.size() < head.size() || name.compare(0, head.size(), head) != 0) return false;
  return stamp_form(name.substr(head.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Three fields separated by newlines: name, dataset, prefix; the tag is the prefix and "_".
  std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t first = text.find('\n');
  if (first == std::string::npos) return 0;
  std::size_t second = text.find('\n', first + 1);
  if (second == std::string::npos) return 0;
  std::string name = text.substr(0, first);
  std::string dataset = text.substr(first + 1, second - first - 1);
  std::string tag = text.substr(second + 1) + "_";
  check(corvatel::is_prune_match(name, dataset, tag) == expected(name, dataset, tag));
  return 0;
}
