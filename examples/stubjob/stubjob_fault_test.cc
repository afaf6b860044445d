// trhsm-stubjob under injected I/O faults: each file ends either exactly as it was or as the stub
// of its archived copy, a run that met a fault in its path reports failure, and no temporary file
// is left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tools/tool_fault_run.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::Fault;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::ToolResult;
using trhsm_test::WriteFile;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

const struct timespec kTimes[2] = {{1500000000, 0}, {1600000000, 987654321}};

class StubJobFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    results_ = dir_.File("results");
    jobs_ = dir_.File("jobs");
    for (const std::string& d : {files_, results_, jobs_}) {
      ASSERT_EQ(::mkdir(d.c_str(), 0755), 0) << d;
    }
    originals_["a"] = std::string(1000, 'a');  // larger than its stub
    WriteFile(dir_.File("registry"),
              "[Base]\ndBACKUP_INDEX=" + dir_.File("index.db") +
                  "\ndARCHIVE_ROOT=" + dir_.File("archive") + "\ndJOB_MANAGER_DIR=" + jobs_ +
                  "\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + results_ + "\n");
    WriteFile(dir_.File("mounts"), "/dev/root / ext4 rw 0 0\n");
    registry_ = std::make_unique<ScopedEnv>("KO_REGISTRY", dir_.File("registry"));
    mounts_ = std::make_unique<ScopedEnv>("KO_MOUNT_TABLE", dir_.File("mounts"));
    log_ = std::make_unique<ScopedEnv>("KO_LOG_FILE", dir_.File("log"));
    BackUp();
  }

  // Writes the files afresh and backs them up into a new index and archive: a file, once
  // stubbed or even touched, is never again the one its copy was made of (its change time moved).
  void BackUp() {
    ASSERT_EQ(
        trhsm_test::RunProgram("/bin/rm", {"-rf", dir_.File("archive"), dir_.File("index.db")})
            .status,
        0);
    for (const auto& kv : originals_) {
      const std::string path = files_ + "/" + kv.first;
      ::unlink(path.c_str());
      WriteFile(path, kv.second);
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
    }
    ToolResult add = trhsm_test::RunTool(
        TRHSM_INDEX_TOOL, {"add", "--job", "9", "--index", dir_.File("index.db"), "--archive",
                           dir_.File("archive"), files_});
    ASSERT_EQ(add.status, 0) << add.out;
    ASSERT_EQ(::stat((files_ + "/a").c_str(), &backedUp_), 0);
  }

  // A fresh start: the files as backed up, no job state, no tree list, no collect files.
  void Reset() {
    struct stat st;
    if (::stat((files_ + "/a").c_str(), &st) != 0 || st.st_ino != backedUp_.st_ino ||
        st.st_ctim.tv_sec != backedUp_.st_ctim.tv_sec ||
        st.st_ctim.tv_nsec != backedUp_.st_ctim.tv_nsec) {
      BackUp();
    }
    for (const std::string& d : {results_, jobs_}) {
      for (const std::string& name : trhsm_test::ListFolder(d)) ::unlink((d + "/" + name).c_str());
    }
  }

  bool IsStubOf(const std::string& name) {
    const std::string text = ReadFile(files_ + "/" + name);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    int length = 0;
    return !bytes.empty() && trhsm_stub2meta(bytes.data(), &length, nullptr, nullptr, 0, true) &&
           static_cast<size_t>(length) == bytes.size() && ParseStubData(bytes, data) == 1 &&
           data.stubGUID == files_ + "/" + name;
  }

  // Returns the number of files stubbed.
  int CheckAfter(const ToolResult& r, const std::string& what) {
    EXPECT_EQ(trhsm_test::ListFolder(files_), std::vector<std::string>{"a"})
        << what << ": a temporary file was left\n"
        << r.out;
    int stubs = 0;
    for (const auto& kv : originals_) {
      const std::string path = files_ + "/" + kv.first;
      const bool stub = IsStubOf(kv.first);
      stubs += stub;
      EXPECT_TRUE(stub || ReadFile(path) == kv.second)
          << what << ": " << kv.first << " is neither as it was nor its stub\n"
          << r.out;
      struct stat st;
      EXPECT_EQ(::stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0640u) << what << " " << kv.first;
      EXPECT_EQ(st.st_mtim.tv_sec, kTimes[1].tv_sec) << what << " " << kv.first;
    }
    if (r.status == 0) {
      EXPECT_EQ(stubs, 1) << what << ": reported success, not everything is stubbed\n" << r.out;
    } else {
      EXPECT_EQ(r.status, 1) << what << "\n" << r.out;
      EXPECT_TRUE(Contains(r.out, "trhsm-stubjob")) << what << "\n" << r.out;
    }
    return stubs;
  }

  std::vector<std::string> Args() const {
    return {"--quiet", "-J", "9", "-D", "media", "-a", "1:0", "-s", "srv"};
  }

  ScratchDir dir_;
  std::string files_, results_, jobs_;
  struct stat backedUp_ = {};  // "a" as it was backed up
  std::map<std::string, std::string> originals_;
  std::unique_ptr<ScopedEnv> registry_, mounts_, log_;
};

TEST_F(StubJobFaultTest, EveryFaultLeavesEachFileWholeAndFailsTheRun) {
  // Closes of read-only descriptors, and of written ones after their data was synced and
  // checked, may fail harmlessly, as may opens and writes of the log. Of the fsyncs and renames
  // only those of the tree list's destructor may: it saves the list once more after the job's own
  // save, and its failure leaves the saved list (the last rename and the last two fsyncs).
  const std::set<std::string> mayBeHarmless = {"close", "open", "write"};
  constexpr long kCap = 200;
  long runs = 0;
  struct Ignored {
    Fault fault;
    std::string out;
  };
  std::vector<Ignored> ignored;
  auto run = [&](const Fault& fault) {
    Reset();
    const ToolResult r = trhsm_test::RunToolWithFault(TRHSM_STUBJOB, Args(), fault, dir_.path());
    ++runs;
    CheckAfter(r, fault.Describe());
    if (r.status == 0) {
      EXPECT_TRUE(Contains(ReadFile(results_ + "/HSMMNTLIST"), files_))
          << fault.Describe() << ": reported success without the tree recorded\n"
          << r.out;
      EXPECT_TRUE(Contains(ReadFile(jobs_ + "/9.journal"), "addStubSize 1000"))
          << fault.Describe() << ": reported success without the stubbed size\n"
          << r.out;
    }
    if (r.fired && r.status == 0 && !mayBeHarmless.count(fault.op)) {
      ignored.push_back({fault, r.out});
    }
    return r;
  };
  for (const char* op : trhsm_test::kSweepOps) {
    // Every N once with ENOSPC, which also finds the calls of the job's own stub write: its
    // refusals name the file's folder.
    long first = 0, last = 0, n = 1;
    ignored.clear();
    for (; n <= kCap; ++n) {
      const ToolResult r = run(Fault{op, n, ENOSPC, false});
      if (r.status != 0 && Contains(r.out, files_ + "/")) {
        if (first == 0) first = n;
        last = n;
      }
      if (!r.fired) {
        EXPECT_EQ(r.status, 0) << op << ":" << n << "\n" << r.out;
        break;
      }
    }
    EXPECT_LE(n, kCap) << op << ": the sweep did not reach a run without the fault";
    // The other errors and modes around the stub write only: the calls before it belong to the
    // library's own paths, which their own sweeps cover.
    if (first != 0) {
      for (int err : trhsm_test::kSweepErrors) {
        for (bool sticky : {false, true}) {
          if (err == ENOSPC && !sticky) continue;
          for (long m = std::max(1L, first - 1); m <= last + 1; ++m) run(Fault{op, m, err, sticky});
        }
      }
    }
    const long total = n - 1;  // calls of `op` in a run without faults
    const long destructorCalls = std::string(op) == "rename" ? 1 : 2;
    for (const Ignored& i : ignored) {
      EXPECT_GT(i.fault.n, total - destructorCalls) << i.fault.Describe() << ": fault ignored\n"
                                                    << i.out;
    }
  }
  std::printf("stub job fault sweep: %ld runs\n", runs);
}

}  // namespace
