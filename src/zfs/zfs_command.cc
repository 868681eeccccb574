// The four zfs argument vectors, each of exactly its size; they refer to the caller's strings.
#include "zfs/zfs_command.h"

#include <new>
#include <utility>

namespace corvatel {
namespace {

// Builds into a fresh vector so that the storage is exactly `size`, and `argv` is left as it
// was when memory runs out.
template <class Fill>
int build_exact(std::vector<const char*>& argv, std::size_t size, Fill&& fill) {
  try {
    std::vector<const char*> built;
    built.reserve(size);
    fill(built);
    built.push_back(nullptr);
    argv = std::move(built);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

void append_roots(std::vector<const char*>& argv, const std::vector<std::string>* roots) {
  if (roots == nullptr) return;
  for (const std::string& root : *roots) argv.push_back(root.c_str());
}

}  // namespace

int build_written_argv(std::vector<const char*>& argv, const char* zfs,
                       const std::vector<std::string>* roots) {
  std::size_t size = roots ? roots->size() + 11 : 10;
  return build_exact(argv, size, [&](std::vector<const char*>& built) {
    built.insert(built.end(), {zfs, "get", "-H", "-p"});
    if (roots) built.push_back("-r");
    built.insert(built.end(), {"-t", "filesystem,volume", "-o", "name,value", "written"});
    append_roots(built, roots);
  });
}

int build_snapshot_argv(std::vector<const char*>& argv, const char* zfs, bool recursive,
                        const std::vector<const char*>& names) {
  std::size_t size = names.size() + (recursive ? 4 : 3);
  return build_exact(argv, size, [&](std::vector<const char*>& built) {
    built.insert(built.end(), {zfs, "snapshot"});
    if (recursive) built.push_back("-r");
    built.insert(built.end(), names.begin(), names.end());
  });
}

int build_list_argv(std::vector<const char*>& argv, const char* zfs,
                    const std::vector<std::string>* roots) {
  std::size_t size = roots ? roots->size() + 11 : 10;
  return build_exact(argv, size, [&](std::vector<const char*>& built) {
    built.insert(built.end(), {zfs, "list", "-H"});
    if (roots) built.push_back("-r");
    built.insert(built.end(), {"-t", "snapshot", "-o", "name", "-S", "createtxg"});
    append_roots(built, roots);
  });
}

int build_destroy_argv(std::vector<const char*>& argv, const char* zfs, bool recursive,
                       const char* snapshot) {
  return build_exact(argv, recursive ? 5 : 4, [&](std::vector<const char*>& built) {
    built.insert(built.end(), {zfs, "destroy"});
    if (recursive) built.push_back("-r");
    built.push_back(snapshot);
  });
}

}  // namespace corvatel
