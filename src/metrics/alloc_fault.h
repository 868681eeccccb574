#ifndef CORVATEL_METRICS_ALLOC_FAULT_H
#define CORVATEL_METRICS_ALLOC_FAULT_H

#include <cstddef>

namespace corvatel::testing {

/// While alive, every operator new of exactly `size` bytes throws std::bad_alloc.
class FailAllocationsOfSize {
 public:
  explicit FailAllocationsOfSize(std::size_t size);
  ~FailAllocationsOfSize();
  FailAllocationsOfSize(const FailAllocationsOfSize&) = delete;
  FailAllocationsOfSize& operator=(const FailAllocationsOfSize&) = delete;
};

}  // namespace corvatel::testing

#endif
