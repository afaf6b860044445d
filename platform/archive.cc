// Appending copies to archive files and reading them back, bounded by the archive file's size.
#include "platform/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "foundation/coding.h"
#include "platform/archive_format.h"
#include "platform/registry.h"
#include "trhsm/KoCrc32.h"

namespace trhsm {
namespace platform {
namespace {

namespace af = archive_format;

constexpr size_t kChunkSize = 1 << 16;

std::string ErrnoText(const std::string& what, const std::string& path) {
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
ssize_t RetryOnEintr(const std::function<ssize_t()>& call) {
  ssize_t r;
  do {
    r = call();
  } while (r < 0 && errno == EINTR);
  return r;
}

// openat(2) retried on EINTR; `dirFd` may be AT_FDCWD.
int OpenAtRetry(int dirFd, const std::string& name, int flags, mode_t mode = 0) {
  return static_cast<int>(RetryOnEintr([&] { return ::openat(dirFd, name.c_str(), flags, mode); }));
}

// Reads exactly n bytes at `offset`: false with *error set on a read error, or to `cutShort` when
// the file ends first.
bool PreadExact(int fd, char* buf, size_t n, off_t offset, const std::string& path,
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

bool WriteFull(int fd, const char* buf, size_t n) {
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
bool SyncOnce(int fd) { return ::fsync(fd) == 0; }

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

uint32_t FinishCrc(uint32_t reg) { return ~reg; }

void EncodeHeader(const CopyHeader& h, char* out) {
  std::memcpy(out + af::kMagicOffset, af::kMagic, af::kMagicSize);
  EncodeFixed16BE(out + af::kVersionOffset, af::kVersion);
  EncodeFixed16BE(out + af::kHeaderSizeOffset, af::kHeaderSize);
  EncodeFixed64BE(out + af::kSizeOffset, h.size);
  EncodeFixed64BE(out + af::kModTimeOffset, static_cast<uint64_t>(h.modTime));
  EncodeFixed32LE(out + af::kModTimeNsecOffset, h.modTimeNsec);
  EncodeFixed32LE(out + af::kDataCrcOffset, h.crc);
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(out, af::kHeaderCrcOffset, &reg);
  EncodeFixed32LE(out + af::kHeaderCrcOffset, FinishCrc(reg));
}

// An archive file opened for reading, with its size at opening.
struct ArchiveReader {
  std::string path;
  Fd fd;
  uint64_t fileSize = 0;
};

bool OpenForReading(const std::string& root, int64_t group, int64_t fileId, ArchiveReader* r,
                    std::string* error) {
  if (group < 0 || fileId < 0) {
    *error = "archive group " + std::to_string(group) + ", file " + std::to_string(fileId) +
             ": negative ids name no archive file";
    return false;
  }
  r->path = ArchiveFilePath(root, group, fileId);
  // O_NONBLOCK: a FIFO put in the file's place must not hang the open.
  r->fd.reset(OpenAtRetry(AT_FDCWD, r->path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (r->fd.get() < 0 || ::fstat(r->fd.get(), &st) != 0) {
    *error = ErrnoText("open archive", r->path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "archive " + r->path + " is not a regular file";
    return false;
  }
  r->fileSize = static_cast<uint64_t>(st.st_size);
  return true;
}

// Checks and decodes the header at `offset` of an open archive file.
bool ReadHeaderAt(int fd, const std::string& path, uint64_t fileSize, int64_t offset, CopyHeader* h,
                  std::string* error) {
  const std::string where = path + " at offset " + std::to_string(offset);
  if (offset < 0 || static_cast<uint64_t>(offset) > fileSize ||
      fileSize - static_cast<uint64_t>(offset) < af::kHeaderSize) {
    *error = "no copy header in " + where + ": the archive file is " + std::to_string(fileSize) +
             " bytes";
    return false;
  }
  char buf[af::kHeaderSize];
  if (!PreadExact(fd, buf, sizeof buf, offset, path,
                  "no copy header in " + where + ": the archive file is cut short", error)) {
    return false;
  }
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(buf, af::kHeaderCrcOffset, &reg);
  if (std::memcmp(buf + af::kMagicOffset, af::kMagic, af::kMagicSize) != 0 ||
      DecodeFixed32LE(buf + af::kHeaderCrcOffset) != FinishCrc(reg)) {
    *error = "no copy header in " + where;
    return false;
  }
  if (DecodeFixed16BE(buf + af::kVersionOffset) != af::kVersion ||
      DecodeFixed16BE(buf + af::kHeaderSizeOffset) != af::kHeaderSize) {
    *error = "copy header in " + where + " has an unknown version";
    return false;
  }
  CopyHeader out;
  out.size = DecodeFixed64BE(buf + af::kSizeOffset);
  out.modTime = static_cast<int64_t>(DecodeFixed64BE(buf + af::kModTimeOffset));
  out.modTimeNsec = DecodeFixed32LE(buf + af::kModTimeNsecOffset);
  out.crc = DecodeFixed32LE(buf + af::kDataCrcOffset);
  // The header's checksum held, but a size beyond the file means a cut archive: refuse it before
  // anyone reads or allocates by it.
  const uint64_t room = fileSize - static_cast<uint64_t>(offset) - af::kHeaderSize;
  if (out.size > room) {
    *error = "copy in " + where + " declares " + std::to_string(out.size) + " bytes, but only " +
             std::to_string(room) + " follow";
    return false;
  }
  if (out.modTimeNsec >= 1000000000u) {
    *error = "copy header in " + where + " has a bad modification time";
    return false;
  }
  *h = out;
  return true;
}

bool ReadHeaderAt(const ArchiveReader& r, int64_t offset, CopyHeader* h, std::string* error) {
  return ReadHeaderAt(r.fd.get(), r.path, r.fileSize, offset, h, error);
}

// Streams the copy's bytes (to `destinationFd` when >= 0) and checks their checksum.
bool StreamCopy(const std::string& root, int64_t group, int64_t fileId, int64_t offset,
                int destinationFd, CopyHeader* header, std::string* error) {
  ArchiveReader r;
  CopyHeader h;
  if (!OpenForReading(root, group, fileId, &r, error) || !ReadHeaderAt(r, offset, &h, error)) {
    return false;
  }
  std::vector<char> buf(kChunkSize);
  uint32_t reg = 0xFFFFFFFFu;
  uint64_t left = h.size;
  off_t pos = static_cast<off_t>(offset) + static_cast<off_t>(af::kHeaderSize);
  const std::string cutShort =
      "copy in " + r.path + " at offset " + std::to_string(offset) + " is cut short";
  while (left > 0) {
    const size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
    if (!PreadExact(r.fd.get(), buf.data(), want, pos, r.path, cutShort, error)) return false;
    ko_crc32(buf.data(), want, &reg);
    if (destinationFd >= 0 && !WriteFull(destinationFd, buf.data(), want)) {
      *error = std::string("write recalled bytes: ") + std::strerror(errno);
      return false;
    }
    left -= want;
    pos += static_cast<off_t>(want);
  }
  if (FinishCrc(reg) != h.crc) {
    *error = "copy in " + r.path + " at offset " + std::to_string(offset) + " fails its checksum";
    return false;
  }
  *header = h;
  return true;
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

}  // namespace

std::string ArchiveFilePath(const std::string& root, int64_t group, int64_t fileId) {
  return root + "/" + std::to_string(group) + "/" + std::to_string(fileId) + af::kFileSuffix;
}

bool ConfiguredArchiveRoot(std::string* root) {
  std::string value;
  if (!RegistryLookup(af::kRootKey, af::kRootValue, &value) || value.empty()) return false;
  *root = value;
  return true;
}

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
  std::vector<char> buf(kChunkSize);
  CopyHeader h;
  h.modTime = st.st_mtim.tv_sec;
  h.modTimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  if (!ChecksumSource(source.get(), sourcePath, &h.crc, &h.size, &buf, -1, error)) return false;
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
  bool ok = WriteFull(fd_, encoded, sizeof encoded);
  if (!ok) *error = ErrnoText("append to archive", path);
  ok = ok && ChecksumSource(source.get(), sourcePath, &crc, &size, &buf, fd_, error);
  if (ok && (crc != h.crc || size != h.size)) {
    *error = sourcePath + " changed while it was being archived";
    ok = false;
  }
  if (ok && !SyncOnce(fd_)) {
    *error = ErrnoText("sync archive", path);
    ok = false;
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
  if (static_cast<uint64_t>(offset) + af::kHeaderSize + h.size != fileSize) {
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

bool ReadCopyHeader(const std::string& root, int64_t group, int64_t fileId, int64_t offset,
                    CopyHeader* header, std::string* error) {
  ArchiveReader r;
  return OpenForReading(root, group, fileId, &r, error) && ReadHeaderAt(r, offset, header, error);
}

bool VerifyCopy(const std::string& root, int64_t group, int64_t fileId, int64_t offset,
                CopyHeader* header, std::string* error) {
  return StreamCopy(root, group, fileId, offset, -1, header, error);
}

bool CopyOut(const std::string& root, int64_t group, int64_t fileId, int64_t offset,
             int destinationFd, CopyHeader* header, std::string* error) {
  if (destinationFd < 0) {
    *error = "no destination to copy out to";
    return false;
  }
  // Only a fresh, empty regular file written from its start may get holes: anywhere else the
  // skipped ranges would keep the bytes that were there (or, with O_APPEND, close up).
  struct stat dst;
  const int flags = ::fcntl(destinationFd, F_GETFL);
  if (::fstat(destinationFd, &dst) != 0 || !S_ISREG(dst.st_mode) || dst.st_size != 0 || flags < 0 ||
      (flags & O_APPEND) != 0 || ::lseek(destinationFd, 0, SEEK_CUR) != 0) {
    return StreamCopy(root, group, fileId, offset, destinationFd, header, error);
  }
  ArchiveReader r;
  CopyHeader h;
  if (!OpenForReading(root, group, fileId, &r, error) || !ReadHeaderAt(r, offset, &h, error)) {
    return false;
  }
  // Runs of all-zero blocks are skipped instead of written, so a sparse file comes back sparse.
  // Blocks are aligned in the destination: every chunk starts at a multiple of the chunk size.
  const size_t blksize = static_cast<size_t>(dst.st_blksize);
  const size_t block =
      blksize >= 512 && blksize <= kChunkSize && (blksize & (blksize - 1)) == 0 ? blksize : 4096;
  std::vector<char> buf(kChunkSize);
  // Whether the block at `at` (cut at `end`) holds only zeros.
  const auto zero = [&](size_t at, size_t end) {
    const size_t n = end - at < block ? end - at : block;
    return buf[at] == 0 && std::memcmp(&buf[at], &buf[at + 1], n - 1) == 0;
  };
  const auto next = [&](size_t at, size_t end) { return end - at < block ? end : at + block; };
  uint32_t reg = 0xFFFFFFFFu;
  uint64_t left = h.size;
  off_t pos = static_cast<off_t>(offset) + static_cast<off_t>(af::kHeaderSize);
  const std::string cutShort =
      "copy in " + r.path + " at offset " + std::to_string(offset) + " is cut short";
  while (left > 0) {
    const size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
    if (!PreadExact(r.fd.get(), buf.data(), want, pos, r.path, cutShort, error)) return false;
    ko_crc32(buf.data(), want, &reg);
    for (size_t at = 0; at < want;) {
      const bool hole = zero(at, want);
      size_t end = at;
      while (end < want && zero(end, want) == hole) end = next(end, want);
      const bool placed = hole ? ::lseek(destinationFd, static_cast<off_t>(end - at), SEEK_CUR) >= 0
                               : WriteFull(destinationFd, buf.data() + at, end - at);
      if (!placed) {
        *error = std::string("write recalled bytes: ") + std::strerror(errno);
        return false;
      }
      at = end;
    }
    left -= want;
    pos += static_cast<off_t>(want);
  }
  if (FinishCrc(reg) != h.crc) {
    *error = "copy in " + r.path + " at offset " + std::to_string(offset) + " fails its checksum";
    return false;
  }
  // A hole at the end is only a position so far: the size makes it part of the file.
  if (::ftruncate(destinationFd, static_cast<off_t>(h.size)) != 0) {
    *error = std::string("write recalled bytes: ") + std::strerror(errno);
    return false;
  }
  *header = h;
  return true;
}

}  // namespace platform
}  // namespace trhsm
