// The migrated-tree list in a folder that another user may write: links planted under the names
// of the temporary file, the lock file or the list never redirect a write out of the folder.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class TreeListHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(config_.File("registry"),
              "[Machines/c1]\ndJOB_RESULTS_DIR=" + results_.path() + "\n");
    WriteFile(config_.File("mounts"), "/dev/sda1 / ext4 rw 0 0\n");
    WriteFile(Victim(), "precious\n");
  }
  std::string List() const { return results_.File("HSMMNTLIST"); }
  std::string Victim() const { return outside_.File("victim"); }
  static bool IsLink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  ScratchDir config_;
  ScratchDir results_;
  ScratchDir outside_;
  ScopedEnv registry_{"KO_REGISTRY", config_.File("registry")};
  ScopedEnv mounts_{"KO_MOUNT_TABLE", config_.File("mounts")};
};

TEST_F(TreeListHostileTest, LinkAtTheTemporaryNameIsReplacedNotFollowed) {
  WriteFile(List(), "1|/old|\n");
  const std::string dangling = outside_.File("created");
  for (const std::string& target : {Victim(), dangling}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(::symlink(target.c_str(), (List() + ".tmp").c_str()), 0);
    TRHSMMigratedDirTrees trees(false, "c1");
    trees.addTree(("/new" + std::to_string(target.size())).c_str());
    EXPECT_EQ(ReadFile(Victim()), "precious\n");
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0) << "file created through the link";
    EXPECT_NE(::access((List() + ".tmp").c_str(), F_OK), 0);
    EXPECT_FALSE(IsLink(List()));
  }
  EXPECT_EQ(trhsm_test::ListFolder(results_.path()),
            (std::vector<std::string>{"HSMMNTLIST", "HSMMNTLIST.lock"}));
}

TEST_F(TreeListHostileTest, LinkAtTheLockNameFailsCleanly) {
  WriteFile(List(), "1|/old|\n");
  const std::string dangling = outside_.File("created");
  for (const std::string& target : {Victim(), dangling}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(::symlink(target.c_str(), (List() + ".lock").c_str()), 0);
    TRHSMMigratedDirTrees trees(false, "c1");
    EXPECT_THROW(trees.addTree("/new"), KoException);
    EXPECT_THROW(TRHSMMigratedDirTrees(true, "c1"), KoException);
    EXPECT_EQ(ReadFile(List()), "1|/old|\n");
    EXPECT_EQ(ReadFile(Victim()), "precious\n");
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0) << "file created through the link";
    ASSERT_EQ(::unlink((List() + ".lock").c_str()), 0);
  }
}

TEST_F(TreeListHostileTest, FifoAtTheLockNameFailsWithoutBlocking) {
  ASSERT_EQ(::mkfifo((List() + ".lock").c_str(), 0666), 0);
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_THROW(trees.getDirList(), KoException);
  EXPECT_THROW(trees.addTree("/new"), KoException);
}

TEST_F(TreeListHostileTest, LinkAtTheListNameIsReplacedNotWrittenThrough) {
  ASSERT_EQ(::symlink(Victim().c_str(), List().c_str()), 0);
  TRHSMMigratedDirTrees trees(false, "c1");
  trees.addTree("/new");
  EXPECT_EQ(ReadFile(Victim()), "precious\n");
  EXPECT_FALSE(IsLink(List()));
  EXPECT_EQ(ReadFile(List()), "1|/new|\n");
}

}  // namespace
