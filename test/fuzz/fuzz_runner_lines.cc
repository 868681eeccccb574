// The runner's line cutting, against the plain reference of its rules, through a real child
// that writes the input to standard output and standard error in interleaved chunks.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "log/log.h"
#include "runner_lines.h"
#include "zfs/runner.h"

namespace {

using corvatel::fuzz::check;

// A handler that refuses lines beginning with '!', so that refusal is covered too.
bool refused(const std::string& line) { return !line.empty() && line[0] == '!'; }

int collect(const char* line, void* user_data) {
  auto& lines = *static_cast<std::vector<std::string>*>(user_data);
  lines.emplace_back(line);
  return refused(line) ? 1 : 0;
}

std::string temp_path(const char* name) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/corvatel-fuzz-XXXXXX";
    check(mkdtemp(pattern) != nullptr);
    return std::string(pattern);
  }();
  return dir + "/" + name;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  check(static_cast<bool>(out));
}

// The log lines, each without its 20-character stamp.
std::vector<std::string> log_messages(const char* text, std::size_t size) {
  std::vector<std::string> messages;
  std::string all(text, size);
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    check(end != std::string::npos);
    check(end - start >= 20);
    messages.push_back(all.substr(start + 20, end - start - 20));
    start = end + 1;
  }
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Byte 0: chunk size; byte 1: where the input splits into standard output and error.
  if (size < 2) return 0;
  std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::size_t split = rest.empty() ? 0 : (data[1] * rest.size()) / 255;
  std::string out = rest.substr(0, split);
  std::string err = rest.substr(split);
  std::string chunk = std::to_string(1 + data[0] % 64 * 9);
  const std::string out_path = temp_path("out");
  const std::string err_path = temp_path("err");
  write_file(out_path, out);
  write_file(err_path, err);

  char* log_text = nullptr;
  std::size_t log_size = 0;
  std::FILE* log = open_memstream(&log_text, &log_size);
  check(log != nullptr);
  corvatel::log_state().stream = log;
  std::vector<std::string> handled;
  const char* argv[] = {FUZZ_EMIT, out_path.c_str(), err_path.c_str(), chunk.c_str(), nullptr};
  corvatel::CommandResult result = corvatel::run_zfs(argv, collect, &handled);
  corvatel::log_state().stream = nullptr;
  std::fclose(log);

  const corvatel::testing::RunnerStdout expected = corvatel::testing::runner_stdout(out, refused);
  check(result.exited_normally && result.exit_status == 0);
  check(result.output_failed == expected.failed);
  check(handled == expected.lines);
  std::size_t nul_messages = 0;
  std::vector<std::string> logged;
  for (const std::string& message : log_messages(log_text, log_size)) {
    if (message == "Error: zfs stdout contained a NUL byte")
      ++nul_messages;
    else
      logged.push_back(message);
  }
  std::free(log_text);
  check(nul_messages == expected.nul_messages);
  check(logged == corvatel::testing::runner_stderr_messages(err));
  return 0;
}
