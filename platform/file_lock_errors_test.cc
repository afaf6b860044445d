// KoFileLock when its lock file cannot be used: names taken by a folder, a link or a FIFO, failing
// opens, locks and status calls, a lock file replaced between the calls of one request, and a
// forked child's release of a lock it inherited.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "testing/call_hooks.h"
#include "testing/child_exit.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"

namespace {

using trhsm_test::Call;
using trhsm_test::ReadFile;
using trhsm_test::ScopedCallHook;
using trhsm_test::ScopedFault;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

constexpr int kShared = KoFileLock::kShared;
constexpr int kExclusive = KoFileLock::kExclusive;

// True when a lock of `type` by another open file description (as another process would have)
// would have to wait.
bool WouldWait(const std::string& path, int type) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
  struct flock fl = {};
  fl.l_type = type == kExclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  EXPECT_EQ(::fcntl(fd, F_OFD_GETLK, &fl), 0) << std::strerror(errno);
  ::close(fd);
  return fl.l_type != F_UNLCK;
}

// What one lock request gave: its result and errno, or the message it threw.
struct Attempt {
  int result = -7;
  int error = 0;
  std::string message;
};

Attempt Lock(KoFileLock* lock, const std::string& path, int type, int timeoutMs) {
  Attempt a;
  errno = 0;
  try {
    a.result = lock->lock(path.c_str(), type, timeoutMs);
    a.error = errno;
  } catch (const KoException& e) {
    a.message = e.getMessage();
  }
  return a;
}

void ExpectFailed(const Attempt& a, bool throwing, const std::string& what, int error) {
  if (throwing) {
    EXPECT_EQ(a.message, what + ": " + std::strerror(error));
  } else {
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.error, error) << std::strerror(a.error);
    EXPECT_EQ(a.message, "");
  }
}

TEST(KoFileLockErrors, NameTakenByAFolderALinkOrAFifoIsRefused) {
  ScratchDir dir;
  ScratchDir outside;
  const std::string path = dir.File("x.lock");
  const std::string victim = outside.File("victim");
  const std::string dangling = outside.File("created");
  WriteFile(victim, "precious");
  struct Case {
    const char* name;
    std::function<int()> plant;
    int error;
    mode_t kind;
  };
  const Case cases[] = {
      {"folder", [&] { return ::mkdir(path.c_str(), 0777); }, EISDIR, S_IFDIR},
      {"link to a file", [&] { return ::symlink(victim.c_str(), path.c_str()); }, ELOOP, S_IFLNK},
      {"dangling link", [&] { return ::symlink(dangling.c_str(), path.c_str()); }, ELOOP, S_IFLNK},
      {"fifo", [&] { return ::mkfifo(path.c_str(), 0666); }, EINVAL, S_IFIFO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.plant(), 0) << std::strerror(errno);
    const int fds = trhsm_open_fd_count();
    for (int type : {kShared, kExclusive}) {
      for (bool throwing : {false, true}) {
        KoFileLock lock(throwing);
        ExpectFailed(Lock(&lock, path, type, 0), throwing, "Failed to open lock file " + path,
                     c.error);
        EXPECT_FALSE(lock.isLocked());
      }
    }
    EXPECT_EQ(trhsm_open_fd_count(), fds);
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, c.kind) << "the planted entry was replaced";
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0) << "created through a link";
    ASSERT_EQ(std::remove(path.c_str()), 0);
  }
}

TEST(KoFileLockErrors, UnwritableFolderGivesNoNewLockFile) {
  ScratchDir dir;
  const std::string folder = dir.File("ro");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0555), 0);
  const std::string path = folder + "/x.lock";
  // Root may write any folder: the checks run as an unprivileged user in a child.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      trhsm_test::ChildExit(10);
    if (::access(folder.c_str(), W_OK) == 0) trhsm_test::ChildExit(11);
    int code = 0;
    for (int type : {kShared, kExclusive}) {
      KoFileLock lock(false);
      errno = 0;
      // Also for a shared lock the reason is the refused creation, not the missing file.
      if (lock.lock(path.c_str(), type, 0) != -1 || errno != EACCES) code |= 1 << type;
    }
    trhsm_test::ChildExit(code);
  }
  ASSERT_GT(pid, 0);
  const int code = trhsm_test::WaitChild(pid);
  if (code == 10 || code == 11) GTEST_SKIP() << "no user without write access to the folder";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(trhsm_test::ListFolder(folder).size(), 0u);
}

// Failing opens (the fault shim) and lock and status calls (the call hooks), for a quiet and a
// throwing lock object: the result, errno or message, the locks left and no descriptor lost.
TEST(KoFileLockErrors, FailedCalls) {
  ScratchDir dir;
  const std::string path = dir.File("x.lock");
  struct Case {
    const char* name;
    int call;  // -1: open; else a Call
    int command;
    int error;
    bool sticky;
    int type;
    int timeoutMs;
    bool exists;
    bool sharedFirst;  // this thread holds a shared lock on the file already
    int result;        // -2: the refused upgrade's exception
    const char* what;
  };
  constexpr int kOpen = -1;
  constexpr int kFcntl = static_cast<int>(Call::kFcntl);
  const char* const kOpenFailed = "Failed to open lock file ";
  const char* const kLockFailed = "Failed to lock file ";
  const Case cases[] = {
      // A shared lock makes do with a lock file it may only read; missing, it could not be made.
      {"shared, read-only", kOpen, 0, EACCES, false, kShared, 0, true, false, 1, ""},
      {"shared, read-only fs", kOpen, 0, EROFS, false, kShared, 0, true, false, 1, ""},
      {"shared, not creatable", kOpen, 0, EACCES, false, kShared, 0, false, false, -1, kOpenFailed},
      {"shared, unreadable", kOpen, 0, EACCES, true, kShared, 0, true, false, -1, kOpenFailed},
      {"shared, full", kOpen, 0, ENOSPC, false, kShared, 0, true, false, -1, kOpenFailed},
      {"exclusive, read-only", kOpen, 0, EACCES, false, kExclusive, 0, true, false, -1,
       kOpenFailed},
      {"exclusive, read-only fs", kOpen, 0, EROFS, false, kExclusive, 0, true, false, -1,
       kOpenFailed},
      {"open interrupted", kOpen, 0, EINTR, false, kShared, 0, false, false, 1, ""},
      {"waiting lock fails", kFcntl, F_OFD_SETLKW, ENOLCK, false, kExclusive, -1, true, false, -1,
       kLockFailed},
      {"waiting lock interrupted", kFcntl, F_OFD_SETLKW, EINTR, false, kExclusive, -1, true, false,
       1, ""},
      {"lock try fails", kFcntl, F_OFD_SETLK, ENOLCK, false, kShared, 0, true, false, -1,
       kLockFailed},
      {"lock try interrupted", kFcntl, F_OFD_SETLK, EINTR, false, kExclusive, 0, true, false, 1,
       ""},
      {"busy as EACCES, then free", kFcntl, F_OFD_SETLK, EACCES, false, kExclusive, 5000, true,
       false, 1, ""},
      {"busy as EACCES, no time", kFcntl, F_OFD_SETLK, EACCES, false, kExclusive, 0, true, false, 0,
       ""},
      {"upgrade fails", kFcntl, F_OFD_SETLK, ENOLCK, false, kExclusive, 0, true, true, -1,
       kLockFailed},
      {"upgrade busy as EACCES", kFcntl, F_OFD_SETLK, EACCES, false, kExclusive, 0, true, true, -2,
       ""},
      {"status fails", static_cast<int>(Call::kFstat), -1, EIO, false, kExclusive, -1, true, false,
       -1, "Failed to stat lock file "},
  };
  for (const Case& c : cases) {
    for (bool throwing : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (throwing ? ", throwing" : ""));
      std::remove(path.c_str());
      if (c.exists) WriteFile(path, "");
      const int fds = trhsm_open_fd_count();
      KoFileLock outer(true);
      if (c.sharedFirst) {
        ASSERT_EQ(outer.lock(path.c_str(), kShared, 0), 1);
      }
      KoFileLock lock(throwing);
      Attempt a;
      if (c.call == kOpen) {
        ScopedFault fault("open", 1, c.error, c.sticky);
        a = Lock(&lock, path, c.type, c.timeoutMs);
      } else {
        ScopedCallHook hook(static_cast<Call>(c.call), 1, c.error, c.command);
        a = Lock(&lock, path, c.type, c.timeoutMs);
        EXPECT_TRUE(hook.fired());
      }
      if (c.result == -2) {
        EXPECT_EQ(a.message, "Cannot make the shared lock on " + path +
                                 " exclusive while other holders remain");
      } else if (c.result == -1) {
        ExpectFailed(a, throwing, c.what + path, c.error);
      } else {
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.message, "");
      }
      EXPECT_EQ(lock.isLocked(), c.result == 1);
      EXPECT_EQ(::access(path.c_str(), F_OK) == 0, c.exists || c.result == 1);
      // A failed upgrade leaves the shared hold as it was.
      if (c.exists || c.result == 1) {
        EXPECT_EQ(WouldWait(path, kExclusive), c.result == 1 || c.sharedFirst);
        EXPECT_EQ(WouldWait(path, kShared), c.result == 1 && c.type == kExclusive);
      }
      lock.unlock();
      outer.unlock();
      EXPECT_EQ(trhsm_open_fd_count(), fds);
    }
  }
}

// Between the request's first look at the path and its open, a file that this thread holds under
// another name takes the lock file's place: the request is a nested one on that file.
TEST(KoFileLockErrors, LockFileReplacedByAHeldFileBeforeTheOpen) {
  ScratchDir dir;
  const std::string held = dir.File("held.lock");
  const std::string path = dir.File("x.lock");
  struct Case {
    const char* name;
    bool exists;
    int heldType;
    int type;
    bool otherReader;   // another description holds a read lock on the held file
    bool upgradeFails;  // the upgrade's lock call fails
    int result;         // -2: the refused upgrade's exception
  };
  const Case cases[] = {
      {"existing name, exclusive", true, kExclusive, kExclusive, false, false, 1},
      {"missing name, shared", false, kShared, kShared, false, false, 1},
      {"upgrade refused", true, kShared, kExclusive, true, false, -2},
      {"upgrade fails", true, kShared, kExclusive, false, true, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path.c_str());
    if (c.exists) WriteFile(path, "");
    const int fds = trhsm_open_fd_count();
    KoFileLock outer(true);
    ASSERT_EQ(outer.lock(held.c_str(), c.heldType, 0), 1);
    const int reader = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock fl = {};
    fl.l_type = F_RDLCK;
    if (c.otherReader) {
      ASSERT_EQ(::fcntl(reader, F_OFD_SETLK, &fl), 0);
    }
    KoFileLock lock(false);
    Attempt a;
    {
      ScopedCallHook replace(Call::kStat, 1, false, [&] {
        EXPECT_EQ(::link(held.c_str(), dir.File("new").c_str()), 0);
        EXPECT_EQ(::rename(dir.File("new").c_str(), path.c_str()), 0);
      });
      std::unique_ptr<ScopedCallHook> fail;
      if (c.upgradeFails) {
        fail = std::make_unique<ScopedCallHook>(Call::kFcntl, 1, ENOLCK, F_OFD_SETLK);
      }
      a = Lock(&lock, path, c.type, 0);
      EXPECT_TRUE(replace.fired());
    }
    if (c.result == -2) {
      EXPECT_EQ(a.message,
                "Cannot make the shared lock on " + path + " exclusive while other holders remain");
    } else if (c.result == -1) {
      ExpectFailed(a, false, "Failed to lock file " + path, ENOLCK);
    } else {
      EXPECT_EQ(a.result, 1);
    }
    EXPECT_EQ(lock.isLocked(), c.result == 1);
    lock.unlock();
    ::close(reader);
    // The outer hold is untouched by the nested request and its release.
    EXPECT_TRUE(WouldWait(held, kExclusive));
    EXPECT_EQ(WouldWait(held, kShared), c.heldType == kExclusive);
    outer.unlock();
    EXPECT_EQ(trhsm_open_fd_count(), fds);
  }
}

// The path changes under the request: its lock file unlinked or replaced while the request waits,
// or its folder (a link) turned to a folder on another file system before the open or while the
// request waits. The request locks what the path names in the end, and only that.
TEST(KoFileLockErrors, PathChangesUnderTheRequest) {
  ScratchDir dir;
  std::unique_ptr<ScratchDir> far;
  {
    trhsm_test::ScopedEnv tmp("TMPDIR", "/dev/shm");
    far = std::make_unique<ScratchDir>();
  }
  struct stat here, there;
  ASSERT_EQ(::stat(dir.path().c_str(), &here), 0);
  ASSERT_EQ(::stat(far->path().c_str(), &there), 0);
  const std::string via = dir.File("via");
  const std::string near = dir.File("near");
  const std::string path = via + "/x.lock";
  const std::string first = near + "/first";  // keeps the first file and its inode number
  ASSERT_EQ(::mkdir(near.c_str(), 0777), 0);
  auto swap = [&] {
    EXPECT_EQ(::symlink(far->path().c_str(), dir.File("via.new").c_str()), 0);
    EXPECT_EQ(::rename(dir.File("via.new").c_str(), via.c_str()), 0);
  };
  struct Case {
    const char* name;
    Call call;  // after its first call: kStat before the open, kFcntl while waiting
    std::function<void()> change;
    bool otherDevice;
  };
  const Case cases[] = {
      {"unlinked", Call::kFcntl, [&] { EXPECT_EQ(::unlink(path.c_str()), 0); }, false},
      {"replaced", Call::kFcntl,
       [&] {
         WriteFile(near + "/new", "");
         EXPECT_EQ(::rename((near + "/new").c_str(), path.c_str()), 0);
       },
       false},
      {"folder swapped before the open", Call::kStat, swap, true},
      {"folder swapped while waiting", Call::kFcntl, swap, true},
  };
  // A hold of this thread on another file is in the table throughout.
  KoFileLock other(true);
  ASSERT_EQ(other.lock(dir.File("other.lock").c_str(), kExclusive, 0), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.otherDevice && here.st_dev == there.st_dev) {
      GTEST_SKIP() << "/dev/shm is not another file system: the last cases were not run";
    }
    ::unlink(via.c_str());
    ASSERT_EQ(::symlink(near.c_str(), via.c_str()), 0);
    WriteFile(path, "");
    WriteFile(far->File("x.lock"), "");
    std::remove(first.c_str());
    ASSERT_EQ(::link(path.c_str(), first.c_str()), 0);
    const int fds = trhsm_open_fd_count();
    KoFileLock lock(true);
    {
      ScopedCallHook hook(c.call, 1, false, c.change, F_OFD_SETLKW);
      ASSERT_EQ(lock.lock(path.c_str(), kExclusive, KoFileLock::kWaitForever), 1);
      EXPECT_TRUE(hook.fired());
    }
    struct stat now, old;
    ASSERT_EQ(::stat(path.c_str(), &now), 0);
    ASSERT_EQ(::stat(first.c_str(), &old), 0);
    EXPECT_FALSE(now.st_dev == old.st_dev && now.st_ino == old.st_ino);
    EXPECT_TRUE(WouldWait(path, kShared));
    EXPECT_FALSE(WouldWait(first, kExclusive));
    lock.unlock();
    EXPECT_EQ(trhsm_open_fd_count(), fds);
  }
}

TEST(KoFileLockErrors, ForkedChildsReleaseLeavesTheParentsLock) {
  ScratchDir dir;
  const std::string path = dir.File("x.lock");
  KoFileLock held(true);
  ASSERT_EQ(held.lock(path.c_str(), kExclusive, -1), 1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The object came with the fork, its hold did not: releasing it must not unlock the file.
    held.unlock();
    int code = held.isLocked() ? 1 : 0;
    KoFileLock mine(false);
    if (mine.lock(path.c_str(), kShared, 0) != 0) code |= 2;
    trhsm_test::ChildExit(code);
  }
  ASSERT_GT(pid, 0);
  EXPECT_EQ(trhsm_test::WaitChild(pid), 0);
  EXPECT_TRUE(held.isLocked());
  EXPECT_TRUE(WouldWait(path, kShared));
}

}  // namespace
