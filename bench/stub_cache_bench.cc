// getCacheFname on cache hits, both overloads, against building the same name with snprintf alone.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/ratio_report.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

const char kRoot[] = "/var/cache/stubs";

// A mount table with the scratch folder's file system under a typical device name, and a stat
// result of a file on it, so every timed call is a cache hit.
struct Setup {
  Setup() {
    char pattern[] = "/tmp/trhsm-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir = pattern;
    table = dir + "/mounts";
    FILE* f = std::fopen(table.c_str(), "w");
    if (f == nullptr) std::abort();
    std::fprintf(f, "/dev/sdb1 %s ext4 rw 0 0\n", dir.c_str());
    std::fclose(f);
    setenv("KO_MOUNT_TABLE", table.c_str(), 1);
    if (stat(dir.c_str(), &st) != 0) std::abort();
    st.st_ino = 1234567;
    path = dir + "/projects/2024/report.docx";
    // Warm both caches.
    if (getCacheFname(st, kRoot).empty() || getCacheFname(path.c_str(), st, kRoot).empty()) {
      std::abort();
    }
  }
  ~Setup() {
    std::remove(table.c_str());
    rmdir(dir.c_str());
  }
  std::string dir;
  std::string table;
  std::string path;
  struct stat st {};
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

void BM_CacheFnameByDevice(benchmark::State& state) {
  Setup& s = Shared();
  for (auto _ : state) {
    ++s.st.st_ino;
    std::string name = getCacheFname(s.st, kRoot);
    benchmark::DoNotOptimize(name.data());
  }
}
BENCHMARK(BM_CacheFnameByDevice);

void BM_CacheFnameByPath(benchmark::State& state) {
  Setup& s = Shared();
  for (auto _ : state) {
    ++s.st.st_ino;
    std::string name = getCacheFname(s.path.c_str(), s.st, kRoot);
    benchmark::DoNotOptimize(name.data());
  }
}
BENCHMARK(BM_CacheFnameByPath);

// The same name from the same inputs: one snprintf for the inode digits, one for the layout.
void BM_SnprintfBaseline(benchmark::State& state) {
  Setup& s = Shared();
  const std::string device = "/dev/sdb1";
  char digits[32];
  char name[4096];
  for (auto _ : state) {
    ++s.st.st_ino;
    std::snprintf(digits, sizeof digits, "%020lld", static_cast<long long>(s.st.st_ino));
    std::snprintf(name, sizeof name, "%s%s/%.3s/%.3s/%.3s/%.3s/%.3s/%.3s/%.2s", kRoot,
                  device.c_str(), digits, digits + 3, digits + 6, digits + 9, digits + 12,
                  digits + 15, digits + 18);
    benchmark::DoNotOptimize(name);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SnprintfBaseline);

}  // namespace

int main(int argc, char** argv) {
  return trhsm_bench::RunWithRatios(argc, argv,
                                    {{"BM_CacheFnameByDevice", "BM_SnprintfBaseline", 3.0},
                                     {"BM_CacheFnameByPath", "BM_SnprintfBaseline", 3.0}});
}
