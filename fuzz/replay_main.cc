// Runs a fuzz target's entry point on every input file named on the command line, or on every
// regular file of a named folder, in name order. With --damage, each input is also run cut short
// and with single bits flipped (RunDamaged): the target's checks then say that no damage of a
// valid input crashes, reads past its end or yields a cut item. Built with any compiler; a failed
// input aborts in the target itself, so the exit status tells whether the corpus still passes.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

// Custom mutators call into libFuzzer; replaying never mutates, this only satisfies the linker.
extern "C" size_t LLVMFuzzerMutate(uint8_t*, size_t size, size_t) { return size; }

namespace {

bool CollectInputs(const std::string& path, std::vector<std::string>* files) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    files->push_back(path);
    return true;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string child = path + "/" + entry->d_name;
    struct stat cst {};
    if (stat(child.c_str(), &cst) == 0 && S_ISREG(cst.st_mode)) found.push_back(child);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return true;
}

// A copy of exactly the input's size, so that ASan sees any read past its end.
void Run(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> input(bytes);
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
}

// Every cut and every bit flip of the first 64 bytes (headers and length fields live there); past
// those, cuts and one-bit flips at a stride that keeps an input near a thousand runs.
size_t RunDamaged(const std::vector<uint8_t>& good) {
  const size_t stride = good.size() / 256 + 1;
  size_t runs = 0;
  for (size_t length = 0; length < good.size(); length += length < 64 ? 1 : stride, ++runs) {
    Run(std::vector<uint8_t>(good.begin(), good.begin() + length));
  }
  std::vector<uint8_t> damaged(good);
  for (size_t at = 0; at < good.size(); at += at < 64 ? 1 : stride) {
    for (int bit = 0; bit < 8; ++bit) {
      if (at >= 64 && bit != static_cast<int>(at % 8)) continue;
      damaged[at] = static_cast<uint8_t>(good[at] ^ (1u << bit));
      Run(damaged);
      ++runs;
    }
    damaged[at] = good[at];
  }
  return runs;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  bool damage = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--damage") == 0) {
      damage = true;
    } else if (!CollectInputs(argv[i], &files)) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  size_t runs = 0;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 2;
    }
    Run(bytes);
    runs += 1 + (damage ? RunDamaged(bytes) : 0);
  }
  std::printf("replay: %zu inputs, %zu runs passed\n", files.size(), runs);
  return 0;
}
