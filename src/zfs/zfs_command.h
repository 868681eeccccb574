#ifndef CORVATEL_ZFS_ZFS_COMMAND_H
#define CORVATEL_ZFS_ZFS_COMMAND_H

#include <cstddef>
#include <string>
#include <vector>

namespace corvatel {

/// Budget of name bytes (each with its NUL) for one zfs invocation.
inline constexpr std::size_t ZFS_ARG_BYTES_MAX = 131072;

// The four zfs invocations. Each fills `argv` (allocated at its exact size, ended by a null
// entry, referring to the given strings without copying them) and returns 0, or -1 when
// memory ran out. `zfs` is the program path, which is also argv[0].

/// zfs get -H -p [-r] -t filesystem,volume -o name,value written [roots...]; roots null: none.
[[nodiscard]] int build_written_argv(std::vector<const char*>& argv, const char* zfs,
                                     const std::vector<std::string>* roots);

/// zfs snapshot [-r] name...
[[nodiscard]] int build_snapshot_argv(std::vector<const char*>& argv, const char* zfs,
                                      bool recursive, const std::vector<const char*>& names);

/// zfs list -H [-r] -t snapshot -o name -S createtxg [roots...]; roots null: none.
[[nodiscard]] int build_list_argv(std::vector<const char*>& argv, const char* zfs,
                                  const std::vector<std::string>* roots);

/// zfs destroy [-r] name
[[nodiscard]] int build_destroy_argv(std::vector<const char*>& argv, const char* zfs,
                                     bool recursive, const char* snapshot);

}  // namespace corvatel

#endif
