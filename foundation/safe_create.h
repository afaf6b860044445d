// Creating files in folders that other users may write: nothing planted there (a symbolic link,
// a hard link, a FIFO) can make a write land elsewhere.
#ifndef TRHSM_FOUNDATION_SAFE_CREATE_H_
#define TRHSM_FOUNDATION_SAFE_CREATE_H_

#include <string>

namespace trhsm {

// Creates a new file `prefix` + six random letters and digits, opened read-write with
// O_EXCL | O_NOFOLLOW | O_CLOEXEC and mode 0666 less the umask, trying other names while a name
// is taken. Returns the descriptor and sets *path, or -1 with errno (*path unchanged).
int CreateUniqueFile(const std::string& prefix, std::string* path);

// Opens `path` read-write as an empty regular file of this user with one link: an existing
// such file is truncated; anything else under the name (a symbolic link, a file with other
// links or of another owner, a FIFO) is removed (the entry itself, never what a link names)
// and a new file created with O_EXCL | O_NOFOLLOW. Returns the descriptor (close-on-exec) or -1
// with errno.
int OpenEmptyOwnFile(const std::string& path);

// The folder part of `path` ("." without a slash, "/" for a file in the root).
std::string FolderOf(const std::string& path);

// fsync of the folder, so that a rename or creation in it survives a crash. 0, or -1 with errno.
int SyncFolder(const std::string& folder);

}  // namespace trhsm

#endif  // TRHSM_FOUNDATION_SAFE_CREATE_H_
