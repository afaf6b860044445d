// Exclusive creation in folders that others may write: names taken in advance, entries planted
// under a fixed name, failing calls, and the sync of a folder, which is never retried.
#include "foundation/safe_create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "testing/call_hooks.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::Call;
using trhsm_test::ListFolder;
using trhsm_test::ReadFile;
using trhsm_test::ScopedCallHook;
using trhsm_test::ScopedFault;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

TEST(SafeCreateTest, UniqueFileTriesOtherNamesAndGivesUp) {
  ScratchDir dir;
  const std::string prefix = dir.File("t.");
  const int fds = trhsm_open_fd_count();
  struct Case {
    int error;  // of the first open, or of every open when sticky
    bool sticky;
    int result;  // 0: a file
    long opens;
  };
  const Case cases[] = {
      {EEXIST, false, 0, 2},  // a taken name costs another try
      {EINTR, false, 0, 2},   // the same name again
      {EEXIST, true, EEXIST, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(std::strerror(c.error)) + (c.sticky ? " sticky" : ""));
    std::string path = "unchanged";
    int fd;
    {
      ScopedFault fault("open", 1, c.error, c.sticky);
      errno = 0;
      fd = trhsm::CreateUniqueFile(prefix, &path);
      EXPECT_EQ(trhsm_fault_calls("open"), c.opens);
    }
    if (c.result != 0) {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(errno, c.result);
      EXPECT_EQ(path, "unchanged");
      EXPECT_EQ(ListFolder(dir.path()).size(), 0u);
      continue;
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(path.size(), prefix.size() + 6);
    EXPECT_EQ(path.compare(0, prefix.size(), prefix), 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
  std::string path = "unchanged";
  errno = 0;
  EXPECT_EQ(trhsm::CreateUniqueFile(dir.File("missing/t."), &path), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(trhsm_open_fd_count(), fds);
}

// An own file is truncated in place and comes back blocking; what is not ours (links, FIFOs, hard
// links, another user's file) is replaced, which the write-path harness plants for every row.
TEST(SafeCreateTest, EmptyOwnFileKeepsOwnFileAndRefusesFolders) {
  ScratchDir dir;
  const std::string path = dir.File("f");
  WriteFile(path, "old text");
  struct stat before, st;
  ASSERT_EQ(::lstat(path.c_str(), &before), 0);
  const int fd = trhsm::OpenEmptyOwnFile(path);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_ino, before.st_ino);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ::close(fd);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  errno = 0;
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(path), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(dir.File("missing/f")), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(SafeCreateTest, EmptyOwnFileCallFailures) {
  ScratchDir dir;
  const std::string path = dir.File("f");
  struct Case {
    const char* name;
    Call call;
    int command;
  };
  const Case cases[] = {
      {"fstat", Call::kFstat, -1},
      {"ftruncate", Call::kFtruncate, -1},
      {"F_GETFL", Call::kFcntl, F_GETFL},
      {"F_SETFL", Call::kFcntl, F_SETFL},
  };
  const int fds = trhsm_open_fd_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, "kept");
    {
      ScopedCallHook hook(c.call, 1, EIO, c.command);
      errno = 0;
      EXPECT_EQ(trhsm::OpenEmptyOwnFile(path), -1);
      EXPECT_EQ(errno, EIO);
      EXPECT_TRUE(hook.fired());
    }
    EXPECT_EQ(trhsm_open_fd_count(), fds);
    // Before the truncation nothing was changed; what follows it fails on an empty file.
    EXPECT_EQ(ReadFile(path), c.call == Call::kFcntl ? "" : "kept");
  }
}

TEST(SafeCreateTest, FolderOfAndSyncFolder) {
  const std::pair<const char*, const char*> folders[] = {
      {"name", "."}, {"/name", "/"}, {"a/b", "a"}, {"/a/b/c", "/a/b"}, {"a/", "a"}, {"", "."}};
  for (const auto& f : folders) EXPECT_EQ(trhsm::FolderOf(f.first), f.second) << f.first;

  ScratchDir dir;
  WriteFile(dir.File("file"), "");
  const int fds = trhsm_open_fd_count();
  EXPECT_EQ(trhsm::SyncFolder(dir.path()), 0);
  struct Case {
    std::string folder;
    int error;    // also the one armed for the first fsync
    long fsyncs;  // 0: the folder does not open
  };
  const Case cases[] = {
      {dir.File("missing"), ENOENT, 0},
      {dir.File("file"), ENOTDIR, 0},
      {dir.path(), EIO, 1},
      // Interrupted is failed too: a second fsync could succeed with nothing on the disk.
      {dir.path(), EINTR, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + " " + std::strerror(c.error));
    ScopedFault fault("fsync", 1, c.error, false);
    errno = 0;
    EXPECT_EQ(trhsm::SyncFolder(c.folder), -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(trhsm_fault_calls("fsync"), c.fsyncs);
  }
  EXPECT_EQ(trhsm_open_fd_count(), fds);
}

}  // namespace
