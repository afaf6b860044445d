// Tests of the stand-ins' inputs that exist but cannot be read (a folder where a file is expected):
// the configuration store and the mount table report the reason instead of passing for empty; and
// the file helpers: null paths refused with EINVAL, descriptors close-on-exec.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoFile.h"
#include "trhsm/KoFileName.h"
#include "trhsm/KoMntTab.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

TEST(UnreadableInputsTest, StoreThatIsAFolderIsLoggedAndEmpty) {
  ScratchDir dir;
  LogCapture log;
  ScopedEnv env("KO_REGISTRY", dir.path());
  KOPlatformInfo info;
  std::string value = "kept";
  EXPECT_EQ(info.getString("Base", "dJOB_MANAGER_DIR", &value), 0);
  EXPECT_EQ(value, "kept");
  std::vector<std::string> clients{"stale"};
  info.getClientList(clients);
  EXPECT_TRUE(clients.empty());
  EXPECT_TRUE(log.Contains("LoadRegistry: read " + dir.path() + ": " + std::strerror(EISDIR)))
      << log.Text();
}

TEST(UnreadableInputsTest, MissingStoreIsEmptyWithoutComplaint) {
  ScratchDir dir;
  WriteFile(dir.File("file"), "");
  LogCapture log;
  for (const std::string& path : {dir.File("missing"), dir.File("file/store")}) {
    ScopedEnv env("KO_REGISTRY", path);
    std::string value;
    EXPECT_EQ(KOPlatformInfo().getString("Base", "x", &value), 0) << path;
  }
  EXPECT_FALSE(log.Contains("LoadRegistry")) << log.Text();
}

TEST(UnreadableInputsTest, MountTableThatIsAFolderIsAnError) {
  ScratchDir dir;
  ScopedEnv env("KO_MOUNT_TABLE", dir.path());
  const std::string expected =
      "Cannot read mount table " + dir.path() + ": " + std::strerror(EISDIR);
  std::vector<char> buffer(256, 'X');
  EXPECT_EQ(koReadMntTab(buffer.data(), static_cast<int>(buffer.size())), nullptr);
  EXPECT_EQ(std::string(buffer.data()), expected);
  std::list<KoMntTab::Entry> entries(2);
  CZeError status = KoMntTab::getAll(entries);
  EXPECT_TRUE(status.IsError());
  EXPECT_EQ(status.AsString(), expected);
  EXPECT_TRUE(entries.empty());
}

TEST(UnreadableInputsTest, NullPathsAreRefusedWithEinval) {
  errno = 0;
  EXPECT_EQ(fopen_utf(nullptr, "r"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(fopen_utf("/dev/null", nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(open_utf(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(UnreadableInputsTest, OpenedFilesAreCloseOnExec) {
  FILE* file = fopen_utf("/dev/null", "r");
  ASSERT_NE(file, nullptr);
  EXPECT_NE(::fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
  std::fclose(file);
  // A mode that already asks for close-on-exec is used as given.
  file = fopen_utf("/dev/null", "re");
  ASSERT_NE(file, nullptr);
  EXPECT_NE(::fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
  std::fclose(file);
}

TEST(UnreadableInputsTest, FileNamesDecodeAsStored) {
  EXPECT_EQ(decodeFileName(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(decodeFileName("/srv/a b"), "/srv/a b");
  EXPECT_EQ(decodeFileName(std::string("/srv/\xc3\xa9")), "/srv/\xc3\xa9");
}

}  // namespace
