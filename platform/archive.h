// The archive beside the backup index: copies of backed-up files, each with a self-describing
// header (platform/archive_format.h), appended to <root>/<group>/<fileId>.arc.
#ifndef TRHSM_PLATFORM_ARCHIVE_H_
#define TRHSM_PLATFORM_ARCHIVE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "trhsm/trhsm_platform_export.h"

namespace trhsm {
namespace platform {

// What a copy's header says about the bytes after it (layout in platform/archive_format.h).
struct CopyHeader {
  uint64_t size = 0;
  int64_t modTime = 0;       // seconds since the epoch
  uint32_t modTimeNsec = 0;  // < 1000000000
  uint32_t crc = 0;          // CRC-32 of the bytes
  unsigned version = 2;      // 1: a copy made before change times were recorded
  uint32_t headerSize = 56;  // the bytes start this far after the copy's offset
  // Version 2 only (0 in version 1): the source's change time and inode while it was copied.
  int64_t changeTime = 0;       // seconds since the epoch
  uint32_t changeTimeNsec = 0;  // < 1000000000
  uint64_t inode = 0;
  bool HasChangeTime() const { return version >= 2; }
};

// "<root>/<group>/<fileId>.arc".
TRHSM_PLATFORM_EXPORT std::string ArchiveFilePath(const std::string& root, int64_t group,
                                                  int64_t fileId);

// The archive root configured in the registry (dARCHIVE_ROOT under Base); false when none is.
TRHSM_PLATFORM_EXPORT bool ConfiguredArchiveRoot(std::string* root);

// Appends a copy of the regular file `sourcePath` (not followed when it is a symbolic link) to
// archive file `fileId` of group `group`, creating the group folder (root included) and the
// archive file when missing. On success *offset is the copy's header offset, and the archive file
// (and, when it was created, its folder) has been synced, so an index row may name it. On failure
// returns false with *error set and leaves the archive file as long as it was before (a file it
// created stays, empty). The header records the source's change time and inode; a source whose
// bytes, size, times or inode change while it is copied is refused ("changed while it was being
// archived"), so the recorded change time always belongs to the bytes stored. A source changed
// in the very clock tick before the copy starts is copied only once that tick is over (a wait of
// at most a few milliseconds, a second on file systems that keep whole seconds), so that a later
// change cannot leave the change time as recorded. The root may be a symbolic link; a group folder
// or archive file that is one is refused, as are an archive file with other links or that is not a
// regular file, and a group folder or archive file owned by a user other than this one or the
// superuser. REQUIRES: group >= 0, fileId >= 0. Safe against other processes appending to the same
// file (an open-file-description lock serialises appenders); not interrupted by signals (EINTR
// retried).
[[nodiscard]] TRHSM_PLATFORM_EXPORT bool AppendCopy(const std::string& root, int64_t group,
                                                    int64_t fileId, const std::string& sourcePath,
                                                    int64_t* offset, std::string* error);

// One archive file held open by a writer that appends copies and may take back the ones that no
// index row will name, even when no file can be opened any more. Appends as AppendCopy does (the
// file and its folders are opened, created and synced at the first Append). Not thread-safe; safe
// against other processes appending to the same file (each call holds the file's lock).
class TRHSM_PLATFORM_EXPORT ArchiveAppender {
 public:
  // REQUIRES: group >= 0, fileId >= 0 (otherwise every Append fails).
  ArchiveAppender(std::string root, int64_t group, int64_t fileId);
  ~ArchiveAppender();
  ArchiveAppender(const ArchiveAppender&) = delete;
  ArchiveAppender& operator=(const ArchiveAppender&) = delete;

  // AppendCopy; on success *header is the copy's header as written.
  [[nodiscard]] bool Append(const std::string& sourcePath, int64_t* offset, CopyHeader* header,
                            std::string* error);
  // Append without the sync: the copy is whole in the file but not yet durable, so no index row
  // may name it before a Sync that succeeds. Many copies then cost one sync.
  [[nodiscard]] bool AppendUnsynced(const std::string& sourcePath, int64_t* offset,
                                    CopyHeader* header, std::string* error);
  // Makes every copy appended so far durable; false with *error set when the sync failed (the
  // copies appended since the last sync that succeeded may then be lost in a crash). True when
  // nothing was appended.
  [[nodiscard]] bool Sync(std::string* error);
  // Cuts the file back to `offset`, taking back the copy there, and syncs it. Only the file's last
  // copy can be taken back: false with *error set, and the file left as it is, when another copy
  // follows it (another process appended since), when `offset` holds no intact header, or on an
  // I/O error.
  [[nodiscard]] bool TakeBack(int64_t offset, std::string* error);

 private:
  bool Open(std::string* error);
  bool AppendCopy(const std::string& sourcePath, bool sync, int64_t* offset, CopyHeader* header,
                  std::string* error);

  std::string root_;
  int64_t group_;
  int64_t fileId_;
  int fd_ = -1;
};

// Reads and checks the header of the copy at `offset`: false with *error set when the archive file
// cannot be read or is not a regular file (a FIFO in its place is refused, never waited on),
// `offset` holds no intact header (magic, version 1 or 2 with its header size, header checksum)
// or the size it declares runs past the end of the archive file. A version 1 header (an archive
// written before change times were recorded) gives HasChangeTime() false.
[[nodiscard]] TRHSM_PLATFORM_EXPORT bool ReadCopyHeader(const std::string& root, int64_t group,
                                                        int64_t fileId, int64_t offset,
                                                        CopyHeader* header, std::string* error);

// ReadCopyHeader, then reads the copy's bytes and compares their checksum with the header's.
[[nodiscard]] TRHSM_PLATFORM_EXPORT bool VerifyCopy(const std::string& root, int64_t group,
                                                    int64_t fileId, int64_t offset,
                                                    CopyHeader* header, std::string* error);

// ReadCopyHeader, then writes the copy's bytes to `destinationFd` (at its current position) while
// checksumming all of them. When the destination is an empty regular file at position 0 (not
// O_APPEND), runs of all-zero blocks are left as holes and the file is then sized to the copy, so
// a sparse file comes back sparse; it reads back the same bytes either way. Returns false with
// *error set on a read or write failure or a checksum that does not match; the destination may
// then hold part of the bytes, so a caller writes to a file it can discard. Does not sync or close
// `destinationFd`.
[[nodiscard]] TRHSM_PLATFORM_EXPORT bool CopyOut(const std::string& root, int64_t group,
                                                 int64_t fileId, int64_t offset, int destinationFd,
                                                 CopyHeader* header, std::string* error);

// Copies read out of the archive files under one root, one after another: the archive file read
// last stays open (a tree's copies mostly lie in one file), its size looked at again at each
// copy. Not thread-safe.
class TRHSM_PLATFORM_EXPORT CopyReader {
 public:
  explicit CopyReader(std::string root);
  ~CopyReader();
  CopyReader(const CopyReader&) = delete;
  CopyReader& operator=(const CopyReader&) = delete;

  // CopyOut. With `emptyFile` the caller vouches that `destinationFd` is an empty regular file
  // at position 0, opened without O_APPEND (a temporary it just made), which then keeps holes
  // without being looked at; otherwise CopyOut looks.
  [[nodiscard]] bool CopyOut(int64_t group, int64_t fileId, int64_t offset, int destinationFd,
                             bool emptyFile, CopyHeader* header, std::string* error);

 private:
  struct Open;
  std::string root_;
  std::unique_ptr<Open> open_;  // the archive file read last
};

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_ARCHIVE_H_
