// fuzz_emit OUT ERR CHUNK: writes file OUT to standard output and file ERR to standard error,
// CHUNK bytes of each in turn, so that the runner sees the two streams interleaved.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) std::_Exit(3);
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string streams[2] = {slurp(argv[1]), slurp(argv[2])};
  std::size_t chunk = std::strtoul(argv[3], nullptr, 10);
  if (chunk == 0) chunk = 1;
  std::size_t done[2] = {0, 0};
  while (done[0] < streams[0].size() || done[1] < streams[1].size()) {
    for (int i = 0; i < 2; ++i) {
      std::size_t n = std::min(chunk, streams[i].size() - done[i]);
      write_all(i + 1, streams[i].data() + done[i], n);
      done[i] += n;
    }
  }
  return 0;
}
