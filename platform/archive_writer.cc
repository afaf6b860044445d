// Appending copies to archive files: folders and files opened without following links, one
// lock per archive file, and a header that records what the source was while it was copied.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "platform/archive_io.h"
#include "trhsm/KoCrc32.h"

namespace trhsm {
namespace platform {
namespace {

namespace af = archive_format;
using archive_io::ErrnoText;
using archive_io::Fd;
using archive_io::FinishCrc;
using archive_io::kChunkSize;
using archive_io::OpenAtRetry;
using archive_io::ReadHeaderAt;
using archive_io::RetryOnEintr;
using archive_io::SyncOnce;
using archive_io::WriteFull;

// Syncs the open folder `fd` (`path` for the message), so that an entry just made survives a crash.
bool SyncFolder(int fd, const std::string& path, std::string* error) {
  if (!SyncOnce(fd)) {
    *error = ErrnoText("sync folder", path);
    return false;
  }
  return true;
}

// Creates folder `path` when missing; *created tells whether it did.
bool MakeFolder(const std::string& path, bool* created, std::string* error) {
  *created = false;
  if (::mkdir(path.c_str(), 0755) == 0) {
    *created = true;
    return true;
  }
  struct stat st;
  if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (errno == EEXIST) errno = ENOTDIR;
  *error = ErrnoText("create folder", path);
  return false;
}

// Whether a folder or file in the archive may be written: this user's or the superuser's. Anyone
// else who owns it could read the copies or swap the file under the index.
bool TrustedOwner(const struct stat& st) { return st.st_uid == ::geteuid() || st.st_uid == 0; }

// Opens (creating it when missing) group folder `name` in the root folder open at `rootFd`. The
// group folder is never followed when it is a symbolic link, and must belong to a trusted owner.
bool OpenGroupFolder(int rootFd, const std::string& name, const std::string& path, Fd* group,
                     bool* created, std::string* error) {
  *created = ::mkdirat(rootFd, name.c_str(), 0755) == 0;
  if (!*created && errno != EEXIST) {
    *error = ErrnoText("create folder", path);
    return false;
  }
  const int fd = OpenAtRetry(rootFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  group->reset(fd);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) {
      *error = "archive group folder " + path + " is a symbolic link or not a folder";
    } else {
      *error = ErrnoText("open folder", path);
    }
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *error = ErrnoText("stat folder", path);
    return false;
  }
  if (!TrustedOwner(st)) {
    *error = "archive group folder " + path + " belongs to another user";
    return false;
  }
  return true;
}

// Opens archive file `name` of the group folder open at `groupFd` for appending, creating it
// when missing (*created). A symbolic link or anything else that is not a regular file is refused
// and never opened; CheckArchiveFile then refuses other links and other owners.
bool OpenArchiveForAppend(int groupFd, const std::string& name, const std::string& path, Fd* file,
                          bool* created, std::string* error) {
  // O_NONBLOCK: a FIFO put in the file's place must not hang the open.
  const int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = OpenAtRetry(groupFd, name, flags | O_CREAT | O_EXCL, 0644);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) {
    // Look before opening: opening a device for writing may act on it.
    struct stat st;
    if (::fstatat(groupFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
      *error = "archive " + path +
               (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a regular file");
      return false;
    }
    fd = OpenAtRetry(groupFd, name, flags);
  }
  file->reset(fd);
  if (fd < 0) {
    *error = errno == ELOOP ? "archive " + path + " is a symbolic link"
                            : ErrnoText("open archive", path);
    return false;
  }
  return true;
}

// Takes the whole archive file open at `fd` for this process's open file description, waiting
// for other appenders.
bool LockWhole(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return RetryOnEintr([&] { return ::fcntl(fd, F_OFD_SETLKW, &lock); }) == 0;
}

// Releases the lock of LockWhole.
void UnlockWhole(int fd) {
  struct flock lock = {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  ::fcntl(fd, F_OFD_SETLK, &lock);
}

// Holds LockWhole for a scope.
class WholeLock {
 public:
  explicit WholeLock(int fd) : fd_(fd), held_(LockWhole(fd)) {}
  ~WholeLock() {
    if (held_) UnlockWhole(fd_);
  }
  WholeLock(const WholeLock&) = delete;
  WholeLock& operator=(const WholeLock&) = delete;
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_;
};

// The checks of an archive file that is open and locked for writing.
bool CheckArchiveFile(const struct stat& st, const std::string& path, std::string* error) {
  if (!S_ISREG(st.st_mode)) {
    *error = "archive " + path + " is not a regular file";
    return false;
  }
  if (st.st_nlink != 1) {
    *error = "archive " + path + " has other links";
    return false;
  }
  if (!TrustedOwner(st)) {
    *error = "archive " + path + " belongs to another user";
    return false;
  }
  return true;
}

// Encodes `h` as a version 2 header into out[0, kHeaderSize).
void EncodeHeader(const CopyHeader& h, char* out) {
  std::memcpy(out + af::kMagicOffset, af::kMagic, af::kMagicSize);
  af::PutBE(out + af::kVersionOffset, af::kVersion, 2);
  af::PutBE(out + af::kHeaderSizeOffset, af::kHeaderSize, 2);
  af::PutBE(out + af::kSizeOffset, h.size, 8);
  af::PutBE(out + af::kModTimeOffset, static_cast<uint64_t>(h.modTime), 8);
  af::PutLE32(out + af::kModTimeNsecOffset, h.modTimeNsec);
  af::PutLE32(out + af::kDataCrcOffset, h.crc);
  af::PutBE(out + af::kChangeTimeOffset, static_cast<uint64_t>(h.changeTime), 8);
  af::PutBE(out + af::kInodeOffset, h.inode, 8);
  af::PutLE32(out + af::kChangeTimeNsecOffset, h.changeTimeNsec);
  const size_t crcAt = af::kHeaderSize - af::kHeaderCrcSize;
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(out, crcAt, &reg);
  af::PutLE32(out + crcAt, FinishCrc(reg));
}

// Checksums the open source file from its start (read by position, so each pass starts there);
// *size is the number of bytes it held.
bool ChecksumSource(int fd, const std::string& path, uint32_t* crc, uint64_t* size,
                    std::vector<char>* buf, int destinationFd, std::string* error) {
  uint32_t reg = 0xFFFFFFFFu;
  uint64_t total = 0;
  for (;;) {
    const ssize_t got = RetryOnEintr(
        [&] { return ::pread(fd, buf->data(), buf->size(), static_cast<off_t>(total)); });
    if (got < 0) {
      *error = ErrnoText("read", path);
      return false;
    }
    if (got == 0) break;
    ko_crc32(buf->data(), static_cast<size_t>(got), &reg);
    if (destinationFd >= 0 && !WriteFull(destinationFd, buf->data(), static_cast<size_t>(got))) {
      *error = ErrnoText("append to archive for", path);
      return false;
    }
    total += static_cast<uint64_t>(got);
  }
  *crc = FinishCrc(reg);
  *size = total;
  return true;
}

bool SameChangeTime(const struct stat& a, const struct stat& b) {
  return a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec &&
         a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// A file's times are taken from a clock that moves in ticks (and some file systems keep whole
// seconds only): a change made in the same tick as the last one leaves the change time as it was.
// So the bytes are copied only once the tick of `changed` is over; a change after the copy then
// always shows as a later change time. Does not wait for a change time far ahead of this clock
// (a file server's clock): nothing would come of waiting.
void WaitForChangeTimeToSettle(const struct timespec& changed) {
  // Whole seconds, by the look of it: the change is settled only in the next second.
  struct timespec settled = changed;
  if (changed.tv_nsec == 0) ++settled.tv_sec;
  constexpr long kStepNs = 1000000;  // 1 ms
  constexpr int kMaxSteps = 2100;    // past a whole-second tick, with room to spare
  for (int step = 0; step < kMaxSteps; ++step) {
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (now.tv_sec > settled.tv_sec ||
        (now.tv_sec == settled.tv_sec && now.tv_nsec > settled.tv_nsec)) {
      return;
    }
    if (settled.tv_sec - now.tv_sec > 2) return;
    struct timespec pause = {0, kStepNs};
    ::nanosleep(&pause, nullptr);
  }
}

}  // namespace

ArchiveAppender::ArchiveAppender(std::string root, int64_t group, int64_t fileId)
    : root_(std::move(root)), group_(group), fileId_(fileId) {}

ArchiveAppender::~ArchiveAppender() {
  if (fd_ >= 0) ::close(fd_);
}

bool ArchiveAppender::Open(std::string* error) {
  if (fd_ >= 0) return true;
  if (group_ < 0 || fileId_ < 0) {
    *error = "archive group and file ids must not be negative";
    return false;
  }
  // The root is the administrator's and may be a link; below it nothing is followed, so a link
  // planted in the archive cannot send the copy elsewhere.
  bool rootCreated = false, groupCreated = false, fileCreated = false;
  if (!MakeFolder(root_, &rootCreated, error)) return false;
  Fd rootFd(OpenAtRetry(AT_FDCWD, root_, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (rootFd.get() < 0) {
    *error = ErrnoText("open folder", root_);
    return false;
  }
  const std::string groupName = std::to_string(group_);
  const std::string groupPath = root_ + "/" + groupName;
  Fd groupFd;
  if (!OpenGroupFolder(rootFd.get(), groupName, groupPath, &groupFd, &groupCreated, error)) {
    return false;
  }
  const std::string fileName = std::to_string(fileId_) + af::kFileSuffix;
  const std::string path = ArchiveFilePath(root_, group_, fileId_);
  Fd archive;
  if (!OpenArchiveForAppend(groupFd.get(), fileName, path, &archive, &fileCreated, error)) {
    return false;
  }
  // The entries are synced before any copy counts as stored, since an index row may name it
  // next; always, not only when made here: an earlier run may have made them and then failed.
  if (!SyncFolder(groupFd.get(), groupPath, error) || !SyncFolder(rootFd.get(), root_, error)) {
    return false;
  }
  fd_ = archive.release();
  return true;
}

bool ArchiveAppender::Append(const std::string& sourcePath, int64_t* offset, CopyHeader* header,
                             std::string* error) {
  return AppendCopy(sourcePath, true, offset, header, error);
}

bool ArchiveAppender::AppendUnsynced(const std::string& sourcePath, int64_t* offset,
                                     CopyHeader* header, std::string* error) {
  return AppendCopy(sourcePath, false, offset, header, error);
}

bool ArchiveAppender::Sync(std::string* error) {
  if (fd_ < 0 || SyncOnce(fd_)) return true;
  *error = ErrnoText("sync archive", ArchiveFilePath(root_, group_, fileId_));
  return false;
}

bool ArchiveAppender::AppendCopy(const std::string& sourcePath, bool sync, int64_t* offset,
                                 CopyHeader* header, std::string* error) {
  Fd source(OpenAtRetry(AT_FDCWD, sourcePath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (source.get() < 0 || ::fstat(source.get(), &st) != 0) {
    *error = ErrnoText("open", sourcePath);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = sourcePath + " is not a regular file";
    return false;
  }
  // The header comes first, so the checksum is taken before the bytes are copied and checked
  // again while copying: a file that changes in between is not archived under a wrong checksum.
  // A file smaller than a chunk is read once, behind room for its header, and written with it
  // from that one buffer, so the checksum is of the very bytes stored.
  std::vector<char> buf(af::kHeaderSize + kChunkSize);
  CopyHeader h;
  h.modTime = st.st_mtim.tv_sec;
  h.modTimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  h.changeTime = st.st_ctim.tv_sec;
  h.changeTimeNsec = static_cast<uint32_t>(st.st_ctim.tv_nsec);
  h.inode = static_cast<uint64_t>(st.st_ino);
  // Before the bytes are read: a change after the wait always moves the change time, which is
  // looked at again once the copy is written.
  WaitForChangeTimeToSettle(st.st_ctim);
  ssize_t whole = -1;  // the bytes of a small file, read into buf after the header's room
  if (st.st_size < static_cast<off_t>(kChunkSize)) {
    whole = RetryOnEintr(
        [&] { return ::pread(source.get(), buf.data() + af::kHeaderSize, kChunkSize, 0); });
    if (whole < 0) {
      *error = ErrnoText("read", sourcePath);
      return false;
    }
    // A file that grew past a chunk meanwhile is copied the long way (and then refused, since
    // its change time moved).
    if (whole == static_cast<ssize_t>(kChunkSize)) whole = -1;
    // Bytes read that are not the size seen: the file changed (or is no ordinary file).
    if (whole >= 0 && whole != st.st_size) {
      *error = sourcePath + " changed while it was being archived";
      return false;
    }
  }
  if (whole >= 0) {
    uint32_t reg = 0xFFFFFFFFu;
    ko_crc32(buf.data() + af::kHeaderSize, static_cast<size_t>(whole), &reg);
    h.crc = FinishCrc(reg);
    h.size = static_cast<uint64_t>(whole);
  } else {
    buf.resize(kChunkSize);
    if (!ChecksumSource(source.get(), sourcePath, &h.crc, &h.size, &buf, -1, error)) return false;
  }
  if (!Open(error)) return false;

  const std::string path = ArchiveFilePath(root_, group_, fileId_);
  // Hold the whole file while appending, so that the end read below is where this copy lands.
  WholeLock lock(fd_);
  struct stat ast;
  if (!lock.held() || ::fstat(fd_, &ast) != 0) {
    *error = ErrnoText("lock archive", path);
    return false;
  }
  if (!CheckArchiveFile(ast, path, error)) return false;
  const off_t start = ast.st_size;

  char encoded[af::kHeaderSize];
  EncodeHeader(h, encoded);
  uint32_t crc = 0;
  uint64_t size = 0;
  const auto copy = [&] {
    bool ok;
    if (whole >= 0) {
      std::memcpy(buf.data(), encoded, sizeof encoded);
      ok = WriteFull(fd_, buf.data(), sizeof encoded + static_cast<size_t>(whole));
      if (!ok) *error = ErrnoText("append to archive for", sourcePath);
      crc = h.crc;
      size = h.size;
    } else {
      ok = WriteFull(fd_, encoded, sizeof encoded);
      if (!ok) *error = ErrnoText("append to archive", path);
      ok = ok && ChecksumSource(source.get(), sourcePath, &crc, &size, &buf, fd_, error);
    }
    // The change time recorded must be the one of the bytes stored: any write, truncation, or
    // change of times while they were copied moves it (and after the settling wait, always).
    struct stat after;
    if (ok && ::fstat(source.get(), &after) != 0) {
      *error = ErrnoText("stat", sourcePath);
      ok = false;
    }
    if (ok && (crc != h.crc || size != h.size || !SameChangeTime(st, after) ||
               after.st_size != st.st_size || after.st_mtim.tv_sec != st.st_mtim.tv_sec ||
               after.st_mtim.tv_nsec != st.st_mtim.tv_nsec)) {
      *error = sourcePath + " changed while it was being archived";
      ok = false;
    }
    if (ok && sync && !SyncOnce(fd_)) {
      *error = ErrnoText("sync archive", path);
      ok = false;
    }
    return ok;
  };
  bool ok = false;
  try {
    ok = copy();
  } catch (...) {
    // Memory ran out mid-copy: the partial copy goes before the exception leaves.
    if (::ftruncate(fd_, start) == 0) SyncOnce(fd_);
    throw;
  }
  if (!ok) {
    // Cut the partial copy off, so the next copy starts where an index row would expect it.
    if (::ftruncate(fd_, start) != 0 || !SyncOnce(fd_)) {
      *error += "; " + ErrnoText("cut back archive", path);
    }
    return false;
  }
  *offset = static_cast<int64_t>(start);
  *header = h;
  return true;
}

bool ArchiveAppender::TakeBack(int64_t offset, std::string* error) {
  const std::string path = ArchiveFilePath(root_, group_, fileId_);
  if (fd_ < 0) {
    *error = "no copy was appended to " + path;
    return false;
  }
  WholeLock lock(fd_);
  struct stat st;
  if (!lock.held() || ::fstat(fd_, &st) != 0) {
    *error = ErrnoText("lock archive", path);
    return false;
  }
  if (!CheckArchiveFile(st, path, error)) return false;
  CopyHeader h;
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  if (!ReadHeaderAt(fd_, path, fileSize, offset, &h, error)) return false;
  if (static_cast<uint64_t>(offset) + h.headerSize + h.size != fileSize) {
    *error = "copy in " + path + " at offset " + std::to_string(offset) +
             " is not the last one; left in place";
    return false;
  }
  if (::ftruncate(fd_, static_cast<off_t>(offset)) != 0 || !SyncOnce(fd_)) {
    *error = ErrnoText("cut back archive", path);
    return false;
  }
  return true;
}

bool AppendCopy(const std::string& root, int64_t group, int64_t fileId,
                const std::string& sourcePath, int64_t* offset, std::string* error) {
  ArchiveAppender appender(root, group, fileId);
  CopyHeader header;
  return appender.Append(sourcePath, offset, &header, error);
}

}  // namespace platform
}  // namespace trhsm
