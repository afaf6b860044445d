// Crash-safe replacement of files by their stub records, a group at a time (StubGroup), and the
// clean-up of temporaries a killed run left behind.
#ifndef TRHSM_EXAMPLES_STUBJOB_STUB_REPLACE_H_
#define TRHSM_EXAMPLES_STUBJOB_STUB_REPLACE_H_

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// A group of files replaced by their stubs together, so that a whole group costs two syncs of
// the file system instead of two per file. Stage writes a file's stub to a temporary of a fixed
// short name in the file's own folder (owner, mode, extended attributes and times of the file),
// unsynced; Commit makes every temporary durable (one syncfs per file system), then, for each
// file in turn, checks it again (unchanged since it was staged, not locked, the temporary still
// its own) and renames the temporary over it, and makes the renames durable by one more syncfs.
// A file counts as replaced only once its rename is durable. A killed run leaves whole files and
// whole stubs, and temporaries that RemoveStaleTemporaries clears. Nothing is followed in a file's
// folder (which itself must not be a symbolic link). Not thread-safe.
class StubGroup {
 public:
  // The group is full at `maxFiles` files, `maxBytes` bytes of stubs or `maxFolders` folders
  // (each open folder is a descriptor), whichever comes first.
  StubGroup(size_t maxFiles, uint64_t maxBytes, size_t maxFolders);
  ~StubGroup();  // removes the temporaries not committed
  StubGroup(const StubGroup&) = delete;
  StubGroup& operator=(const StubGroup&) = delete;

  // Writes the stub `record` of the file at `path`, which lstat gave as `st`, to a temporary and
  // holds it for Commit. The file must still be Unchanged from `st`. Returns its place in the
  // group; -1 with *error set when it could not be staged (the file is as it was, no temporary
  // is left).
  int Stage(const std::string& path, const std::string& record, const struct stat& st,
            std::string* error);

  bool Full() const {
    return items_.size() >= maxFiles_ || bytes_ >= maxBytes_ || folders_.size() >= maxFolders_;
  }
  bool empty() const { return items_.empty(); }

  // What became of a staged file.
  struct Done {
    bool replaced = false;
    uint64_t freed = 0;  // disk space given back (the file's blocks less the stub's, never < 0)
    std::string error;   // when !replaced, or when replaced but its durability is in doubt
  };
  // Replaces every staged file that still may be, as above; the group is empty afterwards. The
  // result of each file, in the order of staging. A file that failed is as it was, with no
  // temporary left; one replaced but whose rename could not be synced has `replaced` and `error`.
  std::vector<Done> Commit();

 private:
  struct Folder;
  struct Item;
  void Clear();

  size_t maxFiles_;
  uint64_t maxBytes_;
  size_t maxFolders_;
  uid_t uid_;  // this process's
  gid_t gid_;
  uint64_t bytes_ = 0;
  // Folders before items: an item's temporary is removed through its folder's descriptor.
  std::vector<std::unique_ptr<Folder>> folders_;
  std::vector<std::unique_ptr<Item>> items_;
};

}  // namespace stubjob

#endif  // TRHSM_EXAMPLES_STUBJOB_STUB_REPLACE_H_
