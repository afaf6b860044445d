// Fault sweeps: an operation run with the N-th call of one kind failing, N = 1, 2, ... until a run
// in which the fault no longer fires, every run checked.
#ifndef TRHSM_TESTING_FAULT_SWEEP_H_
#define TRHSM_TESTING_FAULT_SWEEP_H_

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "testing/fault_inject.h"

namespace trhsm_test {

struct FaultRun {
  long n = 0;              // the failing call
  bool fired = false;      // whether a call failed
  std::string firedPath;   // the file of the failed call
  bool succeeded = false;  // what the operation reported
};
struct FaultCase {
  const char* op;
  int err;
  bool sticky;
};
// AllFaultCases: each of open, write, fsync, close and rename with ENOSPC and EIO, once and
// sticky; Describe: "write EIO sticky".
// SweepFaults: for n = 1, 2, ...: setup(), arm, operation() (true: it reported success), disarm,
// expect no descriptor leaked, check(run). Stops after the first run in which nothing fired (which
// must succeed) or fails after `limit` runs. Returns the number of runs in which the fault fired.
// FastScratchRoot: a folder where fsync is cheap (/dev/shm when writable), for long sweeps.
// MustFail: whether the fault of `run` must fail an operation that writes into `folder` through
// temporary files named "*.tmp*": any fault on a file there, except a failed close of a descriptor
// that was only read or locked (nothing written through it can be lost).
inline std::vector<FaultCase> AllFaultCases() {
  std::vector<FaultCase> cases;
  for (const char* op : {"open", "write", "fsync", "close", "rename"})
    for (int err : {ENOSPC, EIO})
      for (bool sticky : {false, true}) cases.push_back({op, err, sticky});
  return cases;
}

inline std::string Describe(const FaultCase& c) {
  return std::string(c.op) +
         (c.err == ENOSPC ? " ENOSPC"
          : c.err == EIO  ? " EIO"
                          : " EINTR") +
         (c.sticky ? " sticky" : " once");
}

inline long SweepFaults(const FaultCase& c, const std::function<void()>& setup,
                        const std::function<bool()>& operation,
                        const std::function<void(const FaultRun&)>& check, long limit = 500) {
  for (long n = 1; n <= limit; ++n) {
    SCOPED_TRACE(Describe(c) + " at call " + std::to_string(n));
    setup();
    const int before = trhsm_open_fd_count();
    FaultRun run;
    run.n = n;
    trhsm_fault_arm(c.op, n, c.err, c.sticky);
    run.succeeded = operation();
    run.fired = trhsm_fault_fired() != 0;
    run.firedPath = trhsm_fault_fired_path();
    trhsm_fault_disarm();
    EXPECT_EQ(trhsm_open_fd_count(), before) << "descriptor leaked";
    check(run);
    if (!run.fired) {
      EXPECT_TRUE(run.succeeded) << "failed without a fault";
      return n - 1;
    }
    if (::testing::Test::HasFatalFailure()) return n;
  }
  ADD_FAILURE() << "still failing after " << limit << " runs";
  return limit;
}

inline std::string FastScratchRoot() {
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

inline bool MustFail(const FaultCase& c, const FaultRun& run, const std::string& folder) {
  const std::string& path = run.firedPath;
  const bool inside = path.compare(0, folder.size(), folder) == 0 &&
                      (path.size() == folder.size() || path[folder.size()] == '/');
  if (!run.fired || !inside) return false;
  return std::strcmp(c.op, "close") != 0 || path.find(".tmp") != std::string::npos;
}

inline void PrintTo(const FaultCase& c, std::ostream* os) { *os << Describe(c); }

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_FAULT_SWEEP_H_
