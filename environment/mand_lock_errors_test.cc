// The mandatory-lock probe when its lock queries fail or are interrupted, and when the other
// holder lets go of its locks between the probe's steps.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testing/call_hooks.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCommon.h"

namespace {

using trhsm_test::Call;
using trhsm_test::ScopedCallHook;

struct Region {
  short type;
  off_t start;  // of 10 bytes
};

// Another holder's locks: open-file-description locks on a descriptor of our own conflict with
// the probe's record-lock queries as another process's locks do. -1 when they cannot be taken.
int HoldLocks(const std::string& path, const std::vector<Region>& regions) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  for (const Region& r : regions) {
    struct flock fl = {};
    fl.l_type = r.type;
    fl.l_whence = SEEK_SET;
    fl.l_start = r.start;
    fl.l_len = 10;
    if (fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

TEST(MandLockErrorsTest, FailedInterruptedAndOvertakenProbes) {
  trhsm_test::ScratchDir dir;
  trhsm_test::LogCapture log;
  const std::string path = dir.File("mand");
  trhsm_test::WriteFile(path, std::string(4096, 'x'));
  ASSERT_EQ(::chmod(path.c_str(), 02644), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  if ((st.st_mode & 07777) != 02644) GTEST_SKIP() << "the file system refused the set-group-ID bit";
  // The first logged line opens the log: count the descriptors after it.
  EXPECT_EQ(trhsmIsMandLocked(dir.File("missing").c_str(), nullptr), -1);
  const std::vector<Region> whole = {{F_WRLCK, 0}};
  // A read lock found first hides the write lock behind it: the probe asks a second time.
  const std::vector<Region> behind = {{F_RDLCK, 0}, {F_WRLCK, 2000}};
  struct Case {
    const char* name;
    std::vector<Region> regions;
    long n;     // the F_GETLK call hooked
    int error;  // it fails with this; 0: the holder lets go just before it
    int result;
    long probes;
  };
  const Case cases[] = {
      {"first probe fails", whole, 1, ENOLCK, -1, 1},
      {"second probe fails", behind, 2, ENOLCK, -1, 2},
      {"first probe interrupted", whole, 1, EINTR, 1, 2},
      {"second probe interrupted", behind, 2, EINTR, 1, 3},
      {"released before the first probe", whole, 1, 0, 0, 1},
      {"released before the second probe", behind, 2, 0, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int holder = HoldLocks(path, c.regions);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    log.Clear();
    const int fds = trhsm_open_fd_count();
    int result;
    long probes;
    {
      auto release = [&] { ::close(std::exchange(holder, -1)); };
      ScopedCallHook hook = c.error != 0
                                ? ScopedCallHook(Call::kFcntl, c.n, c.error, F_GETLK)
                                : ScopedCallHook(Call::kFcntl, c.n, true, release, F_GETLK);
      result = trhsmIsMandLocked(path.c_str(), nullptr);
      probes = hook.calls();
    }
    EXPECT_EQ(trhsm_open_fd_count(), fds - (holder < 0 ? 1 : 0));
    if (holder >= 0) ::close(holder);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(probes, c.probes);
    EXPECT_EQ(log.Contains("trhsmIsMandLocked: fcntl(" + path +
                           ", F_GETLK) failed: " + std::strerror(c.error)),
              c.result == -1)
        << log.Text();
  }
}

}  // namespace
