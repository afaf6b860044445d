// Whole-or-nothing replacement of a file through a stream on a temporary file beside it.
#include "collect/replacing_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/safe_create.h"
#include "trhsm/KoFile.h"

namespace trhsm {
namespace collect {

FILE* OpenReplacing(const std::string& target, std::string* temporary) {
  temporary->clear();
  struct stat old;
  const bool exists = ::lstat(target.c_str(), &old) == 0;
  // A device or FIFO takes the lines as they come; there is nothing to replace.
  if (exists && !S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode) && !S_ISDIR(old.st_mode)) {
    return fopen_utf(target.c_str(), "w+");
  }
  std::string created;
  const int fd = CreateUniqueFile(target + ".tmp.", &created);
  if (fd < 0) return nullptr;
  if (exists && S_ISREG(old.st_mode)) (void)::fchmod(fd, old.st_mode & 07777);
  FILE* stream = fdopen(fd, "w+");
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(created.c_str());
    errno = error;
    return nullptr;
  }
  *temporary = std::move(created);
  return stream;
}

bool FinishReplacing(FILE* stream, const std::string& target, const std::string& temporary) {
  // An error flag from an earlier write counts too: the file has already lost a line.
  bool ok = std::fflush(stream) == 0 && std::ferror(stream) == 0;
  // Not retried: after a failed fsync the kernel may have dropped the unwritten pages, and a
  // second call would report success for data that never reached the disk.
  if (ok && !temporary.empty()) ok = ::fsync(fileno(stream)) == 0;
  ok = std::fclose(stream) == 0 && ok;
  if (temporary.empty()) return ok;
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Without this the rename may be lost in a crash; the file under the name is whole either way.
  return SyncFolder(FolderOf(target)) == 0;
}

}  // namespace collect
}  // namespace trhsm
