#ifndef CORVATEL_TEST_SUPPORT_RUNNER_LINES_H
#define CORVATEL_TEST_SUPPORT_RUNNER_LINES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The runner's line rules written plainly, one byte at a time, as the reference that both the
// runner's tests and its fuzz target hold it to. A newline ends a line and is not part of it;
// a line longer than 511 bytes is cut into pieces of 511.

namespace corvatel::testing {

/// What the runner makes of a child's whole standard output.
struct RunnerStdout {
  std::vector<std::string> lines;  // handed to the handler, in order
  std::size_t nul_messages = 0;    // "Error: zfs stdout contained a NUL byte" logged
  bool failed = false;             // the output was not taken in whole
};

/// Standard output: a piece cut from a longer line fails the output, a piece with a NUL byte
/// is logged and fails it, the lines before the first failure reach the handler, and an
/// unfinished last line fails the output unseen. `refuses` (when given) is the handler's
/// answer: true fails the output after that line.
RunnerStdout runner_stdout(std::string_view bytes,
                           bool (*refuses)(const std::string& line) = nullptr);

/// The messages the runner logs for a child's whole standard error: "Error: zfs: " and each
/// piece, the unfinished last one too, without its trailing ASCII white space and with each
/// NUL byte shown as \x00; a blank piece logs nothing.
std::vector<std::string> runner_stderr_messages(std::string_view bytes);

}  // namespace corvatel::testing

#endif
