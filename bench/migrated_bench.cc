// wasDirMigrated over 1,000 recorded trees, in held and in transaction mode, against the least any
// linear scan (and, for transaction mode, any locked reread of the file) must do.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "bench/ratio_report.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

constexpr int kTrees = 1000;
// Not under any recorded tree, so every query scans the whole list.
constexpr const char kMissPath[] = "/srv/zzz/below/here";

std::string g_folder;

std::string ListPath() { return g_folder + "/HSMMNTLIST"; }

std::string TreeName(int i) { return "/srv/project" + std::to_string(i) + "/data"; }

void WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) std::abort();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// A folder with a registry, a mount table and a list of kTrees trees; the environment points at it.
void SetUpFolder() {
  char pattern[] = "/tmp/trhsm-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_folder = pattern;
  WriteText(g_folder + "/registry", "[Machines/bench]\ndJOB_RESULTS_DIR=" + g_folder + "\n");
  WriteText(g_folder + "/mounts", "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /home ext4 rw 0 0\n");
  std::string list;
  for (int i = 0; i < kTrees; ++i) list += "1|" + TreeName(i) + "|\n";
  WriteText(ListPath(), list);
  setenv("KO_REGISTRY", (g_folder + "/registry").c_str(), 1);
  setenv("KO_MOUNT_TABLE", (g_folder + "/mounts").c_str(), 1);
}

void TearDownFolder() {
  for (const char* name : {"/registry", "/mounts", "/HSMMNTLIST", "/HSMMNTLIST.lock"}) {
    ::unlink((g_folder + name).c_str());
  }
  ::rmdir(g_folder.c_str());
}

void BM_HeldQuery(benchmark::State& state) {
  TRHSMMigratedDirTrees trees(true, "bench");
  for (auto _ : state) {
    bool found = trees.wasDirMigrated(kMissPath, nullptr);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_HeldQuery);

// One prefix comparison and one boundary test per tree.
bool Scan(const std::list<std::string>& trees, const char* path) {
  for (const std::string& tree : trees) {
    if (std::strncmp(path, tree.c_str(), tree.size()) == 0 &&
        (path[tree.size()] == '\0' || path[tree.size()] == '/')) {
      return true;
    }
  }
  return false;
}

void BM_ScanBaseline(benchmark::State& state) {
  std::list<std::string> trees;
  for (int i = 0; i < kTrees; ++i) trees.push_back(TreeName(i));
  for (auto _ : state) {
    bool found = Scan(trees, kMissPath);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_ScanBaseline);

void BM_TransactionQuery(benchmark::State& state) {
  TRHSMMigratedDirTrees trees(false, "bench");
  for (auto _ : state) {
    bool found = trees.wasDirMigrated(kMissPath, nullptr);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_TransactionQuery);

// A shared lock on the lock file, the whole file read, its records split into a list, one scan.
void BM_RereadBaseline(benchmark::State& state) {
  const std::string lockPath = ListPath() + ".lock";
  const std::string listPath = ListPath();
  for (auto _ : state) {
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(lockFd, F_OFD_SETLKW, &fl);
    int fd = ::open(listPath.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text;
    char chunk[16384];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    ::close(fd);
    std::list<std::string> trees;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      trees.emplace_back(text, start + 2, end - start - 3);
    }
    bool found = Scan(trees, kMissPath);
    benchmark::DoNotOptimize(found);
    fl.l_type = F_UNLCK;
    ::fcntl(lockFd, F_OFD_SETLK, &fl);
    ::close(lockFd);
  }
}
BENCHMARK(BM_RereadBaseline);

}  // namespace

int main(int argc, char** argv) {
  SetUpFolder();
  int rc = trhsm_bench::RunWithRatios(argc, argv,
                                      {{"BM_HeldQuery", "BM_ScanBaseline", 2.0},
                                       {"BM_TransactionQuery", "BM_RereadBaseline", 2.0}});
  TearDownFolder();
  return rc;
}
