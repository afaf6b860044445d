// Tests of the job-client stand-in when its files cannot be used: a journal on a full disk or in
// the place of a folder refuses the call, and an unreadable restart or quit file answers false;
// each failure is logged with the path and the system's reason.
#include "trhsm/KOJobClient.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::WriteFile;

class JobClientIoErrorsTest : public ::testing::Test {
 protected:
  JobClientIoErrorsTest()
      : folder_(dir_.File("jm")), store_(dir_.File("registry")), env_("KO_REGISTRY", store_) {
    EXPECT_EQ(::mkdir(folder_.c_str(), 0777), 0);
    WriteFile(store_, "[Base]\ndJOB_MANAGER_DIR=" + folder_ + "\n");
  }

  std::string JobFile(const char* suffix) const { return folder_ + "/7" + suffix; }

  bool Init(KOBkpJobClient* bkp) {
    return bkp->init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr);
  }

  trhsm_test::ScratchDir dir_;
  std::string folder_;
  std::string store_;
  ScopedEnv env_;
  LogCapture log_;
};

TEST_F(JobClientIoErrorsTest, JournalOnAFullDiskRefusesTheCall) {
  // The journal is a full-disk device node (the journal is opened without following links).
  if (::mknod(JobFile(".journal").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make a full-disk device node: " << std::strerror(errno);
  }
  KOBkpJobClient bkp;
  EXPECT_FALSE(Init(&bkp));
  EXPECT_TRUE(
      log_.Contains("KOJobClient: write " + JobFile(".journal") + ": " + std::strerror(ENOSPC)))
      << log_.Text();
}

TEST_F(JobClientIoErrorsTest, JournalThatIsAFolderRefusesTheCall) {
  ASSERT_EQ(::mkdir(JobFile(".journal").c_str(), 0777), 0);
  KOJobCtrlClient ctrl(0);
  EXPECT_FALSE(ctrl.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
  EXPECT_TRUE(
      log_.Contains("KOJobClient: open " + JobFile(".journal") + ": " + std::strerror(EISDIR)))
      << log_.Text();
}

TEST_F(JobClientIoErrorsTest, UnreadableRestartFileGivesNoRestartString) {
  KOBkpJobClient bkp;
  ASSERT_TRUE(Init(&bkp));
  ASSERT_EQ(::mkdir(JobFile(".restart").c_str(), 0777), 0);
  std::string restart = "stale";
  EXPECT_FALSE(bkp.getRestartString(&restart, JMRL_LAST_RUN));
  EXPECT_EQ(restart, "") << "part of an unreadable restart string was handed out";
  EXPECT_TRUE(
      log_.Contains("KOJobClient: read " + JobFile(".restart") + ": " + std::strerror(EISDIR)))
      << log_.Text();
  // The call itself reached the journal before the file was read.
  EXPECT_NE(ReadFile(JobFile(".journal")).find("getRestartString 0\n"), std::string::npos);
}

TEST_F(JobClientIoErrorsTest, UnreadableQuitFileDoesNotAskToQuit) {
  KOJobCtrlClient ctrl(0);
  ASSERT_TRUE(ctrl.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
  ASSERT_EQ(::mkdir(JobFile(".quit").c_str(), 0777), 0);
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_TRUE(log_.Contains("KOJobClient: read " + JobFile(".quit") + ": " + std::strerror(EISDIR)))
      << log_.Text();
  // A missing quit file is the normal case and is not an error.
  ASSERT_EQ(::rmdir(JobFile(".quit").c_str()), 0);
  log_.Clear();
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_FALSE(log_.Contains("KOJobClient: read")) << log_.Text();
}

}  // namespace
