// What one daemon holds for its life: its state folder (one daemon per folder: the intents there
// are its own) and its trees (no two daemons watch overlapping trees: both would recall the same
// file). Each live daemon keeps "<pid>.trees" in the run folder, listing its trees, locked; a file
// that is not locked is a dead daemon's and is removed.
#ifndef TRHSM_TOOLS_RECALLD_CLAIMS_H_
#define TRHSM_TOOLS_RECALLD_CLAIMS_H_

#include <string>
#include <vector>

namespace recalld {

// True when `path` is `tree` or lies below it (both canonical: absolute, no "." or "..", no
// links, no trailing slash except the root's).
bool Within(const std::string& path, const std::string& tree);

class Claims {
 public:
  Claims() = default;
  ~Claims();
  Claims(const Claims&) = delete;
  Claims& operator=(const Claims&) = delete;

  // Takes the state folder (created when missing) and the trees (canonical). "" when both are
  // held; else one line saying what stands in the way.
  std::string Take(const std::string& state, const std::string& run,
                   const std::vector<std::string>& trees);

 private:
  int stateLock_ = -1;
  int runFile_ = -1;
  std::string runPath_;
};

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_CLAIMS_H_
