#include "allocation_fault.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Atomics, because tests that start processes from threads allocate on those threads too.
std::atomic<bool> g_armed{false};
std::atomic<bool> g_keep_failing{false};
std::atomic<bool> g_fired{false};
std::atomic<std::size_t> g_allowed{0};
std::atomic<std::size_t> g_calls{0};
std::atomic<std::size_t> g_failing_size{0};  // 0: no size fails
std::atomic<long> g_live{0};

bool should_fail(std::size_t size) {
  std::size_t failing = g_failing_size.load();
  if (failing != 0 && size == failing) return true;
  if (!g_armed.load()) return false;
  std::size_t call = g_calls.fetch_add(1);  // counts from 0
  if (call < g_allowed.load()) return false;
  if (call == g_allowed.load()) {
    g_fired = true;
    return true;
  }
  return g_keep_failing.load();
}

void* allocate(std::size_t size) noexcept {
  if (should_fail(size)) return nullptr;
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory != nullptr) ++g_live;
  return memory;
}

void release(void* memory) noexcept {
  if (memory == nullptr) return;
  --g_live;
  std::free(memory);
}

}  // namespace

namespace corvatel::testing {

AllocationFailure::AllocationFailure(std::size_t allowed, bool keep_failing) {
  g_calls = 0;
  g_fired = false;
  g_allowed = allowed;
  g_keep_failing = keep_failing;
  g_armed = true;
}

AllocationFailure::~AllocationFailure() { g_armed = false; }

bool AllocationFailure::fired() const { return g_fired.load(); }

std::size_t AllocationFailure::calls() const { return g_calls.load(); }

FailAllocationsOfSize::FailAllocationsOfSize(std::size_t size) { g_failing_size = size; }

FailAllocationsOfSize::~FailAllocationsOfSize() { g_failing_size = 0; }

long live_allocations() { return g_live.load(); }

}  // namespace corvatel::testing

void* operator new(std::size_t size) {
  if (void* memory = allocate(size)) return memory;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
  if (void* memory = allocate(size)) return memory;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }

void operator delete(void* memory) noexcept { release(memory); }

void operator delete[](void* memory) noexcept { release(memory); }

void operator delete(void* memory, std::size_t) noexcept { release(memory); }

void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

void operator delete(void* memory, const std::nothrow_t&) noexcept { release(memory); }

void operator delete[](void* memory, const std::nothrow_t&) noexcept { release(memory); }
