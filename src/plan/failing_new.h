#ifndef CORVATEL_PLAN_FAILING_NEW_H
#define CORVATEL_PLAN_FAILING_NEW_H

#include <cstddef>

namespace corvatel::testing {

/// While alive, lets `allowed` more operator new calls succeed and makes the next one throw
/// std::bad_alloc; later calls succeed again. Test binaries only: replaces operator new.
class FailingNew {
 public:
  explicit FailingNew(std::size_t allowed);
  ~FailingNew();
  FailingNew(const FailingNew&) = delete;
  FailingNew& operator=(const FailingNew&) = delete;

  /// True once the failure has been thrown.
  bool fired() const;
};

}  // namespace corvatel::testing

#endif
