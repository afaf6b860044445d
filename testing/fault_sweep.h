// Fault sweeps: an operation run with the N-th call of one kind failing, N = 1, 2, ... until a run
// in which the fault no longer fires, every run checked.
#ifndef TRHSM_TESTING_FAULT_SWEEP_H_
#define TRHSM_TESTING_FAULT_SWEEP_H_

#include <gtest/gtest.h>

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
// Each of open, write, fsync, close and rename with ENOSPC and EIO, once and sticky.
std::vector<FaultCase> AllFaultCases();
std::string Describe(const FaultCase& c);  // "write EIO sticky"
inline void PrintTo(const FaultCase& c, std::ostream* os) { *os << Describe(c); }

// For n = 1, 2, ...: setup(), arm, operation() (true: it reported success), disarm, expect no
// descriptor leaked, check(run). Stops after the first run in which nothing fired (which must
// succeed) or fails after `limit` runs. Returns the number of runs in which the fault fired.
long SweepFaults(const FaultCase& c, const std::function<void()>& setup,
                 const std::function<bool()>& operation,
                 const std::function<void(const FaultRun&)>& check, long limit = 500);

// A folder where fsync is cheap (/dev/shm when writable), for sweeps of hundreds of runs.
std::string FastScratchRoot();

// Whether the fault of `run` must fail an operation that writes into `folder` through temporary
// files named "*.tmp*": any fault on a file there, except a failed close of a descriptor that was
// only read or locked (nothing written through it can be lost).
bool MustFail(const FaultCase& c, const FaultRun& run, const std::string& folder);

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_FAULT_SWEEP_H_
