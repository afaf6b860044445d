// KoFileLock: open-file-description locks on lock files, with a per-process table of held files so
// that a thread's nested lock on a file it holds is granted at once instead of waiting on itself.
#include "trhsm/KoFileLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/no_destructor.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFile.h"

namespace {

constexpr const char kLockTag[] = "KoFileLock::lock";
constexpr const char kSourceUnit[] = "KoFileLock";

using Clock = std::chrono::steady_clock;

// One thread's hold on one lock file. The descriptor carries the OFD lock, whose type is exclusive
// while `exclusive` > 0 and shared otherwise; each KoFileLock object on it counts once.
struct Hold {
  uint64_t id;
  dev_t dev;
  ino_t ino;
  std::thread::id thread;
  int fd;
  int shared;
  int exclusive;
};

struct Table {
  std::mutex mu;
  pid_t pid = ::getpid();
  uint64_t nextId = 1;
  std::vector<Hold> holds;  // a handful at most: a linear scan beats any index
};

// The process table, with `mu` held by the caller. A child made by fork inherits the parent's
// entries and descriptors: it closes them without unlocking (the lock belongs to the description
// it shares with the parent, which still relies on it) and starts empty, so that it waits for the
// parent's locks like any other process.
Table& TableLocked(Table& t) {
  pid_t now = ::getpid();
  if (t.pid != now) {
    for (const Hold& h : t.holds) ::close(h.fd);
    t.holds.clear();
    t.pid = now;
  }
  return t;
}

Table& GlobalTable() {
  static trhsm::platform::NoDestructor<Table> table;
  return *table.get();
}

struct flock WholeFile(short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);  // l_pid must be 0 for OFD locks
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  return fl;
}

// Non-blocking change of the OFD lock on fd; 0 or -1 with errno.
int SetLock(int fd, short type) {
  struct flock fl = WholeFile(type);
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Takes the OFD lock on fd: 1 held, 0 the deadline passed (never, without one), -1 error.
int Acquire(int fd, int type, bool forever, Clock::time_point deadline) {
  const short lockType = type == KoFileLock::kExclusive ? F_WRLCK : F_RDLCK;
  if (forever) {
    struct flock fl = WholeFile(lockType);
    while (::fcntl(fd, F_OFD_SETLKW, &fl) != 0) {
      if (errno != EINTR) return -1;
    }
    return 1;
  }
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (SetLock(fd, lockType) == 0) return 1;
    if (errno != EAGAIN && errno != EACCES) return -1;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return 0;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

int OpenLockFile(const char* path, int type) {
  // Lock files sit in folders that others may write: a symbolic link planted under the name is
  // refused (it would create or lock a file elsewhere), and O_NONBLOCK keeps a planted FIFO from
  // blocking the open; the caller refuses anything but a regular file.
  constexpr int kSafe = O_NOFOLLOW | O_NONBLOCK;
  int fd = open_utf(path, O_RDWR | O_CREAT | kSafe, 0666);
  // A shared lock needs only read access, so a lock file that this user may not write still works.
  if (fd < 0 && type == KoFileLock::kShared && (errno == EACCES || errno == EROFS)) {
    const int refused = errno;
    fd = open_utf(path, O_RDONLY | kSafe, 0);
    // No lock file to read means it could not be created: that refusal is the reason to report.
    if (fd < 0 && errno == ENOENT) errno = refused;
  }
  return fd;
}

enum class Nest { kNotHeld, kGranted, kUpgradeRefused, kFailed };

// Grants a nested hold when this thread already holds (dev, ino); *id names the hold.
Nest TryNest(dev_t dev, ino_t ino, int type, uint64_t* id) {
  Table& t = GlobalTable();
  std::lock_guard<std::mutex> guard(t.mu);
  TableLocked(t);
  const std::thread::id self = std::this_thread::get_id();
  for (Hold& h : t.holds) {
    if (h.dev != dev || h.ino != ino || h.thread != self) continue;
    if (type == KoFileLock::kExclusive && h.exclusive == 0) {
      // Waiting here for the other holders could never end when one of them waits for us, so
      // the upgrade is taken only when it is free at once.
      if (SetLock(h.fd, F_WRLCK) != 0) {
        return errno == EAGAIN || errno == EACCES ? Nest::kUpgradeRefused : Nest::kFailed;
      }
    }
    (type == KoFileLock::kExclusive ? h.exclusive : h.shared) += 1;
    *id = h.id;
    return Nest::kGranted;
  }
  return Nest::kNotHeld;
}

uint64_t AddHold(dev_t dev, ino_t ino, int fd, int type) {
  Table& t = GlobalTable();
  std::lock_guard<std::mutex> guard(t.mu);
  TableLocked(t);
  Hold h{t.nextId++,
         dev,
         ino,
         std::this_thread::get_id(),
         fd,
         type == KoFileLock::kShared ? 1 : 0,
         type == KoFileLock::kExclusive ? 1 : 0};
  t.holds.push_back(h);
  return h.id;
}

[[noreturn]] void ThrowUpgradeRefused(const std::string& path) {
  throw KoException(
      kLockTag, "Cannot make the shared lock on " + path + " exclusive while other holders remain",
      kSourceUnit, __LINE__, -1);
}

void CloseQuietly(int fd) {
  int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

KoFileLock::KoFileLock(bool throwOnFailure) : throwOnFailure_(throwOnFailure) {}

KoFileLock::~KoFileLock() { unlock(); }

int KoFileLock::lock(const char* path, int type, int timeoutMs) {
  unlock();
  auto fail = [&](const std::string& what) -> int {
    int error = errno;
    if (throwOnFailure_) {
      throw KoException(kLockTag, what + ": " + std::strerror(error), kSourceUnit, __LINE__, -1);
    }
    errno = error;
    return -1;
  };
  if (path == nullptr || *path == '\0' || (type != kShared && type != kExclusive) ||
      timeoutMs < kWaitForever) {
    errno = EINVAL;
    return fail(std::string("Invalid lock request for ") + (path != nullptr ? path : "(null)"));
  }
  const bool forever = timeoutMs == kWaitForever;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  const std::string name(path);

  for (;;) {
    // Ask the table before opening anything: a thread that holds the file must not wait on itself.
    struct stat before;
    const bool existed = ::stat(path, &before) == 0;
    if (existed) {
      Nest n = TryNest(before.st_dev, before.st_ino, type, &holder_);
      if (n == Nest::kGranted) break;
      if (n == Nest::kUpgradeRefused) ThrowUpgradeRefused(name);
      if (n == Nest::kFailed) return fail("Failed to lock file " + name);
    }

    int fd = OpenLockFile(path, type);
    if (fd < 0) return fail("Failed to open lock file " + name);
    struct stat opened;
    if (::fstat(fd, &opened) != 0) {
      CloseQuietly(fd);
      return fail("Failed to stat lock file " + name);
    }
    if (!S_ISREG(opened.st_mode)) {
      CloseQuietly(fd);
      errno = EINVAL;
      return fail("Failed to open lock file " + name);
    }
    // The path may have been replaced since the stat above by a file this thread holds. Closing
    // our new descriptor then is safe: the hold's lock lives on its own open file description.
    if (!existed || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
      Nest n = TryNest(opened.st_dev, opened.st_ino, type, &holder_);
      if (n != Nest::kNotHeld) {
        CloseQuietly(fd);
        if (n == Nest::kGranted) break;
        if (n == Nest::kUpgradeRefused) ThrowUpgradeRefused(name);
        return fail("Failed to lock file " + name);
      }
    }

    int rc = Acquire(fd, type, forever, deadline);
    if (rc != 1) {
      CloseQuietly(fd);
      return rc == 0 ? 0 : fail("Failed to lock file " + name);
    }
    // A lock file unlinked or replaced while we waited no longer guards anything: start over on
    // whatever the path names now.
    struct stat after;
    if (::stat(path, &after) != 0 || after.st_dev != opened.st_dev ||
        after.st_ino != opened.st_ino) {
      CloseQuietly(fd);
      continue;
    }
    try {
      holder_ = AddHold(opened.st_dev, opened.st_ino, fd, type);
    } catch (...) {
      CloseQuietly(fd);  // out of memory: closing the description releases its lock
      throw;
    }
    break;
  }
  type_ = type;
  return 1;
}

void KoFileLock::unlock() {
  if (holder_ == 0) return;
  Table& t = GlobalTable();
  std::lock_guard<std::mutex> guard(t.mu);
  TableLocked(t);
  for (auto it = t.holds.begin(); it != t.holds.end(); ++it) {
    if (it->id != holder_) continue;
    (type_ == kExclusive ? it->exclusive : it->shared) -= 1;
    if (it->exclusive == 0 && it->shared == 0) {
      // Unlock before closing: a forked child may still share the description, and the lock must
      // end now, not when the last copy of the descriptor closes.
      SetLock(it->fd, F_UNLCK);
      ::close(it->fd);
      t.holds.erase(it);
    } else if (type_ == kExclusive && it->exclusive == 0) {
      // The outer holds were shared: let other readers in again. Turning our own write lock into a
      // read lock meets no conflict.
      SetLock(it->fd, F_RDLCK);
    }
    break;
  }
  holder_ = 0;
}
