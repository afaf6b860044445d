// Recursive directory creation: missing parents, slashes, long paths, relative paths and refusals.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/TRHSMCommon.h"

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(CreateDirTest, MakesEveryMissingComponent) {
  trhsm_test::ScratchDir dir;
  for (const char* tail : {"a/b/c", "a/b/c", "x/y/z/", "p//q///r"}) {
    EXPECT_EQ(CreateDir(dir.File(tail).c_str()), 1) << tail;
    EXPECT_TRUE(IsDirectory(dir.File(tail))) << tail;
  }
  // About 3000 bytes in 100 missing components: longer than any small working buffer.
  std::string path = dir.path();
  for (int i = 0; i < 100; ++i) path += "/component-" + std::to_string(1000000000000000 + i);
  ASSERT_GT(path.size(), 2500u);
  EXPECT_EQ(CreateDir(path.c_str()), 1);
  EXPECT_TRUE(IsDirectory(path));
}

TEST(CreateDirTest, Refusals) {
  trhsm_test::ScratchDir dir;
  EXPECT_EQ(CreateDir(nullptr), 0);
  EXPECT_EQ(CreateDir(""), 0);
  const std::string file = dir.File("plain");
  trhsm_test::WriteFile(file, "data");
  errno = 0;
  EXPECT_EQ(CreateDir((file + "/sub/dir").c_str()), 0);
  EXPECT_EQ(errno, ENOTDIR);
  // A regular file of that very name is not the directory asked for.
  EXPECT_EQ(CreateDir(file.c_str()), 0);
  EXPECT_EQ(CreateDir((file + "/").c_str()), 0);
  // A name too long for the file system shows only once its parent exists: the parents are made,
  // the last step fails with the reason.
  const std::string longName = dir.File("made/" + std::string(300, 'n'));
  errno = 0;
  EXPECT_EQ(CreateDir(longName.c_str()), 0);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(trhsm_test::ListFolder(dir.path()), (std::vector<std::string>{"made", "plain"}));
}

// Relative paths are made below the working directory (in a child: it changes directory), and
// refused with ENOENT once the working directory itself was removed.
TEST(CreateDirTest, RelativePaths) {
  trhsm_test::ScratchDir dir;
  const std::string gone = dir.File("gone");
  ASSERT_EQ(::mkdir(gone.c_str(), 0755), 0);
  EXPECT_EQ(trhsm_test::InChild([&] {
              if (::chdir(dir.path().c_str()) != 0) return 10;
              if (CreateDir("rel/a/b") != 1) return 1;
              if (::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) return 11;
              errno = 0;
              if (CreateDir("a/b") != 0 || errno != ENOENT) return 2;
              return CreateDir("single") == 0 ? 0 : 3;
            }),
            0);
  EXPECT_TRUE(IsDirectory(dir.File("rel/a/b")));
  EXPECT_FALSE(IsDirectory(gone));
}

}  // namespace
