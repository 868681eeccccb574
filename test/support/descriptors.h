#ifndef CORVATEL_TEST_SUPPORT_DESCRIPTORS_H
#define CORVATEL_TEST_SUPPORT_DESCRIPTORS_H

#include <set>

namespace corvatel::testing {

/// The descriptors open in this process, found with fcntl(F_GETFD) over the whole descriptor
/// table; with `inheritable_only`, those without close-on-exec. Needs neither /proc nor fdescfs.
std::set<int> open_descriptors(bool inheritable_only = false);

}  // namespace corvatel::testing

#endif
