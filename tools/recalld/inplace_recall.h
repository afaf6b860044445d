// One recall into the stub's own inode, crash-safe through an intent record (intent.h).
//
// The order of the writes keeps the stub record readable at offset 0 until the data is whole:
//   1. the archived copy is read whole and its checksum checked (nothing written yet);
//   2. the intent record is written and synced;
//   3. the data after the record's length is written at its own offsets (runs of zero blocks stay
//      holes), checksummed again on the way, the file sized, and synced;
//   4. the data's first bytes (fewer than a page: a stub record is at most 1050 bytes) replace
//      the record in one write, the archived modification time is set, and the file is synced;
//   5. the intent is dropped.
// A reader let through while this is cut short by a crash therefore reads the stub record at
// offset 0, followed by part of the data; start-up recovery (recovery.h) then puts the whole stub
// back or, when step 4 was done, finishes the file.
#ifndef TRHSM_TOOLS_RECALLD_INPLACE_RECALL_H_
#define TRHSM_TOOLS_RECALLD_INPLACE_RECALL_H_

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/recalld/intent.h"
#include "trhsm/TRHSMStubFile.h"

namespace recalld {

struct RecallResult {
  enum Kind { kRecalled, kNotStub, kFailed, kStopped } kind = kFailed;
  std::string error;   // why, when kFailed
  uint64_t bytes = 0;  // the data's size, when kRecalled
};

// Reads the whole file at `fd` (status `st`) as a stub record: true with *record and *data set
// when it is exactly one valid record whose reparse text parses.
bool ReadStub(int fd, const struct stat& st, std::string* record, ReparseData* data);

// Puts the stub back in the file open for writing at `fd`: the record at offset 0, the size cut
// to it, the stub's times, synced. False with *error set.
bool Undo(int fd, const Intent& intent, std::string* error);

class InPlaceRecaller {
 public:
  InPlaceRecaller(std::string archive, std::string state)
      : archive_(std::move(archive)), state_(std::move(state)) {}

  // Recalls the stub open at `fd` (a fanotify event's read-only descriptor, whose reads raise no
  // events; `path` names it). Between chunks, a set `stop` undoes the recall (kStopped).
  RecallResult Recall(int fd, const std::string& path, const std::atomic<bool>& stop) const;

 private:
  std::string archive_;
  std::string state_;
};

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_INPLACE_RECALL_H_
