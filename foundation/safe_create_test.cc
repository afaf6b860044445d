// Exclusive creation in folders that others may write: names taken in advance, entries planted
// under a fixed name, failing calls, and the sync of a folder, which is never retried.
#include "foundation/safe_create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "testing/fault_inject.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedFault;
using trhsm_test::WriteFile;

// True when `path` names the file open as `fd` (which keeps its inode from reuse).
bool Names(const std::string& path, int fd) {
  struct stat a, b;
  return ::lstat(path.c_str(), &a) == 0 && ::fstat(fd, &b) == 0 && a.st_ino == b.st_ino;
}

TEST(SafeCreateTest, UniqueFileTriesOtherNamesAndGivesUp) {
  trhsm_test::ScratchDir dir;
  const std::string prefix = dir.File("t.");
  const int fds = trhsm_open_fd_count();
  // A taken name costs another try, an interrupted open the same name again; at most 100 tries.
  const struct {
    int error;  // of the first open, or of every open when sticky
    bool sticky;
    long opens;
  } cases[] = {{EEXIST, false, 2}, {EINTR, false, 2}, {EEXIST, true, 100}, {ENOSPC, false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::string path = "unchanged";
    int fd, error;
    {
      ScopedFault fault("open", 1, c.error, c.sticky);
      fd = trhsm::CreateUniqueFile(prefix, &path);
      error = errno;
      EXPECT_EQ(trhsm_fault_calls("open"), c.opens);
    }
    EXPECT_EQ(fd < 0 ? error : 0, c.opens == 2 ? 0 : c.error);
    if (fd < 0) {
      EXPECT_EQ(path, "unchanged");
    } else {
      EXPECT_EQ(path.size(), prefix.size() + 6);
      EXPECT_EQ(path.compare(0, prefix.size(), prefix), 0);
      EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
      ::close(fd);
      ::unlink(path.c_str());
    }
  }
  EXPECT_EQ(trhsm_open_fd_count(), fds);
  EXPECT_EQ(trhsm_test::ListFolder(dir.path()).size(), 0u);
}

// An own file is truncated in place and comes back blocking; a planted link or a file with another
// link is replaced, its target left alone; a folder is refused.
TEST(SafeCreateTest, EmptyOwnFileKeepsOwnFileAndReplacesOthers) {
  trhsm_test::ScratchDir dir;
  const std::string path = dir.File("f"), other = dir.File("other");
  const int fds = trhsm_open_fd_count();
  for (int planted = 0; planted < 3; ++planted) {
    SCOPED_TRACE(planted);
    WriteFile(path, "old text");
    WriteFile(other, "theirs");
    if (planted > 0) ::unlink(path.c_str());
    if (planted == 1) {
      ASSERT_EQ(::symlink(other.c_str(), path.c_str()), 0);
    } else if (planted == 2) {
      ASSERT_EQ(::link(other.c_str(), path.c_str()), 0);
    }
    const int old = ::open(path.c_str(), O_RDONLY);
    const int fd = trhsm::OpenEmptyOwnFile(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Names(path, old), planted == 0);
    EXPECT_TRUE(Names(path, fd));
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(ReadFile(other), "theirs");
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
    ::close(old);
  }
  EXPECT_EQ(trhsm_open_fd_count(), fds);
  ::unlink(path.c_str());
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(path), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(dir.File("missing/f")), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(SafeCreateTest, FolderOfAndSyncFolder) {
  for (const auto& [path, folder] : {std::pair<const char*, const char*>{"name", "."},
                                     {"/name", "/"},
                                     {"/a/b/c", "/a/b"},
                                     {"a/", "a"}}) {
    EXPECT_EQ(trhsm::FolderOf(path), folder) << path;
  }
  trhsm_test::ScratchDir dir;
  WriteFile(dir.File("file"), "");
  const int fds = trhsm_open_fd_count();
  EXPECT_EQ(trhsm::SyncFolder(dir.path()), 0);
  // A failed fsync, interrupted too, is not retried: a second one could succeed with nothing on
  // the disk.
  const struct {
    std::string folder;
    int error;    // also the one armed for the first fsync
    long fsyncs;  // 0: the folder does not open
  } cases[] = {{dir.File("missing"), ENOENT, 0},
               {dir.File("file"), ENOTDIR, 0},
               {dir.path(), EIO, 1},
               {dir.path(), EINTR, 1}};
  for (const auto& c : cases) {
    ScopedFault fault("fsync", 1, c.error, false);
    EXPECT_EQ(trhsm::SyncFolder(c.folder), -1) << c.folder;
    EXPECT_EQ(errno, c.error) << c.folder;
    EXPECT_EQ(trhsm_fault_calls("fsync"), c.fsyncs) << c.folder;
  }
  EXPECT_EQ(trhsm_open_fd_count(), fds);
}

}  // namespace
