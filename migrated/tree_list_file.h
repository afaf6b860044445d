// Whole-file reading and crash-safe replacement of the migrated-tree list file.
#ifndef TRHSM_MIGRATED_TREE_LIST_FILE_H_
#define TRHSM_MIGRATED_TREE_LIST_FILE_H_

#include <string>

namespace trhsm {
namespace migrated {

// The bytes of the list file at `listPath`; "" when it does not exist. Throws KoException (tag
// `tag`, code -1) when it exists but cannot be examined ("Failed to stat file ..."), opened
// ("Failed to open file <path> for reading: ...") or read ("Failed to read file ...").
// REQUIRES: the caller holds at least a shared lock on the list's lock file.
std::string ReadListFile(const std::string& listPath, const char* tag);

// Replaces the list file at `listPath` by `text`: writes listPath + ".tmp" (an entry already
// under that name is removed first, and the file created exclusively, never through a link),
// syncs it, renames it over the list and syncs the folder, so the list on disk is always the old
// one or the new one whole. Throws KoException (tag `tag`, code -1) on any failure, the message
// beginning "Failed to open file <listPath> for writing" when the temporary file cannot be made and
// naming the failed step otherwise; the temporary file is removed and the old list left as it was
// (except when only the folder sync fails: the new list is then in place, whole).
// REQUIRES: the caller holds the exclusive lock on the list's lock file.
void ReplaceListFile(const std::string& listPath, const std::string& text, const char* tag);

}  // namespace migrated
}  // namespace trhsm

#endif  // TRHSM_MIGRATED_TREE_LIST_FILE_H_
