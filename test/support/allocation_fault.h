#ifndef CORVATEL_TEST_SUPPORT_ALLOCATION_FAULT_H
#define CORVATEL_TEST_SUPPORT_ALLOCATION_FAULT_H

#include <cstddef>
#include <string>

// Linking allocation_fault.cc into a test binary replaces the global operator new and delete
// (all plain, array and nothrow forms) for the whole binary with counting versions over malloc.

namespace corvatel::testing {

/// While alive, lets `allowed` operator new calls succeed and makes the next one fail
/// (std::bad_alloc, or null for the nothrow forms); with `keep_failing` every later call fails
/// too, otherwise later calls succeed again. One instance at a time.
class AllocationFailure {
 public:
  explicit AllocationFailure(std::size_t allowed, bool keep_failing = false);
  ~AllocationFailure();
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;

  /// True once an allocation has been made to fail.
  bool fired() const;
  /// The operator new calls seen while armed, failed ones included.
  std::size_t calls() const;
};

/// While alive, every operator new of exactly `size` bytes fails.
class FailAllocationsOfSize {
 public:
  explicit FailAllocationsOfSize(std::size_t size);
  ~FailAllocationsOfSize();
  FailAllocationsOfSize(const FailAllocationsOfSize&) = delete;
  FailAllocationsOfSize& operator=(const FailAllocationsOfSize&) = delete;
};

/// The longest text a std::string holds without allocating: 15 in libstdc++, 22 in libc++.
/// Tests whose names must allocate check their lengths against it.
inline std::size_t inline_string_capacity() { return std::string().capacity(); }

/// Blocks that operator new handed out and operator delete has not yet taken back.
long live_allocations();

}  // namespace corvatel::testing

#endif
