// The recalled-identity records beside the archived copies (platform/archive_identity.h).
#include "platform/archive_identity.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "platform/archive.h"
#include "platform/archive_io.h"

namespace trhsm {
namespace platform {
namespace {

using archive_io::ErrnoText;
using archive_io::Fd;

constexpr char kFormat[] = "recalled 1 %" SCNu64 " %" SCNd64 " %" SCNu32 "%c";

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

std::string RecalledIdentityPath(const std::string& root, int64_t group, int64_t fileId,
                                 int64_t offset) {
  return ArchiveFilePath(root, group, fileId) + "." + std::to_string(offset) + ".recalled";
}

bool RecordRecalledIdentity(const std::string& root, int64_t group, int64_t fileId, int64_t offset,
                            const struct stat& st, std::string* error) {
  const std::string path = RecalledIdentityPath(root, group, fileId, offset);
  uint32_t salt = 0;
  if (::getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt)) {
    salt = static_cast<uint32_t>(::getpid());
  }
  const std::string temporary = path + ".tmp" + std::to_string(salt);
  char line[96];
  const int n =
      std::snprintf(line, sizeof line, "recalled 1 %" PRIu64 " %" PRId64 " %" PRIu32 "\n",
                    static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_ctim.tv_sec),
                    static_cast<uint32_t>(st.st_ctim.tv_nsec));
  Fd fd(archive_io::OpenAtRetry(AT_FDCWD, temporary,
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    *error = ErrnoText("create", temporary);
    return false;
  }
  bool ok = archive_io::WriteFull(fd.get(), line, static_cast<size_t>(n)) &&
            archive_io::SyncOnce(fd.get());
  ok = ::close(fd.release()) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("write", path);
    ::unlink(temporary.c_str());
    return false;
  }
  Fd folder(archive_io::OpenAtRetry(AT_FDCWD, FolderOf(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || !archive_io::SyncOnce(folder.get())) {
    *error = ErrnoText("sync folder of", path);
    return false;
  }
  return true;
}

size_t RecordRecalledIdentities(const std::string& root,
                                const std::vector<RecalledRecord>& records) {
  struct Written {
    std::string path, temporary;
  };
  std::vector<Written> written;
  uint32_t salt = 0;
  if (::getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt)) {
    salt = static_cast<uint32_t>(::getpid());
  }
  for (const RecalledRecord& r : records) {
    const std::string path = RecalledIdentityPath(root, r.group, r.fileId, r.offset);
    const std::string temporary = path + ".tmp" + std::to_string(salt);
    char line[96];
    const int n =
        std::snprintf(line, sizeof line, "recalled 1 %" PRIu64 " %" PRId64 " %" PRIu32 "\n",
                      static_cast<uint64_t>(r.st.st_ino), static_cast<int64_t>(r.st.st_ctim.tv_sec),
                      static_cast<uint32_t>(r.st.st_ctim.tv_nsec));
    Fd fd(archive_io::OpenAtRetry(AT_FDCWD, temporary,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0) continue;
    const bool ok = archive_io::WriteFull(fd.get(), line, static_cast<size_t>(n));
    if (::close(fd.release()) != 0 || !ok) {
      ::unlink(temporary.c_str());
      continue;
    }
    written.push_back({path, temporary});
  }
  // One sync of the file system for the records' bytes, through each group folder met (one sync
  // does for all on one file system; a folder's sync after the first costs little).
  const auto syncFolders = [&] {
    std::vector<std::string> synced;
    for (const Written& w : written) {
      const std::string folder = FolderOf(w.path);
      bool seen = false;
      for (const std::string& f : synced) seen = seen || f == folder;
      if (seen) continue;
      Fd fd(archive_io::OpenAtRetry(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (fd.get() < 0 || ::syncfs(fd.get()) != 0) return false;
      synced.push_back(folder);
    }
    return true;
  };
  if (!syncFolders()) {
    for (const Written& w : written) ::unlink(w.temporary.c_str());
    return 0;
  }
  size_t recorded = 0;
  for (const Written& w : written) {
    if (::rename(w.temporary.c_str(), w.path.c_str()) == 0) {
      ++recorded;
    } else {
      ::unlink(w.temporary.c_str());
    }
  }
  return syncFolders() ? recorded : 0;
}

bool ReadRecalledIdentity(const std::string& root, int64_t group, int64_t fileId, int64_t offset,
                          RecalledIdentity* identity) {
  const std::string path = RecalledIdentityPath(root, group, fileId, offset);
  Fd fd(archive_io::OpenAtRetry(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  char text[96] = {};
  if (fd.get() < 0) return false;
  const ssize_t n =
      archive_io::RetryOnEintr([&] { return ::read(fd.get(), text, sizeof text - 1); });
  if (n <= 0) return false;
  RecalledIdentity id;
  char end = 0;
  if (std::sscanf(text, kFormat, &id.inode, &id.changeTime, &id.changeTimeNsec, &end) != 4 ||
      end != '\n' || id.changeTimeNsec >= 1000000000u) {
    return false;
  }
  *identity = id;
  return true;
}

}  // namespace platform
}  // namespace trhsm
