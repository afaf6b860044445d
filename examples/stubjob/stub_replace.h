// Crash-safe replacement of a file by its stub record: a temporary file of a fixed short name in
// the file's own folder, written, given the file's owner, mode, extended attributes and times,
// synced and renamed over the file; and the clean-up of temporaries a killed run left behind.
#ifndef TRHSM_EXAMPLES_STUBJOB_STUB_REPLACE_H_
#define TRHSM_EXAMPLES_STUBJOB_STUB_REPLACE_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace stubjob {

// The folder part of `path` ("." when it has none) and its last component.
std::string FolderOf(const std::string& path);
std::string BaseOf(const std::string& path);

// True when `a` and `b` describe the same file in the same state: device, inode, link count,
// size, modification and change time (with nanoseconds). A write, truncation, rename, chmod,
// link or change of times between the two looks moves the change time.
bool Unchanged(const struct stat& a, const struct stat& b);

// Removes, from `folder`, the temporaries that a killed earlier run left: a regular file of this
// user with no other link, no larger than a stub, under a name of the temporary pattern. The
// folder is not entered when it is a symbolic link, and no entry in it is followed.
void RemoveStaleTemporaries(const std::string& folder);

// Replaces the file at `path`, which lstat gave as `st`, by `record`. Nothing is followed in the
// file's folder (which itself must not be a symbolic link), and the file is looked at again right
// before the rename: when it is no longer Unchanged from `st`, nothing is replaced. On success
// *freed is the disk space given back (the file's blocks less the stub's, never below 0). On
// failure returns false with *error set; the file is then as it was and no temporary is left.
bool ReplaceWithStub(const std::string& path, const std::string& record, const struct stat& st,
                     uint64_t* freed, std::string* error);

}  // namespace stubjob

#endif  // TRHSM_EXAMPLES_STUBJOB_STUB_REPLACE_H_
