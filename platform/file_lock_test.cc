// KoFileLock: exclusion between processes and threads, nesting by device and inode, upgrades, a
// lock file replaced while a thread waits, and forked children.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"

namespace {

using trhsm_test::InChild;
using trhsm_test::ScratchDir;
constexpr int kShared = KoFileLock::kShared;
constexpr int kExclusive = KoFileLock::kExclusive;

// True when a lock of `type` by another open file description (as another process has) would
// have to wait.
bool WouldWait(const std::string& path, int type) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock fl {};
  fl.l_type = type == kExclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  EXPECT_EQ(0, ::fcntl(fd, F_OFD_GETLK, &fl)) << std::strerror(errno);
  ::close(fd);
  return fl.l_type != F_UNLCK;
}

// A lock attempt in another process: 1 granted, 0 timed out.
int OtherProcessLocks(const std::string& path, int type, int timeoutMs = 0) {
  return InChild([&] {
           KoFileLock other(false);
           return other.lock(path.c_str(), type, timeoutMs) + 10;
         }) -
         10;
}

int OtherThreadLocks(const std::string& path, int type) {
  std::atomic<int> result{-7};
  std::thread([&] {
    KoFileLock mine(true);
    result = mine.lock(path.c_str(), type, 20);
  }).join();
  return result;
}

class FileLockTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  const std::string path = dir.File("x.lock");
};

// A hold of this thread, then a second request: by this thread (through the same path or another
// name of the same file), by another thread or by another process.
TEST_F(FileLockTest, SecondRequestTable) {
  enum Who { kSameThread, kHardLink, kOtherThread, kOtherProcess };
  struct Row {
    int held;
    Who who;
    int type;
    int granted;
  };
  const Row rows[] = {
      {kExclusive, kSameThread, kExclusive, 1},   {kExclusive, kSameThread, kShared, 1},
      {kExclusive, kHardLink, kExclusive, 1},     {kShared, kSameThread, kExclusive, 1},
      {kExclusive, kOtherThread, kShared, 0},     {kShared, kOtherThread, kShared, 1},
      {kShared, kOtherThread, kExclusive, 0},     {kExclusive, kOtherProcess, kShared, 0},
      {kExclusive, kOtherProcess, kExclusive, 0}, {kShared, kOtherProcess, kShared, 1},
      {kShared, kOtherProcess, kExclusive, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "held " << r.held << " by " << r.who << " type " << r.type);
    KoFileLock held(true);
    ASSERT_EQ(1, held.lock(path.c_str(), r.held, KoFileLock::kWaitForever));
    int got = -7;
    if (r.who == kSameThread || r.who == kHardLink) {
      const std::string other = r.who == kHardLink ? dir.File("link") : dir.path() + "/./x.lock";
      if (r.who == kHardLink) {
        ASSERT_EQ(0, ::link(path.c_str(), other.c_str()));
      }
      KoFileLock nested(true);
      got = nested.lock(other.c_str(), r.type, 0);
      nested.unlock();
      if (r.who == kHardLink) ::unlink(other.c_str());
      // The nested hold's end leaves the outer one as it was.
      EXPECT_TRUE(WouldWait(path, kExclusive));
      EXPECT_EQ(r.held == kExclusive, WouldWait(path, kShared));
    } else {
      got =
          r.who == kOtherThread ? OtherThreadLocks(path, r.type) : OtherProcessLocks(path, r.type);
      // A failed attempt closed only its own descriptor; the hold survives.
      EXPECT_TRUE(WouldWait(path, kExclusive));
    }
    EXPECT_EQ(r.granted, got);
  }
  EXPECT_FALSE(WouldWait(path, kExclusive));
}

TEST_F(FileLockTest, OuterReleasedFirstLeavesInnerInForce) {
  KoFileLock outer(true), inner(true);
  ASSERT_EQ(1, outer.lock(path.c_str(), kExclusive, -1));
  ASSERT_EQ(1, inner.lock(path.c_str(), kShared, -1));
  outer.unlock();
  EXPECT_FALSE(WouldWait(path, kShared));
  EXPECT_TRUE(WouldWait(path, kExclusive));
  inner.unlock();
  EXPECT_FALSE(WouldWait(path, kExclusive));
  // An unrelated descriptor of the file opened and closed (which ends a classic record lock)
  // and locking another file with the same object move nothing but this object's own hold.
  ASSERT_EQ(1, outer.lock(path.c_str(), kExclusive, -1));
  ::close(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(WouldWait(path, kShared));
  ASSERT_EQ(1, outer.lock(dir.File("b.lock").c_str(), kExclusive, -1));
  EXPECT_FALSE(WouldWait(path, kExclusive));
}

TEST_F(FileLockTest, UpgradeWithOtherHoldersIsRefused) {
  KoFileLock reader(true);
  ASSERT_EQ(1, reader.lock(path.c_str(), kShared, -1));
  std::promise<void> holding, done;
  std::thread other([&] {
    KoFileLock mine(true);
    EXPECT_EQ(1, mine.lock(path.c_str(), kShared, 1000));
    holding.set_value();
    done.get_future().wait();
  });
  ASSERT_EQ(holding.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  // Waiting for the other reader could never end while this thread reads: refused whatever
  // throwOnFailure says.
  KoFileLock writer(false);
  try {
    (void)writer.lock(path.c_str(), kExclusive, -1);
    ADD_FAILURE() << "upgrade granted while another holder reads";
  } catch (const KoException& e) {
    EXPECT_EQ("Cannot make the shared lock on " + path + " exclusive while other holders remain",
              e.getMessage());
    EXPECT_EQ("KoFileLock::lock", e.getFunction());
  }
  EXPECT_FALSE(writer.isLocked());
  done.set_value();
  other.join();
  EXPECT_TRUE(WouldWait(path, kExclusive));
  EXPECT_FALSE(WouldWait(path, kShared));
}

TEST_F(FileLockTest, WaitingProcessGetsTheLockOnRelease) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), kExclusive, -1));
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const int pid = trhsm_test::StartChild([&] {
    KoFileLock other(false);
    if (other.lock(path.c_str(), kExclusive, 0) != 0) return 1;  // held: refused
    (void)!::write(ready[1], "w", 1);
    return other.lock(path.c_str(), kExclusive, KoFileLock::kWaitForever) == 1 ? 0 : 2;
  });
  char byte;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  EXPECT_TRUE(trhsm_test::WaitForLockWaiter(path)) << "the child never waited for the lock";
  held.unlock();
  EXPECT_EQ(0, trhsm_test::WaitChild(pid));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(FileLockTest, WaiterLocksTheFileThatReplacedTheOneItWaitedFor) {
  KoFileLock first(false);
  ASSERT_EQ(first.lock(path.c_str(), kExclusive, 0), 1);
  struct stat old;
  ASSERT_EQ(::stat(path.c_str(), &old), 0);
  int waited = -1;
  KoFileLock waiter(false);
  std::thread t([&] { waited = waiter.lock(path.c_str(), kExclusive, KoFileLock::kWaitForever); });
  EXPECT_TRUE(trhsm_test::WaitForLockWaiter(path)) << "the thread never waited for the lock";
  trhsm_test::WriteFile(dir.File("new"), "");
  ASSERT_EQ(std::rename(dir.File("new").c_str(), path.c_str()), 0);
  first.unlock();
  t.join();
  ASSERT_EQ(waited, 1);
  struct stat now;
  ASSERT_EQ(::stat(path.c_str(), &now), 0);
  ASSERT_NE(now.st_ino, old.st_ino);
  EXPECT_EQ(OtherProcessLocks(path, kExclusive), 0);
  waiter.unlock();
  EXPECT_EQ(OtherProcessLocks(path, kExclusive), 1);
}

TEST_F(FileLockTest, ForkedChildsReleaseLeavesTheParentsLock) {
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), kExclusive, -1));
  // The object came with the fork, its hold did not: releasing it must not unlock the file.
  EXPECT_EQ(0, InChild([&] {
              held.unlock();
              return 0;
            }));
  EXPECT_TRUE(WouldWait(path, kShared));
}

TEST_F(FileLockTest, ExclusiveHoldersNeverOverlap) {
  std::atomic<int> inside{0}, overlaps{0}, entries{0};
  auto work = [&] {
    for (int i = 0; i < 50; ++i) {
      KoFileLock l(true);
      ASSERT_EQ(1, l.lock(path.c_str(), kExclusive, 10000));
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

TEST_F(FileLockTest, FailuresNameTheFile) {
  const std::string missing = dir.File("no/such.lock");
  KoFileLock quiet(false);
  errno = 0;
  EXPECT_EQ(-1, quiet.lock(nullptr, kShared, -1));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, quiet.lock(missing.c_str(), kExclusive, -1));
  EXPECT_EQ(ENOENT, errno);
  ASSERT_EQ(0, ::mkfifo(path.c_str(), 0666));
  EXPECT_EQ(-1, quiet.lock(path.c_str(), kExclusive, 0)) << "a FIFO is no lock file";
  KoFileLock loud(true);
  try {
    (void)loud.lock(missing.c_str(), kExclusive, -1);
    ADD_FAILURE() << "no exception";
  } catch (const KoException& e) {
    EXPECT_EQ("Failed to open lock file " + missing + ": " + std::strerror(ENOENT), e.getMessage());
  }
}

}  // namespace
