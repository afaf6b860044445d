// Exclusive creation in folders others may write: taken names, planted entries, failing calls.
#include "foundation/safe_create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "testing/fault_inject.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedFault;
using trhsm_test::WriteFile;

bool Names(const std::string& path, int fd) {  // fd keeps its inode from reuse
  struct stat a, b;
  return ::lstat(path.c_str(), &a) == 0 && ::fstat(fd, &b) == 0 && a.st_ino == b.st_ino;
}

// A taken name costs another try, an interrupted open the same name again; at most 100 tries
// (the first open failing, or every one when sticky).
TEST(SafeCreateTest, UniqueFileEmptyOwnFileAndSyncFolder) {
  trhsm_test::ScratchDir dir;
  const std::string prefix = dir.File("t.");
  const int fds = trhsm_open_fd_count();
  // clang-format off
  const struct { int error; bool sticky; long opens; } cases[] = {{EEXIST, false, 2}, {EINTR, false, 2}, {EEXIST, true, 100}, {ENOSPC, false, 1}};
  // clang-format on
  for (const auto& c : cases) {
    std::string path = "unchanged";
    int fd, error;
    {
      ScopedFault fault("open", 1, c.error, c.sticky);
      fd = trhsm::CreateUniqueFile(prefix, &path), error = errno;
      EXPECT_EQ(trhsm_fault_calls("open"), c.opens) << c.error;
    }
    EXPECT_EQ(fd < 0 ? error : 0, c.opens == 2 ? 0 : c.error);
    EXPECT_EQ(
        fd < 0 ? path : path.substr(0, prefix.size()) + std::to_string(path.size() - prefix.size()),
        fd < 0 ? "unchanged" : prefix + "6");
    EXPECT_TRUE(fd < 0 || (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
    if (fd >= 0) ::close(fd), ::unlink(path.c_str());
  }
  EXPECT_EQ(trhsm_test::ListFolder(dir.path()).size(), 0u);
  // An own file is truncated in place, blocking (planted links: tests/write_paths_test.cc).
  const std::string path = dir.File("f");
  WriteFile(path, "old text");
  const int old = ::open(path.c_str(), O_RDONLY), fd = trhsm::OpenEmptyOwnFile(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(Names(path, old) && Names(path, fd) && ReadFile(path).empty());
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ::close(fd), ::close(old), ::unlink(path.c_str());
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(path), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(dir.File("missing/f")), -1);
  EXPECT_EQ(errno, ENOENT);
  // A failed fsync, even interrupted, is not retried: a second could succeed with nothing on disk.
  for (const auto& [name, folder] : {std::pair<const char*, const char*>{"name", "."},
                                     {"/name", "/"},
                                     {"/a/b/c", "/a/b"},
                                     {"a/", "a"}})
    EXPECT_EQ(trhsm::FolderOf(name), folder) << name;
  WriteFile(dir.File("file"), "");
  EXPECT_EQ(trhsm::SyncFolder(dir.path()), 0);
  // The error, armed for the first fsync too; the fsyncs made (0: the folder does not open).
  // clang-format off
  const struct { std::string folder; int error; long fsyncs; } syncs[] = {
      {dir.File("missing"), ENOENT, 0}, {dir.File("file"), ENOTDIR, 0}, {dir.path(), EIO, 1}, {dir.path(), EINTR, 1}};
  // clang-format on
  for (const auto& c : syncs) {
    ScopedFault fault("fsync", 1, c.error, false);
    const int rc = trhsm::SyncFolder(c.folder), error = errno;
    EXPECT_EQ(std::vector<long>({rc, error, trhsm_fault_calls("fsync")}),
              std::vector<long>({-1, c.error, c.fsyncs}))
        << c.folder;
  }
  EXPECT_EQ(trhsm_open_fd_count(), fds);
}

}  // namespace
