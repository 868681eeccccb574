#include "zfs/zfs_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvatel {
namespace {

// The elements before the terminating null, checked to point at the caller's strings.
std::vector<std::string> elements(const std::vector<const char*>& argv) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i + 1 < argv.size(); ++i) out.push_back(argv[i]);
  return out;
}

void expect_exact_and_terminated(const std::vector<const char*>& argv, std::size_t size) {
  ASSERT_EQ(argv.size(), size);
  EXPECT_EQ(argv.capacity(), size);
  EXPECT_EQ(argv.back(), nullptr);
}

const char* const kZfs = "/sim/zfs";

TEST(ZfsCommand, WrittenArgvWithRoots) {
  std::vector<std::string> roots = {"tank/a", "other pool/b c"};
  std::vector<const char*> argv;
  ASSERT_EQ(build_written_argv(argv, kZfs, &roots), 0);
  expect_exact_and_terminated(argv, roots.size() + 11);
  EXPECT_EQ(elements(argv),
            (std::vector<std::string>{"/sim/zfs", "get", "-H", "-p", "-r", "-t", "filesystem,volume",
                                      "-o", "name,value", "written", "tank/a", "other pool/b c"}));
  EXPECT_EQ(argv[0], kZfs);
  EXPECT_EQ(argv[10], roots[0].c_str());
  EXPECT_EQ(argv[11], roots[1].c_str());
}

TEST(ZfsCommand, WrittenArgvWithoutRoots) {
  std::vector<const char*> argv;
  ASSERT_EQ(build_written_argv(argv, kZfs, nullptr), 0);
  expect_exact_and_terminated(argv, 10);
  EXPECT_EQ(elements(argv),
            (std::vector<std::string>{"/sim/zfs", "get", "-H", "-p", "-t", "filesystem,volume", "-o",
                                      "name,value", "written"}));
}

TEST(ZfsCommand, ListArgvWithRoots) {
  std::vector<std::string> roots = {"tank"};
  std::vector<const char*> argv;
  ASSERT_EQ(build_list_argv(argv, kZfs, &roots), 0);
  expect_exact_and_terminated(argv, 12);
  EXPECT_EQ(elements(argv), (std::vector<std::string>{"/sim/zfs", "list", "-H", "-r", "-t", "snapshot",
                                                      "-o", "name", "-S", "createtxg", "tank"}));
  EXPECT_EQ(argv[10], roots[0].c_str());
}

TEST(ZfsCommand, ListArgvWithoutRoots) {
  std::vector<const char*> argv;
  ASSERT_EQ(build_list_argv(argv, kZfs, nullptr), 0);
  expect_exact_and_terminated(argv, 10);
  EXPECT_EQ(elements(argv), (std::vector<std::string>{"/sim/zfs", "list", "-H", "-t", "snapshot", "-o",
                                                      "name", "-S", "createtxg"}));
}

TEST(ZfsCommand, SnapshotArgv) {
  const char* a = "tank/a@h_1";
  const char* b = "tank/c@h_1";
  struct Case {
    bool recursive;
    std::vector<const char*> names;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {false, {a}, {"/sim/zfs", "snapshot", "tank/a@h_1"}},
      {false, {a, b}, {"/sim/zfs", "snapshot", "tank/a@h_1", "tank/c@h_1"}},
      {true, {a}, {"/sim/zfs", "snapshot", "-r", "tank/a@h_1"}},
      {true, {a, b}, {"/sim/zfs", "snapshot", "-r", "tank/a@h_1", "tank/c@h_1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.back() + (c.recursive ? " -r" : ""));
    std::vector<const char*> argv;
    ASSERT_EQ(build_snapshot_argv(argv, kZfs, c.recursive, c.names), 0);
    expect_exact_and_terminated(argv, c.names.size() + (c.recursive ? 4 : 3));
    EXPECT_EQ(elements(argv), c.expected);
    EXPECT_EQ(argv[argv.size() - 2], c.names.back());
  }
}

TEST(ZfsCommand, DestroyArgv) {
  const char* name = "tank/a@h_2025-03-01_14:00:00p0100";
  struct Case {
    bool recursive;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {false, {"/sim/zfs", "destroy", name}},
      {true, {"/sim/zfs", "destroy", "-r", name}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recursive);
    std::vector<const char*> argv;
    ASSERT_EQ(build_destroy_argv(argv, kZfs, c.recursive, name), 0);
    expect_exact_and_terminated(argv, c.recursive ? 5 : 4);
    EXPECT_EQ(elements(argv), c.expected);
    EXPECT_EQ(argv[argv.size() - 2], name);
  }
}

TEST(ZfsCommand, RebuildReplacesEarlierContent) {
  std::vector<const char*> argv = {"stale", "stale", "stale", "stale", "stale", "stale", "stale",
                                   "stale", "stale", "stale", "stale", "stale", "stale"};
  ASSERT_EQ(build_destroy_argv(argv, kZfs, false, "tank@x"), 0);
  expect_exact_and_terminated(argv, 4);
  EXPECT_EQ(elements(argv), (std::vector<std::string>{"/sim/zfs", "destroy", "tank@x"}));
}

}  // namespace
}  // namespace corvatel
