// Bringing one file back from its stub, for trhsm-recall: the archived copy is verified while it is
// written to a temporary file beside the stub, which takes the stub's owner, mode and extended
// attributes and the archived modification time, and is then renamed over the stub.
#ifndef TRHSM_TOOLS_RECALL_FILE_H_
#define TRHSM_TOOLS_RECALL_FILE_H_

#include <cstdint>
#include <set>
#include <string>
#include <utility>

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

// Recalls files from the archive under one root. Not thread-safe; safe against other processes
// recalling in the same folders (each temporary is locked while it is written).
class Recaller {
 public:
  // With `dryRun`, every copy is verified but nothing is written or removed.
  Recaller(std::string archiveRoot, bool dryRun)
      : archiveRoot_(std::move(archiveRoot)), dryRun_(dryRun) {}

  // Replaces the stub `path` by its archived file, or reports why not and leaves it as it was.
  // The first recall in a folder removes the temporary files that killed recalls left there.
  RecallOutcome Recall(const std::string& path);

 private:
  void RemoveStaleTemporaries(int dirFd);

  std::string archiveRoot_;
  bool dryRun_;
  std::set<std::pair<uint64_t, uint64_t>> cleaned_;  // folders (device, inode) already cleaned
};

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_RECALL_FILE_H_
