// Runs a fuzz target on each file of the folders named (name order); with --damage also on each cut
// short, and with a bit flipped: every bit of the first 64 bytes, then one at a stride (~1000
// runs).
#include <filesystem>
#include <iterator>

#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  const bool damage = argc > 1 && std::strcmp(argv[1], "--damage") == 0;
  std::vector<std::string> files;
  for (int i = damage ? 2 : 1; i < argc; ++i)  // a missing folder throws: the run fails
    for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  size_t runs = 0;
  auto run = [&runs](std::vector<uint8_t> in) {  // a copy of exactly the input's size
    LLVMFuzzerTestOneInput(in.empty() ? nullptr : in.data(), in.size()), ++runs;
  };
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> good((std::istreambuf_iterator<char>(in)), {});
    run(good);
    for (size_t at = 0; damage && at < good.size(); at += at < 64 ? 1 : good.size() / 256 + 1) {
      run(std::vector<uint8_t>(good.begin(), good.begin() + at));
      std::vector<uint8_t> flipped(good);
      for (size_t bit = at < 64 ? 0 : at % 8; bit < (at < 64 ? 8 : at % 8 + 1); ++bit)
        flipped[at] = static_cast<uint8_t>(good[at] ^ (1u << bit)), run(flipped);
    }
  }
  std::printf("replay: %zu inputs, %zu runs passed\n", files.size(), runs);
  return files.empty() ? 2 : 0;
}
