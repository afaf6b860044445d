// Exclusive creation in folders that others may write: names taken in advance, entries planted
// under a fixed name, failing calls, and the sync of a folder, which is never retried.
#include "foundation/safe_create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
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

// Whatever holds the name, the result is an empty regular file of this user with one link, and
// nothing that an entry pointed to was written.
TEST(SafeCreateTest, EmptyOwnFileReplacesWhatIsNotOurs) {
  ScratchDir dir;
  ScratchDir outside;
  const std::string path = dir.File("f");
  const std::string victim = outside.File("victim");
  const std::string dangling = outside.File("created");
  const std::string other = dir.File("other");
  struct Case {
    const char* name;
    std::function<void()> plant;
    bool keepsInode;  // an own file is truncated in place
  };
  const Case cases[] = {
      {"own file", [&] { WriteFile(path, "old text"); }, true},
      {"link to a file", [&] { ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0); }, false},
      {"dangling link", [&] { ASSERT_EQ(::symlink(dangling.c_str(), path.c_str()), 0); }, false},
      {"hard-linked file",
       [&] {
         WriteFile(other, "precious");
         ASSERT_EQ(::link(other.c_str(), path.c_str()), 0);
       },
       false},
      {"fifo", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0); }, false},
      {"another user's file",
       [&] {
         WriteFile(path, "theirs");
         ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << "needs root";
       },
       false},
  };
  const int fds = trhsm_open_fd_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "another user's file" && ::geteuid() != 0) continue;  // chown
    WriteFile(victim, "precious");
    c.plant();
    struct stat before;
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    const int fd = trhsm::OpenEmptyOwnFile(path);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    struct stat st;
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_size, 0);
    if (c.keepsInode) {
      EXPECT_EQ(st.st_ino, before.st_ino);
    }
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(::write(fd, "new", 3), 3);
    ::close(fd);
    EXPECT_EQ(ReadFile(path), "new");
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0) << "created through a link";
    if (::access(other.c_str(), F_OK) == 0) {
      EXPECT_EQ(ReadFile(other), "precious");
    }
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }
  // A folder under the name, or no folder for it: nothing to open and nothing removed.
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  errno = 0;
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(path), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(::rmdir(path.c_str()), 0);
  EXPECT_EQ(trhsm::OpenEmptyOwnFile(dir.File("missing/f")), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(trhsm_open_fd_count(), fds);
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
