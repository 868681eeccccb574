#include "check/check.h"

int main(int argc, char** argv) {
  return corvatel::corvatel_check_main(argc, argv, corvatel::default_check_paths(),
                                       corvatel::CheckClock{});
}
