// trhsm-index add: lists the files at or below the paths given, each once, then copies each
// into the archive and records it in the backup index, in one transaction.
#ifndef TRHSM_TOOLS_INDEX_ADD_H_
#define TRHSM_TOOLS_INDEX_ADD_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/backup_index.h"

namespace trhsm_tools {

// The command line of trhsm-index.
struct IndexOptions {
  std::string command;
  bool help = false;
  bool json = false;
  bool haveJob = false;
  int64_t job = 0;
  int64_t archiveGroup = 1;
  std::string index;
  std::string archive;
  std::vector<std::pair<int64_t, std::string>> attrs;
  std::vector<std::string> paths;
};

// Adds the regular files at or below o.paths as items of o.job. Symbolic links are not followed;
// a file named more than once (one path twice, or a folder and a file in it) is added once, the
// names of a hard-linked file each (the job refuses them). Every copy is appended to the archive
// and synced before the rows that name it are committed; when the commit fails the copies are
// taken back. Refusals go to standard error (ending a progress line first), the summary to
// standard output. Returns the exit status: 0, or 1 when a path was refused, the index failed or
// standard output could not be written.
int AddToIndex(trhsm::platform::BackupIndex* index, const IndexOptions& o);

// Flushes standard output: 0, or 1 after "<tool>: write standard output: <reason>" on standard
// error when it could not be written.
int FinishOutput(const char* tool);

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_INDEX_ADD_H_
