// The job-manager folder may be writable by other users: a link planted under the journal's name
// is refused, and one under the restart file's name is replaced, never written through.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/KOJobClient.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class JobClientHostileTest : public ::testing::Test {
 protected:
  JobClientHostileTest() {
    WriteFile(config_.File("registry"), "[Base]\ndJOB_MANAGER_DIR=" + folder_.path() + "\n");
    WriteFile(Victim(), "precious\n");
  }
  std::string Victim() const { return outside_.File("victim"); }
  std::string Dangling() const { return outside_.File("created"); }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(ReadFile(Victim()), "precious\n");
    EXPECT_NE(::access(Dangling().c_str(), F_OK), 0) << "file created through a link";
  }

  ScratchDir config_;
  ScratchDir folder_;
  ScratchDir outside_;
  ScopedEnv registry_{"KO_REGISTRY", config_.File("registry")};
};

TEST_F(JobClientHostileTest, JournalLinkIsRefused) {
  for (const std::string& to : {Victim(), Dangling()}) {
    SCOPED_TRACE(to);
    ::unlink(folder_.File("7.journal").c_str());
    ASSERT_EQ(::symlink(to.c_str(), folder_.File("7.journal").c_str()), 0);
    KOBkpJobClient client;
    EXPECT_FALSE(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
    ExpectOutsideUntouched();
  }
}

TEST_F(JobClientHostileTest, RestartLinkIsReplaced) {
  KOBkpJobClient client;
  ASSERT_TRUE(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  for (const std::string& to : {Victim(), Dangling()}) {
    SCOPED_TRACE(to);
    ::unlink(folder_.File("7.restart").c_str());
    ASSERT_EQ(::symlink(to.c_str(), folder_.File("7.restart").c_str()), 0);
    ASSERT_TRUE(client.concatPhaseParams(" -r 10", KOJSCA_REPLACE));
    ExpectOutsideUntouched();
    struct stat st;
    ASSERT_EQ(::lstat(folder_.File("7.restart").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(folder_.File("7.restart")), " -r 10");
  }
  EXPECT_EQ(trhsm_test::ListFolder(folder_.path()),
            (std::vector<std::string>{"7.journal", "7.restart"}));
}

}  // namespace
