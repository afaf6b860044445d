// Fault sweeps for tests: runs an operation with the N-th call of one kind failing, for N = 1, 2,
// ... until a run in which the fault no longer fires, and checks every run.
#ifndef TRHSM_TESTING_FAULT_SWEEP_H_
#define TRHSM_TESTING_FAULT_SWEEP_H_

#include <cerrno>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fault_inject.h"

namespace trhsm_test {

// What one run of a swept operation tells.
struct FaultRun {
  long n = 0;              // the failing call
  bool fired = false;      // whether a call failed
  std::string firedPath;   // the file of the failed call
  bool succeeded = false;  // what the operation reported
};

// One case of a sweep: the op, the error and whether the fault is sticky.
struct FaultCase {
  const char* op;
  int err;
  bool sticky;
};

// The cases every sweep goes through: each op, ENOSPC and EIO, once and sticky.
std::vector<FaultCase> AllFaultCases();
std::string Describe(const FaultCase& c);
inline void PrintTo(const FaultCase& c, std::ostream* os) { *os << Describe(c); }

// For n = 1, 2, ...: calls setup(), arms the fault, runs operation() (true when it reported
// success), disarms, checks that no descriptor leaked, and calls check(run). Stops after the first
// run in which nothing fired (whose success it expects) or after `limit` runs (a failure).
// Returns the number of runs in which the fault fired.
long SweepFaults(const FaultCase& c, const std::function<void()>& setup,
                 const std::function<bool()>& operation,
                 const std::function<void(const FaultRun&)>& check, long limit = 500);

// A folder for scratch files where fsync is cheap (a memory file system when there is one), for
// sweeps that sync a file in each of hundreds of runs; a fixture points TMPDIR at it first.
std::string FastScratchRoot();

// Runs body(folder) in a forked child in a mount namespace of its own, with a 64 KiB memory file
// system mounted on `folder` (an existing empty directory), so that writes there meet a real
// ENOSPC. Returns the child's exit code (body's result), or kNoTinyFs when the namespace or the
// mount could not be set up (no privilege), -1 when the child died.
constexpr int kNoTinyFs = 77;
int RunOnTinyFs(const std::string& folder, const std::function<int(const std::string&)>& body);

// True when `path` lies in `folder` (or is it).
bool PathIn(const std::string& path, const std::string& folder);

// Whether the fault of `run` must fail an operation that writes into `folder` through temporary
// files whose names hold ".tmp": any fault on a file in the folder, except a failed close of a
// descriptor that was only read or locked (nothing written through it can be lost).
bool MustFail(const FaultCase& c, const FaultRun& run, const std::string& folder);

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_FAULT_SWEEP_H_
