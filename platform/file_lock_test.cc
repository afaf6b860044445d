// KoFileLock: exclusion between processes and threads, nesting by device and inode, upgrades, a
// lock file replaced while a waiter waits, and forked children.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"

namespace {

using trhsm_test::InChild;
constexpr int kShared = KoFileLock::kShared, kExclusive = KoFileLock::kExclusive;
constexpr int kLimitMs = 60000;  // generous: the suite also runs under TSan

// True when a lock of `type` by another open file description (as another process has) would
// have to wait.
bool WouldWait(const std::string& path, int type) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock fl {};
  fl.l_type = type == kExclusive ? F_WRLCK : F_RDLCK;
  EXPECT_EQ(0, ::fcntl(fd, F_OFD_GETLK, &fl)) << std::strerror(errno);
  ::close(fd);
  return fl.l_type != F_UNLCK;
}

// True when a byte can be read from `fd` within `limitMs`; reads it.
bool Signalled(int fd, int limitMs = kLimitMs) {
  struct pollfd p = {fd, POLLIN, 0};
  char byte;
  return ::poll(&p, 1, limitMs) == 1 && ::read(fd, &byte, 1) == 1;
}

// Locks `path` exclusively, waiting without limit; then signals on `held` and keeps the lock
// until a byte arrives on `release`.
int LockSignalAndHold(const std::string& path, int held, int release) {
  KoFileLock lock(false);
  if (lock.lock(path.c_str(), kExclusive, KoFileLock::kWaitForever) != 1) return 1;
  return ::write(held, "L", 1) == 1 && Signalled(release) ? 0 : 2;
}

class FileLockTest : public ::testing::Test {
 protected:
  trhsm_test::ScratchDir dir;
  const std::string path = dir.File("x.lock");
};

// A hold of this thread, then a second request: by this thread (through another spelling of the
// path or a hard link), by another thread or by another process.
TEST_F(FileLockTest, SecondRequestTable) {
  enum Who { kSameThread, kHardLink, kOtherThread, kOtherProcess };
  const struct {
    int held;
    Who who;
    int type, granted;
  } rows[] = {
      {kExclusive, kSameThread, kExclusive, 1},   {kExclusive, kSameThread, kShared, 1},
      {kExclusive, kHardLink, kExclusive, 1},     {kShared, kSameThread, kExclusive, 1},
      {kExclusive, kOtherThread, kShared, 0},     {kShared, kOtherThread, kShared, 1},
      {kShared, kOtherThread, kExclusive, 0},     {kExclusive, kOtherProcess, kShared, 0},
      {kExclusive, kOtherProcess, kExclusive, 0}, {kShared, kOtherProcess, kShared, 1},
      {kShared, kOtherProcess, kExclusive, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.held << " held, " << r.who << " asks " << r.type);
    KoFileLock held(true);
    ASSERT_EQ(1, held.lock(path.c_str(), r.held, KoFileLock::kWaitForever));
    const std::string other = r.who == kHardLink ? dir.File("link") : dir.path() + "/./x.lock";
    ASSERT_EQ(0, r.who == kHardLink ? ::link(path.c_str(), other.c_str()) : 0);
    std::atomic<int> got{-7};
    auto attempt = [&] {
      KoFileLock second(false);
      return got = second.lock(other.c_str(), r.type, r.who == kOtherThread ? 20 : 0);
    };
    if (r.who == kOtherThread) std::thread(attempt).join();
    if (r.who == kOtherProcess) got = InChild([&] { return attempt() + 10; }) - 10;
    if (r.who == kSameThread || r.who == kHardLink) attempt();
    ::unlink(dir.File("link").c_str());
    EXPECT_EQ(r.granted, got);
    // The second hold's end, or a refused attempt, leaves the first as it was.
    EXPECT_TRUE(WouldWait(path, kExclusive));
    EXPECT_EQ(r.held == kExclusive, WouldWait(path, kShared));
  }
  EXPECT_FALSE(WouldWait(path, kExclusive));
}

TEST_F(FileLockTest, HoldsEndOnlyWithTheirOwner) {
  KoFileLock outer(true), inner(true);
  ASSERT_EQ(1, outer.lock(path.c_str(), kExclusive, -1));
  ASSERT_EQ(1, inner.lock(path.c_str(), kShared, -1));
  outer.unlock();  // the inner shared hold stays in force
  EXPECT_FALSE(WouldWait(path, kShared));
  EXPECT_TRUE(WouldWait(path, kExclusive));
  inner.unlock();
  EXPECT_FALSE(WouldWait(path, kExclusive));
  // Another descriptor of the file closed (which ends a classic record lock) drops nothing, nor
  // does a forked child's release of the object it came with.
  ASSERT_EQ(1, outer.lock(path.c_str(), kExclusive, -1));
  ::close(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(0, InChild([&] {
              outer.unlock();
              return 0;
            }));
  EXPECT_TRUE(WouldWait(path, kShared));
  // Locking another file with the object releases its hold first.
  ASSERT_EQ(1, outer.lock(dir.File("b.lock").c_str(), kShared, -1));
  EXPECT_FALSE(WouldWait(path, kExclusive));
}

TEST_F(FileLockTest, UpgradeWithOtherHoldersIsRefused) {
  KoFileLock reader(true);
  ASSERT_EQ(1, reader.lock(path.c_str(), kShared, -1));
  int held[2], release[2];
  ASSERT_EQ(0, ::pipe(held));
  ASSERT_EQ(0, ::pipe(release));
  const int pid = trhsm_test::StartChild([&] {
    KoFileLock other(false);
    if (other.lock(path.c_str(), kShared, kLimitMs) != 1) return 1;
    return ::write(held[1], "S", 1) == 1 && Signalled(release[0]) ? 0 : 2;
  });
  ASSERT_TRUE(Signalled(held[0]));
  // Waiting for the other reader could never end while this thread reads: refused at once
  // whatever throwOnFailure says (a wait would give 0 after the limit).
  KoFileLock writer(false);
  try {
    const int answer = writer.lock(path.c_str(), kExclusive, kLimitMs);
    ADD_FAILURE() << "upgrade answered " << answer;
  } catch (const KoException& e) {
    EXPECT_EQ("Cannot make the shared lock on " + path + " exclusive while other holders remain",
              e.getMessage());
    EXPECT_EQ("KoFileLock::lock", e.getFunction());
  }
  EXPECT_FALSE(writer.isLocked());
  EXPECT_EQ(1, ::write(release[1], "R", 1));
  EXPECT_EQ(0, trhsm_test::WaitChild(pid, kLimitMs));
  EXPECT_TRUE(WouldWait(path, kExclusive));
  EXPECT_FALSE(WouldWait(path, kShared));
}

// A waiter (another thread, waiting as another process would, or another process) gets the lock
// when it is released, on the file that the path names by then.
TEST_F(FileLockTest, WaiterGetsTheLockOnRelease) {
  for (const bool process : {false, true}) {
    for (const bool replaced : {false, true}) {
      SCOPED_TRACE(std::string(process ? "process" : "thread") + (replaced ? ", replaced" : ""));
      KoFileLock first(true);
      ASSERT_EQ(1, first.lock(path.c_str(), kExclusive, 0));
      int held[2], release[2];
      ASSERT_EQ(0, ::pipe(held));
      ASSERT_EQ(0, ::pipe(release));
      const std::string name = path;
      const auto body = [=] { return LockSignalAndHold(name, held[1], release[0]); };
      int pid = 0;
      std::thread waiter;
      if (process) pid = trhsm_test::StartChild(body);
      if (!process) waiter = std::thread(body);
      ASSERT_TRUE(trhsm_test::WaitForLockWaiter(path, kLimitMs)) << "no waiter";
      EXPECT_FALSE(Signalled(held[0], 0)) << "granted while held";
      if (replaced) {
        trhsm_test::WriteFile(dir.File("new"), "");
        ASSERT_EQ(0, std::rename(dir.File("new").c_str(), path.c_str()));
      }
      first.unlock();
      if (!Signalled(held[0])) {
        ADD_FAILURE() << "the waiter never got the lock";  // leaves a stuck thread behind
        if (!process) waiter.detach();
        return;
      }
      EXPECT_TRUE(WouldWait(path, kShared)) << "the waiter holds another file than " << path;
      EXPECT_EQ(1, ::write(release[1], "R", 1));
      EXPECT_EQ(0, process ? trhsm_test::WaitChild(pid, kLimitMs) : (waiter.join(), 0));
      EXPECT_FALSE(WouldWait(path, kExclusive));
      for (int fd : {held[0], held[1], release[0], release[1]}) ::close(fd);
    }
  }
}

TEST_F(FileLockTest, ExclusiveHoldersNeverOverlap) {
  std::atomic<int> inside{0}, overlaps{0}, entries{0};
  auto work = [&] {
    for (int i = 0; i < 50; ++i) {
      KoFileLock l(true);
      ASSERT_EQ(1, l.lock(path.c_str(), kExclusive, kLimitMs));
      overlaps += inside.fetch_add(1) != 0;
      entries++;
      std::this_thread::yield();
      inside--;
    }
  };
  std::thread a(work), b(work), c(work);
  for (std::thread* t : {&a, &b, &c}) t->join();
  EXPECT_EQ(0, overlaps.load());
  EXPECT_EQ(150, entries.load());
}

TEST_F(FileLockTest, FailureNamesTheFile) {
  const std::string missing = dir.File("no/such.lock");
  try {
    const int answer = KoFileLock(true).lock(missing.c_str(), kExclusive, -1);
    ADD_FAILURE() << "answered " << answer;
  } catch (const KoException& e) {
    EXPECT_EQ("Failed to open lock file " + missing + ": " + std::strerror(ENOENT), e.getMessage());
  }
}

}  // namespace
