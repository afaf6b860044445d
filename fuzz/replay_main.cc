// Runs a fuzz target's entry point on every regular file of the folders or files named, in name
// order. With --damage each input also runs cut short and with single bits flipped, so that the
// target's checks hold for the damaged copies of valid inputs too. Each run gets a copy of exactly
// the input's size (ASan sees a read past it); a broken check aborts in the target itself.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

size_t Run(std::vector<uint8_t> input) {
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return 1;
}

// Every cut and every bit flip in the first 64 bytes (headers and length fields live there); past
// them, cuts and one-bit flips at a stride that keeps an input near a thousand runs.
size_t RunDamaged(const std::vector<uint8_t>& good) {
  const size_t stride = good.size() / 256 + 1;
  size_t runs = 0;
  for (size_t at = 0; at < good.size(); at += at < 64 ? 1 : stride) {
    runs += Run(std::vector<uint8_t>(good.begin(), good.begin() + at));
    std::vector<uint8_t> damaged(good);
    for (int bit = 0; bit < 8; ++bit) {
      if (at >= 64 && bit != static_cast<int>(at % 8)) continue;
      damaged[at] = static_cast<uint8_t>(good[at] ^ (1u << bit));
      runs += Run(damaged);
    }
  }
  return runs;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  const bool damage = argc > 1 && std::strcmp(argv[1], "--damage") == 0;
  std::vector<std::string> files;
  for (int i = damage ? 2 : 1; i < argc; ++i) {
    std::vector<std::string> found;
    if (DIR* dir = opendir(argv[i])) {
      while (const dirent* e = readdir(dir)) {
        const std::string path = std::string(argv[i]) + "/" + e->d_name;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(path);
      }
      closedir(dir);
    } else {
      found.push_back(argv[i]);
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  size_t runs = 0;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (!in.is_open() || in.bad()) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 2;
    }
    runs += Run(bytes) + (damage ? RunDamaged(bytes) : 0);
  }
  std::printf("replay: %zu inputs, %zu runs passed\n", files.size(), runs);
  return files.empty() ? 2 : 0;
}
