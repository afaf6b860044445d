// The sweep loop shared by the fault tests.
#include "testing/fault_sweep.h"

#include "testing/test_util.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace trhsm_test {

std::vector<FaultCase> AllFaultCases() {
  std::vector<FaultCase> cases;
  for (const char* op : kFaultOps) {
    for (int err : {ENOSPC, EIO}) {
      for (bool sticky : {false, true}) cases.push_back({op, err, sticky});
    }
  }
  return cases;
}

std::string Describe(const FaultCase& c) {
  return std::string(c.op) + " " + (c.err == ENOSPC ? "ENOSPC" : "EIO") + " " +
         (c.sticky ? "sticky" : "once");
}

long SweepFaults(const FaultCase& c, const std::function<void()>& setup,
                 const std::function<bool()>& operation,
                 const std::function<void(const FaultRun&)>& check, long limit) {
  long fired = 0;
  for (long n = 1; n <= limit; ++n) {
    SCOPED_TRACE(Describe(c) + " at call " + std::to_string(n));
    setup();
    const int before = trhsm_open_fd_count();
    FaultRun run;
    run.n = n;
    trhsm_fault_arm(c.op, n, c.err, c.sticky ? 1 : 0);
    run.succeeded = operation();
    run.fired = trhsm_fault_fired() != 0;
    run.firedPath = trhsm_fault_fired_path();
    trhsm_fault_disarm();
    EXPECT_EQ(trhsm_open_fd_count(), before) << "descriptor leaked";
    check(run);
    if (!run.fired) {
      EXPECT_TRUE(run.succeeded) << "failed without a fault";
      return fired;
    }
    ++fired;
    if (::testing::Test::HasFatalFailure()) return fired;
  }
  ADD_FAILURE() << "still failing after " << limit << " runs";
  return fired;
}

int RunOnTinyFs(const std::string& folder, const std::function<int(const std::string&)>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Private propagation first, or the mount would show in the parent's namespace too.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") !=
            0) {
      ::_exit(kNoTinyFs);
    }
    int code = 99;
    try {
      code = body(folder);
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  if (pid < 0) return -1;
  return WaitChild(pid, 120000);
}

std::string FastScratchRoot() {
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

bool PathIn(const std::string& path, const std::string& folder) {
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

bool MustFail(const FaultCase& c, const FaultRun& run, const std::string& folder) {
  if (!run.fired || !PathIn(run.firedPath, folder)) return false;
  if (std::strcmp(c.op, "close") == 0) return run.firedPath.find(".tmp") != std::string::npos;
  return true;
}

}  // namespace trhsm_test
