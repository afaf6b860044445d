// Crash-safe replacement of a file by its stub record, in the file's own open folder.
#include "examples/stubjob/stub_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/scoped_file.h"
#include "tools/xattrs.h"

namespace stubjob {
namespace {

using trhsm_tools::Fd;
using trhsm_tools::SyncOnce;
using trhsm_tools::Temporary;

// A fixed short prefix: a temporary's name never grows with the file's, so a file whose name
// takes the whole 255 bytes a folder entry allows is stubbed like any other.
constexpr char kTempPrefix[] = ".trhsm-stub-tmp.";
constexpr uint64_t kMaxStubLength = 65535;

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// True when `name` is a temporary name this job makes: the prefix and the random suffix only.
bool IsTemporaryName(const char* name) {
  const size_t prefix = sizeof(kTempPrefix) - 1;
  if (std::strncmp(name, kTempPrefix, prefix) != 0 ||
      std::strlen(name) != prefix + trhsm_tools::kTemporarySuffixLength) {
    return false;
  }
  for (const char* p = name + prefix; *p != '\0'; ++p) {
    if (!trhsm_tools::IsTemporarySuffixChar(*p)) return false;
  }
  return true;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == b.st_nlink &&
         a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void RemoveStaleTemporaries(const std::string& folder) {
  const int fd = trhsm_tools::OpenFolder(folder, false);
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(dir)) {
    if (!IsTemporaryName(e->d_name)) continue;
    struct stat st;
    if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid() && st.st_nlink == 1 &&
        static_cast<uint64_t>(st.st_size) <= kMaxStubLength) {
      stale.push_back(e->d_name);
    }
  }
  for (const std::string& name : stale) ::unlinkat(fd, name.c_str(), 0);
  ::closedir(dir);  // closes fd too
}

bool ReplaceWithStub(const std::string& path, const std::string& record, const struct stat& st,
                     uint64_t* freed, std::string* error) {
  // The stub is made and renamed in this one folder, which must not be a symbolic link, and
  // nothing in it is followed: a link planted there cannot redirect the write or the rename.
  const std::string folder = FolderOf(path);
  const std::string base = BaseOf(path);
  Fd dir(trhsm_tools::OpenFolder(folder, false));
  if (dir.get() < 0) {
    *error = SysError("open folder", folder);
    return false;
  }
  // The file itself, for its extended attributes; reached in the open folder, and only while it
  // is still the file that was checked.
  Fd file(::openat(dir.get(), base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat fst;
  if (file.get() < 0 || ::fstat(file.get(), &fst) != 0) {
    *error = SysError("open", path);
    return false;
  }
  if (!Unchanged(st, fst)) {
    *error = "changed since backup (while it was being stubbed)";
    return false;
  }
  std::string name;
  Fd fd(trhsm_tools::CreateTemporaryAt(dir.get(), kTempPrefix, &name));
  if (fd.get() < 0) {
    *error = SysError("create temporary file in", folder);
    return false;
  }
  Temporary temporary(dir.get(), name, fd.get());
  name = folder + "/" + name;  // for messages
  if (!WriteAll(fd.get(), record.data(), record.size())) {
    *error = SysError("write", name);
    return false;
  }
  // Owner first: chown clears set-user-id bits that the mode then restores. Attributes after the
  // mode (an ACL sets the group bits), times last (setting attributes is a change).
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
    *error = SysError("give the file's owner to", name);
    return false;
  }
  if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
    *error = SysError("set the mode of", name);
    return false;
  }
  std::string xattrError;
  if (!trhsm_tools::CopyXattrs(file.get(), fd.get(), &xattrError)) {
    *error = xattrError + " (" + name + ")";
    return false;
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(fd.get(), times) != 0) {
    *error = SysError("set the times of", name);
    return false;
  }
  if (!SyncOnce(fd.get())) {
    *error = SysError("fsync", name);
    return false;
  }
  struct stat stub;
  const blkcnt_t stubBlocks = ::fstat(fd.get(), &stub) == 0 ? stub.st_blocks : 0;
  if (!fd.Close()) {
    *error = SysError("close", name);
    return false;
  }
  // The file may have been written while the stub was made; never release newer data. Checked
  // in the open folder, so a folder swapped since the first look shows as another file.
  struct stat now;
  if (::fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !Unchanged(st, now)) {
    *error = "changed since backup (while it was being stubbed)";
    return false;
  }
  if (!temporary.IsStill()) {
    *error = "temporary file " + name + " was replaced while the stub was written";
    return false;
  }
  if (::renameat(dir.get(), temporary.name().c_str(), dir.get(), base.c_str()) != 0) {
    *error = SysError("rename " + name + " ->", path);
    return false;
  }
  temporary.Keep();
  *freed = st.st_blocks > stubBlocks ? static_cast<uint64_t>(st.st_blocks - stubBlocks) * 512 : 0;
  if (!SyncOnce(dir.get())) {
    *error = "stubbed, but " + SysError("sync folder", folder);
    return false;
  }
  return true;
}

}  // namespace stubjob
