// Opens, reads whole and closes every listed file, PASSES times, and prints the seconds of each
// pass; the loop that bench/recalld_bench.sh times with and without trhsm-recalld watching.
// usage: open_read_loop LIST PASSES   (LIST holds one path a line)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: open_read_loop LIST PASSES\n");
    return 2;
  }
  std::ifstream list(argv[1]);
  std::vector<std::string> files;
  for (std::string line; std::getline(list, line);) files.push_back(line);
  const int passes = std::atoi(argv[2]);
  std::vector<char> buf(1 << 16);
  for (int pass = 0; pass < passes; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& file : files) {
      const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        std::perror(file.c_str());
        return 1;
      }
      while (::read(fd, buf.data(), buf.size()) > 0) {
      }
      ::close(fd);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", took.count());
  }
  return 0;
}
