// corvatel: one complete run per start, with the paths fixed at build time.
#include "run/run.h"

int main(int argc, char** argv) {
  return corvatel::corvatel_main(argc, argv, corvatel::default_run_paths(), corvatel::RunClock{});
}
