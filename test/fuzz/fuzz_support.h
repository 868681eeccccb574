// What the fuzz targets share: the oracle's failure, and input cut into handler lines.
#ifndef CORVATEL_TEST_FUZZ_FUZZ_SUPPORT_H
#define CORVATEL_TEST_FUZZ_FUZZ_SUPPORT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace corvatel::fuzz {

// An oracle failure must stop libFuzzer as a crash does.
inline void check(bool condition) {
  if (!condition) std::abort();
}

// Calls `handle` with each newline-separated line of `data` as the runner would hand it on: at
// most 511 bytes, and cut at a NUL byte.
template <typename Handler>
void for_each_handler_line(const std::uint8_t* data, std::size_t size, Handler handle) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, std::min<std::size_t>(end - start, 511));
    handle(line.substr(0, line.find('\0')));
    start = end + 1;
  }
}

}  // namespace corvatel::fuzz

#endif
