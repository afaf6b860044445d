// KoFileLock: exclusion between processes and threads, nesting by device and inode, upgrades,
// unrelated descriptors, forked children and failures.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"

namespace {

using trhsm_test::ScratchDir;

// What a lock of `type` by another open file description (as another process would have) meets:
// true when it would have to wait.
bool WouldWait(const std::string& path, int type) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type == KoFileLock::kExclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  EXPECT_EQ(0, ::fcntl(fd, F_OFD_GETLK, &fl)) << std::strerror(errno);
  ::close(fd);
  return fl.l_type != F_UNLCK;
}

// Runs `child` in a forked process and returns its exit code; a child that does not end within
// `limitMs` is killed and gives -1, so a lock that is never granted fails the test.
template <typename F>
int RunChild(F child, int limitMs = 10000) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  EXPECT_GT(pid, 0);
  return trhsm_test::WaitChild(pid, limitMs);
}

// The result of a lock attempt in a forked child, as its exit code (1 held, 0 timed out).
int LockInChild(const std::string& path, int type, int timeoutMs) {
  return RunChild([&] {
           KoFileLock other(false);
           return other.lock(path.c_str(), type, timeoutMs) + 10;
         }) -
         10;
}

// A scratch folder and the lock file most tests use.
class LockFileTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  const std::string path = dir.File("x.lock");
};
using KoFileLockProcess = LockFileTest;
using KoFileLockNesting = LockFileTest;
using KoFileLockThreads = LockFileTest;
using KoFileLockDescriptors = LockFileTest;
using KoFileLockFailures = LockFileTest;

TEST_F(KoFileLockProcess, ExclusiveKeepsOtherProcessesOutUntilReleased) {
  {
    KoFileLock held(true);
    ASSERT_EQ(1, held.lock(path.c_str(), KoFileLock::kExclusive, KoFileLock::kWaitForever));
    EXPECT_TRUE(held.isLocked());
    // A forked child has the parent's thread id; it must still wait like any other process.
    EXPECT_EQ(0, LockInChild(path, KoFileLock::kShared, 0));
    EXPECT_EQ(0, LockInChild(path, KoFileLock::kExclusive, 30));
    // Its exit, closing its copies of the descriptors, leaves the parent's lock alone.
    EXPECT_TRUE(WouldWait(path, KoFileLock::kShared));
  }
  EXPECT_EQ(1, LockInChild(path, KoFileLock::kExclusive, 0));
}

TEST_F(KoFileLockProcess, SharedAdmitsReadersButNotWriters) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), KoFileLock::kShared, 0));
  EXPECT_EQ(1, LockInChild(path, KoFileLock::kShared, 0));
  EXPECT_EQ(0, LockInChild(path, KoFileLock::kExclusive, 0));
}

TEST_F(KoFileLockProcess, WaitingChildGetsTheLockOnRelease) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), KoFileLock::kExclusive, -1));
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    KoFileLock other(false);
    char byte = 'w';
    (void)!::write(ready[1], &byte, 1);
    ::_exit(other.lock(path.c_str(), KoFileLock::kExclusive, 5000) == 1 ? 0 : 1);
  }
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  ::close(ready[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  held.unlock();
  EXPECT_EQ(0, trhsm_test::WaitChild(pid));
}

TEST_F(KoFileLockNesting, SameThreadIsGrantedAtOnceAndInnerReleaseKeepsOuter) {
  KoFileLock outer(false);
  ASSERT_EQ(1, outer.lock(path.c_str(), KoFileLock::kExclusive, -1));
  {
    KoFileLock inner(true);
    ASSERT_EQ(1, inner.lock(path.c_str(), KoFileLock::kExclusive, 0));
    KoFileLock reader(true);
    ASSERT_EQ(1, reader.lock(path.c_str(), KoFileLock::kShared, 0));
  }
  EXPECT_TRUE(WouldWait(path, KoFileLock::kShared));
  outer.unlock();
  EXPECT_FALSE(outer.isLocked());
  EXPECT_FALSE(WouldWait(path, KoFileLock::kExclusive));
}

TEST_F(KoFileLockNesting, OuterReleasedFirstLeavesInnerInForce) {
  KoFileLock outer(true);
  KoFileLock inner(true);
  ASSERT_EQ(1, outer.lock(path.c_str(), KoFileLock::kExclusive, -1));
  ASSERT_EQ(1, inner.lock(path.c_str(), KoFileLock::kShared, -1));
  outer.unlock();
  // The remaining hold is shared: readers come in, writers wait.
  EXPECT_FALSE(WouldWait(path, KoFileLock::kShared));
  EXPECT_TRUE(WouldWait(path, KoFileLock::kExclusive));
  inner.unlock();
  EXPECT_FALSE(WouldWait(path, KoFileLock::kExclusive));
}

TEST_F(KoFileLockNesting, HardLinkIsTheSameFile) {
  const std::string link = dir.File("y.lock");
  KoFileLock outer(true);
  ASSERT_EQ(1, outer.lock(path.c_str(), KoFileLock::kExclusive, -1));
  ASSERT_EQ(0, ::link(path.c_str(), link.c_str()));
  KoFileLock viaLink(true);
  EXPECT_EQ(1, viaLink.lock(link.c_str(), KoFileLock::kExclusive, 0));
  KoFileLock viaDots(true);
  EXPECT_EQ(1, viaDots.lock((dir.path() + "/./x.lock").c_str(), KoFileLock::kExclusive, 0));
}

TEST_F(KoFileLockNesting, UpgradeAloneIsGrantedAndEndsAsShared) {
  KoFileLock reader(true);
  ASSERT_EQ(1, reader.lock(path.c_str(), KoFileLock::kShared, -1));
  {
    KoFileLock writer(true);
    ASSERT_EQ(1, writer.lock(path.c_str(), KoFileLock::kExclusive, -1));
    EXPECT_TRUE(WouldWait(path, KoFileLock::kShared));
  }
  EXPECT_FALSE(WouldWait(path, KoFileLock::kShared));
  EXPECT_TRUE(WouldWait(path, KoFileLock::kExclusive));
}

TEST_F(KoFileLockNesting, UpgradeWithOtherHoldersIsRefused) {
  KoFileLock reader(true);
  ASSERT_EQ(1, reader.lock(path.c_str(), KoFileLock::kShared, -1));
  std::atomic<bool> holding{false};
  std::atomic<bool> done{false};
  std::thread other([&] {
    KoFileLock mine(true);
    if (mine.lock(path.c_str(), KoFileLock::kShared, 1000) == 1) holding = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (bool throwOnFailure : {true, false}) {
    KoFileLock writer(throwOnFailure);
    try {
      (void)writer.lock(path.c_str(), KoFileLock::kExclusive, -1);
      ADD_FAILURE() << "upgrade granted while another thread reads";
    } catch (const KoException& e) {
      EXPECT_EQ("Cannot make the shared lock on " + path + " exclusive while other holders remain",
                e.getMessage());
      EXPECT_EQ("KoFileLock::lock", e.getFunction());
      EXPECT_EQ(-1, e.getCode());
    }
    EXPECT_FALSE(writer.isLocked());
  }
  done = true;
  other.join();
  // The refused request changed nothing: the shared hold is still there and still shared.
  EXPECT_TRUE(WouldWait(path, KoFileLock::kExclusive));
  EXPECT_FALSE(WouldWait(path, KoFileLock::kShared));
}

TEST_F(KoFileLockThreads, OtherThreadWaitsAsAnotherProcessWould) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), KoFileLock::kExclusive, -1));
  std::atomic<int> tryResult{-7};
  std::thread([&] {
    KoFileLock mine(true);
    tryResult = mine.lock(path.c_str(), KoFileLock::kShared, 20);
  }).join();
  EXPECT_EQ(0, tryResult.load());
  // The other thread's failed attempt closed its own descriptor of the file; our lock survives.
  EXPECT_TRUE(WouldWait(path, KoFileLock::kShared));

  std::atomic<bool> got{false};
  std::thread waiter([&] {
    KoFileLock mine(true);
    got = mine.lock(path.c_str(), KoFileLock::kExclusive, 5000) == 1;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(got.load());
  held.unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
}

TEST_F(KoFileLockThreads, ExclusiveHoldersNeverOverlap) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> entries{0};
  auto work = [&] {
    for (int i = 0; i < 50; ++i) {
      KoFileLock l(true);
      ASSERT_EQ(1, l.lock(path.c_str(), KoFileLock::kExclusive, 10000));
      KoFileLock nested(true);
      ASSERT_EQ(1, nested.lock(path.c_str(), KoFileLock::kShared, 0));
      if (inside.fetch_add(1) != 0) overlaps++;
      entries++;
      std::this_thread::yield();
      inside.fetch_sub(1);
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(0, overlaps.load());
  EXPECT_EQ(150, entries.load());
}

TEST_F(KoFileLockDescriptors, UnrelatedOpenAndCloseKeepTheLock) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), KoFileLock::kExclusive, -1));
  // A classic record lock would end here, when any descriptor of the file is closed.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_TRUE(WouldWait(path, KoFileLock::kShared));
  EXPECT_EQ(0, LockInChild(path, KoFileLock::kExclusive, 0));
}

TEST_F(KoFileLockFailures, BadRequestsAndMissingFolder) {
  KoFileLock quiet(false);
  errno = 0;
  EXPECT_EQ(-1, quiet.lock(nullptr, 0, -1));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, quiet.lock("", 0, -1));
  EXPECT_EQ(-1, quiet.lock(dir.File("a").c_str(), 2, -1));
  EXPECT_EQ(-1, quiet.lock(dir.File("a").c_str(), 0, -2));
  const std::string missing = dir.File("no/such.lock");
  EXPECT_EQ(-1, quiet.lock(missing.c_str(), 1, -1));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(quiet.isLocked());

  KoFileLock loud(true);
  try {
    (void)loud.lock(missing.c_str(), 1, -1);
    ADD_FAILURE() << "no exception";
  } catch (const KoException& e) {
    EXPECT_EQ("Failed to open lock file " + missing + ": " + std::strerror(ENOENT), e.getMessage());
    EXPECT_EQ("KoFileLock::lock", e.getFunction());
  }
}

TEST_F(KoFileLockFailures, FiniteTimeoutWaitsItsTime) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), KoFileLock::kExclusive, -1));
  std::atomic<int> result{-7};
  std::atomic<long> elapsedMs{0};
  std::thread([&] {
    KoFileLock mine(true);
    auto start = std::chrono::steady_clock::now();
    result = mine.lock(path.c_str(), KoFileLock::kExclusive, 80);
    elapsedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
  }).join();
  EXPECT_EQ(0, result.load());
  EXPECT_GE(elapsedMs.load(), 80);
  EXPECT_LT(elapsedMs.load(), 2000);
}

TEST_F(KoFileLockFailures, LockingAgainMovesTheLock) {
  const std::string first = dir.File("a.lock");
  const std::string second = dir.File("b.lock");
  KoFileLock l(true);
  ASSERT_EQ(1, l.lock(first.c_str(), KoFileLock::kExclusive, -1));
  ASSERT_EQ(1, l.lock(second.c_str(), KoFileLock::kExclusive, -1));
  EXPECT_FALSE(WouldWait(first, KoFileLock::kExclusive));
  EXPECT_TRUE(WouldWait(second, KoFileLock::kShared));
}

}  // namespace
