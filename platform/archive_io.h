// Internals shared by the archive's writer (platform/archive_writer.cc) and its readers
// (platform/archive.cc): descriptors, EINTR-safe I/O and the header decoder.
#ifndef TRHSM_PLATFORM_ARCHIVE_IO_H_
#define TRHSM_PLATFORM_ARCHIVE_IO_H_

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/archive.h"

namespace trhsm {
namespace platform {
namespace archive_io {

constexpr size_t kChunkSize = 1 << 16;

inline std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Owns one descriptor; closes it on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    // close(2) is not retried on EINTR: the descriptor is released either way.
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    Fd old(fd_);  // closes the descriptor held so far
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Repeats `call` while a signal interrupts it (-1 with EINTR); the first other result. Never
// used for fsync (see SyncOnce).
template <typename Call>
ssize_t RetryOnEintr(const Call& call) {
  decltype(call()) r;
  do {
    r = call();
  } while (r < 0 && errno == EINTR);
  return r;
}

// openat(2) retried on EINTR; `dirFd` may be AT_FDCWD.
inline int OpenAtRetry(int dirFd, const std::string& name, int flags, mode_t mode = 0) {
  return static_cast<int>(RetryOnEintr([&] { return ::openat(dirFd, name.c_str(), flags, mode); }));
}

// Reads exactly n bytes at `offset`: false with *error set on a read error, or to `cutShort` when
// the file ends first.
inline bool PreadExact(int fd, char* buf, size_t n, off_t offset, const std::string& path,
                       const std::string& cutShort, std::string* error) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = RetryOnEintr(
        [&] { return ::pread(fd, buf + done, n - done, offset + static_cast<off_t>(done)); });
    if (r < 0) {
      *error = ErrnoText("read", path);
      return false;
    }
    if (r == 0) {
      *error = cutShort;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

inline bool WriteFull(int fd, const char* buf, size_t n) {
  while (n > 0) {
    const ssize_t w = RetryOnEintr([&] { return ::write(fd, buf, n); });
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// One fsync, never retried: after a failed fsync (EINTR included) the kernel may have dropped the
// dirty pages, and a second fsync would report success for bytes that are not on disk.
inline bool SyncOnce(int fd) { return ::fsync(fd) == 0; }

inline uint32_t FinishCrc(uint32_t reg) { return ~reg; }

// Checks and decodes the header at `offset` of the archive file open at `fd` (`path` for
// messages), which is `fileSize` bytes long: false with *error set when no intact header of a
// known version is there or the size it declares runs past the file's end.
bool ReadHeaderAt(int fd, const std::string& path, uint64_t fileSize, int64_t offset, CopyHeader* h,
                  std::string* error);

}  // namespace archive_io
}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_ARCHIVE_IO_H_
