// applyFileAttr: all three attributes applied, and every step tried after a failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "testing/test_util.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

struct stat Recorded(mode_t mode, uid_t uid, gid_t gid) {
  struct stat st {};
  st.st_mode = S_IFREG | mode;
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_atime = 1000000;
  st.st_mtime = 2000000;
  return st;
}

TEST(ApplyFileAttr, AppliesModeOwnerAndTimes) {
  ScratchDir dir;
  const std::string file = dir.File("f");
  WriteFile(file, "x");
  LogCapture log;
  ASSERT_TRUE(applyFileAttr(Recorded(0640, geteuid(), getegid()), file.c_str()));
  struct stat now;
  ASSERT_EQ(stat(file.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
  EXPECT_EQ(now.st_uid, geteuid());
  EXPECT_EQ(now.st_atime, 1000000);
  EXPECT_EQ(now.st_mtime, 2000000);
  EXPECT_EQ(log.Text(), "");
}

TEST(ApplyFileAttr, MissingFileFailsEveryStepAndLogsEach) {
  ScratchDir dir;
  const std::string file = dir.File("missing");
  LogCapture log;
  EXPECT_FALSE(applyFileAttr(Recorded(0600, geteuid(), getegid()), file.c_str()));
  const std::string text = log.Text();
  EXPECT_NE(text.find("Failed to chmod " + file + ": No such file or directory"),
            std::string::npos);
  EXPECT_NE(text.find("Failed to chown " + file + ": No such file or directory"),
            std::string::npos);
  EXPECT_NE(text.find("Failed to change mtime/atime of " + file + ": No such file or directory"),
            std::string::npos);
  EXPECT_NE(text.find("applyFileAttr"), std::string::npos);

  log.Clear();
  EXPECT_FALSE(applyFileAttr(Recorded(0600, 0, 0), nullptr));
  EXPECT_TRUE(log.Contains("Invalid NULL path"));
}

// Runs the chown-refused case as an unprivileged user: in a child without root rights, since a
// root process may give a file to anyone.
TEST(ApplyFileAttr, RefusedChownStillSetsTimesButFails) {
  ScratchDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string shared = dir.File("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  const std::string logFile = shared + "/log";
  const std::string file = shared + "/f";
  WriteFile(logFile, "");
  ASSERT_EQ(chmod(logFile.c_str(), 0666), 0);
  ScopedEnv logEnv("KO_LOG_FILE", logFile);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    WriteFile(file, "x");
    // Owner 0 is refused to anyone but root.
    bool ok = applyFileAttr(Recorded(0604, 0, getegid()), file.c_str());
    _exit(ok ? 11 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "10: cannot drop root rights, 11: reported success";

  struct stat now;
  ASSERT_EQ(stat(file.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0604u) << "chmod before the refused chown still applies";
  EXPECT_EQ(now.st_mtime, 2000000) << "utime after the refused chown is still attempted";
  EXPECT_EQ(now.st_atime, 1000000);
  const std::string text = ReadFile(logFile);
  EXPECT_NE(text.find("Failed to chown " + file + ": Operation not permitted"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("Failed to chmod"), std::string::npos);
  EXPECT_EQ(text.find("mtime/atime"), std::string::npos);
}

}  // namespace
