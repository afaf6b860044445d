// A process-wide critical section over the platform's handle, and the scoped guard that holds it.
#ifndef TRHSM_KOCRITICALSECTION_H_
#define TRHSM_KOCRITICALSECTION_H_

#include <memory>

#include "trhsm/trhsm_export.h"

class KoCriticalSectionH;

// Owns one platform critical-section handle for its whole life. Thread-safe: any thread may enter
// and leave it. Whether a thread may enter it again while inside is the handle's business; the
// platform's handle is not recursive. Neither copyable nor movable.
class TRHSM_EXPORT KoCriticalSection {
 public:
  // Allocates the handle. Throws the C string "Not enough memory to initialize KoCriticalSection"
  // (type const char*) when it cannot be allocated; the object is then not created.
  KoCriticalSection();
  // Destroys the handle and leaves the pointer null.
  // REQUIRES: no thread is inside or waiting to enter.
  ~KoCriticalSection();

  KoCriticalSection(const KoCriticalSection&) = delete;
  KoCriticalSection& operator=(const KoCriticalSection&) = delete;

  // Passes `wait` unchanged to the handle and returns its result: with the platform's handle, true
  // blocks until entered and returns 1; false makes one attempt and returns 1 if entered, 0 if not.
  int enter(bool wait);
  // Leaves the section. REQUIRES: the calling thread is inside.
  void leave();

 private:
  std::unique_ptr<KoCriticalSectionH> m_handle;
};

// Holds a KoCriticalSection for its own lifetime. A null pointer makes it do nothing. Belongs to
// the thread that made it. Neither copyable nor movable.
class TRHSM_EXPORT KoCriticalSectionLock {
 public:
  // Enters `section` with enter(true) unless it is null. The section must outlive the guard.
  explicit KoCriticalSectionLock(KoCriticalSection* section);
  // Leaves the section unless it is null. Never throws.
  ~KoCriticalSectionLock();

  KoCriticalSectionLock(const KoCriticalSectionLock&) = delete;
  KoCriticalSectionLock& operator=(const KoCriticalSectionLock&) = delete;

 private:
  KoCriticalSection* m_section;
};

#endif  // TRHSM_KOCRITICALSECTION_H_
