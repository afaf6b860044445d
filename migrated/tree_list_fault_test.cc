// Saving the migrated-tree list under injected I/O faults: every failed open, write, fsync, close
// or rename of the save fails the operation, leaves the old list byte for byte, no temporary file
// and no open descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fault_sweep.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::FaultCase;
using trhsm_test::FaultRun;
using trhsm_test::ListFolder;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class TreeListFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    WriteFile(config_.File("registry"),
              "[Machines/c1]\ndJOB_RESULTS_DIR=" + results_.path() + "\n");
    WriteFile(config_.File("mounts"), "/dev/sda1 / ext4 rw 0 0\n");
  }

  std::string List() const { return results_.File("HSMMNTLIST"); }

  // The checks of one run: `before` is the list the run started from, `after` what a successful
  // run writes.
  void Check(const FaultRun& run, const std::string& before, const std::string& after) {
    const std::string now = ReadFile(List());
    if (!run.fired) {
      EXPECT_EQ(now, after);
    } else if (trhsm_test::MustFail(GetParam(), run, results_.path())) {
      EXPECT_FALSE(run.succeeded) << "fault on " << run.firedPath << " reported as success";
      // Only the folder's own sync comes after the rename: the new list is then whole in place.
      if (run.firedPath == results_.path()) {
        EXPECT_TRUE(now == before || now == after) << now;
      } else {
        EXPECT_EQ(now, before) << "fault on " << run.firedPath;
      }
    } else {
      // A fault on another file (configuration, the log): a clean failure or a whole success.
      EXPECT_EQ(now, run.succeeded ? after : before) << "fault on " << run.firedPath;
    }
    for (const std::string& name : ListFolder(results_.path())) {
      EXPECT_TRUE(name == "HSMMNTLIST" || name == "HSMMNTLIST.lock") << "left behind: " << name;
    }
  }

  ScopedEnv tmp_{"TMPDIR", trhsm_test::FastScratchRoot()};  // before the folders
  ScratchDir config_;
  ScratchDir results_;
  ScopedEnv registry_{"KO_REGISTRY", config_.File("registry")};
  ScopedEnv mounts_{"KO_MOUNT_TABLE", config_.File("mounts")};
  ScopedEnv log_{"KO_LOG_FILE", ""};  // logging to stderr, outside the sweep's counts
};

// Runs `edit` on a transaction-mode object for each fault; true when it did not throw.
bool Throws(const std::function<void()>& edit) {
  try {
    edit();
    return false;
  } catch (const KoException&) {
    return true;
  }
}

TEST_P(TreeListFaultTest, AddTreeInTransactionMode) {
  const std::string old = "1|/old|\n";
  std::unique_ptr<TRHSMMigratedDirTrees> trees;
  long fired = trhsm_test::SweepFaults(
      GetParam(),
      [&] {
        WriteFile(List(), old);
        trees = std::make_unique<TRHSMMigratedDirTrees>(false, "c1");
      },
      [&] { return !Throws([&] { trees->addTree("/new"); }); },
      [&](const FaultRun& run) { Check(run, old, old + "1|/new|\n"); });
  EXPECT_GT(fired, 0);
}

TEST_P(TreeListFaultTest, DelTreeInTransactionMode) {
  const std::string old = "1|/keep|\n1|/gone|\n";
  std::unique_ptr<TRHSMMigratedDirTrees> trees;
  long fired = trhsm_test::SweepFaults(
      GetParam(),
      [&] {
        WriteFile(List(), old);
        trees = std::make_unique<TRHSMMigratedDirTrees>(false, "c1");
      },
      [&] { return !Throws([&] { trees->delTree("/gone"); }); },
      [&](const FaultRun& run) { Check(run, old, "1|/keep|\n"); });
  EXPECT_GT(fired, 0);
}

TEST_P(TreeListFaultTest, SaveListInHeldMode) {
  const std::string old = "1|/old|\n";
  std::unique_ptr<TRHSMMigratedDirTrees> trees;
  long fired = trhsm_test::SweepFaults(
      GetParam(),
      [&] {
        // The earlier run's object saves its list on destruction; the old list is put back after.
        trees.reset();
        WriteFile(List(), old);
        trees = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
        trees->addTree("/new");
        trees->delTree("/old");
      },
      [&] { return !Throws([&] { trees->saveList(); }); },
      [&](const FaultRun& run) { Check(run, old, "1|/new|\n"); });
  EXPECT_GT(fired, 0);
  trees.reset();
  EXPECT_EQ(ReadFile(List()), "1|/new|\n");
}

// Writes `path` until the file system is full.
void Fill(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const std::string block(4096, 'f');
  while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
  }
  if (fd >= 0) ::close(fd);
}

// A real full disk: the list folder is a 64 KiB memory file system.
class TreeListFullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(Results().c_str(), 0755), 0);
    WriteFile(config_.File("registry"), "[Machines/c1]\ndJOB_RESULTS_DIR=" + Results() + "\n");
    WriteFile(config_.File("mounts"), "/dev/sda1 / ext4 rw 0 0\n");
  }
  std::string Results() const { return config_.File("results"); }

  // In the child: 0 when the save failed with the old list kept and nothing else left.
  static int Check(const std::string& folder, const std::string& old) {
    if (ReadFile(folder + "/HSMMNTLIST") != old) return 10;
    for (const std::string& name : ListFolder(folder)) {
      if (name != "HSMMNTLIST" && name != "HSMMNTLIST.lock" && name != "filler") return 11;
    }
    return 0;
  }

  ScratchDir config_;
  ScopedEnv registry_{"KO_REGISTRY", config_.File("registry")};
  ScopedEnv mounts_{"KO_MOUNT_TABLE", config_.File("mounts")};
  ScopedEnv log_{"KO_LOG_FILE", ""};
};

TEST_F(TreeListFullDiskTest, ListThatDoesNotFitLeavesTheOldOne) {
  int code = trhsm_test::RunOnTinyFs(Results(), [](const std::string& folder) {
    const std::string old = "1|/old|\n";
    WriteFile(folder + "/HSMMNTLIST", old);
    const int before = trhsm_open_fd_count();
    {
      TRHSMMigratedDirTrees held(true, "c1");
      // Some 120 KiB of trees: twice what the file system holds.
      for (int i = 0; i < 30; ++i)
        held.addTree(("/t" + std::to_string(i) + "/" + std::string(4000, 'x')).c_str());
      if (!Throws([&] { held.saveList(); })) return 2;
      if (int bad = Check(folder, old)) return bad;
    }  // the destructor's save fails too, and is logged
    if (int bad = Check(folder, old)) return 20 + bad;
    // Transaction mode, with the file system nearly full: the temporary file does not fit.
    Fill(folder + "/filler");
    TRHSMMigratedDirTrees trees(false, "c1");
    if (!Throws([&] { trees.addTree(("/" + std::string(4000, 'y')).c_str()); })) return 3;
    if (int bad = Check(folder, old)) return 30 + bad;
    if (trhsm_open_fd_count() != before) return 4;
    return 0;
  });
  if (code == trhsm_test::kNoTinyFs)
    GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs CAP_SYS_ADMIN)";
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(AllFaults, TreeListFaultTest,
                         ::testing::ValuesIn(trhsm_test::AllFaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           std::string name = trhsm_test::Describe(info.param);
                           for (char& c : name) {
                             if (c == ' ') c = '_';
                           }
                           return name;
                         });

}  // namespace
