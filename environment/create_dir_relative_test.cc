// CreateDir with relative paths: made below the working directory, and refused (with ENOENT)
// when the working directory itself was removed, since no component can then be made.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "testing/child_exit.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMEnvironment.h"

namespace {

using trhsm_test::ScratchDir;
using trhsm_test::WaitChild;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs `body` in a forked child (it changes the working directory) and gives its exit code.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) trhsm_test::ChildExit(body());
  return pid < 0 ? -2 : WaitChild(pid);
}

TEST(CreateDirRelativeTest, MadeBelowTheWorkingDirectory) {
  ScratchDir dir;
  EXPECT_EQ(InChild([&] {
              if (::chdir(dir.path().c_str()) != 0) return 10;
              return CreateDir("rel/a/b") == 1 ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(IsDirectory(dir.File("rel/a/b")));
}

TEST(CreateDirRelativeTest, RemovedWorkingDirectoryRefusesEveryRelativePath) {
  ScratchDir dir;
  const std::string gone = dir.File("gone");
  ASSERT_EQ(::mkdir(gone.c_str(), 0755), 0);
  EXPECT_EQ(InChild([&] {
              if (::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) return 10;
              errno = 0;
              if (CreateDir("a/b") != 0) return 1;
              if (errno != ENOENT) return 2;
              if (CreateDir("single") != 0) return 3;
              return 0;
            }),
            0);
  EXPECT_FALSE(IsDirectory(gone));
}

}  // namespace
