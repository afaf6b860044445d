// Lock files shared between processes.
//
// A KoFileLock holds a shared or exclusive lock on a whole lock file until it is destroyed or
// unlocked. Between processes the lock is an open-file-description lock (F_OFD_SETLK), which
// belongs to the descriptor the lock holds open, so no other descriptor that the process opens or
// closes on the same file can drop it. Within a process a table of held lock files, keyed by device
// and inode, grants a thread that already holds a file a nested lock at once; any other thread
// waits as another process would.
#ifndef TRHSM_KOFILELOCK_H_
#define TRHSM_KOFILELOCK_H_

#include <cstdint>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT KoFileLock {
 public:
  enum : int { kShared = 0, kExclusive = 1 };
  enum : int { kWaitForever = -1 };

  // `throwOnFailure`: true makes lock() throw KoException (code -1, tag "KoFileLock::lock") where
  // it would otherwise return -1. Locks nothing yet.
  explicit KoFileLock(bool throwOnFailure);
  // Releases the lock, if one is held. Never throws.
  ~KoFileLock();
  KoFileLock(const KoFileLock&) = delete;
  KoFileLock& operator=(const KoFileLock&) = delete;

  // Locks the lock file `path` (created with mode 0666 when missing) shared (type 0) or exclusive
  // (type 1). `timeoutMs` -1 waits without limit; 0 tries once; a positive value keeps trying until
  // that many milliseconds have passed. A lock this object already held is released first.
  // Returns 1 when the lock is held, 0 when the timeout passed without it, and -1 (errno set) when
  // the path is null or empty, the type or timeout is invalid, or the file cannot be opened or
  // locked; with throwOnFailure the -1 cases throw instead.
  // A thread that already holds the file (by any path naming the same device and inode) gets the
  // lock at once, whatever the timeout; an exclusive request nested in shared holds only is granted
  // when no other holder (thread or process) remains, and throws KoException otherwise, whatever
  // throwOnFailure says, because waiting could never end.
  // An object is used by one thread at a time; different objects may be used by any threads.
  [[nodiscard]] int lock(const char* path, int type, int timeoutMs);

  // Releases the lock now. Nested holds of the same thread stay in force: the file is unlocked for
  // others only when its last hold in this thread ends, and an exclusive hold nested in a shared
  // one turns back into a shared lock when it ends. Does nothing when no lock is held. Never
  // throws.
  void unlock();

  // True while this object holds a lock.
  bool isLocked() const { return holder_ != 0; }

 private:
  bool throwOnFailure_;
  uint64_t holder_ = 0;  // id of this thread's hold in the process table; 0 when none
  int type_ = kShared;
};

#endif  // TRHSM_KOFILELOCK_H_
