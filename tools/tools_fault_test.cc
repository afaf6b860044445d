// Every write path of the tools and the stub job under I/O faults and with entries planted at its
// names: every file stays whole, no entry is left, nothing outside is touched, a failure is its
// own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/archive.h"
#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::Contains;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

struct ToolResult : trhsm_test::ProgramRun {
  bool fired;  // the armed fault failed a call
  bool aside;  // ... on a file that World::aside names
};

// `names`: where a row writes, and plants go; no entry may come or go in their folders.
struct World {
  std::vector<std::string> args, env, names;
  std::function<void()> reset;  // back to the state before the run
  std::function<bool()> whole;  // every file as it was or as the run makes it
  std::function<bool()> done;   // everything as the run makes it
  std::function<bool(const std::string& op, long n, long calls)> mayIgnore;
  // Faults on these (parts of fault log lines) the run may ignore: files whose loss costs nothing.
  std::vector<std::string> aside;
};
struct Row {
  const char* name;
  const char* program;
  World (*setup)(const std::string& dir);
  const char* says;  // what starts a line of its own
};

std::vector<BackupItem> Items(const std::string& index, int64_t job, bool* intact = nullptr) {
  std::string error;  // read-write: a transaction cut short is rolled back first
  auto db = BackupIndex::Open(index, BackupIndex::Mode::kCreate, &error);
  std::vector<BackupItem> items;
  if (db && db->ListJob(job, &items, &error) && intact != nullptr) {
    for (const BackupItem& i : items) {
      trhsm::platform::CopyHeader h;
      *intact &=
          trhsm::platform::VerifyCopy(index.substr(0, index.rfind('/')) + "/archive", i.archGroupId,
                                      i.archFileId, i.archFileOffset, &h, &error) &&
          static_cast<int64_t>(h.size) == i.fileSize;
    }
  }
  return items;
}

void Remove(const std::vector<std::string>& paths) {
  std::error_code ignored;
  for (const std::string& p : paths) std::filesystem::remove_all(p, ignored);
}

void Add(const std::string& dir, const std::string& job, const std::string& path) {
  trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", job, "--index", dir + "/index.db",
                                            "--archive", dir + "/archive", path});
}

bool IsStubOf(const std::string& path, const std::string& bytes) {
  std::vector<char> v(bytes.begin(), bytes.end());
  ReparseData data;
  int length = 0;
  return !v.empty() && trhsm_stub2meta(v.data(), &length, nullptr, nullptr, 0, true) &&
         static_cast<size_t>(length) == v.size() && ParseStubData(v, data) == 1 &&
         data.stubGUID == path;
}

World StubEncode(const std::string& dir) {
  const std::string f = dir + "/s/f";
  ::mkdir((dir + "/s").c_str(), 0755);
  return {{"encode", "--value", "7", "--metadata", "m", "--force", f},
          {},
          {f},
          [f] { ::unlink(f.c_str()), WriteFile(f, std::string(100, 'p')); },
          [f] { return ReadFile(f) == std::string(100, 'p') || ReadFile(f).size() == 27; },
          [f] { return ReadFile(f).size() == 27; },
          [](const std::string& op, long, long) { return op == "close"; },
          {}};
}

World IndexAdd(const std::string& dir) {
  WriteFile(dir + "/old", "an earlier job's file\n");
  WriteFile(dir + "/new", std::string(200000, 'n'));
  Add(dir, "1", dir + "/old");
  const std::string arc = dir + "/archive/1/1.arc", saved = ReadFile(arc);
  const std::string index = dir + "/index.db", savedIndex = ReadFile(index);
  return {{"add", "--job", "2", "--index", index, "--archive", dir + "/archive", dir + "/new"},
          {},
          {dir + "/archive/1", arc},
          [=] {
            Remove({dir + "/archive/1", index + "-journal"});
            ::mkdir((dir + "/archive/1").c_str(), 0755);
            WriteFile(arc, saved), WriteFile(index, savedIndex);
          },
          [=] {
            bool intact = true;
            const size_t added = Items(index, 2, &intact).size();
            return intact && Items(index, 1).size() == 1 && (added == 1 || ReadFile(arc) == saved);
          },
          [=] { return Items(index, 2).size() == 1; },
          // The index ignores a failed open or sync of its journal's folder by design.
          [](const std::string& op, long, long) { return op != "write" && op != "rename"; },
          {}};
}

World Recall(const std::string& dir) {
  const std::string path = dir + "/files/data", original = std::string(150000, 'd');
  ::mkdir((dir + "/files").c_str(), 0755);
  WriteFile(path, original);
  Add(dir, "5", path);  // the first copy of group 1's first archive file: at offset 0
  const std::string text =
      "1:0:1:1:0:1:" + std::to_string(path.size()) + ":" + path + "|1700000000";
  std::string stub(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 0, nullptr, 0)), '\0');
  trhsm_meta2stub(text.c_str(), 0, &stub[0], static_cast<int>(stub.size()));
  return {{"--archive", dir + "/archive", path},
          {},
          {path},
          [=] { ::unlink(path.c_str()), WriteFile(path, stub), ::chmod(path.c_str(), 0640); },
          [=] { return ReadFile(path) == stub || ReadFile(path) == original; },
          [=] {
            struct stat st = {};
            return ReadFile(path) == original && ::stat(path.c_str(), &st) == 0 &&
                   (st.st_mode & 07777) == 0640;
          },
          [](const std::string& op, long, long) { return op == "close"; },
          // The identity record and its folder's sync: without it the next release needs a backup.
          {".recalled", "/archive/1\n"}};
}

World StubJob(const std::string& dir) {
  const std::string files = dir + "/files";
  for (const char* d : {"/files", "/files/sub", "/results", "/jobs"})
    ::mkdir((dir + d).c_str(), 0755);
  WriteFile(dir + "/registry",
            "[Base]\ndBACKUP_INDEX=" + dir + "/index.db\ndARCHIVE_ROOT=" + dir +
                "/archive\ndJOB_MANAGER_DIR=" + dir +
                "/jobs\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + dir + "/results\n");
  WriteFile(dir + "/mounts", "/dev/root / ext4 rw 0 0\n");
  const std::string b = files + "/sub/b", original = std::string(5000, 'b');
  const auto reset = [=] {  // a file once stubbed or touched has a new change time: all anew
    Remove({dir + "/archive", dir + "/index.db", files + "/sub", dir + "/results", dir + "/jobs"});
    for (const char* d : {"/files/sub", "/results", "/jobs"}) ::mkdir((dir + d).c_str(), 0755);
    WriteFile(b, original);
    Add(dir, "9", files);
  };
  reset();
  const long tail = 2;  // the tree list's destructor saves once more: its last fsyncs and rename
  return {{"--quiet", "-J", "9", "-D", "media", "-a", "1:0"},
          {"KO_REGISTRY=" + dir + "/registry", "KO_MOUNT_TABLE=" + dir + "/mounts",
           "KO_LOG_FILE=" + dir + "/log"},
          {b, files + "/sub"},
          reset,
          [=] { return IsStubOf(b, ReadFile(b)) || ReadFile(b) == original; },
          [=] { return IsStubOf(b, ReadFile(b)); },
          [=](const std::string& op, long n, long calls) {
            return op == "close" || op == "open" || op == "write" ||
                   n > calls - (op == "rename" ? 1 : tail);
          },
          {}};
}

const Row kRows[] = {{"StubEncode", TRHSM_STUB_TOOL, StubEncode, "trhsm-stub: "},
                     {"IndexAdd", TRHSM_INDEX_TOOL, IndexAdd, "trhsm-index: "},
                     {"Recall", TRHSM_RECALL_TOOL, Recall, "trhsm-recall: "},
                     {"StubJob", TRHSM_STUBJOB, StubJob, "trhsm-stubjob: "}};

std::map<std::string, std::vector<std::string>> Listings(const World& w) {
  std::map<std::string, std::vector<std::string>> out;
  for (const std::string& n : w.names) {
    const std::string folder = n.substr(0, n.rfind('/'));
    out[folder] = trhsm_test::ListFolder(folder);
  }
  return out;
}

// Every entry below `path` with its bytes (a link as its target), to see that nothing changed.
std::string Snapshot(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "";
  if (S_ISLNK(st.st_mode)) return path + " -> link\n";
  if (!S_ISDIR(st.st_mode))  // (a FIFO is not opened: that would wait for a writer)
    return path + " " + std::to_string(st.st_mode) + (S_ISREG(st.st_mode) ? ReadFile(path) : "") +
           "\n";
  std::string out = path + "/\n";
  for (const std::string& n : trhsm_test::ListFolder(path)) out += Snapshot(path + "/" + n);
  return out;
}

class ToolFaults : public ::testing::TestWithParam<std::tuple<Row, const char*>> {
 protected:
  const trhsm_test::ScopedEnv tmp_{"TMPDIR", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
  ScratchDir dir_;
  const Row& row_ = std::get<0>(GetParam());
  const std::string op_ = std::get<1>(GetParam());
  const World w_ = row_.setup(dir_.path());

  // Runs the row, under the preloaded shim armed with `fault` ("op:n:EIO:once") if one is given:
  // no entry left or lost; a success done, a failure one line of its own with `kept` true.
  ToolResult Run(const std::string& fault, const std::function<bool()>& kept,
                 const std::string& plant = "") {
    const auto before = Listings(w_);
    std::vector<std::string> env = w_.env;
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string log = dir_.File("fault.log");
    ::unlink(log.c_str());
    if (!fault.empty()) {  // the shim goes ahead of a sanitizer runtime
      env.insert(env.end(), {"ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                                 ":verify_asan_link_order=0:detect_leaks=0",
                             "LD_PRELOAD=" TRHSM_FAULT_PRELOAD_PATH, "TRHSM_TEST_FAULT=" + fault,
                             "TRHSM_TEST_FAULT_LOG=" + log});
    }
    env.insert(env.begin(), {"60", "/usr/bin/env"});
    env.push_back(row_.program);
    env.insert(env.end(), w_.args.begin(), w_.args.end());
    const trhsm_test::ProgramRun p = trhsm_test::RunProgram("/usr/bin/timeout", env);
    const std::string fired = ReadFile(log);
    const bool aside = std::any_of(w_.aside.begin(), w_.aside.end(),
                                   [&](const std::string& a) { return Contains(fired, a); });
    const ToolResult r = {p, Contains(fired, "fault fired"), aside};
    const std::string what = std::string(row_.name) + " " + fault + plant + "\n" + r.out;
    EXPECT_EQ(Listings(w_), before) << what << ": an entry was left or lost";
    EXPECT_TRUE(r.status == 0 ? w_.done() : r.status == 1 && Contains(r.out, row_.says) && kept())
        << what;
    return r;
  }
  void Sweep();
  void Plant();
};

// Each call of the op fails with ENOSPC once; around the tool's own write also EIO, and sticky.
void ToolFaults::Sweep() {
  const std::string own = w_.names[0].substr(0, w_.names[0].rfind('/') + 1);
  const auto run = [&](const std::string& f) { return w_.reset(), Run(op_ + ":" + f, w_.whole); };
  std::vector<ToolResult> once;  // call n failed once: once[n - 1], until one is not called
  do once.push_back(run(std::to_string(once.size() + 1) + ":ENOSPC:once"));
  while (once.back().fired && once.size() <= 250);
  const long calls = static_cast<long>(once.size()) - 1;
  ASSERT_LT(calls, 250) << op_ << ": always fired";
  long first = 0, last = 0;
  for (long n = 1; n <= calls; ++n) {
    const ToolResult& r = once[n - 1];
    if (r.status != 0 && Contains(r.out, own)) last = n, first = first ? first : n;
    EXPECT_TRUE(r.status != 0 || r.aside || w_.mayIgnore(op_, n, calls))
        << op_ << ":" << n << " ignored";
  }
  EXPECT_TRUE(first != 0 || (op_ != "write" && op_ != "fsync")) << row_.name << ": " << op_;
  for (const char* f : {":ENOSPC:sticky", ":EIO:once", ":EIO:sticky"}) {
    for (long m = std::max(1L, first - 1); first != 0 && m <= last + 1; ++m) {
      const ToolResult r = run(std::to_string(m) + f);
      EXPECT_TRUE(!r.fired || r.status != 0 || r.aside || w_.mayIgnore(op_, m, calls))
          << op_ << ":" << m;
    }
  }
}

// An entry planted at a name it writes is neither followed nor replaced unsafely.
void ToolFaults::Plant() {
  const std::string outside = dir_.File("outside"), victim = outside + "/victim";
  const bool root = ::geteuid() == 0;
  for (const std::string& name : w_.names) {
    for (const std::string kind : {"link", "dangling", "hard link", "fifo", "other user's"}) {
      w_.reset();
      ::mkdir(outside.c_str(), 0755);
      struct stat st;
      ASSERT_EQ(::lstat(name.c_str(), &st), 0) << name;
      if (kind == "hard link" && S_ISDIR(st.st_mode)) continue;
      if (kind == "other user's" && !root) continue;
      if (kind == "hard link") {
        ASSERT_EQ(::link(name.c_str(), victim.c_str()), 0);
      } else if (kind == "other user's") {
        ASSERT_EQ(::chown(name.c_str(), 65534, 65534), 0);
      } else {
        ASSERT_EQ(::rename(name.c_str(), victim.c_str()), 0);
        const std::string to = kind == "dangling" ? outside + "/none" : victim;
        ASSERT_EQ(
            kind == "fifo" ? ::mkfifo(name.c_str(), 0644) : ::symlink(to.c_str(), name.c_str()), 0);
      }
      const std::string planted = Snapshot(name), outsideBefore = Snapshot(outside);
      Run(
          "", [&] { return Snapshot(name) == planted; }, kind + " at " + name);
      EXPECT_EQ(Snapshot(outside), outsideBefore) << row_.name << ": " << kind << " at " << name;
      Remove({name, outside});
    }
  }
  if (!root) GTEST_SKIP() << "files of another user need the superuser: not planted";
}

TEST_P(ToolFaults, LeaveEveryFileWholeAndFailWithTheirOwnLine) {
  if (op_ == "planted") return Plant();
  Sweep();
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolFaults,
                         ::testing::Combine(::testing::ValuesIn(kRows),
                                            ::testing::Values("open", "write", "fsync", "close",
                                                              "rename", "planted")),
                         [](const auto& i) {
                           return std::string(std::get<0>(i.param).name) + "_" +
                                  std::get<1>(i.param);
                         });

}  // namespace
