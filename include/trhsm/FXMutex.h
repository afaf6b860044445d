// The owner-tracking lock interface, its recursive POSIX mutex, and the scoped guard auto_lock.
#ifndef TRHSM_FXMUTEX_H_
#define TRHSM_FXMUTEX_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "trhsm/CTimeInterval.h"
#include "trhsm/trhsm_export.h"

// The calling thread's pthread_self() narrowed to 32 bits: the identifier kept as a lock owner,
// where 0 means no owner. Thread-safe.
TRHSM_EXPORT uint32_t GetCurrentThreadId();

// A lock that remembers which thread holds it. Implementations write the owner right after they
// acquire the lock and clear it right before they release it. Neither copyable nor movable.
class TRHSM_EXPORT FXLockableResource {
 public:
  // Starts with no owner.
  FXLockableResource() = default;
  virtual ~FXLockableResource();

  FXLockableResource(const FXLockableResource&) = delete;
  FXLockableResource& operator=(const FXLockableResource&) = delete;

  // One attempt to take the lock without waiting; true when taken.
  [[nodiscard]] virtual bool TryLock() = 0;
  // The base body makes exactly one call of TryLock() and returns its result: the interval is not
  // looked at, so there is no waiting and no retry. Implementations call it explicitly.
  [[nodiscard]] virtual bool TryLock(CTimeInterval interval) = 0;
  // Takes the lock, waiting without limit.
  virtual void Lock() = 0;
  // Releases the lock. REQUIRES: the calling thread holds it.
  virtual void Unlock() = 0;

  // The thread that holds the lock, or 0. Any thread may ask without holding the lock; the answer
  // may be out of date by the time it returns unless the caller is the holder.
  uint32_t GetOwnerThreadId() const;

  // Owner := the calling thread. REQUIRES: the calling thread has just acquired the lock.
  void SetLockOwner();
  // Owner := 0. REQUIRES: the calling thread holds the lock and is about to release it.
  void ClearLockOwner();

 private:
  // Atomic, not for ordering, but because GetOwnerThreadId() reads it from threads that do not
  // hold the lock; relaxed accesses keep that read free of a data race and the field 32 bits wide.
  std::atomic<uint32_t> m_owner{0};
};

// A recursive POSIX mutex that counts its holds: the holding thread may lock it again, and it is
// free once every hold has been released. Thread-safe. Failures of the POSIX calls are silent: a
// failed lock changes nothing, a failed try-lock returns false.
class TRHSM_EXPORT FXMutex : public FXLockableResource {
 public:
  // A free mutex: hold count 0, no owner.
  FXMutex();
  // Releases every hold that is still recorded, then destroys the POSIX mutex.
  // REQUIRES: no other thread holds the mutex or waits for it.
  ~FXMutex() override;

  // One non-blocking attempt; on success adds one hold and records the caller as owner.
  [[nodiscard]] bool TryLock() override;
  // Exactly TryLock(): returns false at once when another thread holds the mutex, whatever the
  // interval.
  [[nodiscard]] bool TryLock(CTimeInterval interval) override;
  // Waits for the mutex; on success adds one hold and records the caller as owner.
  void Lock() override;
  // Releases one hold; the owner is cleared before the last hold is released. Does not check the
  // caller: REQUIRES that the calling thread holds the mutex. On a free mutex it changes nothing.
  void Unlock() override;

  // The number of holds. For diagnostics and tests. REQUIRES: the calling thread holds the mutex,
  // or no thread uses it meanwhile; the count is protected by the mutex itself.
  int32_t GetHoldCount() const { return m_holdCount; }

  // Clears the owner and initialises the POSIX mutex as recursive. Called once, by the
  // constructor; calling it on a live mutex is outside its contract.
  virtual void Init();

 private:
  pthread_mutex_t m_mutex;
  // Written only by the thread that holds m_mutex, right after acquiring and right before
  // releasing it.
  int32_t m_holdCount = 0;
};

// Holds an FXLockableResource while it is locked, and releases it at the end of its scope. Lock()
// and Unlock() are idempotent: the guard takes the resource at most once and releases only what it
// took. A null resource makes it do nothing. Belongs to the thread that made it. Neither copyable
// nor movable.
class TRHSM_EXPORT auto_lock {
 public:
  // Stores `resource` (not owned; it must outlive the guard) and locks it when `lockNow` is true.
  auto_lock(FXLockableResource* resource, bool lockNow);
  // Unlock(). Never throws.
  ~auto_lock();

  auto_lock(const auto_lock&) = delete;
  auto_lock& operator=(const auto_lock&) = delete;

  // Takes the resource unless it is null or this guard already holds it.
  void Lock();
  // Releases the resource if this guard holds it.
  void Unlock();

 private:
  FXLockableResource* m_resource;
  bool m_locked = false;
};

#endif  // TRHSM_FXMUTEX_H_
