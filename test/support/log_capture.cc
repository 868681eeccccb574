#include "log_capture.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "log/log.h"

namespace corvatel::testing {

LogCapture::LogCapture() : file_(std::tmpfile()) {
  if (file_ == nullptr) throw std::runtime_error("tmpfile failed");
  log_state().stream = file_;
  log_state().write_failed = false;
}

LogCapture::~LogCapture() {
  log_state().stream = nullptr;
  std::fclose(file_);
}

std::vector<std::string> LogCapture::lines() const {
  std::fflush(file_);
  std::rewind(file_);
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
  std::fseek(file_, 0, SEEK_END);
  return split_lines(text);
}

std::vector<std::string> LogCapture::messages() const { return strip_stamps(lines()); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> strip_stamps(const std::vector<std::string>& lines) {
  std::vector<std::string> messages;
  for (const std::string& line : lines)
    messages.push_back(line.size() >= 20 ? line.substr(20) : line);
  return messages;
}

}  // namespace corvatel::testing
