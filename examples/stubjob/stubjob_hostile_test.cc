// trhsm-stubjob among links and files planted by another user: the clean-up of stale temporaries
// removes only the job's own, and a folder swapped for a link is not written through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tools/tool_fault_run.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::ToolResult;
using trhsm_test::WriteFile;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class HostileStubJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    outside_ = dir_.File("outside");
    for (const std::string& d :
         {files_, files_ + "/sub", outside_, dir_.File("results"), dir_.File("jobs")}) {
      ASSERT_EQ(::mkdir(d.c_str(), 0755), 0) << d;
    }
    WriteFile(files_ + "/a", std::string(1000, 'a'));  // larger than their stubs
    WriteFile(files_ + "/sub/b", std::string(1000, 'b'));
    WriteFile(outside_ + "/victim", "not to be touched\n");
    const std::string index = dir_.File("index.db");
    ToolResult add = trhsm_test::RunTool(
        TRHSM_INDEX_TOOL,
        {"add", "--job", "9", "--index", index, "--archive", dir_.File("archive"), files_});
    ASSERT_EQ(add.status, 0) << add.out;
    WriteFile(dir_.File("registry"),
              "[Base]\ndBACKUP_INDEX=" + index + "\ndARCHIVE_ROOT=" + dir_.File("archive") +
                  "\ndJOB_MANAGER_DIR=" + dir_.File("jobs") +
                  "\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + dir_.File("results") +
                  "\n");
    WriteFile(dir_.File("mounts"), "/dev/root / ext4 rw 0 0\n");
    registry_ = std::make_unique<ScopedEnv>("KO_REGISTRY", dir_.File("registry"));
    mounts_ = std::make_unique<ScopedEnv>("KO_MOUNT_TABLE", dir_.File("mounts"));
    log_ = std::make_unique<ScopedEnv>("KO_LOG_FILE", dir_.File("log"));
  }

  ToolResult Job() {
    return trhsm_test::RunTool(TRHSM_STUBJOB, {"-J", "9", "-D", "media", "-a", "1:0", "-s", "srv"});
  }

  bool IsStub(const std::string& path) {
    const std::string text = ReadFile(path);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    return !bytes.empty() && ParseStubData(bytes, data) == 1 && data.stubGUID == path;
  }

  ScratchDir dir_;
  std::string files_, outside_;
  std::unique_ptr<ScopedEnv> registry_, mounts_, log_;
};

TEST_F(HostileStubJobTest, StaleTemporaryCleanUpRemovesOnlyTheJobsOwn) {
  const std::string p = files_ + "/.trhsm-stub-tmp.";
  WriteFile(p + "Stale1", "half a stub");  // a killed run's: removed
  WriteFile(outside_ + "/linked", "hard linked\n");
  ASSERT_EQ(::symlink((outside_ + "/victim").c_str(), (p + "LinkAA").c_str()), 0);
  ASSERT_EQ(::link((outside_ + "/linked").c_str(), (p + "HardAA").c_str()), 0);
  WriteFile(p + "toolong1", "x");
  WriteFile(p + "Big123", std::string(70000, 'x'));
  ASSERT_EQ(::mkdir((p + "DirAAA").c_str(), 0755), 0);
  std::vector<std::string> kept = {".trhsm-stub-tmp.Big123", ".trhsm-stub-tmp.DirAAA",
                                   ".trhsm-stub-tmp.HardAA", ".trhsm-stub-tmp.LinkAA",
                                   ".trhsm-stub-tmp.toolong1"};
  if (::geteuid() == 0) {
    WriteFile(p + "OtherU", "another user's");
    ASSERT_EQ(::chown((p + "OtherU").c_str(), 65534, 65534), 0);
    kept.insert(kept.begin() + 4, ".trhsm-stub-tmp.OtherU");
  }
  ToolResult r = Job();
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> expected = kept;
  expected.push_back("a");
  expected.push_back("sub");
  EXPECT_EQ(trhsm_test::ListFolder(files_), expected);
  EXPECT_EQ(ReadFile(outside_ + "/victim"), "not to be touched\n");
  EXPECT_EQ(ReadFile(outside_ + "/linked"), "hard linked\n");
  EXPECT_TRUE(IsStub(files_ + "/a"));
}

TEST_F(HostileStubJobTest, FolderSwappedForALinkIsNotWrittenThrough) {
  // The folder is moved out and a link to it put in its place: the file is the same inode with
  // the same bytes and times, but it is reached through a planted link.
  const std::string moved = outside_ + "/sub";
  ASSERT_EQ(::rename((files_ + "/sub").c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), (files_ + "/sub").c_str()), 0);
  WriteFile(moved + "/.trhsm-stub-tmp.Stale1", "half");
  ToolResult r = Job();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(
      r.out, "trhsm-stubjob: refused " + files_ + "/sub/b: open folder " + files_ + "/sub: "))
      << r.out;
  EXPECT_EQ(ReadFile(moved + "/b"), std::string(1000, 'b'));
  EXPECT_EQ(trhsm_test::ListFolder(moved),
            (std::vector<std::string>{".trhsm-stub-tmp.Stale1", "b"}));
  EXPECT_TRUE(IsStub(files_ + "/a"));
}

}  // namespace
