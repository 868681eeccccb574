// The configuration reader on arbitrary files: whatever it accepts is a well-formed job.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "config/configuration.h"
#include "config/names.h"
#include "config/names.h"
#include "log/log.h"

namespace {

using corvatel::fuzz::check;

void check_job(const corvatel::SnapshotJob& job) {
  check(!job.dataset.empty() && job.dataset.size() <= 255);
  check(!job.prefix.empty() && job.prefix.size() <= 63);
  check(job.dataset.size() + job.prefix.size() <= 229);
  check(corvatel::dataset_name_is_valid(job.dataset));
  check(corvatel::prefix_is_valid(job.prefix));
  check(job.retention >= 1 && job.min_bytes >= 0);
  check(job.wave == 0 && !job.failed && job.written_total == -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  corvatel::log_state().stream = sink;
  if (size < 2) return 0;
  // The first two bytes choose the minute of the day, the rest is the file.
  std::int64_t minute = (data[0] * 256 + data[1]) % 1440;
  std::vector<char> text(data + 2, data + size);
  text.push_back('\0');
  std::FILE* stream = text.size() > 1 ? fmemopen(text.data(), text.size() - 1, "r")
                                      : std::fopen("/dev/null", "r");
  if (stream == nullptr) return 0;
  corvatel::LineBuffer line;
  corvatel::JobList standard;
  corvatel::JobList recursive;
  corvatel::ConfigKeySet keys;
  int read_errno = 0;
  int flag = corvatel::read_configuration(stream, line, minute, standard, recursive, keys,
                                          read_errno);
  check(flag == 0 || flag == 1);
  check(std::feof(stream) != 0);  // a memory stream ends; it never fails
  std::set<std::string> seen;
  for (const corvatel::JobList* list : {&standard, &recursive}) {
    for (const corvatel::SnapshotJob& job : list->items) {
      check_job(job);
      corvatel::ConfigKeyBuffer buffer;
      std::string key(corvatel::config_key(job.dataset, job.prefix, buffer));
      check(seen.insert(key).second);  // a dataset/prefix pair is accepted once
      check(keys.contains(key));
    }
  }
  line.release();
  std::fclose(stream);
  corvatel::log_state().stream = nullptr;
  return 0;
}
