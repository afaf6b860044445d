// FXMutex, a hold-counting recursive POSIX mutex, and the auto_lock guard.
#include "trhsm/FXMutex.h"

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(pthread_self()); }

FXLockableResource::~FXLockableResource() = default;

bool FXLockableResource::TryLock(CTimeInterval /*interval*/) { return TryLock(); }

uint32_t FXLockableResource::GetOwnerThreadId() const {
  return m_owner.load(std::memory_order_relaxed);
}

void FXLockableResource::SetLockOwner() {
  m_owner.store(GetCurrentThreadId(), std::memory_order_relaxed);
}

void FXLockableResource::ClearLockOwner() { m_owner.store(0, std::memory_order_relaxed); }

FXMutex::FXMutex() { FXMutex::Init(); }

FXMutex::~FXMutex() {
  // A holder that goes away with the mutex still held must not leave it locked.
  while (m_holdCount > 0) FXMutex::Unlock();
  pthread_mutex_destroy(&m_mutex);
}

void FXMutex::Init() {
  ClearLockOwner();
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m_mutex, &attr);
  // The mutex keeps no reference to the attribute object.
  pthread_mutexattr_destroy(&attr);
}

bool FXMutex::TryLock() {
  if (pthread_mutex_trylock(&m_mutex) != 0) return false;
  ++m_holdCount;
  SetLockOwner();
  return true;
}

bool FXMutex::TryLock(CTimeInterval interval) { return FXLockableResource::TryLock(interval); }

void FXMutex::Lock() {
  if (pthread_mutex_lock(&m_mutex) != 0) return;
  ++m_holdCount;
  SetLockOwner();
}

void FXMutex::Unlock() {
  // With no recorded hold no thread holds the mutex, so unlocking could only fail with EPERM;
  // skipping it changes nothing and spares the mutex a misuse that race detectors report.
  if (m_holdCount == 0) return;
  --m_holdCount;
  // Cleared while still held, so another thread that takes the mutex never finds a stale owner.
  if (m_holdCount <= 0) ClearLockOwner();
  pthread_mutex_unlock(&m_mutex);
}

auto_lock::auto_lock(FXLockableResource* resource, bool lockNow) : m_resource(resource) {
  if (lockNow) Lock();
}

auto_lock::~auto_lock() {
  // A destructor that lets an exception out during unwinding ends the process.
  try {
    Unlock();
  } catch (...) {
  }
}

void auto_lock::Lock() {
  if (m_resource == nullptr || m_locked) return;
  m_resource->Lock();
  m_locked = true;
}

void auto_lock::Unlock() {
  if (m_resource == nullptr || !m_locked) return;
  m_resource->Unlock();
  m_locked = false;
}
