// Configuration getters and the data-migrator agent queries, against a store written per test;
// recursive directory creation: missing parents, slashes, long and relative paths, refusals.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMCommon.h"

namespace {

class EnvironmentConfigTest : public ::testing::Test {
 protected:
  void Store(const std::string& text) { trhsm_test::WriteFile(store_, text); }
  trhsm_test::ScratchDir dir_;
  std::string store_ = dir_.File("registry");
  trhsm_test::ScopedEnv env_{"KO_REGISTRY", store_};
};

TEST_F(EnvironmentConfigTest, BufferGettersCutToTheCallersSize) {
  char buffer[16];
  std::memcpy(buffer, "keep me", 8);
  EXPECT_EQ(GetClientName(buffer, sizeof buffer), -1);  // nobody served
  Store("[Base]\nsFOCUS_CLIENT=A\n[Machines/A]\nsHOST_NAME=\n");
  EXPECT_EQ(GetClientName(buffer, sizeof buffer), -1);  // no host name
  EXPECT_STREQ(buffer, "keep me");
  EXPECT_EQ(GetVeloraPath(buffer, sizeof buffer), -1);
  EXPECT_EQ(buffer[0], '\0');
  Store(
      "[Base]\ndVELORA_HOME=/opt/velora/base\nsFOCUS_CLIENT=B\n"
      "[Machines/A]\nsHOST_NAME=wrong\n[Machines/B]\nsHOST_NAME=host-b.example\nsV=abcd\n");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetVeloraPath(buffer, 8), 0);
  EXPECT_STREQ(buffer, "/opt/ve");
  EXPECT_EQ(buffer[8], '#');
  EXPECT_EQ(GetClientName(buffer, 5), 0);
  EXPECT_STREQ(buffer, "host");
  EXPECT_EQ(GetClientName(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "host-b.example");
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", buffer, 5, false), 0);
  EXPECT_STREQ(buffer, "abcd");
  // No room for the terminator: a failure, leaving the buffer empty.
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", buffer, 4, true), -1);
  EXPECT_EQ(buffer[0], '\0');
  std::string value = "stale";
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", value, false), 0);
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sMISSING", value, true), -1);
  EXPECT_EQ(value, "abcd");
  // Sizes without room for a terminator, and no buffer, write nothing at all.
  buffer[0] = '#';
  EXPECT_EQ(GetVeloraPath(buffer, 0) + GetClientName(buffer, -1) +
                GetRegistryItemValue("Machines/B", "sV", buffer, 0, false) +
                GetVeloraPath(nullptr, 8) + GetClientName(nullptr, 8) +
                GetRegistryItemValue("Machines/B", "sV", nullptr, 8, false),
            -6);
  EXPECT_EQ(buffer[0], '#');
}

TEST_F(EnvironmentConfigTest, AgentClientMustBeUniqueAndInstalled) {
  const std::pair<const char*, const char*> cases[] = {
      {"[Machines/A/TSLY]\nnINSTALL=1\n[Machines/B/TSLY]\nnINSTALL=0\n",
       "Two nodes with Tessaly detected: A and B, but only one is allowed."},
      // Store order decides which is first, and any content counts; the scan stops at the second.
      {"[Machines/zeta]\n[Machines/B/TSLY]\nnINSTALL=\n[Machines/zeta/TSLY]\nnINSTALL=x\n"
       "[Machines/A/TSLY]\nnINSTALL=1\n",
       "Two nodes with Tessaly detected: zeta and B, but only one is allowed."},
      {"[Machines/A]\nnINSTALL=1\n[Machines/A/UnixTessaly]\nnINSTALL=1\n"
       "[Machines/B/TSLY]\nnINSTALL=no, whatever\n[Machines/C/TSLY]\nsOTHER=1\n",
       "= B"},
      {"[Machines/A/TSLY]\nsOTHER=1\n[Machines/A/UnixTessaly]\nnINSTALL=1\n",
       "Failed to find node name with Tessaly installed."},
  };
  for (const auto& [store, expected] : cases) {
    Store(store);
    try {
      EXPECT_EQ("= " + getTRHSMClientName(), expected);
    } catch (const KoException& e) {
      EXPECT_EQ(e.getMessage(), expected);
      EXPECT_EQ(e.getCode(), -1);
      EXPECT_EQ(e.getFunction(), "getTRHSMClientName");
      EXPECT_EQ(e.getFile(), "TRHSMCommon");
    }
  }
  // Installed means nINSTALL=1 exactly, on the client's UnixTessaly key.
  Store(
      "[Machines/zero/UnixTessaly]\nnINSTALL=0\n[Machines/eleven/UnixTessaly]\nnINSTALL=11\n"
      "[Machines/blank/UnixTessaly]\nnINSTALL=1 \n[Machines/empty/UnixTessaly]\nnINSTALL=\n"
      "[Machines/other/TSLY]\nnINSTALL=1\n[Machines/none]\n");
  for (const char* client : {"zero", "eleven", "blank", "empty", "other", "none", "nobody"}) {
    EXPECT_FALSE(IsTSLYInstalledOnVm(client)) << client;
  }
  EXPECT_FALSE(IsTSLYInstalledOnVm(nullptr));
  EXPECT_FALSE(IsTSLYInstalled());
  Store("[Machines/a/UnixTessaly]\nnINSTALL=0\n[Machines/one/UnixTessaly]\nnINSTALL=1\n");
  EXPECT_TRUE(IsTSLYInstalledOnVm("one"));
  EXPECT_TRUE(IsTSLYInstalled());
}

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
