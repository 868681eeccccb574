#ifndef CORVATEL_TEST_ZFS_SIM_ZFS_SIM_H
#define CORVATEL_TEST_ZFS_SIM_ZFS_SIM_H

#include <string>
#include <vector>

#include "sim_model.h"

namespace corvatel::testing {

/// What one invocation writes and exits with.
struct SimOutput {
  std::string out;
  std::string err;
  int status = 0;
};

/// The fault kind of an invocation: its subcommand when supported, else "".
std::string command_kind(const std::vector<std::string>& args);

/// Carries out one zfs command (the arguments after the program name) on the model.
SimOutput run_sim_command(SimModel& model, const std::vector<std::string>& args);

/// The fault that applies to call number `count` of `kind`, or null.
const SimFault* matching_fault(const SimModel& model, const std::string& kind, std::int64_t count);

/// Applies a fault's output and status to what the real command produced.
void apply_fault(const SimFault& fault, SimOutput& output);

}  // namespace corvatel::testing

#endif
