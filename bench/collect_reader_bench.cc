// The database reader's GetItem over a million-line collect file, normal and turbo mode, against a
// getline() loop over the same file; also counts heap allocations per line.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ratio_report.h"
#include "trhsm/CZeString.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Counts every allocation of the process, so a benchmark can report how many a line costs.
// g++ takes the free() in the replaced delete, once inlined, for a mismatch with new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr long kLines = 1000000;

struct Files {
  std::string dir;     // collect folder, with its trailing "/"
  std::string normal;  // dir + "dbStubList_1.kof"
  std::string turbo;   // dir + "turbo.kof"

  Files() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/collect_reader_bench.XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) std::abort();
    dir = templ + "/";
    normal = dir + "dbStubList_1.kof";
    turbo = dir + "turbo.kof";
    FILE* n = std::fopen(normal.c_str(), "w");
    FILE* t = std::fopen(turbo.c_str(), "w");
    if (n == nullptr || t == nullptr) std::abort();
    for (long i = 0; i < kLines; ++i) {
      const long group = 1 + i % 7, file = 100 + i % 13, offset = i * 4096, size = 1000 + i % 5000;
      std::fprintf(n,
                   "%ld,%ld,%ld,%ld,/data/projects/archive/%ld/report_%08ld.dat,1700000000,%ld\n",
                   group, file, offset, size, i % 1000, i, 5000000 + i);
      std::fprintf(t,
                   "%ld,%ld,%ld,%ld,/data/projects/archive/%ld/report_%08ld.dat,1,"
                   "6f1c2d3e-4b5a-6978-8a9b-0c1d2e3f%04ld,%ld,1700000000,DONE\n",
                   group, file, offset, size, i % 1000, i, i % 10000, 5000000 + i);
    }
    std::fclose(n);
    std::fclose(t);
  }
  ~Files() {
    unlink(normal.c_str());
    unlink(turbo.c_str());
    rmdir(dir.c_str());
  }
};

Files& GetFiles() {
  static Files files;
  return files;
}

void CheckCount(benchmark::State& state, long count) {
  if (count != kLines) state.SkipWithError("wrong number of lines read");
}

void Baseline(benchmark::State& state, const std::string& path) {
  char* line = nullptr;
  size_t capacity = 0;
  for (auto _ : state) {
    FILE* fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr) std::abort();
    long count = 0;
    while (getline(&line, &capacity, fp) > 0) ++count;
    std::fclose(fp);
    CheckCount(state, count);
  }
  std::free(line);
}

void BM_GetlineBaselineNormal(benchmark::State& state) { Baseline(state, GetFiles().normal); }
BENCHMARK(BM_GetlineBaselineNormal)->Unit(benchmark::kMillisecond);

void BM_GetlineBaselineTurbo(benchmark::State& state) { Baseline(state, GetFiles().turbo); }
BENCHMARK(BM_GetlineBaselineTurbo)->Unit(benchmark::kMillisecond);

// What the reader cannot do without: the line primitive and the tokenizer it is built on.
void Primitives(benchmark::State& state, const std::string& path) {
  std::vector<char> line(2048);
  std::vector<std::string_view> tokens;
  std::string scratch;
  for (auto _ : state) {
    FILE* fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr) std::abort();
    long count = 0;
    while (GetLine(fp, line.data(), line.size()) == 1) {
      count += CZeString::TokenizeViews(line.data(), '"', '"', '\\', ',', tokens, scratch) > 0;
    }
    std::fclose(fp);
    CheckCount(state, count);
  }
}

void BM_GetLineTokenizeNormal(benchmark::State& state) { Primitives(state, GetFiles().normal); }
BENCHMARK(BM_GetLineTokenizeNormal)->Unit(benchmark::kMillisecond);

void BM_GetLineTokenizeTurbo(benchmark::State& state) { Primitives(state, GetFiles().turbo); }
BENCHMARK(BM_GetLineTokenizeTurbo)->Unit(benchmark::kMillisecond);

void ReadAll(benchmark::State& state, bool turbo) {
  Files& files = GetFiles();
  TRHSM_CMDLINE_ARGS args;
  args.jobId = 1;
  args.collectFolder = files.dir;
  args.auxNumber = 3;
  EvEvent events;
  HSMCollectFile item;
  std::string reparse, meta, status;
  unsigned long inode = 0;
  long long size = 0;
  long allocations = 0;
  for (auto _ : state) {
    TRHSMCollectFileDBReader reader(args, events, turbo, "dbStubList", 0);
    reader.SetAppTypeGUID("AG");
    std::string path = turbo ? files.turbo : std::string();
    if (reader.Initialize(path) != 1 || reader.Open() != 1) std::abort();
    long count = 0;
    const long before = g_allocations.load(std::memory_order_relaxed);
    while (reader.GetItem(item, reparse, meta, inode, size, status) == 1) ++count;
    allocations = g_allocations.load(std::memory_order_relaxed) - before;
    CheckCount(state, count);
  }
  state.counters["allocs_per_line"] = static_cast<double>(allocations) / kLines;
}

void BM_GetItemNormal(benchmark::State& state) { ReadAll(state, false); }
BENCHMARK(BM_GetItemNormal)->Unit(benchmark::kMillisecond);

void BM_GetItemTurbo(benchmark::State& state) { ReadAll(state, true); }
BENCHMARK(BM_GetItemTurbo)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("KO_LOG_FILE", "/dev/null", 1);  // the end-of-data line is written once per pass
  GetFiles();  // the input is written, and so in the page cache, before any timing
  return trhsm_bench::RunWithRatios(argc, argv,
                                    {{"BM_GetItemNormal", "BM_GetlineBaselineNormal", 3.0},
                                     {"BM_GetItemTurbo", "BM_GetlineBaselineTurbo", 3.0}});
}
