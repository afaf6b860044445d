// Collect-file reading and writing against the least a reader or writer of the same lines must do:
// a getline() loop over the same file, and lines formatted by hand into a large buffer.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ratio_report.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

constexpr long kLines = 1000000;
constexpr size_t kLineLength = 150;  // newline included
constexpr long kFirstTime = 1700000000;

// A folder of its own for the input and output files, removed at exit.
struct Files {
  std::string dir;
  std::string input;
  std::string output;
  std::vector<std::string> names;  // cycled through by the writers

  Files() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/collect_lines_bench.XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) std::abort();
    dir = templ;
    input = dir + "/input.kof";
    output = dir + "/output.kof";
    // Names padded so that each timed line "|name|time|\n" has kLineLength bytes.
    const size_t nameLength = kLineLength - 4 - std::to_string(kFirstTime).size();
    for (int i = 0; i < 1000; ++i) {
      std::string name = "/data/projects/archive/" + std::to_string(i) + "/file_";
      name.resize(nameLength, 'x');
      names.push_back(name);
    }
    FILE* fp = std::fopen(input.c_str(), "w");
    if (fp == nullptr) std::abort();
    for (long i = 0; i < kLines; ++i) {
      std::fprintf(fp, "|%s|%ld|\n", names[static_cast<size_t>(i) % names.size()].c_str(),
                   kFirstTime + i % 1000);
    }
    std::fclose(fp);
  }
  ~Files() {
    unlink(input.c_str());
    unlink(output.c_str());
    rmdir(dir.c_str());
  }
};

Files& GetFiles() {
  static Files files;
  return files;
}

FILE* OpenInput() {
  FILE* fp = std::fopen(GetFiles().input.c_str(), "r");
  if (fp == nullptr) std::abort();
  return fp;
}

void CheckCount(benchmark::State& state, long count) {
  if (count != kLines) state.SkipWithError("wrong number of lines read");
}

void BM_GetlineBaseline(benchmark::State& state) {
  char* line = nullptr;
  size_t capacity = 0;
  for (auto _ : state) {
    FILE* fp = OpenInput();
    long count = 0;
    while (getline(&line, &capacity, fp) > 0) ++count;
    std::fclose(fp);
    CheckCount(state, count);
  }
  std::free(line);
}
BENCHMARK(BM_GetlineBaseline)->Unit(benchmark::kMillisecond);

void BM_GetLine(benchmark::State& state) {
  char buffer[2048];
  for (auto _ : state) {
    FILE* fp = OpenInput();
    long count = 0;
    while (GetLine(fp, buffer) == 1) ++count;
    std::fclose(fp);
    CheckCount(state, count);
  }
}
BENCHMARK(BM_GetLine)->Unit(benchmark::kMillisecond);

void BM_GetLineFromCollectFile(benchmark::State& state) {
  HSMCollectFile item;
  for (auto _ : state) {
    FILE* fp = OpenInput();
    long count = 0;
    while (GetLineFromCollectFile(fp, '|', item) == 1) ++count;
    std::fclose(fp);
    CheckCount(state, count);
  }
}
BENCHMARK(BM_GetLineFromCollectFile)->Unit(benchmark::kMillisecond);

void BM_AddToCollectFile(benchmark::State& state) {
  Files& files = GetFiles();
  std::vector<std::string> names = files.names;  // AddToCollectFile takes char*
  for (auto _ : state) {
    CollectFile writer;
    if (writer.Initialize(files.output) != 1) std::abort();
    writer.SetSeperator('|');
    for (long i = 0; i < kLines; ++i) {
      writer.AddToCollectFile(&names[static_cast<size_t>(i) % names.size()][0], false, true,
                              kFirstTime + i % 1000);
    }
    if (writer.DeInitialize() != 1) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_AddToCollectFile)->Unit(benchmark::kMillisecond);

// The same lines, digits by hand, into a 1 MiB buffer written out whenever it fills.
void BM_FormatBaseline(benchmark::State& state) {
  Files& files = GetFiles();
  std::vector<char> buffer(1 << 20);
  for (auto _ : state) {
    int fd = open(files.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) std::abort();
    size_t used = 0;
    for (long i = 0; i < kLines; ++i) {
      const std::string& name = files.names[static_cast<size_t>(i) % files.names.size()];
      if (buffer.size() - used < name.size() + 32) {
        if (write(fd, buffer.data(), used) != static_cast<ssize_t>(used)) std::abort();
        used = 0;
      }
      char* p = buffer.data() + used;
      *p++ = '|';
      std::memcpy(p, name.data(), name.size());
      p += name.size();
      *p++ = '|';
      char digits[24];
      int n = 0;
      for (unsigned long t = static_cast<unsigned long>(kFirstTime + i % 1000); t != 0; t /= 10) {
        digits[n++] = static_cast<char>('0' + t % 10);
      }
      while (n > 0) *p++ = digits[--n];
      *p++ = '|';
      *p++ = '\n';
      used = static_cast<size_t>(p - buffer.data());
    }
    if (write(fd, buffer.data(), used) != static_cast<ssize_t>(used)) std::abort();
    close(fd);
  }
}
BENCHMARK(BM_FormatBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  GetFiles();  // the input is written, and so in the page cache, before any timing
  return trhsm_bench::RunWithRatios(argc, argv,
                                    {{"BM_GetLine", "BM_GetlineBaseline", 1.5},
                                     {"BM_GetLineFromCollectFile", "BM_GetlineBaseline", 1.5},
                                     {"BM_AddToCollectFile", "BM_FormatBaseline", 2.0}});
}
