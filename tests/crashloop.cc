// trhsm-crashloop [COUNT] [--naive] [--build DIR] [--seed N]: SIGKILLs, COUNT times (10000) at
// random moments, four forked list editors (16 trees each, every edit journaled in shared memory
// before it starts and after it returns) and, every second round, trhsm-stubjob over a tree backed
// up by trhsm-index. After each round the list must parse whole and hold every returned edit (an
// interrupted one either way), and every file be its original bytes or a whole stub of its archived
// copy; every 8 killed stub rounds the stub job runs to its end (every file a stub in a listed
// tree), all is recalled and backed up afresh. --naive edits the list in place: damage must show.
// Exit: 0 no damage, 1 damage, 2 usage error, 3 the harness itself failed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "migrated/tree_list_format.h"
#include "platform/archive.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMigratedDirTrees.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

namespace fs = std::filesystem;
namespace mig = trhsm::migrated;
using Clock = std::chrono::steady_clock;
using trhsm_test::ReadFile;
using Strings = std::vector<std::string>;

constexpr int kEditors = 4, kTrees = 16, kSlots = kEditors * kTrees, kEditorMaxUs = 30000;
// Per editor tree, shared with the editors: its last returned edit and the one started after it
// ('a', 'd' or 0).
struct Journal {
  std::atomic<char> listed[kSlots], pending[kSlots];
};
std::string TreeName(int i) {
  return "/crashloop/s" + std::to_string(i / kTrees) + "/t" + std::to_string(i % kTrees);
}
Strings Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}
[[noreturn]] void HarnessFailed(const std::string& what) {
  std::fprintf(stderr, "crashloop: %s\n", what.c_str());
  std::exit(3);
}
pid_t Start(const Strings& argv, const std::string& out) {  // output to `out` ("": none)
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd =
      ::open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(fd, 1), ::dup2(fd, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}
int Status(pid_t pid) {  // the exit code, 128 + signal when killed
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) HarnessFailed("waitpid failed");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

struct Loop {
  std::string box, build, list;
  bool naive = false;
  std::mt19937 gen;
  Journal* journal = nullptr;
  std::map<std::string, std::string> reference;  // relative path in files/ -> original bytes
  long kills = 0, rounds = 0, stubRounds = 0, cycles = 0, interrupted = 0, damage = 0;
  long inGroup = 0;         // stub kills that left temporaries: inside a group's staging or renames
  bool stubKilled = false;  // the last round killed the stub job
  long stubMaxUs = 0, damageEvents = 0;
  Strings findings;

  Strings StubJob() const {
    return Words(build + "/examples/stubjob/trhsm-stubjob --quiet --collect-folder " + box +
                 "/collect/ -J 9 -D media -a 1:0 -s crash");
  }
  bool Fail(const std::string& what) { return findings.push_back(what), Reset(); }

  // A fresh backup: new index, archive, collect and job folders; the stub job's trees forgotten.
  void Backup() {
    for (const char* d : {"index.db", "archive", "collect", "jobs"}) fs::remove_all(box + "/" + d);
    for (const char* d : {"archive", "collect", "jobs"}) fs::create_directory(box + "/" + d);
    const std::string at = " --index " + box + "/index.db --archive " + box + "/archive ";
    if (Status(Start(
            Words(build + "/tools/trhsm-index add --job 9 --archive-group 3" + at + box + "/files"),
            box + "/index.out")) != 0)
      HarnessFailed("trhsm-index add failed");
    TRHSMMigratedDirTrees trees(false, "crash");
    for (const auto& d : {"a-solo", "d0", "d1", "d2"}) trees.delTree((box + "/files/" + d).c_str());
  }
  void WriteTree() {  // the originals, and nothing else
    fs::remove_all(box + "/files");
    for (const auto& [rel, bytes] : reference) {
      fs::create_directories(fs::path(box + "/" + rel).parent_path());
      trhsm_test::WriteFile(box + "/" + rel, bytes);
    }
  }

  // True when `bytes`, file `path`, is one whole stub naming it whose archived copy is `original`.
  bool RecallsTo(const std::string& path, const std::string& bytes, const std::string& original) {
    std::vector<char> record(bytes.begin(), bytes.end());
    ReparseData data;
    int length = 0;
    if (record.empty() || !trhsm_stub2meta(record.data(), &length, nullptr, nullptr, 0, true) ||
        size_t(length) != record.size() || ParseStubData(record, data) != 1 ||
        data.stubGUID != path)
      return false;
    const int copy = ::memfd_create("copy", MFD_CLOEXEC);
    trhsm::platform::CopyHeader header;
    std::string error;
    const bool ok = trhsm::platform::CopyOut(box + "/archive", data.field2, data.field3,
                                             data.field4, copy, &header, &error) &&
                    ReadFile("/proc/self/fd/" + std::to_string(copy)) == original;
    ::close(copy);
    return ok;
  }

  // mode: 's' after a round of kills (interrupted edits are then settled as the list shows them),
  // 'c' after a complete stub run, 'p' after the recall. False when damage was found.
  bool Check(char mode) {
    const std::string text = mig::ReadListFile(list, "crashloop");
    Strings problems;
    const std::list<std::string> trees = mig::ParseTreeList(text, &problems);
    std::multiset<std::string> listed(trees.begin(), trees.end());
    mig::MountList mounts;
    if (KoMntTab::getAll(mounts).IsError()) HarnessFailed("cannot read the mount table");
    // Each check: its damage, found when the condition holds.
    const auto check = [&](bool bad, const std::string& what) {
      if (bad) findings.push_back(what);
    };
    for (const std::string& p : problems) check(true, "list: " + p);
    check(!text.empty() && text.back() != '\n', "list: the last record is cut");
    check(mode != 's' && fs::exists(list + ".tmp"), "temporary list left after a whole run");
    std::set<std::string> edited;  // the editors' trees
    for (int n = 0; n < kSlots; ++n) edited.insert(TreeName(n));
    for (const std::string& tree : listed) {
      check(listed.count(tree) > 1, "tree " + tree + " listed twice");
      check(!edited.count(tree) && tree.rfind(box + "/files/", 0) != 0,
            "tree " + tree + " never added");
    }
    long pending = 0;
    for (int n = 0; n < kSlots; ++n) {
      const bool have = listed.count(TreeName(n)) != 0, want = journal->listed[n] == 'a';
      const char open = journal->pending[n];
      check(have != want && !(open != 0 && have == (open == 'a')),
            "tree " + TreeName(n) + (want ? " added but not listed" : " listed, not added"));
      pending += open != 0;
    }
    bool stubTemporary = false;
    for (const auto& e : fs::recursive_directory_iterator(box + "/files")) {
      const std::string name = e.path().filename(), rel = e.path().lexically_relative(box);
      stubTemporary |= name.rfind(".trhsm-stub-tmp.", 0) == 0;
      const bool temporary =
          name.rfind(".trhsm-stub-tmp.", 0) == 0 || name.rfind(".trhsm-recall-tmp.", 0) == 0;
      check(!e.is_directory() && !reference.count(rel) && (!temporary || mode != 's'),
            "unexpected file " + rel);
    }
    for (const auto& [rel, original] : reference) {
      const std::string path = box + "/" + rel, have = ReadFile(path);
      const bool exists = fs::exists(path), same = exists && have == original;
      const bool stub = exists && !same && RecallsTo(path, have, original);
      check(!exists, "file " + rel + " is gone");
      check(same && mode == 'c', "file " + rel + " not stubbed after a complete run");
      check(exists && !same && !stub,
            "file " + rel + " is neither its original bytes nor a whole stub of them");
      check(stub && mode == 'p', "file " + rel + " still a stub after the recall");
      check(stub && mode == 'c' &&
                !mig::FindContainingTree(trees, mounts, path.substr(0, path.rfind('/')).c_str()),
            "stub " + rel + " lies in no listed tree after a complete run");
    }
    if (!findings.empty()) return Reset();
    for (int n = 0; n < kSlots && mode == 's'; ++n) {
      if (journal->pending[n] != 0) journal->listed[n] = listed.count(TreeName(n)) ? 'a' : 'd';
      journal->pending[n] = 0;
    }
    interrupted += pending;
    inGroup += stubTemporary && stubKilled;
    stubKilled = false;
    return true;
  }

  // Reports the findings and starts again from an empty list (and the original tree).
  bool Reset() {
    if (++damageEvents <= 3) {
      std::printf("crashloop: damage after kill %ld (round %ld):\n", kills, rounds);
      for (size_t i = 0; i < findings.size() && i < 5; ++i)
        std::printf("  damage: %s\n", findings[i].c_str());
    }
    damage += findings.size();
    const bool tree = std::any_of(findings.begin(), findings.end(), [](const std::string& f) {
      return f.rfind("tree", 0) != 0 && f.rfind("list", 0) != 0 && f.rfind("temporary", 0) != 0;
    });
    findings.clear();
    fs::remove(list), fs::remove(list + ".tmp");
    for (int n = 0; n < kSlots; ++n) journal->listed[n] = 'd', journal->pending[n] = 0;
    if (tree) WriteTree(), Backup(), stubRounds = 0;
    return false;
  }

  // The stub job to its end, the recall of every file, and a fresh backup.
  void CompleteCycle() {
    const auto start = Clock::now();
    const int status = Status(Start(StubJob(), box + "/stubjob.out"));
    stubMaxUs = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    if (status != 0) return (void)Fail("the stub run ended with status " + std::to_string(status));
    if (!Check('c')) return;
    Strings recall = {build + "/tools/trhsm-recall"};
    for (const auto& entry : reference) recall.push_back(box + "/" + entry.first);
    if (Status(Start(recall, box + "/recall.out")) != 0) return (void)Fail("the recall failed");
    if (Check('p')) Backup(), ++cycles;
  }

  // When the stub job `pid` made its first stub temporary (seen by the inotify descriptor
  // `watch`), or ended without one.
  static Clock::time_point FirstTemporary(int watch, pid_t pid) {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      pollfd p = {watch, POLLIN, 0};
      for (ssize_t n = ::poll(&p, 1, 1) > 0 ? ::read(watch, buf, sizeof buf) : 0, at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        if (e->len > 0 && std::string(e->name).rfind(".trhsm-stub-tmp.", 0) == 0)
          return Clock::now();
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
      siginfo_t info = {};
      if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
        return Clock::now();
    }
  }

  // The editors and, every second round, the stub job, each killed at its own random moment.
  void Round() {
    int ready[2];
    if (::pipe(ready) != 0) HarnessFailed("pipe failed");
    std::vector<std::pair<Clock::time_point, pid_t>> plan;
    std::set<pid_t> editors;
    for (int s = 0; s < kEditors; ++s) {
      const unsigned seed = gen();
      const pid_t pid = ::fork();
      if (pid == 0) Editor(s, seed, naive, list, journal, ready[1]);
      plan.push_back({{}, pid}), editors.insert(pid);
    }
    char byte;
    for (int s = 0; s < kEditors; ++s)
      if (::read(ready[0], &byte, 1) != 1) HarnessFailed("an editor did not start");
    ::close(ready[0]), ::close(ready[1]);
    const auto now = Clock::now();  // kills land in the edits rather than in the start
    for (auto& p : plan) p.first = now + std::chrono::microseconds(gen() % (kEditorMaxUs + 1));
    if (++rounds % 2 == 0) {
      // Every other stub round aims at the groups: the kill follows the pass's first stub
      // temporary by up to 2 ms (a group's staging and renames take about that long here).
      const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
      for (const char* d : {"a-solo", "d0", "d1", "d2"})
        ::inotify_add_watch(watch, (box + "/files/" + d).c_str(), IN_CREATE);
      const pid_t job = Start(StubJob(), "");
      const auto at = ++stubRounds % 2 == 0
                          ? FirstTemporary(watch, job) + std::chrono::microseconds(gen() % 2001)
                          : Clock::now() + std::chrono::microseconds(gen() % (stubMaxUs + 5001));
      ::close(watch);
      plan.push_back({at, job});
    }
    std::sort(plan.begin(), plan.end());
    for (const auto& [at, pid] : plan) std::this_thread::sleep_until(at), ::kill(pid, SIGKILL);
    for (const auto& [at, pid] : plan) {
      const int status = Status(pid);
      kills += status == 128 + SIGKILL;
      stubKilled |= status == 128 + SIGKILL && editors.count(pid) == 0;
      // An editor only ends by a kill; a stub pass may end by itself (the checks judge it).
      if (status != 128 + SIGKILL && editors.count(pid) != 0)
        HarnessFailed("an editor failed with status " + std::to_string(status));
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Loop loop;
  long count = 10000;
  unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count() % 32768);
  const char* build = std::getenv("CRASHLOOP_BUILD");
  loop.build = build != nullptr ? build : "build";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--naive") {
      loop.naive = true;
    } else if (arg == "--build" && i + 1 < argc) {
      loop.build = argv[++i];
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = std::stoul(argv[++i]);
    } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
      count = std::stol(arg);
    } else {
      std::fprintf(stderr, "usage: %s [COUNT] [--naive] [--build DIR] [--seed N]\n", argv[0]);
      return 2;
    }
  }
  loop.build = fs::absolute(loop.build);
  loop.gen.seed(seed);
  // A kill leaves the same page cache on any file system; a RAM one keeps fsync from setting pace.
  const char* dir = std::getenv("CRASHLOOP_DIR");
  std::string box = std::string(dir                               ? dir
                                : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                  : "/tmp") +
                    "/crashloop-XXXXXX";
  if (::mkdtemp(&box[0]) == nullptr) HarnessFailed("cannot make the sandbox");
  loop.box = box;
  loop.list = box + "/results/" + trhsm::tree_list::kListFileName;
  void* shared =
      ::mmap(nullptr, sizeof(Journal), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) HarnessFailed("cannot map the journal");
  loop.journal = new (shared) Journal();
  for (auto& tree : loop.journal->listed) tree = 'd';
  fs::create_directories(box + "/results");
  std::string registry =
      "[Base]\ndBACKUP_INDEX=@/index.db\ndARCHIVE_ROOT=@/archive\ndJOB_MANAGER_DIR=@/jobs\n"
      "sFOCUS_CLIENT=crash\n[Machines/crash]\ndJOB_RESULTS_DIR=@/results\n";
  for (size_t at; (at = registry.find('@')) != std::string::npos;) registry.replace(at, 1, box);
  trhsm_test::WriteFile(box + "/registry", registry);
  trhsm_test::WriteFile(box + "/mounts", "/dev/root / ext4 rw 0 0\n");
  ::setenv("KO_REGISTRY", (box + "/registry").c_str(), 1);
  ::setenv("KO_MOUNT_TABLE", (box + "/mounts").c_str(), 1);
  ::setenv("KO_LOG_FILE", (box + "/trhsm.log").c_str(), 1);
  // Three folders of files from 300 bytes to ~24 KiB (each larger than its stub), and first in the
  // pass a folder of one file, which a killed pass may stub whole: the next pass then finds nothing
  // there to stub, yet must record it.
  loop.reference["files/a-solo/only"] = std::string(5000, 0);
  for (const char* d : {"d0", "d1", "d2"})
    for (int i = 0; i < 9; ++i)
      loop.reference["files/" + std::string(d) + "/f" + std::to_string(i)].resize(
          300 + (i * 7919 + 2 * 131) % 24000);
  for (auto& [rel, bytes] : loop.reference)
    for (char& c : bytes) c = static_cast<char>(loop.gen());
  loop.WriteTree();
  loop.Backup();
  loop.CompleteCycle();  // also times a whole pass: kills of the stub job spread over all of it
  std::printf(
      "crashloop: %ld kills, seed %u, %s editor, kills within %d ms of an editor's start "
      "and %ld ms of a stub pass's start, sandbox %s\n",
      count, seed, loop.naive ? "naive" : "library", kEditorMaxUs / 1000, loop.stubMaxUs / 1000 + 5,
      box.c_str());
  const auto start = Clock::now();
  while (loop.kills < count) {
    loop.Round();
    if (loop.Check('s') && loop.stubRounds >= 8) loop.CompleteCycle(), loop.stubRounds = 0;
  }
  std::printf(
      "crashloop: %ld kills in %ld rounds (%ld inside a list edit, %ld inside a stub group, %ld "
      "complete stub cycles), damage found: %ld, time %.1f s\n",
      loop.kills, loop.rounds, loop.interrupted, loop.inGroup, loop.cycles, loop.damage,
      std::chrono::duration<double>(Clock::now() - start).count());
  if (loop.damage == 0 || loop.naive) {
    fs::remove_all(box);
  } else {
    std::printf("crashloop: sandbox kept: %s\n", box.c_str());
  }
  return loop.damage == 0 ? 0 : 1;
}
