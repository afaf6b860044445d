// trhsm-stubjob killed with SIGKILL at random moments of a pass and then run to the end: no file
// is lost or cut, no temporary is left, and the failure file and journal hold whole lines only.
// Stopped on request halfway, it stubs nothing twice.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::ProgramRun;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

constexpr int kFiles = 60;
constexpr int kKills = 20;
constexpr int kMaxDelayMs = 40;
constexpr int kRunLimitMs = 20000;

// Every name under `folder` (recursively), relative to `base`.
void Walk(const std::string& base, const std::string& rel, std::vector<std::string>* out) {
  DIR* dir = ::opendir((base + rel).c_str());
  if (dir == nullptr) return;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = rel + "/" + name;
    struct stat st;
    if (::lstat((base + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      Walk(base, child, out);
    } else {
      out->push_back(child);
    }
  }
  ::closedir(dir);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// True when the text is empty or every line in it ends with "\n".
bool WholeLines(const std::string& text) { return text.empty() || text.back() == '\n'; }

class StubJobKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    archive_ = dir_.File("archive");
    results_ = dir_.File("results");
    jobs_ = dir_.File("jobs");
    collect_ = dir_.File("collect");
    for (const std::string& d :
         {files_, files_ + "/d0", files_ + "/d1", files_ + "/d2", results_, jobs_, collect_}) {
      ASSERT_EQ(::mkdir(d.c_str(), 0755), 0) << d;
    }
    std::mt19937 gen(4711);
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "/d" + std::to_string(i % 3) + "/f" + std::to_string(i);
      std::string bytes(1000 + gen() % 30000, '\0');  // all larger than a stub
      for (char& c : bytes) c = static_cast<char>(gen());
      WriteFile(files_ + name, bytes);
      originals_[name] = bytes;
    }
    const std::string index = dir_.File("index.db");
    ProgramRun add =
        trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "9", "--archive-group", "3",
                                                  "--index", index, "--archive", archive_, files_});
    ASSERT_EQ(add.status, 0) << add.out;
    WriteFile(dir_.File("registry"),
              "[Base]\ndBACKUP_INDEX=" + index + "\ndARCHIVE_ROOT=" + archive_ +
                  "\ndJOB_MANAGER_DIR=" + jobs_ +
                  "\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + results_ + "\n");
    WriteFile(dir_.File("mounts"), "/dev/root / ext4 rw 0 0\n");
    registry_ = std::make_unique<ScopedEnv>("KO_REGISTRY", dir_.File("registry"));
    mounts_ = std::make_unique<ScopedEnv>("KO_MOUNT_TABLE", dir_.File("mounts"));
    log_ = std::make_unique<ScopedEnv>("KO_LOG_FILE", dir_.File("log"));
  }

  std::vector<std::string> Args() {
    return {TRHSM_STUBJOB,  "--quiet", "--collect-folder",
            collect_ + "/", "-J",      "9",
            "-D",           "media",   "-a",
            "1:0",          "-s",      "srv"};
  }

  // Starts the job with its output thrown away; the pid, or -1.
  int Start() {
    std::vector<std::string> args = Args();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) {
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  bool IsStub(const std::string& name) {
    const std::string text = ReadFile(files_ + name);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    return !bytes.empty() && ParseStubData(bytes, data) == 1 && data.stubGUID == files_ + name;
  }

  ScratchDir dir_;
  std::string files_, archive_, results_, jobs_, collect_;
  std::map<std::string, std::string> originals_;
  std::unique_ptr<ScopedEnv> registry_, mounts_, log_;
};

TEST_F(StubJobKillTest, KilledRunsLoseNothingAndTheLastRunFinishes) {
  std::mt19937 gen(20261206);  // fixed, so a failing sequence of kill moments can be replayed
  int killedWhileRunning = 0;
  for (int k = 0; k < kKills; ++k) {
    const int pid = Start();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(gen() % (kMaxDelayMs + 1)));
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ++killedWhileRunning;
    }
    // Reaps the child; WaitChild kills it if it is somehow still there after the limit.
    trhsm_test::WaitChild(pid, kRunLimitMs);
    // Between kills the tree is never worse than whole originals and whole stubs.
    for (const auto& [name, bytes] : originals_) {
      ASSERT_TRUE(ReadFile(files_ + name) == bytes || IsStub(name)) << name << " after kill " << k;
    }
  }
  EXPECT_GT(killedWhileRunning, 0) << "no run was interrupted; the pass is too short";

  const int pid = Start();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(trhsm_test::WaitChild(pid, kRunLimitMs), 0);

  std::vector<std::string> names;
  Walk(files_, "", &names);
  std::vector<std::string> stubs;
  for (const std::string& name : names) {
    EXPECT_EQ(name.find(".trhsm-stub-tmp."), std::string::npos) << name;
    if (originals_.count(name) == 0) {
      ADD_FAILURE() << "unexpected file " << name;
    } else if (ReadFile(files_ + name) != originals_[name]) {
      EXPECT_TRUE(IsStub(name)) << name;
      stubs.push_back(files_ + name);
    }
  }
  EXPECT_EQ(names.size(), originals_.size());
  EXPECT_EQ(stubs.size(), originals_.size()) << "the final run left files unstubbed";

  const std::string failures = ReadFile(collect_ + "/stubjobFailures_9.txt");
  EXPECT_TRUE(WholeLines(failures)) << failures;
  const std::string journal = ReadFile(jobs_ + "/9.journal");
  EXPECT_FALSE(journal.empty());
  EXPECT_TRUE(WholeLines(journal)) << journal;

  ProgramRun recall = trhsm_test::RunProgram(TRHSM_RECALL_TOOL, stubs);
  ASSERT_EQ(recall.status, 0) << recall.out;
  for (const auto& [name, bytes] : originals_) {
    EXPECT_TRUE(ReadFile(files_ + name) == bytes) << name << " not brought back";
  }
}

TEST(StubJobHalfway, QuitHalfwayStopsAndTheRerunFinishesWithoutStubbingTwice) {
  ScratchDir dir;
  const std::string files = dir.File("files"), jobs = dir.File("jobs"), results = dir.File("r");
  for (const std::string& d : {files, jobs, results}) ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
  std::map<std::string, std::string> originals;
  for (int i = 0; i < 10; ++i) {
    const std::string path = files + "/f" + std::to_string(i);
    originals[path] = std::string(1000 + i, static_cast<char>('a' + i));
    WriteFile(path, originals[path]);
  }
  const std::string index = dir.File("index.db");
  ProgramRun add = trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "4", "--index", index,
                                                             "--archive", dir.File("arc"), files});
  ASSERT_EQ(add.status, 0) << add.out;
  WriteFile(dir.File("registry"),
            "[Base]\ndBACKUP_INDEX=" + index + "\ndARCHIVE_ROOT=" + dir.File("arc") +
                "\ndJOB_MANAGER_DIR=" + jobs +
                "\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + results + "\n");
  WriteFile(dir.File("mounts"), "/dev/root / ext4 rw 0 0\n");
  ScopedEnv registry("KO_REGISTRY", dir.File("registry"));
  ScopedEnv mounts("KO_MOUNT_TABLE", dir.File("mounts"));
  ScopedEnv log("KO_LOG_FILE", dir.File("log"));
  const std::vector<std::string> args = {"--quiet", "-J", "4", "-D", "media", "-a", "1:0"};

  // The job asks before every item; the 7th question is answered "stop", after 6 items.
  WriteFile(jobs + "/4.quit", "7");
  ProgramRun first = trhsm_test::RunProgram(TRHSM_STUBJOB, args);
  EXPECT_EQ(first.status, 1) << first.out;
  EXPECT_TRUE(Contains(first.out, "6 items stubbed, 0 already done, 0 skipped, 0 refused"))
      << first.out;
  EXPECT_TRUE(Contains(first.out, "(stopped on request)")) << first.out;
  std::string journal = ReadFile(jobs + "/4.journal");
  EXPECT_TRUE(Contains(journal, "concatPhaseParams \" -r 6\"")) << journal;
  EXPECT_TRUE(Contains(journal, "complete 3 1 0 0")) << journal;
  int stubs = 0;
  for (const auto& kv : originals) stubs += ReadFile(kv.first) != kv.second;
  EXPECT_EQ(stubs, 6);

  ASSERT_EQ(::unlink((jobs + "/4.quit").c_str()), 0);
  ProgramRun second = trhsm_test::RunProgram(TRHSM_STUBJOB, args);
  EXPECT_EQ(second.status, 0) << second.out;
  EXPECT_TRUE(Contains(second.out, "4 items stubbed, 6 already done, 0 skipped, 0 refused"))
      << second.out;
  // Every file stubbed exactly once over both runs: one stubbed-size report per file.
  journal = ReadFile(jobs + "/4.journal");
  size_t reports = 0;
  for (size_t at = journal.find("addStubSize"); at != std::string::npos;
       at = journal.find("addStubSize", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, originals.size()) << journal;
  for (const auto& kv : originals) {
    const std::string text = ReadFile(kv.first);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    EXPECT_EQ(ParseStubData(bytes, data), 1) << kv.first;
  }
}

}  // namespace
