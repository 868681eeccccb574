#include "fake_zfs.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "log_capture.h"
#include "tab_fields.h"

namespace corvatel::testing {
namespace {

constexpr const char* kScript = R"sh(#!/bin/sh
d=$(dirname "$0")
n=$(($(cat "$d/count" 2>/dev/null || echo 0) + 1))
echo "$n" > "$d/count"
{ printf '%s' "$0"; for a in "$@"; do printf '\t%s' "$a"; done; printf '\n'; } >> "$d/calls"
if [ -f "$d/out" ]; then cat "$d/out"; fi
if [ -f "$d/err" ]; then cat "$d/err" >&2; fi
s=0
if [ -f "$d/status.$n" ]; then s=$(cat "$d/status.$n"); fi
if [ "$s" -lt 0 ]; then kill -KILL $$; fi
exit "$s"
)sh";

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace

FakeZfs::FakeZfs() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvatel-zfs-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  path_ = dir_ + "/zfs";
  write_file(path_, kScript);
  if (::chmod(path_.c_str(), 0755) != 0) throw std::runtime_error("chmod failed");
}

FakeZfs::~FakeZfs() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void FakeZfs::set_status(int call, int status) {
  write_file(dir_ + "/status." + std::to_string(call), std::to_string(status));
}

void FakeZfs::set_output(const std::string& text) { write_file(dir_ + "/out", text); }

void FakeZfs::set_error(const std::string& text) { write_file(dir_ + "/err", text); }

std::vector<std::vector<std::string>> FakeZfs::calls() const {
  std::vector<std::vector<std::string>> calls;
  for (const std::string& line : split_lines(read_file(dir_ + "/calls")))
    calls.push_back(split_tabs(line));
  return calls;
}

}  // namespace corvatel::testing
