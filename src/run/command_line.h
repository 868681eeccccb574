#ifndef CORVATEL_RUN_COMMAND_LINE_H
#define CORVATEL_RUN_COMMAND_LINE_H

namespace corvatel {

/// The paths the program works with, fixed at build time for the shipped binary.
struct RunPaths {
  const char* config;
  const char* log;
  const char* lock;
  const char* zfs;
};

/// The build-time paths.
RunPaths default_run_paths();

/// argv[0] unchanged when present, else "corvatel".
const char* program_name(int argc, char** argv);

/// Reopens any of descriptors 0-2 that is closed on /dev/null; 0, or -1 when one cannot be.
[[nodiscard]] int repair_standard_descriptors();

/// Either continue with a run, or the program ends with `exit_status`.
struct CommandLineOutcome {
  bool run;
  int exit_status;
};

/// Answers --help/-h, --version/-V and command-line errors on standard output or error.
[[nodiscard]] CommandLineOutcome handle_command_line(int argc, char** argv, const char* program,
                                                     const RunPaths& paths);

}  // namespace corvatel

#endif
