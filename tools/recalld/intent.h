// The intent record of one in-place recall, kept in the state folder from before the first byte
// is written into the stub's inode until the file is whole and synced. It holds what is needed to
// undo the recall (the stub record and the stub's times) and to find the file again (its path,
// device and inode); the archived copy the record names holds what is needed to finish it.
// File "<state>/intent-<device>-<inode>", lines "key value", values of free text in hexadecimal,
// the last line the CRC-32 of the lines before it; written to a temporary, synced, renamed.
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

// Writes `intent` durably into `state`; false with *error set.
bool WriteIntent(const std::string& state, const Intent& intent, std::string* error);
// Reads the intent file `path`; false when it is not a whole intent record.
bool ReadIntent(const std::string& path, Intent* intent);
// Removes the intent of (device, inode) durably; false with *error set.
bool DropIntent(const std::string& state, uint64_t device, uint64_t inode, std::string* error);
// The intent files in `state` (full paths); temporaries of unfinished writes are removed.
std::vector<std::string> IntentFiles(const std::string& state);

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_INTENT_H_
