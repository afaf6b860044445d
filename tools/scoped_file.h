// Scoped descriptors and temporary files for the programs that replace files beside themselves.
// Everything is done relative to one open folder, so that a link planted in the folder, or a
// folder swapped for another while the program runs, cannot send a write elsewhere.
#ifndef TRHSM_TOOLS_SCOPED_FILE_H_
#define TRHSM_TOOLS_SCOPED_FILE_H_

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

namespace trhsm_tools {

// Owns a descriptor; closes it on destruction unless Close() was called.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Gives the descriptor up to the caller, who closes it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now, reporting the result (a delayed write error shows here on some file systems).
  // Not retried on EINTR: the descriptor is gone either way, and the outcome of its pending
  // writes is unknown, so that counts as a failure too.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// One fsync, never retried: after a failed fsync (EINTR included) the kernel may have dropped the
// dirty pages and a second fsync would report success for data that is not on disk.
inline bool SyncOnce(int fd) { return ::fsync(fd) == 0; }

// Opens folder `path` for the *at() calls below; -1 with errno on failure. With `followLast`
// false, a last component that is a symbolic link is refused (ELOOP or ENOTDIR).
inline int OpenFolder(const std::string& path, bool followLast) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLast ? 0 : O_NOFOLLOW);
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

namespace scoped_file_internal {

// Six name characters; unpredictable when the kernel's generator answers, so that another user
// cannot plant the names in advance (a planted name only costs another try: the open is O_EXCL).
inline std::string RandomSuffix(uint64_t salt) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    struct timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    bits = (static_cast<uint64_t>(now.tv_nsec) << 20) ^ static_cast<uint64_t>(::getpid()) ^
           (salt * 0x9E3779B97F4A7C15ull);
  }
  std::string out;
  for (int i = 0; i < 6; ++i) {
    out += kAlphabet[bits % 62];
    bits /= 62;
  }
  return out;
}

}  // namespace scoped_file_internal

// The number of characters CreateTemporaryAt appends to its prefix.
constexpr size_t kTemporarySuffixLength = 6;

// True when `c` is one of the characters CreateTemporaryAt puts after its prefix.
inline bool IsTemporarySuffixChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Creates a new, empty file "<prefix><6 letters or digits>" in the folder open at `dirFd`, mode
// 0600, opened for reading and writing. O_EXCL|O_NOFOLLOW: an existing name, a planted symbolic
// link included, is never opened but tried again under another name. Returns the descriptor and
// sets *name to the entry's name; -1 with errno on failure.
inline int CreateTemporaryAt(int dirFd, const std::string& prefix, std::string* name) {
  for (uint64_t attempt = 0; attempt < 100; ++attempt) {
    *name = prefix + scoped_file_internal::RandomSuffix(attempt);
    int fd;
    do {
      fd = ::openat(dirFd, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// A temporary file until it is renamed into place: removed on destruction unless kept, so no
// failure path leaves it behind. It is removed only while the name still holds the file that was
// created (by device and inode), so a file someone put in its place is left alone.
// REQUIRES: `dirFd` stays open for the object's lifetime.
class Temporary {
 public:
  // `fd` is the file's descriptor, used only to learn its identity.
  Temporary(int dirFd, std::string name, int fd) : dirFd_(dirFd), name_(std::move(name)) {
    struct stat st;
    if (::fstat(fd, &st) == 0) {
      dev_ = st.st_dev;
      ino_ = st.st_ino;
      known_ = true;
    }
  }
  ~Temporary() {
    if (!kept_ && known_ && IsStill()) ::unlinkat(dirFd_, name_.c_str(), 0);
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  void Keep() { kept_ = true; }
  const std::string& name() const { return name_; }
  // True when the name still holds the created file, a regular file with no other link; its
  // status is then in *seen when that is given.
  bool IsStill(struct stat* seen = nullptr) const {
    struct stat own;
    struct stat& st = seen != nullptr ? *seen : own;
    return known_ && ::fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_ && st.st_nlink == 1;
  }

 private:
  int dirFd_;
  std::string name_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool known_ = false;
  bool kept_ = false;
};

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_SCOPED_FILE_H_
