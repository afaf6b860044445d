// The intent record of one in-place recall, kept in the state folder from before the first byte
// is written into the stub's inode until the file is whole and synced. It holds what is needed to
// undo the recall (the stub record and the stub's times) and to find the file again (its path,
// device and inode); the archived copy the record names holds what is needed to finish it.
// Each worker has a slot, "<state>/intent-<n>", made once at start. A record is written into it
// and synced (one fdatasync of a small file: the only sync before the first byte goes into the
// stub's inode); it is emptied, without a sync, once the recall is durable. A slot found full at
// start whose recall was in fact finished is finished again, which changes nothing; one holding a
// torn record was being written when the power went, before anything else was.
// Lines "key value", values of free text in hexadecimal, the last line the CRC-32 of the lines
// before it.
#ifndef TRHSM_TOOLS_RECALLD_INTENT_H_
#define TRHSM_TOOLS_RECALLD_INTENT_H_

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace recalld {

struct Intent {
  uint64_t device = 0;
  uint64_t inode = 0;
  struct timespec accessTime = {};  // the stub's, put back when the recall is undone
  struct timespec modTime = {};
  std::string path;
  std::string stub;  // the stub record, the stub file's whole content
};

inline constexpr char kIntentPrefix[] = "intent-";

// Picks `count` slots for the workers, the lowest-numbered that are empty or missing (a full one
// holds an intent that could not be settled), makes the missing ones and syncs the folder; false
// with *error set.
bool PrepareSlots(const std::string& state, unsigned count, std::vector<unsigned>* slots,
                  std::string* error);
// Writes `intent` into slot `slot` and syncs it; false with *error set.
bool WriteIntent(const std::string& state, unsigned slot, const Intent& intent, std::string* error);
// Empties the intent file `path` (not synced).
void ClearIntent(const std::string& path);
// The path of slot `slot`.
std::string SlotPath(const std::string& state, unsigned slot);
// Reads the intent file `path`; false when it holds no whole intent record.
bool ReadIntent(const std::string& path, Intent* intent);
// The intent files in `state` that are not empty (full paths).
std::vector<std::string> IntentFiles(const std::string& state);

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_INTENT_H_
