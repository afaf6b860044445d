// Tests of fopen_utf and open_utf: results, errno and close-on-exec.
#include "trhsm/KoFile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace {

bool IsCloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(KoFileTest, OpenedDescriptorsAreCloseOnExec) {
  trhsm_test::ScratchDir dir;
  std::string path = dir.File("f");
  int fd = open_utf(path.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(IsCloseOnExec(fd));
  ASSERT_EQ(write(fd, "abc", 3), 3);
  close(fd);

  FILE* file = fopen_utf(path.c_str(), "r+");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(IsCloseOnExec(fileno(file)));
  char text[4] = {};
  EXPECT_EQ(fread(text, 1, 3, file), 3u);
  EXPECT_STREQ(text, "abc");
  fclose(file);
}

TEST(KoFileTest, FailuresKeepErrno) {
  trhsm_test::ScratchDir dir;
  std::string missing = dir.File("missing");
  errno = 0;
  EXPECT_EQ(open_utf(missing.c_str(), O_RDWR, 0666), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(fopen_utf(missing.c_str(), "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
