// Bringing one file back from its stub, for trhsm-recall: the archived copy is verified while it is
// written to a temporary file beside the stub, which takes the stub's owner, mode and extended
// attributes and the archived modification time, and is then renamed over the stub.
#ifndef TRHSM_TOOLS_RECALL_FILE_H_
#define TRHSM_TOOLS_RECALL_FILE_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/archive.h"

namespace trhsm_tools {

// The name of every temporary file a recall writes: this prefix and six letters or digits
// (scoped_file.h), the same length whatever the length of the recalled file's name.
inline constexpr char kRecallTemporaryPrefix[] = ".trhsm-recall-tmp.";

// What became of one file.
struct RecallOutcome {
  bool ok = false;
  std::string error;        // why not, when !ok
  std::string archiveFile;  // the archive file the stub names, once the stub was read
  int64_t offset = 0;       // the copy's offset in it
  uint64_t size = 0;        // the copy's size, when ok
  bool notStub = false;     // refused because the file is a regular file but no stub
};

// Recalls files from the archive under one root, one at a time or a group at a time: Stage
// writes a file's verified copy to a locked temporary beside its stub (unsynced) and Commit makes
// the whole group durable at once (one sync per file system; per file and folder for a group of
// a few), then renames each temporary over its stub if the stub is still the one read, and makes
// the renames durable; a file counts as recalled only then. Not thread-safe; safe against other
// processes recalling in the same folders (each temporary is locked until its rename).
class Recaller {
 public:
  // With `dryRun`, every copy is verified but nothing is written or removed.
  Recaller(std::string archiveRoot, bool dryRun);
  ~Recaller();  // removes the temporaries of files staged but not committed
  Recaller(const Recaller&) = delete;
  Recaller& operator=(const Recaller&) = delete;

  // Replaces the stub `path` by its archived file, or reports why not and leaves it as it was.
  // The first recall in a folder removes the temporary files that killed recalls left there.
  RecallOutcome Recall(const std::string& path);

  // Stages the stub `path`: its place in the group, whose Commit decides its outcome; or -1 with
  // *out its final outcome (refused, with the stub as it was; or a dry run's finding).
  int Stage(const std::string& path, RecallOutcome* out);
  // True when the group should be committed before another file is staged.
  bool Full() const;
  // Completes every staged file as above; their outcomes in the order of staging. The group is
  // empty afterwards.
  std::vector<RecallOutcome> Commit();

 private:
  struct Folder;
  struct Item;
  void RemoveStaleTemporaries(int dirFd);
  Folder* OpenFolderOf(const std::string& folder, std::string* error);

  std::string archiveRoot_;
  bool dryRun_;
  trhsm::platform::CopyReader reader_;  // of the copies: the archive file read last kept open
  std::set<std::pair<uint64_t, uint64_t>> cleaned_;  // folders (device, inode) already cleaned
  uint64_t bytes_ = 0;                               // of the staged copies
  // Folders before items: an item's temporary is removed through its folder's descriptor.
  std::vector<std::unique_ptr<Folder>> folders_;
  std::vector<std::unique_ptr<Item>> items_;
};

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_RECALL_FILE_H_
