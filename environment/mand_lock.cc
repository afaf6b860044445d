// The mandatory-lock probe: does another process hold a write lock on a file set up for
// mandatory locking?
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "trhsm/EvDebug.h"
#include "trhsm/KoFile.h"
#include "trhsm/TRHSMEnvironment.h"

namespace {

constexpr const char kTag[] = "trhsmIsMandLocked";

// Closes the descriptor at the end of the scope, on every way out.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { close(fd_); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

// F_GETLK over the whole file for a lock of `type`; retried on EINTR. On success *found is the type
// of a conflicting lock of another process, or F_UNLCK.
bool ProbeWholeFile(int fd, short type, short* found) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  int rc;
  do {
    rc = fcntl(fd, F_GETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  *found = lock.l_type;
  return true;
}

}  // namespace

int trhsmIsMandLocked(const char* path, struct stat* st) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  EvDebug log;
  struct stat own;
  if (st == nullptr || S_ISLNK(st->st_mode)) {
    if (stat(path, &own) != 0) {
      log.Debug(kTag, "Failed to stat %s: %s", path, strerror(errno));
      return -1;
    }
    st = &own;
  }
  const bool mandatory = (st->st_mode & S_ISGID) != 0 && (st->st_mode & S_IXGRP) == 0;
  if (!mandatory) return 0;

  const int fd = open_utf(path, O_RDWR, 0666);
  if (fd < 0) {
    log.Debug(kTag, "Failed to open %s for writing: %s", path, strerror(errno));
    return -1;
  }
  FdCloser closer(fd);

  // A quick test from offset 0 to the end first: it fails only when another process holds a lock.
  if (lockf(fd, F_TEST, 0) == 0) return 0;

  short found = F_UNLCK;
  if (!ProbeWholeFile(fd, F_WRLCK, &found)) {
    log.Debug(kTag, "fcntl(%s, F_GETLK) failed: %s", path, strerror(errno));
    return -1;
  }
  if (found == F_WRLCK) return 1;
  // The kernel reports only one conflicting lock, and a read lock found first can hide a write
  // lock elsewhere in the file. A read-lock probe conflicts with write locks alone.
  if (found == F_RDLCK) {
    if (!ProbeWholeFile(fd, F_RDLCK, &found)) {
      log.Debug(kTag, "fcntl(%s, F_GETLK) failed: %s", path, strerror(errno));
      return -1;
    }
    if (found == F_WRLCK) return 1;
  }
  return 0;
}
