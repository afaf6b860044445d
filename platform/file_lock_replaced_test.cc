// Tests of lock files that change under the lock: a lock file replaced while a thread waits for it
// is locked afresh under its new identity, and a lock file the user may only read still gives a
// shared lock (but no exclusive one).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing/child_exit.h"
#include "testing/test_util.h"
#include "trhsm/KoFileLock.h"

namespace {

using trhsm_test::ScratchDir;
using trhsm_test::WaitChild;
using trhsm_test::WriteFile;

template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) trhsm_test::ChildExit(body());
  return pid < 0 ? -2 : WaitChild(pid);
}

// What another process gets for an exclusive lock on `path` tried once.
int OtherProcessTries(const std::string& path) {
  return InChild([&] {
    KoFileLock other(false);
    return other.lock(path.c_str(), KoFileLock::kExclusive, 0);
  });
}

TEST(FileLockReplacedTest, WaiterLocksTheFileThatReplacedTheOneItWaitedFor) {
  ScratchDir dir;
  const std::string path = dir.File("lock");
  KoFileLock first(false);
  ASSERT_EQ(first.lock(path.c_str(), KoFileLock::kExclusive, 0), 1);
  struct stat old;
  ASSERT_EQ(::stat(path.c_str(), &old), 0);

  int waited = -1;
  KoFileLock waiter(false);
  std::thread t([&] { waited = waiter.lock(path.c_str(), KoFileLock::kExclusive, 20000); });
  // Let the waiter block on the old file, then put a new one in its place and let go of the old.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  WriteFile(dir.File("new"), "");
  ASSERT_EQ(std::rename(dir.File("new").c_str(), path.c_str()), 0);
  first.unlock();
  t.join();
  ASSERT_EQ(waited, 1);

  // What the waiter holds is the file at the path now, not the one it waited for.
  struct stat now;
  ASSERT_EQ(::stat(path.c_str(), &now), 0);
  ASSERT_NE(now.st_ino, old.st_ino);
  EXPECT_EQ(OtherProcessTries(path), 0);
  waiter.unlock();
  EXPECT_EQ(OtherProcessTries(path), 1);
}

TEST(FileLockReplacedTest, ReadOnlyLockFileGivesSharedLockOnly) {
  ScratchDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir.File("lock");
  WriteFile(path, "");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  // Root may write any file: the checks run as an unprivileged user in a child.
  const int result = InChild([&] {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
    if (::access(path.c_str(), W_OK) == 0) return 11;
    KoFileLock shared(false);
    if (shared.lock(path.c_str(), KoFileLock::kShared, 0) != 1) return 1;
    shared.unlock();
    KoFileLock exclusive(false);
    errno = 0;
    if (exclusive.lock(path.c_str(), KoFileLock::kExclusive, 0) != -1) return 2;
    if (errno != EACCES) return 3;
    return 0;
  });
  if (result == 10 || result == 11) GTEST_SKIP() << "cannot run as a user without write access";
  EXPECT_EQ(result, 0);
}

}  // namespace
