// Tests of where log lines go when KO_LOG_FILE cannot take them: a folder in its place sends them
// to standard error, a full disk loses the line without stopping the caller, a log file removed
// meanwhile is created afresh, and a forked child logs like its parent.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "testing/child_exit.h"
#include "testing/test_util.h"
#include "trhsm/EvDebug.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WaitChild;

// Sends standard error to a file for its lifetime.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) : saved_(::dup(STDERR_FILENO)) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::dup2(fd, STDERR_FILENO), STDERR_FILENO);
    ::close(fd);
  }
  ~StderrToFile() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;

 private:
  int saved_;
};

TEST(LogFileFallbackTest, FolderInPlaceOfTheLogSendsLinesToStandardError) {
  ScratchDir dir;
  const std::string err = dir.File("stderr");
  {
    ScopedEnv env("KO_LOG_FILE", dir.path());
    StderrToFile redirect(err);
    EvDebug().Error("LogTest", "lost %d", 1);
  }
  const std::string text = ReadFile(err);
  EXPECT_NE(text.find(" ERROR LogTest: lost 1\n"), std::string::npos) << text;
}

TEST(LogFileFallbackTest, FullDiskLosesTheLineAndLoggingGoesOn) {
  ScratchDir dir;
  const std::string full = dir.File("full");
  if (::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make a full-disk device node: " << std::strerror(errno);
  }
  {
    ScopedEnv env("KO_LOG_FILE", full);
    EvDebug().Error("LogTest", "dropped");
  }
  const std::string good = dir.File("log");
  ScopedEnv env("KO_LOG_FILE", good);
  EvDebug().Debug("LogTest", "kept");
  const std::string text = ReadFile(good);
  EXPECT_NE(text.find("LogTest: kept\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
}

TEST(LogFileFallbackTest, RemovedLogFileIsCreatedAgain) {
  ScratchDir dir;
  const std::string log = dir.File("log");
  ScopedEnv env("KO_LOG_FILE", log);
  EvDebug().Debug("LogTest", "first");
  ASSERT_NE(ReadFile(log).find("first"), std::string::npos);
  ASSERT_EQ(::rename(log.c_str(), dir.File("rotated").c_str()), 0);
  EvDebug().Debug("LogTest", "second");
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("LogTest: second\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("first"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(dir.File("rotated")).find("second"), std::string::npos);
}

TEST(LogFileFallbackTest, EmptyTagAndTrailingLineEnds) {
  ScratchDir dir;
  const std::string log = dir.File("log");
  ScopedEnv env("KO_LOG_FILE", log);
  EvDebug().Debug("", "untagged\n\n");
  EvDebug().Debug(nullptr, "%s", "no tag");
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find(" -: untagged\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" -: no tag\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("\\n"), std::string::npos) << "trailing line ends were escaped: " << text;
}

TEST(LogFileFallbackTest, ForkedChildLogsToTheSameFile) {
  ScratchDir dir;
  const std::string log = dir.File("log");
  ScopedEnv env("KO_LOG_FILE", log);
  EvDebug().Debug("LogTest", "parent before");
  const pid_t pid = ::fork();
  if (pid == 0) {
    EvDebug().Debug("LogTest", "child %d", static_cast<int>(::getpid()));
    trhsm_test::ChildExit(0);
  }
  ASSERT_GT(pid, 0);
  ASSERT_EQ(WaitChild(pid), 0);
  EvDebug().Debug("LogTest", "parent after");
  const std::string text = ReadFile(log);
  const size_t child = text.find(" " + std::to_string(pid) + " " + std::to_string(pid) +
                                 " DEBUG LogTest: child " + std::to_string(pid) + "\n");
  EXPECT_NE(child, std::string::npos) << text;
  EXPECT_LT(text.find("parent before"), child);
  EXPECT_GT(text.find("parent after"), child);
}

}  // namespace
