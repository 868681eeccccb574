#ifndef CORVATEL_TEST_SUPPORT_LOG_CAPTURE_H
#define CORVATEL_TEST_SUPPORT_LOG_CAPTURE_H

#include <cstdio>
#include <string>
#include <vector>

namespace corvatel::testing {

/// Points the process log at a temporary file for the life of the object.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// Every line written so far, without its newline.
  std::vector<std::string> lines() const;
  /// The same lines with the "YYYY-MM-DD HH:MM:SS " stamp removed.
  std::vector<std::string> messages() const;

 private:
  std::FILE* file_;
};

/// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string& path);
/// Splits text into lines, dropping the newline of each.
std::vector<std::string> split_lines(const std::string& text);
/// Removes the 20-character timestamp and blank from each log line.
std::vector<std::string> strip_stamps(const std::vector<std::string>& lines);

}  // namespace corvatel::testing

#endif
