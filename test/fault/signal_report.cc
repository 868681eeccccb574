// signal-report: stands in for zfs and writes to standard error the signals it started with
// ignored and blocked, as "ignored: N N ..." and "blocked: N N ..." ("none" when there are none).
#include <csignal>
#include <cstdio>
#include <string>

namespace {

std::string numbers(bool (*selected)(int)) {
  std::string list;
  for (int sig = 1; sig <= SIGRTMAX; ++sig)
    if (selected(sig)) list += " " + std::to_string(sig);
  return list.empty() ? " none" : list;
}

bool ignored(int sig) {
  struct sigaction action {};
  return sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

bool blocked(int sig) {
  sigset_t mask;
  return sigprocmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, sig) == 1;
}

}  // namespace

int main() {
  std::fprintf(stderr, "ignored:%s\nblocked:%s\n", numbers(ignored).c_str(),
               numbers(blocked).c_str());
  return 0;
}
