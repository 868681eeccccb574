#ifndef CORVATEL_BASE_GROWTH_H
#define CORVATEL_BASE_GROWTH_H

#include <cstddef>
#include <new>
#include <vector>

namespace corvatel {

/// Growth rule shared by the run's growable arrays: `first` at the first insertion, then doubling.
/// Returns 0, or -1 when memory ran out (the vector is then unchanged).
template <class T>
[[nodiscard]] int grow_for_one_more(std::vector<T>& items, std::size_t first) {
  if (items.size() < items.capacity()) return 0;
  try {
    items.reserve(items.capacity() == 0 ? first : items.capacity() * 2);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

}  // namespace corvatel

#endif
