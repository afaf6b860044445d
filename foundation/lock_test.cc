// Tests of the critical section, the recursive FXMutex and their scoped guards.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "testing/next_definition.h"
#include "trhsm/FXMutex.h"
#include "trhsm/KoCriticalSection.h"

// What the last pthread_mutex_destroy gave: EBUSY when the mutex was still locked.
std::atomic<int> g_lastDestroy{-1};
extern "C" int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  TRHSM_NEXT(int (*)(pthread_mutex_t*), "pthread_mutex_destroy");
  const int rc = next(mutex);
  g_lastDestroy = rc;
  return rc;
}

namespace {

using std::chrono::steady_clock;

// Runs `take` on a thread of its own, then `give` there on Release(), on destruction, or after
// 10 s, so that a lock that wrongly waits in the test thread ends instead of hanging the test.
class HeldElsewhere {
 public:
  HeldElsewhere(const std::function<void()>& take, const std::function<void()>& give)
      : thread_([this, take, give, release = release_.get_future()] {
          take();
          held_.set_value(GetCurrentThreadId());
          release.wait_for(std::chrono::seconds(10));
          give();
        }),
        holder_(held_.get_future().get()) {}
  ~HeldElsewhere() { Release(); }
  void Release() {
    if (!thread_.joinable()) return;
    release_.set_value();
    thread_.join();
  }
  uint32_t holder() const { return holder_; }

 private:
  std::promise<uint32_t> held_;
  std::promise<void> release_;
  std::thread thread_;
  uint32_t holder_;
};

template <typename F>
auto OnOtherThread(F f) {
  return std::async(std::launch::async, f).get();
}

bool TryLockElsewhere(FXMutex& m) {
  return OnOtherThread([&m] {
    if (!m.TryLock()) return false;
    m.Unlock();
    return true;
  });
}

// Counts the calls a guard makes; TryLock() answers `answer`.
class CountingResource : public FXLockableResource {
 public:
  bool TryLock() override {
    ++tries;
    return answer;
  }
  bool TryLock(CTimeInterval interval) override { return FXLockableResource::TryLock(interval); }
  void Lock() override { ++locks; }
  void Unlock() override { ++unlocks; }
  bool answer = true;
  int tries = 0, locks = 0, unlocks = 0;
};

TEST(FXMutexTest, TimedTryLockOnMutexHeldElsewhereFailsAtOnce) {
  FXMutex m;
  HeldElsewhere other([&m] { m.Lock(); }, [&m] { m.Unlock(); });
  const auto start = steady_clock::now();
  EXPECT_FALSE(m.TryLock(CTimeInterval(int64_t{60} * 1000 * 1000)));
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(m.TryLock());
  EXPECT_EQ(m.GetOwnerThreadId(), other.holder());
  other.Release();
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  ASSERT_TRUE(m.TryLock(CTimeInterval(1)));
  EXPECT_EQ(m.GetOwnerThreadId(), GetCurrentThreadId());
  EXPECT_EQ(m.GetHoldCount(), 1);
  m.Unlock();
}

TEST(FXMutexTest, RecursiveHoldsAreReleasedOneByOne) {
  FXMutex m;
  m.Lock();
  m.Lock();
  ASSERT_TRUE(m.TryLock());
  EXPECT_EQ(m.GetHoldCount(), 3);
  m.Unlock();
  m.Unlock();
  EXPECT_EQ(m.GetHoldCount(), 1);
  EXPECT_EQ(m.GetOwnerThreadId(), GetCurrentThreadId());
  EXPECT_EQ(OnOtherThread([&m] { return m.GetOwnerThreadId(); }), GetCurrentThreadId());
  EXPECT_FALSE(TryLockElsewhere(m));
  m.Unlock();
  EXPECT_EQ(m.GetHoldCount(), 0);
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  EXPECT_TRUE(TryLockElsewhere(m));
}

TEST(FXMutexTest, UnlockOnFreeMutexChangesNothing) {
  FXMutex m;
  m.Unlock();
  EXPECT_EQ(m.GetHoldCount(), 0);
  EXPECT_EQ(m.GetOwnerThreadId(), 0u);
  // One hold must still be released by one Unlock(), not absorbed by an earlier surplus one.
  m.Lock();
  EXPECT_EQ(m.GetHoldCount(), 1);
  EXPECT_FALSE(TryLockElsewhere(m));
  m.Unlock();
  EXPECT_TRUE(TryLockElsewhere(m));
}

// Destroying a locked POSIX mutex is undefined (the C library refuses with EBUSY, the thread
// sanitizer reports it): the destructor must release all three holds first.
TEST(FXMutexTest, DestructionByHolderReleasesEveryHold) {
  std::optional<FXMutex> m(std::in_place);
  m->Lock();
  m->Lock();
  ASSERT_TRUE(m->TryLock());
  ASSERT_EQ(m->GetHoldCount(), 3);
  g_lastDestroy = -1;
  m.reset();
  EXPECT_EQ(g_lastDestroy.load(), 0);
}

TEST(FXMutexTest, NestedGuardsGiveMutualExclusion) {
  FXMutex m;
  long counter = 0;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        auto_lock outer(&m, true);
        auto_lock inner(&m, true);
        inner.Unlock();
        ++counter;  // still under the outer hold
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 5000);
  EXPECT_EQ(m.GetHoldCount(), 0);
}

TEST(FXLockableResourceTest, BaseTimedTryLockMakesOneUntimedAttempt) {
  CountingResource r;
  EXPECT_TRUE(r.TryLock(CTimeInterval(1000)));
  EXPECT_EQ(r.tries, 1);
  r.answer = false;
  EXPECT_FALSE(r.TryLock(CTimeInterval(0)));
  EXPECT_EQ(r.tries, 2);
}

TEST(AutoLockTest, LockAndUnlockAreIdempotent) {
  CountingResource r;
  {
    auto_lock guard(&r, true);
    guard.Lock();
    EXPECT_EQ(r.locks, 1);
    guard.Unlock();
    guard.Unlock();
    EXPECT_EQ(r.unlocks, 1);
    guard.Lock();
    EXPECT_EQ(r.locks, 2);
  }
  EXPECT_EQ(r.unlocks, 2);
  { auto_lock unlocked(&r, false); }
  EXPECT_EQ(r.locks, 2);
  EXPECT_EQ(r.unlocks, 2);
}

TEST(KoCriticalSectionTest, EnterPassesTheFlagAndReturnsTheResult) {
  KoCriticalSection cs;
  std::optional<KoCriticalSectionLock> guard;
  HeldElsewhere other([&] { guard.emplace(&cs); }, [&] { guard.reset(); });
  EXPECT_EQ(cs.enter(false), 0);
  other.Release();  // its guard leaves the section
  EXPECT_EQ(cs.enter(false), 1);
  cs.leave();
  EXPECT_EQ(cs.enter(true), 1);
  cs.leave();
}

TEST(KoCriticalSectionTest, GuardGivesMutualExclusion) {
  KoCriticalSection cs;
  long counter = 0;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        KoCriticalSectionLock guard(&cs);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
