#include "check/messages.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace corvatel {
namespace {

// Every line gets the same stamp, "-", so that it can be cut off whatever the clock does.
constexpr std::string_view kStamp = "- ";

std::time_t no_time(std::time_t* out) {
  if (out != nullptr) *out = 0;
  return 0;
}

std::tm* no_local_time(const std::time_t*, std::tm* local) {
  *local = std::tm{};
  return local;
}

std::size_t dash(char* text, std::size_t size, const char*, const std::tm*) {
  if (size < 2) return 0;
  std::memcpy(text, "-", 2);
  return 1;
}

}  // namespace

LibraryMessages::LibraryMessages() : saved_(log_state()) {
  stream_ = open_memstream(&buffer_, &size_);
  LogState& log = log_state();
  log.stream = stream_;
  log.write_failed = false;
  log.clock = LogClock{no_time, no_local_time, dash};
}

LibraryMessages::~LibraryMessages() {
  if (stream_ != nullptr) std::fclose(stream_);
  std::free(buffer_);
  log_state() = saved_;
}

std::vector<std::string> LibraryMessages::take() {
  std::vector<std::string> messages;
  if (stream_ == nullptr || std::fflush(stream_) != 0) return messages;
  std::string_view text(buffer_, size_);
  while (taken_ < text.size()) {
    std::size_t end = text.find('\n', taken_);
    if (end == std::string_view::npos) break;  // a line still being written
    std::string_view line = text.substr(taken_, end - taken_);
    if (line.starts_with(kStamp)) line.remove_prefix(kStamp.size());
    messages.emplace_back(line);
    taken_ = end + 1;
  }
  return messages;
}

}  // namespace corvatel
