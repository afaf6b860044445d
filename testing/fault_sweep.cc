// The sweep loop shared by the fault tests.
#include "testing/fault_sweep.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace trhsm_test {

std::vector<FaultCase> AllFaultCases() {
  std::vector<FaultCase> cases;
  for (const char* op : {"open", "write", "fsync", "close", "rename"})
    for (int err : {ENOSPC, EIO})
      for (bool sticky : {false, true}) cases.push_back({op, err, sticky});
  return cases;
}

std::string Describe(const FaultCase& c) {
  return std::string(c.op) +
         (c.err == ENOSPC ? " ENOSPC"
          : c.err == EIO  ? " EIO"
                          : " EINTR") +
         (c.sticky ? " sticky" : " once");
}

long SweepFaults(const FaultCase& c, const std::function<void()>& setup,
                 const std::function<bool()>& operation,
                 const std::function<void(const FaultRun&)>& check, long limit) {
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

std::string FastScratchRoot() {
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

bool MustFail(const FaultCase& c, const FaultRun& run, const std::string& folder) {
  const std::string& path = run.firedPath;
  const bool inside = path.compare(0, folder.size(), folder) == 0 &&
                      (path.size() == folder.size() || path[folder.size()] == '/');
  if (!run.fired || !inside) return false;
  return std::strcmp(c.op, "close") != 0 || path.find(".tmp") != std::string::npos;
}

}  // namespace trhsm_test
