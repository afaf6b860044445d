// Reading the list file whole, and replacing it through a synced temporary file and a rename.
#include "migrated/tree_list_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "foundation/safe_create.h"
#include "migrated/tree_list_format.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFile.h"

namespace trhsm {
namespace migrated {
namespace {

constexpr const char kSourceUnit[] = "TRHSMMigratedDirTrees";

// Throws with errno's text; errno is read before the message is built, which may allocate.
template <typename Message>
[[noreturn]] void Throw(const char* tag, int line, Message message) {
  const int error = errno;
  throw KoException(tag, message() + ": " + std::strerror(error), kSourceUnit, line, -1);
}

// Closes fd on every way out unless released.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  // Closes now and reports close's result; 0 or -1 with errno.
  int Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// Removes the temporary file on every way out unless the rename took it.
class TempRemover {
 public:
  explicit TempRemover(const std::string& path) : path_(path) {}
  ~TempRemover() {
    if (armed_) ::unlink(path_.c_str());
  }
  TempRemover(const TempRemover&) = delete;
  TempRemover& operator=(const TempRemover&) = delete;
  void Disarm() { armed_ = false; }

 private:
  const std::string& path_;
  bool armed_ = true;
};

}  // namespace

std::string ReadListFile(const std::string& listPath, const char* tag) {
  struct stat st;
  if (::stat(listPath.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::string();
    Throw(tag, __LINE__, [&] { return "Failed to stat file " + listPath; });
  }
  int fd = open_utf(listPath.c_str(), O_RDONLY, 0);
  if (fd < 0)
    Throw(tag, __LINE__, [&] { return "Failed to open file " + listPath + " for reading"; });
  FdCloser closer(fd);
  std::string text;
  char chunk[16384];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    // Half a list would answer "not migrated" for trees that are recorded: fail instead.
    if (n < 0) Throw(tag, __LINE__, [&] { return "Failed to read file " + listPath; });
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

void ReplaceListFile(const std::string& listPath, const std::string& text, const char* tag) {
  const std::string tempPath = listPath + tree_list::kTempSuffix;
  // Whatever holds the temporary name (a file left by a writer that died, or a link planted by
  // another user of the folder) is removed, never followed or truncated: we hold the exclusive
  // lock, and the file is then created afresh, exclusively. An entry we may not remove fails the
  // save with unlink's reason.
  if (::unlink(tempPath.c_str()) != 0 && errno != ENOENT)
    Throw(tag, __LINE__, [&] { return "Failed to open file " + listPath + " for writing"; });
  int fd = open_utf(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  if (fd < 0)
    Throw(tag, __LINE__, [&] { return "Failed to open file " + listPath + " for writing"; });
  FdCloser closer(fd);
  TempRemover remover(tempPath);

  // The new list keeps the permission bits of the one it replaces.
  struct stat old;
  if (::stat(listPath.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    (void)::fchmod(fd, old.st_mode & 07777);
  }

  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      Throw(tag, __LINE__, [&] { return "Failed to write file " + tempPath + " for " + listPath; });
    p += n;
    left -= static_cast<size_t>(n);
  }
  // Not retried on failure, even on EINTR: the kernel may have dropped the unwritten pages with
  // the error, and a second fsync would then report success for a list that never reached the disk.
  if (::fsync(fd) != 0) {
    Throw(tag, __LINE__, [&] { return "Failed to sync file " + tempPath + " for " + listPath; });
  }
  // A failing close can report a write error that the writes above did not.
  if (closer.Close() != 0) {
    Throw(tag, __LINE__, [&] { return "Failed to close file " + tempPath + " for " + listPath; });
  }
  if (std::rename(tempPath.c_str(), listPath.c_str()) != 0) {
    Throw(tag, __LINE__, [&] { return "Failed to rename " + tempPath + " -> " + listPath; });
  }
  remover.Disarm();

  // Without this the rename itself may be lost in a crash, bringing the old list back.
  const std::string folder = FolderOf(listPath);
  if (SyncFolder(folder) != 0)
    Throw(tag, __LINE__, [&] { return "Failed to sync folder " + folder; });
}

}  // namespace migrated
}  // namespace trhsm
