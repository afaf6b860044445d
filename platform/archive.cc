// Reading copies back from archive files, bounded by the archive file's size.
#include "platform/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/archive_format.h"
#include "platform/archive_io.h"
#include "platform/registry.h"
#include "trhsm/KoCrc32.h"

namespace trhsm {
namespace platform {
namespace archive_io {

namespace af = archive_format;

// The header size that goes with `version`; 0 for a version this reader does not know.
static size_t HeaderSizeOf(unsigned version) {
  if (version == af::kVersionV1) return af::kHeaderSizeV1;
  if (version == af::kVersion) return af::kHeaderSize;
  return 0;
}

// Checks and decodes the header at `offset` of an open archive file.
bool ReadHeaderAt(int fd, const std::string& path, uint64_t fileSize, int64_t offset, CopyHeader* h,
                  std::string* error) {
  const std::string where = path + " at offset " + std::to_string(offset);
  if (offset < 0 || static_cast<uint64_t>(offset) > fileSize ||
      fileSize - static_cast<uint64_t>(offset) < af::kHeaderSizeV1) {
    *error = "no copy header in " + where + ": the archive file is " + std::to_string(fileSize) +
             " bytes";
    return false;
  }
  // Only as many bytes as the file holds: a version 1 header may be the last thing in it.
  const uint64_t left = fileSize - static_cast<uint64_t>(offset);
  const size_t have = left < af::kHeaderSize ? static_cast<size_t>(left) : af::kHeaderSize;
  char buf[af::kHeaderSize];
  if (!PreadExact(fd, buf, have, offset, path,
                  "no copy header in " + where + ": the archive file is cut short", error)) {
    return false;
  }
  if (std::memcmp(buf + af::kMagicOffset, af::kMagic, af::kMagicSize) != 0) {
    *error = "no copy header in " + where;
    return false;
  }
  const unsigned version = af::GetBE(buf + af::kVersionOffset, 2);
  const size_t size = HeaderSizeOf(version);
  if (size == 0 || af::GetBE(buf + af::kHeaderSizeOffset, 2) != size) {
    *error = "copy header in " + where + " has an unknown version";
    return false;
  }
  if (size > have) {
    *error = "no copy header in " + where + ": the archive file is cut short";
    return false;
  }
  const size_t crcAt = size - af::kHeaderCrcSize;
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(buf, crcAt, &reg);
  if (af::GetLE32(buf + crcAt) != FinishCrc(reg)) {
    *error = "no copy header in " + where;
    return false;
  }
  CopyHeader out;
  out.version = version;
  out.headerSize = static_cast<uint32_t>(size);
  out.size = af::GetBE(buf + af::kSizeOffset, 8);
  out.modTime = static_cast<int64_t>(af::GetBE(buf + af::kModTimeOffset, 8));
  out.modTimeNsec = af::GetLE32(buf + af::kModTimeNsecOffset);
  out.crc = af::GetLE32(buf + af::kDataCrcOffset);
  if (version >= af::kVersion) {
    out.changeTime = static_cast<int64_t>(af::GetBE(buf + af::kChangeTimeOffset, 8));
    out.inode = af::GetBE(buf + af::kInodeOffset, 8);
    out.changeTimeNsec = af::GetLE32(buf + af::kChangeTimeNsecOffset);
  }
  // The header's checksum held, but a size beyond the file means a cut archive: refuse it before
  // anyone reads or allocates by it.
  const uint64_t room = left - size;
  if (out.size > room) {
    *error = "copy in " + where + " declares " + std::to_string(out.size) + " bytes, but only " +
             std::to_string(room) + " follow";
    return false;
  }
  if (out.modTimeNsec >= 1000000000u || out.changeTimeNsec >= 1000000000u) {
    *error = "copy header in " + where + " has a bad modification or change time";
    return false;
  }
  *h = out;
  return true;
}

}  // namespace archive_io

namespace {

namespace af = archive_format;
using archive_io::ErrnoText;
using archive_io::Fd;
using archive_io::FinishCrc;
using archive_io::kChunkSize;
using archive_io::OpenAtRetry;
using archive_io::PreadExact;
using archive_io::ReadHeaderAt;
using archive_io::WriteFull;

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
  off_t pos = static_cast<off_t>(offset) + static_cast<off_t>(h.headerSize);
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
  CopyReader reader(root);
  return reader.CopyOut(group, fileId, offset, destinationFd, false, header, error);
}

struct CopyReader::Open {
  int64_t group = -1, fileId = -1;
  ArchiveReader reader;
};

CopyReader::CopyReader(std::string root) : root_(std::move(root)) {}
CopyReader::~CopyReader() = default;

bool CopyReader::CopyOut(int64_t group, int64_t fileId, int64_t offset, int destinationFd,
                         bool emptyFile, CopyHeader* header, std::string* error) {
  if (destinationFd < 0) {
    *error = "no destination to copy out to";
    return false;
  }
  // Only a fresh, empty regular file written from its start may get holes: anywhere else the
  // skipped ranges would keep the bytes that were there (or, with O_APPEND, close up).
  struct stat dst;
  if (::fstat(destinationFd, &dst) != 0) {
    *error = std::string("write recalled bytes: ") + std::strerror(errno);
    return false;
  }
  if (!emptyFile) {
    const int flags = ::fcntl(destinationFd, F_GETFL);
    if (!S_ISREG(dst.st_mode) || dst.st_size != 0 || flags < 0 || (flags & O_APPEND) != 0 ||
        ::lseek(destinationFd, 0, SEEK_CUR) != 0) {
      return StreamCopy(root_, group, fileId, offset, destinationFd, header, error);
    }
  }
  // The archive file read last is read again while its size still shows it a regular file.
  struct stat ast;
  if (!open_ || open_->group != group || open_->fileId != fileId ||
      ::fstat(open_->reader.fd.get(), &ast) != 0 || !S_ISREG(ast.st_mode)) {
    open_ = std::make_unique<Open>();
    if (!OpenForReading(root_, group, fileId, &open_->reader, error)) {
      open_.reset();
      return false;
    }
    open_->group = group;
    open_->fileId = fileId;
  } else {
    open_->reader.fileSize = static_cast<uint64_t>(ast.st_size);
  }
  const ArchiveReader& r = open_->reader;
  CopyHeader h;
  if (!ReadHeaderAt(r, offset, &h, error)) return false;
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
  off_t pos = static_cast<off_t>(offset) + static_cast<off_t>(h.headerSize);
  bool endsInHole = false;
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
      endsInHole = hole;
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
  if (endsInHole && ::ftruncate(destinationFd, static_cast<off_t>(h.size)) != 0) {
    *error = std::string("write recalled bytes: ") + std::strerror(errno);
    return false;
  }
  *header = h;
  return true;
}

}  // namespace platform
}  // namespace trhsm
