#include "metrics/alloc_fault.h"

#include <cstdlib>
#include <new>

namespace {

std::size_t failing_size = 0;  // 0: no allocation fails

}  // namespace

namespace corvatel::testing {

FailAllocationsOfSize::FailAllocationsOfSize(std::size_t size) { failing_size = size; }

FailAllocationsOfSize::~FailAllocationsOfSize() { failing_size = 0; }

}  // namespace corvatel::testing

// The replaceable global allocation functions, so that a test can make one allocation fail.
void* operator new(std::size_t size) {
  if (size != 0 && size == failing_size) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
