// trhsm-crashloop [COUNT] [--naive] [--build DIR] [--seed N]: SIGKILLs, COUNT times (10000) at
// random moments, four forked editors of the migrated-tree list, each edit journaled in shared
// memory before it starts and after it returns. After each round the list must parse whole and
// hold every returned edit (an interrupted one either way). --naive edits the list in place: damage
// must show. --build names the build folder that tests/crashloop.sh runs this from. Exit: 0 no
// damage, 1 damage, 2 usage error, 3 the harness itself failed.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "migrated/tree_list_format.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

namespace mig = trhsm::migrated;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

constexpr int kEditors = 4, kTrees = 16, kSlots = kEditors * kTrees, kEditorMaxUs = 30000;
// Per editor tree: its last returned edit and the one started after it ('a', 'd' or 0).
struct Journal {
  std::atomic<char> listed[kSlots], pending[kSlots];
};
std::string TreeName(int i) {
  return "/crashloop/s" + std::to_string(i / kTrees) + "/t" + std::to_string(i % kTrees);
}
[[noreturn]] void HarnessFailed(const std::string& what) {
  std::fprintf(stderr, "crashloop: %s\n", what.c_str());
  std::exit(3);
}

// The naive writer: under the list's lock, but it truncates the list and writes it back in place,
// each record's closing "|\n" apart from the rest of it.
void NaiveEdit(const std::string& list, const mig::MountList& mounts, char op,
               const std::string& tree) {
  KoFileLock lock(true);
  (void)lock.lock((list + trhsm::tree_list::kLockSuffix).c_str(), KoFileLock::kExclusive,
                  KoFileLock::kWaitForever);
  Strings problems;
  std::list<std::string> trees = mig::ParseTreeList(mig::ReadListFile(list, "naive"), &problems);
  if (!(op == 'a' ? mig::AddTreeTo(&trees, mounts, tree) : mig::DelTreeFrom(&trees, tree))) return;
  const std::string text = mig::FormatTreeList(trees);
  const int fd = ::open(list.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  for (size_t at = 0, end; fd >= 0 && at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (::write(fd, &text[at], end - 1 - at) < 0 || ::write(fd, &text[end - 1], 2) < 0) _exit(1);
  }
  ::close(fd);
}

// An editor: says it is ready on `ready`, then edits its slot's trees until it is killed.
[[noreturn]] void Editor(int slot, unsigned seed, bool naive, const std::string& list,
                         Journal* journal, int ready) {
  std::mt19937 gen(seed);
  try {
    TRHSMMigratedDirTrees trees(false, "crash");
    mig::MountList mounts;
    if ((naive && KoMntTab::getAll(mounts).IsError()) || ::write(ready, "r", 1) != 1) _exit(1);
    for (;;) {
      const int n = slot * kTrees + static_cast<int>(gen() % kTrees);
      const char op = gen() % 2 == 0 ? 'a' : 'd';
      const std::string tree = TreeName(n);
      journal->pending[n] = op;
      if (naive) {
        NaiveEdit(list, mounts, op, tree);
      } else {
        op == 'a' ? trees.addTree(tree.c_str()) : trees.delTree(tree.c_str());
      }
      journal->listed[n] = op, journal->pending[n] = 0;
    }
  } catch (const KoException& e) {
    std::fprintf(stderr, "editor: %s\n", e.what());
  }
  _exit(1);
}

// Starts the editors, kills each at its own random moment; returns the kills.
long Round(std::mt19937& gen, bool naive, const std::string& list, Journal* journal) {
  int ready[2];
  if (::pipe(ready) != 0) HarnessFailed("pipe failed");
  std::vector<std::pair<Clock::time_point, pid_t>> plan;
  for (int s = 0; s < kEditors; ++s) {
    const unsigned seed = gen();
    const pid_t pid = ::fork();
    if (pid == 0) Editor(s, seed, naive, list, journal, ready[1]);
    plan.push_back({{}, pid});
  }
  char byte;
  for (int s = 0; s < kEditors; ++s)
    if (::read(ready[0], &byte, 1) != 1) HarnessFailed("an editor did not start");
  ::close(ready[0]), ::close(ready[1]);
  const auto now = Clock::now();  // kills land in the edits rather than in the start
  for (auto& p : plan) p.first = now + std::chrono::microseconds(gen() % (kEditorMaxUs + 1));
  std::sort(plan.begin(), plan.end());
  for (const auto& [at, pid] : plan) std::this_thread::sleep_until(at), ::kill(pid, SIGKILL);
  for (const auto& [at, pid] : plan) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) HarnessFailed("waitpid failed");
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL)  // an editor only ends by a kill
      HarnessFailed("an editor failed with status " + std::to_string(status));
  }
  return plan.size();
}

// The damage in the list (none: interrupted edits are settled as the list shows them).
Strings Check(const std::string& list, Journal* journal, long* interrupted) {
  const std::string text = mig::ReadListFile(list, "crashloop");
  Strings found;
  const std::list<std::string> trees = mig::ParseTreeList(text, &found);
  if (!text.empty() && text.back() != '\n') found.push_back("the last record is cut");
  std::multiset<std::string> listed(trees.begin(), trees.end()), edited;
  for (int n = 0; n < kSlots; ++n) edited.insert(TreeName(n));
  for (const std::string& tree : listed) {
    if (listed.count(tree) > 1) found.push_back("tree " + tree + " listed twice");
    if (!edited.count(tree)) found.push_back("tree " + tree + " never added");
  }
  for (int n = 0; n < kSlots; ++n) {
    const bool have = listed.count(TreeName(n)) != 0, want = journal->listed[n] == 'a';
    const char open = journal->pending[n];
    if (have != want && !(open != 0 && have == (open == 'a')))
      found.push_back("tree " + TreeName(n) +
                      (want ? " added but not listed" : " listed, not added"));
  }
  for (int n = 0; n < kSlots && found.empty(); ++n) {
    *interrupted += journal->pending[n] != 0;
    if (journal->pending[n] != 0) journal->listed[n] = listed.count(TreeName(n)) ? 'a' : 'd';
    journal->pending[n] = 0;
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  long count = 10000;
  bool naive = false;
  unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count() % 32768);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--naive") {
      naive = true;
    } else if ((arg == "--build" || arg == "--seed") && i + 1 < argc) {
      if (arg == "--seed") seed = std::stoul(argv[i + 1]);
      ++i;
    } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
      count = std::stol(arg);
    } else {
      std::fprintf(stderr, "usage: %s [COUNT] [--naive] [--build DIR] [--seed N]\n", argv[0]);
      return 2;
    }
  }
  std::mt19937 gen(seed);
  // A kill leaves the same page cache on any file system; a RAM one keeps fsync from setting pace.
  const char* dir = std::getenv("CRASHLOOP_DIR");
  std::string box = std::string(dir                               ? dir
                                : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                  : "/tmp") +
                    "/crashloop-XXXXXX";
  if (::mkdtemp(&box[0]) == nullptr) HarnessFailed("cannot make the sandbox");
  const std::string list = box + "/results/" + trhsm::tree_list::kListFileName;
  void* shared =
      ::mmap(nullptr, sizeof(Journal), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) HarnessFailed("cannot map the journal");
  Journal* journal = new (shared) Journal();
  for (auto& tree : journal->listed) tree = 'd';
  std::filesystem::create_directories(box + "/results");
  trhsm_test::WriteFile(
      box + "/registry",
      "[Base]\nsFOCUS_CLIENT=crash\n[Machines/crash]\ndJOB_RESULTS_DIR=" + box + "/results\n");
  trhsm_test::WriteFile(box + "/mounts", "/dev/root / ext4 rw 0 0\n");
  ::setenv("KO_REGISTRY", (box + "/registry").c_str(), 1);
  ::setenv("KO_MOUNT_TABLE", (box + "/mounts").c_str(), 1);
  ::setenv("KO_LOG_FILE", (box + "/trhsm.log").c_str(), 1);
  std::printf(
      "crashloop: %ld kills, seed %u, %s editor, kills within %d ms of an editor's start, "
      "sandbox %s\n",
      count, seed, naive ? "naive" : "library", kEditorMaxUs / 1000, box.c_str());
  const auto start = Clock::now();
  long kills = 0, rounds = 0, interrupted = 0, damage = 0;
  for (; kills < count; ++rounds) {
    kills += Round(gen, naive, list, journal);
    const Strings found = Check(list, journal, &interrupted);
    for (size_t i = 0; damage == 0 && i < found.size() && i < 10; ++i)
      std::printf("crashloop: damage after kill %ld (round %ld): %s\n", kills, rounds,
                  found[i].c_str());
    damage += found.size();
    if (!found.empty()) {  // again from an empty list
      std::filesystem::remove(list), std::filesystem::remove(list + ".tmp");
      for (int n = 0; n < kSlots; ++n) journal->listed[n] = 'd', journal->pending[n] = 0;
    }
  }
  std::printf(
      "crashloop: %ld kills in %ld rounds (%ld inside a list edit), damage found: %ld, "
      "time %.1f s\n",
      kills, rounds, interrupted, damage,
      std::chrono::duration<double>(Clock::now() - start).count());
  if (damage == 0 || naive) std::filesystem::remove_all(box);
  if (damage != 0 && !naive) std::printf("crashloop: sandbox kept: %s\n", box.c_str());
  return damage == 0 ? 0 : 1;
}
