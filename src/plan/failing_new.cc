#include "plan/failing_new.h"

#include <cstdlib>
#include <new>

namespace corvatel::testing {
namespace {

struct Injection {
  bool armed = false;
  bool fired = false;
  std::size_t allowed = 0;
};

Injection& injection() {
  static Injection state;
  return state;
}

}  // namespace

FailingNew::FailingNew(std::size_t allowed) { injection() = Injection{true, false, allowed}; }

FailingNew::~FailingNew() { injection().armed = false; }

bool FailingNew::fired() const { return injection().fired; }

}  // namespace corvatel::testing

void* operator new(std::size_t size) {
  auto& state = corvatel::testing::injection();
  if (state.armed && !state.fired) {
    if (state.allowed == 0) {
      state.fired = true;
      throw std::bad_alloc();
    }
    --state.allowed;
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
