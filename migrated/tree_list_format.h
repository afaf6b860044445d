// The migrated-tree list file "HSMMNTLIST": the one place that says what its records look like.
//
// Plain text, no header or trailer, one record per line in list order:
//   "1" (1 byte) "|" (1 byte) tree path (1..kMaxTreeLength bytes) "|" (1 byte) "\n" (1 byte)
// A reader sees each line through a buffer of kLineBufferSize bytes, so a whole record, line feed
// included, must fit in kLineBufferSize - 1 bytes. There is no escaping: a tree path holds neither
// "|" nor a line feed (nor a NUL).
#ifndef TRHSM_MIGRATED_TREE_LIST_FORMAT_H_
#define TRHSM_MIGRATED_TREE_LIST_FORMAT_H_

#include <cstddef>

namespace trhsm {
namespace tree_list {

constexpr char kListFileName[] = "HSMMNTLIST";  // in the client's job results directory
constexpr char kLockSuffix[] = ".lock";         // lock file: list path + this
constexpr char kTempSuffix[] = ".tmp";          // a new list is written here, then renamed

constexpr char kRecordTag = '1';  // 0x31, the whole first field
constexpr char kSeparator = '|';  // 0x7C, ends the first and the second field
constexpr char kLineEnd = '\n';   // 0x0A, ends the record

constexpr size_t kLineBufferSize = 4096;  // at most 4095 bytes of a line, "\n" included
constexpr size_t kRecordOverhead = 4;     // tag, two separators, line feed
constexpr size_t kMaxRecordLength = kLineBufferSize - 1;
constexpr size_t kMaxTreeLength = kMaxRecordLength - kRecordOverhead;  // 4091

}  // namespace tree_list
}  // namespace trhsm

#endif  // TRHSM_MIGRATED_TREE_LIST_FORMAT_H_
