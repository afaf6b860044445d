// Crash-safe replacement of files by their stub records, a group at a time, each in its own open
// folder.
#include "examples/stubjob/stub_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "tools/scoped_file.h"
#include "tools/xattrs.h"
#include "trhsm/trhsm.h"

namespace stubjob {
namespace {

using trhsm_tools::Fd;
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

struct StubGroup::Folder {
  Folder(std::string p, int f) : path(std::move(p)), fd(f) {}
  std::string path;
  Fd fd;
  dev_t dev = 0;
};

struct StubGroup::Item {
  std::string path, base;
  struct stat st;
  Folder* folder = nullptr;
  std::unique_ptr<Temporary> temporary;
};

StubGroup::StubGroup(size_t maxFiles, uint64_t maxBytes, size_t maxFolders)
    : maxFiles_(maxFiles),
      maxBytes_(maxBytes),
      maxFolders_(maxFolders),
      uid_(::geteuid()),
      gid_(::getegid()) {}

StubGroup::~StubGroup() { Clear(); }

void StubGroup::Clear() {
  items_.clear();  // removes the temporaries not kept, through their folders' descriptors
  folders_.clear();
  bytes_ = 0;
}

int StubGroup::Stage(const std::string& path, const std::string& record, const struct stat& st,
                     std::string* error) {
  auto item = std::make_unique<Item>();
  item->path = path;
  item->base = BaseOf(path);
  item->st = st;
  // The stub is made and renamed in this one folder, which must not be a symbolic link, and
  // nothing in it is followed: a link planted there cannot redirect the write or the rename. The
  // folder stays open until the commit, so a folder swapped meanwhile shows as another file.
  const std::string folder = FolderOf(path);
  for (const auto& f : folders_) {
    if (f->path == folder) item->folder = f.get();
  }
  if (item->folder == nullptr) {
    auto f = std::make_unique<Folder>(folder, trhsm_tools::OpenFolder(folder, false));
    struct stat fst;
    if (f->fd.get() < 0 || ::fstat(f->fd.get(), &fst) != 0) {
      *error = SysError("open folder", folder);
      return -1;
    }
    f->dev = fst.st_dev;
    folders_.push_back(std::move(f));
    item->folder = folders_.back().get();
  }
  const int dir = item->folder->fd.get();
  // The file itself, for its extended attributes; reached in the open folder, and only while it
  // is still the file that was checked.
  Fd file(::openat(dir, item->base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat fst;
  if (file.get() < 0 || ::fstat(file.get(), &fst) != 0) {
    *error = SysError("open", path);
    return -1;
  }
  if (!Unchanged(st, fst)) {
    *error = "changed since backup (while it was being stubbed)";
    return -1;
  }
  std::string name;
  Fd fd(trhsm_tools::CreateTemporaryAt(dir, kTempPrefix, &name));
  if (fd.get() < 0) {
    *error = SysError("create temporary file in", folder);
    return -1;
  }
  item->temporary = std::make_unique<Temporary>(dir, name, fd.get());
  name = folder + "/" + name;  // for messages
  if (!WriteAll(fd.get(), record.data(), record.size())) {
    *error = SysError("write", name);
    return -1;
  }
  // Owner first: chown clears set-user-id bits that the mode then restores. Attributes after the
  // mode (an ACL sets the group bits), times last (setting attributes is a change).
  if ((st.st_uid != uid_ || st.st_gid != gid_) && ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
    *error = SysError("give the file's owner to", name);
    return -1;
  }
  if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
    *error = SysError("set the mode of", name);
    return -1;
  }
  std::string xattrError;
  if (!trhsm_tools::CopyXattrs(file.get(), fd.get(), &xattrError)) {
    *error = xattrError + " (" + name + ")";
    return -1;
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(fd.get(), times) != 0) {
    *error = SysError("set the times of", name);
    return -1;
  }
  if (!fd.Close()) {
    *error = SysError("close", name);
    return -1;
  }
  bytes_ += record.size();
  items_.push_back(std::move(item));
  return static_cast<int>(items_.size() - 1);
}

std::vector<StubGroup::Done> StubGroup::Commit() {
  std::vector<Done> out(items_.size());
  // One sync per file system makes every temporary on it durable, bytes, attributes and entry
  // (syncfs reports the file system's write-back errors since the folder was opened). No rename
  // comes before it.
  std::map<dev_t, int> failed;            // by device: the error of its sync
  std::map<dev_t, const Folder*> synced;  // by device: a folder on it
  for (const auto& f : folders_) {
    if (synced.count(f->dev) != 0 || failed.count(f->dev) != 0) continue;
    if (::syncfs(f->fd.get()) == 0) {
      synced[f->dev] = f.get();
    } else {
      failed[f->dev] = errno;
    }
  }
  std::map<dev_t, std::vector<size_t>> renamed;  // by device: the items renamed
  for (size_t i = 0; i < items_.size(); ++i) {
    Item& item = *items_[i];
    Done& done = out[i];
    const int dir = item.folder->fd.get();
    const std::string name = item.folder->path + "/" + item.temporary->name();
    if (failed.count(item.folder->dev) != 0) {
      done.error = "sync " + name + ": " + std::strerror(failed[item.folder->dev]);
      continue;
    }
    // The release checks, right before the rename: the file may have been written, linked,
    // chmod-ed or locked since it was checked, and newer data is never released. Looked at in the
    // open folder, so a folder swapped since the first look shows as another file.
    struct stat now, stub;
    if (::fstatat(dir, item.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !Unchanged(item.st, now)) {
      done.error = "changed since backup (while it was being stubbed)";
      continue;
    }
    const int locked = trhsmIsMandLocked(item.path.c_str(), &now);
    if (locked != 0) {
      done.error = locked == 1 ? "locked" : "lock probe failed";
      continue;
    }
    if (!item.temporary->IsStill(&stub)) {
      done.error = "temporary file " + name + " was replaced while the stub was written";
      continue;
    }
    if (::renameat(dir, item.temporary->name().c_str(), dir, item.base.c_str()) != 0) {
      done.error = SysError("rename " + name + " ->", item.path);
      continue;
    }
    item.temporary->Keep();
    done.replaced = true;
    done.freed = item.st.st_blocks > stub.st_blocks
                     ? static_cast<uint64_t>(item.st.st_blocks - stub.st_blocks) * 512
                     : 0;
    renamed[item.folder->dev].push_back(i);
  }
  // The renames made durable, again once per file system; only then does a file count as done.
  for (const auto& [dev, items] : renamed) {
    if (::syncfs(synced[dev]->fd.get()) == 0) continue;
    const int error = errno;
    for (size_t i : items) {
      out[i].error = "stubbed, but sync " + items_[i]->path + ": " + std::strerror(error);
    }
  }
  Clear();
  return out;
}

}  // namespace stubjob
