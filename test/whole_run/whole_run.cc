#include "whole_run.h"

namespace corvatel::testing {

WholeRunTest::Result WholeRunTest::run_at(std::time_t now) {
  InProcessRun::Outcome outcome = installation.run_at(now);
  EXPECT_FALSE(outcome.threw) << "an exception left corvatel_main";
  return {outcome.status, outcome.err, outcome.log};
}

std::vector<std::vector<std::string>> WholeRunTest::zfs_calls() const {
  std::vector<std::vector<std::string>> calls = zfs.calls();
  for (auto& call : calls) call.erase(call.begin());
  return calls;
}

std::vector<std::vector<std::string>> WholeRunTest::zfs_calls(const std::string& kind) const {
  std::vector<std::vector<std::string>> matching;
  for (auto& call : zfs_calls())
    if (!call.empty() && call[0] == kind) matching.push_back(call);
  return matching;
}

}  // namespace corvatel::testing
