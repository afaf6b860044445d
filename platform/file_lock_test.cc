// KoFileLock as the migrated-tree list uses it: exclusion between processes and threads, nesting
// by device and inode, a lock file replaced while a waiter waits, and forked children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <tuple>

#include "testing/test_util.h"
#include "trhsm/KoFileLock.h"

namespace {

constexpr int kShared = KoFileLock::kShared, kExclusive = KoFileLock::kExclusive;
constexpr int kLimitMs = 60000;  // generous: the suite also runs under TSan

int Seen(const std::string& path) {  // another process's view: F_UNLCK, F_RDLCK or F_WRLCK
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock fl = {F_WRLCK, SEEK_SET, 0, 0, 0};
  EXPECT_EQ(0, ::fcntl(fd, F_OFD_GETLK, &fl));
  ::close(fd);
  return fl.l_type;
}

bool Signalled(int fd, int limitMs = kLimitMs) {  // a byte arrives on fd in time
  struct pollfd p = {fd, POLLIN, 0};
  char byte;
  return ::poll(&p, 1, limitMs) == 1 && ::read(fd, &byte, 1) == 1;
}

// A thread or a child process that locks `path` waiting without limit, says so on a pipe, and
// holds the lock until Release() (false when a child ended badly).
struct Holder {
  Holder(const std::string& path, int type, bool process) {
    EXPECT_EQ(0, ::pipe(held_) | ::pipe(release_));
    auto body = [=, held = held_[1], release = release_[0]] {
      KoFileLock lock(false);
      if (lock.lock(path.c_str(), type, KoFileLock::kWaitForever) != 1) return 1;
      return ::write(held, "L", 1) == 1 && Signalled(release) ? 0 : 2;
    };
    pid_ = process ? trhsm_test::StartChild(body) : 0;
    if (!process) thread_ = std::thread(body);
  }
  bool Holds(int limitMs = kLimitMs) { return Signalled(held_[0], limitMs); }
  bool Release() {
    EXPECT_EQ(1, ::write(release_[1], "R", 1));
    const bool ended =
        pid_ > 0 ? trhsm_test::WaitChild(pid_, kLimitMs) == 0 : (thread_.join(), true);
    for (int fd : {held_[0], held_[1], release_[0], release_[1]}) ::close(fd);
    return ended;
  }
  int held_[2], release_[2], pid_;
  std::thread thread_;
};

// A holder gets a nested lock at once by any path naming the file, and keeps its own when the
// nested one ends, another descriptor of the file closes, or a forked child releases its copy.
TEST(FileLockTest, NestedLocksAreGrantedAtOnce) {
  trhsm_test::ScratchDir dir;
  const std::string path = dir.File("x.lock");
  KoFileLock held(true);
  ASSERT_EQ(1, held.lock(path.c_str(), kExclusive, KoFileLock::kWaitForever));
  EXPECT_EQ(1, KoFileLock(true).lock((dir.path() + "/./x.lock").c_str(), kShared, 0));
  ::close(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(0, trhsm_test::InChild([&] { return held.unlock(), 0; }));
  EXPECT_EQ(F_WRLCK, Seen(path));
}

// A waiter (a thread, which waits as another process would, or a process) gets the lock on release,
// on the file that the path names by then.
TEST(FileLockTest, WaiterGetsTheLockOnRelease) {
  trhsm_test::ScratchDir dir;
  const std::string path = dir.File("x.lock");
  for (const auto& [process, replaced, held, asks] :
       {std::tuple{false, false, kExclusive, kExclusive},
        {true, false, kExclusive, kShared},
        {false, true, kShared, kExclusive},
        {true, true, kExclusive, kExclusive}}) {
    SCOPED_TRACE(::testing::Message() << "process " << process << ", replaced " << replaced);
    KoFileLock first(true);
    ASSERT_EQ(1, first.lock(path.c_str(), held, 0));
    Holder waiter(path, asks, process);
    ASSERT_TRUE(trhsm_test::WaitForLockWaiter(path, kLimitMs)) << "no waiter";
    EXPECT_FALSE(waiter.Holds(0)) << "granted while held";
    trhsm_test::WriteFile(dir.File("new"), "");
    ASSERT_EQ(0, replaced ? std::rename(dir.File("new").c_str(), path.c_str()) : 0);
    first.unlock();
    ASSERT_TRUE(waiter.Holds()) << "the waiter never got the lock";
    EXPECT_EQ(asks == kExclusive ? F_WRLCK : F_RDLCK, Seen(path)) << "not the file at " << path;
    EXPECT_TRUE(waiter.Release());
    EXPECT_EQ(F_UNLCK, Seen(path));
  }
}

}  // namespace
