// The critical section, the recursive FXMutex and their scoped guards.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/next_definition.h"
#include "trhsm/FXMutex.h"
#include "trhsm/KoCriticalSection.h"

template <typename F>
auto Elsewhere(F f) {  // runs f on a thread of its own
  return std::async(std::launch::async, f).get();
}

// While armed, pthread_mutex_destroy first records whether another thread could take the mutex.
std::atomic<bool> g_armed{false}, g_freeAtDestroy{false};
std::atomic<int> g_destroyResult{-1};
extern "C" int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  TRHSM_NEXT(int (*)(pthread_mutex_t*), "pthread_mutex_destroy");
  if (!g_armed.exchange(false)) return next(mutex);
  g_freeAtDestroy = Elsewhere(
      [mutex] { return pthread_mutex_trylock(mutex) == 0 && pthread_mutex_unlock(mutex) == 0; });
  return g_destroyResult = next(mutex);
}

namespace {

// Hold count, owner ("me" or its id) and whether another thread can take the mutex.
std::string Holds(FXMutex& m) {
  const uint32_t owner = m.GetOwnerThreadId();
  const bool free = Elsewhere([&m] { return m.TryLock() && (m.Unlock(), true); });
  return std::to_string(m.GetHoldCount()) +
         (owner == GetCurrentThreadId() ? " me" : " " + std::to_string(owner)) +
         (free ? " free" : " held");
}

// Destroying a locked POSIX mutex is undefined: the destructor releases every hold first.
TEST(FXMutexTest, HoldsCountOwnerAndRelease) {
  std::optional<FXMutex> m(std::in_place);
  m->Unlock();  // on a free mutex: changes nothing, and absorbs no later hold
  m->Lock();
  ASSERT_TRUE(m->TryLock() && m->TryLock(CTimeInterval(1)));  // recursive
  EXPECT_EQ(Holds(*m), "3 me held");
  m->Unlock(), m->Unlock();
  EXPECT_EQ(Holds(*m), "1 me held");
  EXPECT_FALSE(Elsewhere([&m] { return m->TryLock(CTimeInterval(60000000)); }));
  m->Unlock();
  EXPECT_EQ(Holds(*m), "0 0 free");
  m->Lock(), m->Lock();
  g_armed = true;
  m.reset();
  EXPECT_TRUE(!g_armed && g_freeAtDestroy) << "another thread could not take the mutex";
  EXPECT_EQ(g_destroyResult, 0);
}

// A guard takes one hold and gives it back once (none of no resource), beside a hold of its own.
TEST(AutoLockTest, GuardLocksOnceAndReleasesOnce) {
  FXMutex m;
  m.Lock();
  {
    auto_lock guard(&m, true), unlocked(&m, false);
    guard.Lock();
    EXPECT_EQ(Holds(m), "2 me held");
    guard.Unlock(), guard.Unlock();
    EXPECT_EQ(Holds(m), "1 me held");
    guard.Lock();
    auto_lock(nullptr, true).Unlock();
    EXPECT_EQ(Holds(m), "2 me held");
  }
  EXPECT_EQ(Holds(m), "1 me held");
  m.Unlock();
}

// The section and the mutex exclude each other's holders (ThreadSanitizer checks the locking too);
// a section held elsewhere is not entered without waiting, and the guard leaves it.
TEST(LockGuardsTest, MutualExclusion) {
  FXMutex m;
  KoCriticalSection cs;
  {
    KoCriticalSectionLock guard(&cs);
    EXPECT_EQ(Elsewhere([&cs] { return cs.enter(false); }), 0);
  }
  EXPECT_EQ(cs.enter(false), 1);
  cs.leave();
  long underMutex = 0, underSection = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        {
          auto_lock outer(&m, true), inner(&m, true);
          inner.Unlock();
          ++underMutex;  // still under the outer hold
        }
        KoCriticalSectionLock guard(&cs);
        ++underSection;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::to_string(underMutex) + " " + std::to_string(underSection), "20000 20000");
  EXPECT_EQ(Holds(m), "0 0 free");
}

}  // namespace
