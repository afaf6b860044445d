// The stub job's decision for one item: release the file (replace it by its stub) only when it is
// still, byte for byte, the file its archived copy holds; otherwise say why not.
#ifndef TRHSM_EXAMPLES_STUBJOB_RELEASE_CHECK_H_
#define TRHSM_EXAMPLES_STUBJOB_RELEASE_CHECK_H_

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "examples/stubjob/job_options.h"
#include "examples/stubjob/stub_replace.h"
#include "trhsm/trhsm.h"

namespace stubjob {

enum class Result {
  kStubbed,  // replaced by its stub
  kDone,     // already the stub of its archived copy
  kWould,    // a dry run: would be stubbed
  kSkipped,  // left as it is on purpose (a stub would not make it smaller)
  kRefused,  // left as it is: it may not or could not be released
};

struct Outcome {
  Result result = Result::kRefused;
  std::string reason;  // why it was refused or skipped, or what a dry run found
  uint64_t size = 0;   // the file's size, when stubbed or it would be
  uint64_t freed = 0;  // disk space given back (a dry run: an estimate)
  // >= 0: the stub is written and waits, at this place in the stub group, for the group's commit,
  // which decides the result (kStubbed or kRefused), reason and freed space.
  int staged = -1;
};

// Not thread-safe; one per job run. `options`, `perf` must outlive it.
class ReleaseCheck {
 public:
  // A file to release is staged in `group` (null in a dry run); the caller commits the group.
  ReleaseCheck(const Options& options, std::string archiveRoot, TRHSMPerfCounter* perf,
               StubGroup* group)
      : o_(options), archive_(std::move(archiveRoot)), perf_(perf), group_(group) {}

  // Decides on, and unless this is a dry run acts on, the item `path` whose collect-file line
  // gave `reparse` and `inode` (~0UL: not known). The file is released only when all hold:
  // a regular file with one link, larger than its stub, not locked, the inode, size,
  // modification time and change time of its archived copy's header (a copy archived without a
  // change time only with --verify), or the inode and change time recorded when the file was last
  // recalled from that copy (platform/archive_identity.h) with the header's size and modification
  // time; with --verify the copy's checksum; and it is still so right before the rename.
  Outcome Handle(const std::string& path, const std::string& reparse, unsigned long inode);

 private:
  const Options& o_;
  std::string archive_;
  TRHSMPerfCounter* perf_;
  StubGroup* group_;
  std::set<std::string> cleaned_;  // folders whose stale temporaries are gone
};

}  // namespace stubjob

#endif  // TRHSM_EXAMPLES_STUBJOB_RELEASE_CHECK_H_
