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
// modification time, then makes its bytes durable.
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
  if (!SyncOnce(fd)) {
    *error = SysError("fsync", name);
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

RecallOutcome Recaller::Recall(const std::string& path) {
  RecallOutcome out;
  ::ReparseData data;
  struct stat st;
  const std::string folder = FolderOf(path);
  const std::string base = BaseOf(path);
  // Every step below works in this one folder: the folder named by the user (its link followed),
  // but nothing in it that is a link, so a planted link cannot redirect the stub read, the
  // temporary file or the rename.
  Fd dir(OpenFolder(folder, true));
  if (dir.get() < 0) {
    out.error = SysError("open folder", folder);
    return out;
  }
  Fd stub(OpenStub(dir.get(), base, path, &data, &st, &out.error, &out.notStub));
  if (stub.get() < 0) return out;
  out.archiveFile = trhsm::platform::ArchiveFilePath(archiveRoot_, data.field2, data.field3);
  out.offset = data.field4;
  CopyHeader header;
  if (dryRun_) {
    if (!trhsm::platform::VerifyCopy(archiveRoot_, data.field2, data.field3, data.field4, &header,
                                     &out.error) ||
        !SizeMatches(data, header, &out.error)) {
      return out;
    }
    out.size = header.size;
    out.ok = true;
    return out;
  }
  RemoveStaleTemporaries(dir.get());
  std::string name;
  // Created O_EXCL|O_NOFOLLOW with mode 0600: nobody else sees the bytes before they are right.
  Fd fd(CreateTemporaryAt(dir.get(), kRecallTemporaryPrefix, &name));
  if (fd.get() < 0) {
    out.error = SysError("create temporary file in", folder);
    return out;
  }
  Temporary temporary(dir.get(), name, fd.get());
  name = folder + "/" + name;  // for messages
  // The lock marks the temporary as in use until the rename; it is held through a second
  // descriptor of the same open file, so that closing the first (to see its errors) keeps it.
  Fd lock(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (lock.get() < 0 || ::flock(lock.get(), LOCK_EX) != 0) {
    out.error = SysError("lock", name);
    return out;
  }
  if (!trhsm::platform::CopyOut(archiveRoot_, data.field2, data.field3, data.field4, fd.get(),
                                &header, &out.error) ||
      !SizeMatches(data, header, &out.error) ||
      !Finish(fd.get(), stub.get(), st, header, name, &out.error)) {
    return out;
  }
  if (!fd.Close()) {
    out.error = SysError("close", name);
    return out;
  }
  // The stub may have been replaced while the copy was written; do not overwrite a newer file.
  struct stat now;
  if (::fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(st, now)) {
    out.error = "the stub changed while it was being recalled";
    return out;
  }
  // Nor put in place a file that someone swapped for the temporary meanwhile.
  if (!temporary.IsStill()) {
    out.error = "temporary file " + name + " was replaced while the copy was written";
    return out;
  }
  if (::renameat(dir.get(), temporary.name().c_str(), dir.get(), base.c_str()) != 0) {
    out.error = SysError("rename " + name + " ->", path);
    return out;
  }
  temporary.Keep();
  if (!SyncOnce(dir.get())) {
    // The file is recalled; only its durability across a crash is in doubt.
    out.error = "recalled, but " + SysError("sync folder", folder);
    return out;
  }
  // The file as it now stands is the copy's, until it changes (platform/archive_identity.h); a
  // record that cannot be written only costs the next release a new backup.
  struct stat recalled;
  std::string ignored;
  if (::fstat(lock.get(), &recalled) == 0) {
    (void)trhsm::platform::RecordRecalledIdentity(archiveRoot_, data.field2, data.field3,
                                                  data.field4, recalled, &ignored);
  }
  out.size = header.size;
  out.ok = true;
  return out;
}

}  // namespace trhsm_tools
