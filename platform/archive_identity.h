// The identity of a file brought back from an archived copy: a recall records, beside the copy, the
// inode and change time the recalled file has once it is whole, so that a stub job can release
// that file again without a new backup as long as neither has changed. A file changed after its
// recall has another change time and no longer matches.
#ifndef TRHSM_PLATFORM_ARCHIVE_IDENTITY_H_
#define TRHSM_PLATFORM_ARCHIVE_IDENTITY_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "trhsm/trhsm_platform_export.h"

namespace trhsm {
namespace platform {

struct RecalledIdentity {
  uint64_t inode = 0;
  int64_t changeTime = 0;       // seconds since the epoch
  uint32_t changeTimeNsec = 0;  // < 1000000000
  bool Matches(const struct stat& st) const {
    return static_cast<uint64_t>(st.st_ino) == inode && st.st_ctim.tv_sec == changeTime &&
           static_cast<uint32_t>(st.st_ctim.tv_nsec) == changeTimeNsec;
  }
};

// "<root>/<group>/<fileId>.arc.<offset>.recalled": one line, "recalled 1 <inode> <seconds>
// <nanoseconds>", naming the file that was last recalled from the copy at `offset`.
TRHSM_PLATFORM_EXPORT std::string RecalledIdentityPath(const std::string& root, int64_t group,
                                                       int64_t fileId, int64_t offset);

// Records `st` (the recalled file's status, taken after its last change) as the identity of the
// file recalled from the copy at `offset`, replacing an earlier record atomically (temporary
// file, fsync, rename, folder fsync). False with *error set when it cannot be written; the old
// record, if any, then stays.
[[nodiscard]] TRHSM_PLATFORM_EXPORT bool RecordRecalledIdentity(const std::string& root,
                                                                int64_t group, int64_t fileId,
                                                                int64_t offset,
                                                                const struct stat& st,
                                                                std::string* error);

// One record for RecordRecalledIdentities.
struct RecalledRecord {
  int64_t group = 0, fileId = 0, offset = 0;
  struct stat st;  // the recalled file's status
};

// RecordRecalledIdentity for many copies at once, durable at the same points: every record is
// written to its temporary, all of them are synced by one sync of the archive's file system,
// renamed into place, and the renames synced by one more. Returns the number recorded durably; a
// record that could not be written is left out (the old one, if any, stays), and the count is 0
// when a sync fails (before the renames nothing is renamed; after them the records may not
// survive a crash).
TRHSM_PLATFORM_EXPORT size_t RecordRecalledIdentities(const std::string& root,
                                                      const std::vector<RecalledRecord>& records);

// The identity recorded for the copy at `offset`; false when there is none or it does not read.
[[nodiscard]] TRHSM_PLATFORM_EXPORT bool ReadRecalledIdentity(const std::string& root,
                                                              int64_t group, int64_t fileId,
                                                              int64_t offset,
                                                              RecalledIdentity* identity);

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_ARCHIVE_IDENTITY_H_
