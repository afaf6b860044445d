// One recall: stub read, copy verified into a locked temporary, attributes carried, rename.
#include "tools/recall_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_identity.h"
#include "stub/record_format.h"
#include "tools/scoped_file.h"
#include "tools/xattrs.h"
#include "trhsm/TRHSMStubFile.h"

namespace trhsm_tools {
namespace {

namespace sr = trhsm::stub_record;
using trhsm::platform::CopyHeader;

// A group is committed at this many files, bytes of copies or folders, whichever comes first, so
// that a slow disk never holds many recalls half done (each file holds a descriptor until then).
constexpr size_t kGroupFiles = 256;
constexpr uint64_t kGroupBytes = 64 << 20;
constexpr size_t kGroupFolders = 64;
// A group of fewer files syncs each file and folder: a sync of the whole file system would also
// wait for every other program's writes.
constexpr size_t kSyncEachBelow = 4;

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Opens the stub `base` in the folder open at `dirFd` (`path` names it in messages) and reads its
// reparse data and status; -1 with *error when it is not a stub (and *notStub when it is a regular
// file).
int OpenStub(int dirFd, const std::string& base, const std::string& path, ::ReparseData* data,
             struct stat* st, std::string* error, bool* notStub) {
  Fd fd(::openat(dirFd, base.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    *error = SysError("open", path);
    return -1;
  }
  if (::fstat(fd.get(), st) != 0) {
    *error = SysError("stat", path);
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    *error = "not a regular file";
    return -1;
  }
  // One byte more than the largest record, so a longer file is seen to be longer.
  std::vector<char> buffer(static_cast<size_t>(sr::kMaxRecordLength) + 1);
  size_t have = 0;
  while (have < buffer.size()) {
    ssize_t n = ::read(fd.get(), buffer.data() + have, buffer.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = SysError("read", path);
      return -1;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  buffer.resize(have);
  int recordLength = 0;
  if (have > static_cast<size_t>(sr::kMaxRecordLength) || !::ParseStubData(buffer, *data) ||
      !trhsm_stub2meta(buffer.data(), &recordLength, nullptr, nullptr, 0, true)) {
    *error = "not a stub file";
    *notStub = true;
    return -1;
  }
  // A file that merely begins with a stub record holds data of its own: leave it alone.
  if (static_cast<size_t>(recordLength) != have) {
    *error = "not a stub file (" + std::to_string(have - static_cast<size_t>(recordLength)) +
             " bytes after the stub record)";
    *notStub = true;
    return -1;
  }
  return fd.release();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Layout 2 carries the archived size too; a copy of another size is not this file's.
bool SizeMatches(const ::ReparseData& data, const CopyHeader& header, std::string* error) {
  if (data.layout != 2 || static_cast<uint64_t>(data.extraNumber) == header.size) return true;
  *error = "archived copy holds " + std::to_string(header.size) + " bytes but the stub says " +
           std::to_string(data.extraNumber);
  return false;
}

bool IsRecallTemporaryName(const char* name) {
  const size_t prefix = sizeof kRecallTemporaryPrefix - 1;
  if (std::strncmp(name, kRecallTemporaryPrefix, prefix) != 0) return false;
  size_t n = 0;
  for (const char* c = name + prefix; *c != '\0'; ++c, ++n) {
    if (!IsTemporarySuffixChar(*c)) return false;
  }
  return n == kTemporarySuffixLength;
}

// Gives the temporary the stub's owner, mode and extended attributes and the archived
// modification time (its bytes are made durable by the group's commit).
bool Finish(int fd, int stubFd, const struct stat& st, const CopyHeader& header,
            const std::string& name, std::string* error) {
  struct stat tst;
  if (::fstat(fd, &tst) != 0) {
    *error = SysError("stat", name);
    return false;
  }
  // Owner first: chown clears set-user-id bits that the mode then restores.
  if ((tst.st_uid != st.st_uid || tst.st_gid != st.st_gid) &&
      ::fchown(fd, st.st_uid, st.st_gid) != 0) {
    *error = SysError("give the stub's owner to", name);
    return false;
  }
  if (::fchmod(fd, st.st_mode & 07777) != 0) {
    *error = SysError("chmod", name);
    return false;
  }
  // After the mode: an access ACL sets the group bits its mask gives.
  if (!CopyXattrs(stubFd, fd, error)) {
    *error = "carry the stub's attributes to " + name + ": " + *error;
    return false;
  }
  const struct timespec times[2] = {
      st.st_atim, {static_cast<time_t>(header.modTime), static_cast<long>(header.modTimeNsec)}};
  if (::futimens(fd, times) != 0) {
    *error = SysError("set times of", name);
    return false;
  }
  return true;
}

}  // namespace

// A recall killed while it wrote leaves its temporary behind; a live one holds a lock on it from
// before it writes the first byte until its rename. So a temporary of ours that can be locked at
// once, and that still holds the same file once locked, is a dead recall's and goes.
void Recaller::RemoveStaleTemporaries(int dirFd) {
  struct stat fst;
  if (::fstat(dirFd, &fst) != 0 ||
      !cleaned_.emplace(static_cast<uint64_t>(fst.st_dev), static_cast<uint64_t>(fst.st_ino))
           .second) {
    return;
  }
  // A descriptor of its own for the listing: the folder's other one serves the *at() calls.
  const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (dir == nullptr) {
    if (listFd >= 0) ::close(listFd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    if (IsRecallTemporaryName(e->d_name)) names.push_back(e->d_name);
  }
  ::closedir(dir);
  struct timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || st.st_nlink != 1) {
      continue;
    }
    // An empty one just made may not be locked yet by the recall that made it.
    if (st.st_size == 0 && now.tv_sec - st.st_ctim.tv_sec < 60) continue;
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat held, again;
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
        ::fstat(fd.get(), &held) != 0 || held.st_dev != st.st_dev || held.st_ino != st.st_ino ||
        ::fstatat(dirFd, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 ||
        again.st_dev != held.st_dev || again.st_ino != held.st_ino || again.st_nlink != 1) {
      continue;
    }
    ::unlinkat(dirFd, name.c_str(), 0);
  }
}

struct Recaller::Folder {
  Folder(std::string p, int f) : path(std::move(p)), fd(f) {}
  std::string path;
  Fd fd;
  dev_t dev = 0;
};

struct Recaller::Item {
  std::string path, base, name;   // name: the temporary's path, for messages
  struct stat st;                 // the stub's
  int64_t group = 0, fileId = 0;  // the archive file of its copy (the offset is in `out`)
  Folder* folder = nullptr;
  // The lock marks the temporary as in use until the rename; it is held through a second
  // descriptor of the same open file, so that closing the first (to see its errors) keeps it.
  std::optional<Fd> lock;
  std::unique_ptr<Temporary> temporary;  // after the lock: removed while still locked
  RecallOutcome out;
};

Recaller::Recaller(std::string archiveRoot, bool dryRun)
    : archiveRoot_(std::move(archiveRoot)), dryRun_(dryRun), reader_(archiveRoot_) {}

Recaller::~Recaller() {
  items_.clear();
  folders_.clear();
}

Recaller::Folder* Recaller::OpenFolderOf(const std::string& folder, std::string* error) {
  for (const auto& f : folders_) {
    if (f->path == folder) return f.get();
  }
  // Every step works in this one folder: the folder named by the user (its link followed), but
  // nothing in it that is a link, so a planted link cannot redirect the stub read, the temporary
  // file or the rename.
  auto f = std::make_unique<Folder>(folder, OpenFolder(folder, true));
  struct stat st;
  if (f->fd.get() < 0 || ::fstat(f->fd.get(), &st) != 0) {
    *error = SysError("open folder", folder);
    return nullptr;
  }
  f->dev = st.st_dev;
  folders_.push_back(std::move(f));
  return folders_.back().get();
}

RecallOutcome Recaller::Recall(const std::string& path) {
  RecallOutcome out;
  if (Stage(path, &out) < 0) return out;
  return Commit().back();
}

bool Recaller::Full() const {
  return items_.size() >= kGroupFiles || bytes_ >= kGroupBytes || folders_.size() >= kGroupFolders;
}

int Recaller::Stage(const std::string& path, RecallOutcome* result) {
  auto item = std::make_unique<Item>();
  RecallOutcome& out = item->out;
  ::ReparseData data;
  const std::string folder = FolderOf(path);
  item->path = path;
  item->base = BaseOf(path);
  const auto fail = [&] {
    *result = out;
    return -1;
  };
  item->folder = OpenFolderOf(folder, &out.error);
  if (item->folder == nullptr) return fail();
  const int dir = item->folder->fd.get();
  Fd stub(OpenStub(dir, item->base, path, &data, &item->st, &out.error, &out.notStub));
  if (stub.get() < 0) return fail();
  out.archiveFile = trhsm::platform::ArchiveFilePath(archiveRoot_, data.field2, data.field3);
  out.offset = data.field4;
  CopyHeader header;
  if (dryRun_) {
    if (trhsm::platform::VerifyCopy(archiveRoot_, data.field2, data.field3, data.field4, &header,
                                    &out.error) &&
        SizeMatches(data, header, &out.error)) {
      out.size = header.size;
      out.ok = true;
    }
    return fail();
  }
  RemoveStaleTemporaries(dir);
  std::string name;
  // Created O_EXCL|O_NOFOLLOW with mode 0600: nobody else sees the bytes before they are right.
  Fd fd(CreateTemporaryAt(dir, kRecallTemporaryPrefix, &name));
  if (fd.get() < 0) {
    out.error = SysError("create temporary file in", folder);
    return fail();
  }
  item->temporary = std::make_unique<Temporary>(dir, name, fd.get());
  item->name = folder + "/" + name;
  item->lock.emplace(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (item->lock->get() < 0 || ::flock(item->lock->get(), LOCK_EX) != 0) {
    out.error = SysError("lock", item->name);
    return fail();
  }
  if (!reader_.CopyOut(data.field2, data.field3, data.field4, fd.get(), true, &header,
                       &out.error) ||
      !SizeMatches(data, header, &out.error) ||
      !Finish(fd.get(), stub.get(), item->st, header, item->name, &out.error)) {
    return fail();
  }
  if (!fd.Close()) {
    out.error = SysError("close", item->name);
    return fail();
  }
  item->group = data.field2;
  item->fileId = data.field3;
  out.size = header.size;
  bytes_ += header.size;
  items_.push_back(std::move(item));
  return static_cast<int>(items_.size() - 1);
}

std::vector<RecallOutcome> Recaller::Commit() {
  // A few files: each temporary and each folder synced by itself. More: one sync of each file
  // system they are on (syncfs reports its write-back errors since the folder was opened), both
  // before any rename (the bytes) and after the renames (the entries).
  const bool few = items_.size() < kSyncEachBelow;
  std::map<dev_t, int> failed;            // by device: the error of its sync
  std::map<dev_t, const Folder*> synced;  // by device: a folder on it
  for (const auto& f : folders_) {
    if (few || synced.count(f->dev) != 0 || failed.count(f->dev) != 0) continue;
    if (::syncfs(f->fd.get()) == 0) {
      synced[f->dev] = f.get();
    } else {
      failed[f->dev] = errno;
    }
  }
  std::vector<RecallOutcome> outs;
  std::vector<Item*> renamed;
  for (const auto& owned : items_) {
    Item& item = *owned;
    RecallOutcome& out = item.out;
    const int dir = item.folder->fd.get();
    out.ok = false;
    if (few ? !SyncOnce(item.lock->get()) : failed.count(item.folder->dev) != 0) {
      if (!few) errno = failed[item.folder->dev];
      out.error = SysError("fsync", item.name);
      continue;
    }
    // The stub may have been replaced while the copy was written; do not overwrite a newer file.
    struct stat now;
    if (::fstatat(dir, item.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(item.st, now)) {
      out.error = "the stub changed while it was being recalled";
      continue;
    }
    // Nor put in place a file that someone swapped for the temporary meanwhile.
    if (!item.temporary->IsStill()) {
      out.error = "temporary file " + item.name + " was replaced while the copy was written";
      continue;
    }
    if (::renameat(dir, item.temporary->name().c_str(), dir, item.base.c_str()) != 0) {
      out.error = SysError("rename " + item.name + " ->", item.path);
      continue;
    }
    item.temporary->Keep();
    out.ok = true;
    renamed.push_back(&item);
  }
  // The renames made durable; a file counts as recalled only then.
  std::map<const Folder*, int> folderSync;  // by folder: 0, or the error of its sync
  for (Item* item : renamed) {
    const Folder* f = few ? item->folder : synced[item->folder->dev];
    if (folderSync.count(f) == 0) {
      folderSync[f] = (few ? SyncOnce(f->fd.get()) : ::syncfs(f->fd.get()) == 0) ? 0 : errno;
    }
    if (folderSync[f] != 0) {
      // The file is recalled; only its durability across a crash is in doubt.
      errno = folderSync[f];
      item->out.ok = false;
      item->out.error = "recalled, but " + SysError("sync folder", item->folder->path);
    }
  }
  // The file as it now stands is the copy's, until it changes (platform/archive_identity.h); a
  // record that cannot be written only costs the next release a new backup. Recorded once the
  // file's rename is durable: a few files one by one, more with one sync for all.
  std::vector<trhsm::platform::RecalledRecord> records;
  for (const auto& item : items_) {
    trhsm::platform::RecalledRecord r;
    if (item->out.ok && ::fstat(item->lock->get(), &r.st) == 0) {
      r.group = item->group, r.fileId = item->fileId, r.offset = item->out.offset;
      std::string ignored;
      if (few) {
        (void)trhsm::platform::RecordRecalledIdentity(archiveRoot_, r.group, r.fileId, r.offset,
                                                      r.st, &ignored);
      } else {
        records.push_back(r);
      }
    }
    outs.push_back(item->out);
  }
  trhsm::platform::RecordRecalledIdentities(archiveRoot_, records);
  items_.clear();
  folders_.clear();
  bytes_ = 0;
  return outs;
}

}  // namespace trhsm_tools
