// One recall into the stub's own inode, crash-safe through an intent record (intent.h).
//
// The order of the writes keeps the stub record readable at offset 0 until the data is whole:
//   1. the archived copy's header is read (a copy that is missing or cut short stops here, with
//      nothing written);
//   2. the intent record is written into the worker's slot and synced;
//   3. in one pass over the copy, the data after the record's length is written at its own
//      offsets (runs of zero blocks stay holes) while the checksum of all of it is computed; a
//      checksum that does not match cuts the file back to the record, puts the stub's times back,
//      and the recall fails;
//   4. the data's first bytes (fewer than a page: a stub record is at most 1050 bytes) replace
//      the record in one write and the archived modification time is set: the data is whole, and
//      the processes waiting for it go on;
//   5. the file is synced, the identity record written, the slot emptied.
// No process sees a byte of the data before its checksum matched: the ones that wait are answered
// after step 4. A reader let through while this is cut short by a crash reads the stub record at
// offset 0, followed by part of the data; start-up recovery (recovery.h) then puts the whole stub
// back or, once step 4 was done, finishes the file.
#ifndef TRHSM_TOOLS_RECALLD_INPLACE_RECALL_H_
#define TRHSM_TOOLS_RECALLD_INPLACE_RECALL_H_

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
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
  // events; `path` names it). Between chunks, a set `stop` undoes the recall (kStopped). Calls
  // `whole` with the data's size once the data is whole in the file, before it is synced; after
  // that call `fd` is not used again, and a result of kRecalled with an error says what went
  // wrong while making it durable (the intent then stays for the next start).
  // `slot`: the caller's intent slot (intent.h), used by one recall at a time.
  RecallResult Recall(int fd, const std::string& path, unsigned slot, const std::atomic<bool>& stop,
                      const std::function<void(uint64_t)>& whole) const;

 private:
  std::string archive_;
  std::string state_;
};

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_INPLACE_RECALL_H_
