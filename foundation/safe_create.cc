// Exclusive creation of unique and of fixed-name files, and folder sync.
#include "foundation/safe_create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace trhsm {
namespace {

constexpr char kNameChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int kNameTries = 100;

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int CloseKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

}  // namespace

int CreateUniqueFile(const std::string& prefix, std::string* path) {
  // Seeded per call: a fork shares no state with its parent, and names need not be secret, only
  // hard to take in advance (a taken name just costs another try).
  std::random_device device;
  std::mt19937_64 random((static_cast<uint64_t>(device()) << 32) ^ device() ^
                         static_cast<uint64_t>(::getpid()));
  std::uniform_int_distribution<size_t> pick(0, sizeof kNameChars - 2);
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name.push_back(kNameChars[pick(random)]);
    int fd = OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      *path = std::move(name);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

int OpenEmptyOwnFile(const std::string& path) {
  // O_NONBLOCK: opening a planted FIFO must not wait for a reader.
  int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd >= 0) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return CloseKeepingErrno(fd);
    if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid()) {
      if (::ftruncate(fd, 0) != 0) return CloseKeepingErrno(fd);
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return CloseKeepingErrno(fd);
      return fd;
    }
    ::close(fd);
  } else if (errno != ELOOP) {
    return -1;
  }
  // Something not ours holds the name: replace the entry. Where it may not be removed (another
  // user's file in a sticky folder), the exclusive create below fails and so does the call.
  (void)::unlink(path.c_str());
  return OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int SyncFolder(const std::string& folder) {
  int fd = OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return -1;
  // Not retried, even on EINTR: after a failed fsync the kernel may have dropped the dirty state,
  // so a second call could succeed without anything having reached the disk.
  if (::fsync(fd) != 0) return CloseKeepingErrno(fd);
  // Nothing was written through this descriptor, so a failing close loses nothing.
  ::close(fd);
  return 0;
}

}  // namespace trhsm
