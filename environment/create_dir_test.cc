// Recursive directory creation: missing parents, slashes, long and relative paths, refusals.
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

TEST(CreateDirTest, MakesEveryMissingComponentOrSaysWhyNot) {
  trhsm_test::ScratchDir dir;
  // The last: about 3000 bytes in 100 missing components, longer than any small working buffer.
  std::string deep = dir.path();
  for (int i = 0; i < 100; ++i) deep += "/component-" + std::to_string(1000000000000000 + i);
  for (const std::string& tail :
       {dir.File("a/b/c"), dir.File("a/b/c"), dir.File("x/y/z/"), dir.File("p//q///r"), deep}) {
    EXPECT_EQ(CreateDir(tail.c_str()), 1) << tail;
    EXPECT_TRUE(IsDirectory(tail)) << tail;
  }
  const std::string file = dir.File("plain");
  trhsm_test::WriteFile(file, "data");
  // A name too long for the file system shows only once its parent exists: the parents are made,
  // the last step fails with the reason. A regular file of the very name is no directory.
  const struct {
    std::string path;
    int error;  // 0: not checked
  } refusals[] = {{"", 0},
                  {file + "/sub/dir", ENOTDIR},
                  {file, EEXIST},
                  {file + "/", 0},
                  {dir.File("made/" + std::string(300, 'n')), ENAMETOOLONG}};
  for (const auto& r : refusals) {
    errno = 0;
    EXPECT_EQ(CreateDir(r.path.c_str()), 0) << r.path;
    EXPECT_TRUE(r.error == 0 || errno == r.error) << r.path << " " << errno;
  }
  EXPECT_EQ(CreateDir(nullptr), 0);
  EXPECT_TRUE(IsDirectory(dir.File("made")));
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
}

}  // namespace
