// What the stub job tells the person or program that runs it: a line per refusal (or per item in
// a dry run or with --json), progress "N of M" on a terminal, and the summary.
#ifndef TRHSM_EXAMPLES_STUBJOB_JOB_REPORT_H_
#define TRHSM_EXAMPLES_STUBJOB_JOB_REPORT_H_

#include <cstdint>
#include <map>
#include <string>

#include "examples/stubjob/job_options.h"
#include "examples/stubjob/release_check.h"

namespace stubjob {

// Not thread-safe; one per run. `options` must outlive it.
class JobReport {
 public:
  // `total`: the items the collect file holds (0: not known).
  JobReport(const Options& options, uint64_t total);

  // Counts an item that an earlier run finished (before the restart offset).
  void CountFinishedEarlier() { ++done_; }
  // Counts the item and prints what the options ask for.
  void Item(const std::string& path, const Outcome& outcome);
  // Prints a problem of the job (not of one item) on standard error, on its own line.
  void Problem(const std::string& text);
  // Prints the progress line after `index` items (on a terminal only).
  void Progress(uint64_t index);
  // Ends the progress line and prints the summary, with the timing lines `timings` (text only).
  void Summary(bool stopped, const std::string& timings);

  uint64_t refused() const { return refusedTotal_; }

 private:
  void EndProgressLine();

  const Options& o_;
  uint64_t total_;
  bool progress_;         // progress is shown
  bool midLine_ = false;  // a progress line is on the screen, not ended
  uint64_t stubbed_ = 0, done_ = 0, skipped_ = 0, refusedTotal_ = 0, freed_ = 0;
  std::map<std::string, uint64_t> refused_, skips_;  // by reason
};

}  // namespace stubjob

#endif  // TRHSM_EXAMPLES_STUBJOB_JOB_REPORT_H_
