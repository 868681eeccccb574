#ifndef CORVATEL_CHECK_OPTIONS_H
#define CORVATEL_CHECK_OPTIONS_H

#include <cstdint>
#include <string>

#include "check/verdict.h"

namespace corvatel {

/// The paths corvatel-check works with, fixed at build time for the shipped binary.
struct CheckPaths {
  const char* config;
  const char* log;
  const char* state;
  const char* textfile;
  const char* zfs;
};

/// The build-time paths.
CheckPaths default_check_paths();

/// What the command line asks for.
struct CheckOptions {
  std::int64_t time_limit = 30;  // seconds, -t
  Lateness lateness;             // -w, -c
  bool verbose = false;          // -v: every entry in the long output
  bool textfile = false;         // -p: also write the node exporter textfile
  bool report = false;           // -r: the daily report over the last 24 hours
};

/// Either a check with these options, or the program ends with `exit_status` (help and version
/// on standard output, 3 as the Monitoring Plugins guidelines ask; usage errors likewise).
struct CheckCommandLine {
  bool run = false;
  int exit_status = 3;
  CheckOptions options;
};

/// Reads -h/--help, -V/--version, -t/--timeout, -w/--warning, -c/--critical, -v/--verbose,
/// -p/--prometheus and -r/--report; answers help, version and errors itself.
CheckCommandLine read_check_command_line(int argc, char** argv, const CheckPaths& paths);

}  // namespace corvatel

#endif
