// Tests of file locks across fork: a child does not inherit the parent's holds as its own, so it
// waits for the parent's lock like any other process and locks the file once the parent let go.
#include "trhsm/KoFileLock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testing/child_exit.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::ScratchDir;
using trhsm_test::WaitChild;

// Runs `body` in a forked child and gives its exit code.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) trhsm_test::ChildExit(body());
  return pid < 0 ? -2 : WaitChild(pid);
}

TEST(FileLockForkTest, ChildWaitsForTheParentsExclusiveLock) {
  ScratchDir dir;
  const std::string path = dir.File("lock");
  KoFileLock parent(false);
  ASSERT_EQ(parent.lock(path.c_str(), KoFileLock::kExclusive, 0), 1);
  // With the parent's hold taken for its own, the child would be granted the lock at once.
  EXPECT_EQ(InChild([&] {
              KoFileLock child(false);
              if (child.lock(path.c_str(), KoFileLock::kExclusive, 0) != 0) return 1;
              if (child.lock(path.c_str(), KoFileLock::kShared, 50) != 0) return 2;
              return 0;
            }),
            0);
  // The child's exit closed only its inherited descriptor: the parent still holds the lock.
  EXPECT_TRUE(parent.isLocked());
  EXPECT_EQ(InChild([&] {
              KoFileLock child(false);
              return child.lock(path.c_str(), KoFileLock::kShared, 0) == 0 ? 0 : 1;
            }),
            0);
  parent.unlock();
  EXPECT_EQ(InChild([&] {
              KoFileLock child(false);
              return child.lock(path.c_str(), KoFileLock::kExclusive, 0) == 1 ? 0 : 1;
            }),
            0);
}

TEST(FileLockForkTest, ChildSharesTheParentsSharedLock) {
  ScratchDir dir;
  const std::string path = dir.File("lock");
  KoFileLock parent(false);
  ASSERT_EQ(parent.lock(path.c_str(), KoFileLock::kShared, 0), 1);
  EXPECT_EQ(InChild([&] {
              // The parent's shared hold is not the child's: an exclusive lock must wait.
              KoFileLock exclusive(false);
              if (exclusive.lock(path.c_str(), KoFileLock::kExclusive, 0) != 0) return 1;
              KoFileLock shared(false);
              if (shared.lock(path.c_str(), KoFileLock::kShared, 0) != 1) return 2;
              return 0;
            }),
            0);
  // The child's shared lock went with it: the parent's nested upgrade finds no other holder.
  KoFileLock again(false);
  EXPECT_EQ(again.lock(path.c_str(), KoFileLock::kExclusive, 0), 1);
}

}  // namespace
