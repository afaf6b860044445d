// The mandatory-lock probe against locks that another holder has, and its failures: a file it
// cannot read, lock queries that fail or are interrupted, a holder that lets go between its steps.
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
using Regions = std::vector<std::pair<short, off_t>>;  // lock type and start of 10 bytes (0: all)

// Another holder's locks: open-file-description locks on a descriptor of our own conflict with
// the probe's record-lock queries as another process's locks do. -1 when they cannot be taken.
int HoldLocks(const std::string& path, const Regions& regions) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  for (const auto& [type, start] : regions) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = start == 0 && regions.size() == 1 ? 0 : 10;
    if (fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) != 0) return ::close(fd), -1;
  }
  return fd;
}

class MandLockTest : public ::testing::Test {
 protected:
  // A file of 4 KiB with the given mode; false when the file system refused the mode.
  bool MakeFile(const std::string& path, mode_t mode) {
    trhsm_test::WriteFile(path, std::string(4096, 'x'));
    struct stat st;
    return ::chmod(path.c_str(), mode) == 0 && ::stat(path.c_str(), &st) == 0 &&
           (st.st_mode & 07777) == mode;
  }
  trhsm_test::ScratchDir dir_;
  trhsm_test::LogCapture log_;
  const std::string path_ = dir_.File("mand"), missing_ = dir_.File("missing");
};

TEST_F(MandLockTest, LocksOfAnotherHolder) {
  const std::string exec = dir_.File("exec"), plain = dir_.File("plain"), link = dir_.File("link");
  if (!MakeFile(path_, 02644) || !MakeFile(exec, 02754) || !MakeFile(plain, 0644)) {
    GTEST_SKIP() << "the file system refused the set-group-ID bit";
  }
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  struct stat st, linkSt, plainSt;
  ASSERT_EQ(
      ::stat(path_.c_str(), &st) + ::lstat(link.c_str(), &linkSt) + ::stat(plain.c_str(), &plainSt),
      0);
  const int fds = trhsm_open_fd_count();
  EXPECT_EQ(trhsmIsMandLocked(path_.c_str(), &st), 0);
  // clang-format off
  const struct { Regions locks; int expected; } cases[] = {
      {{{F_WRLCK, 1000}}, 1}, {{{F_WRLCK, 0}}, 1}, {{{F_RDLCK, 0}}, 0},
      // The kernel reports the read lock first when asked for any conflict.
      {{{F_RDLCK, 0}, {F_WRLCK, 2000}}, 1},
  };
  // clang-format on
  for (const auto& c : cases) {
    const int holder = HoldLocks(path_, c.locks),
              others[] = {HoldLocks(exec, {{F_WRLCK, 0}}), HoldLocks(plain, {{F_WRLCK, 0}})};
    ASSERT_GE(holder, 0);
    EXPECT_EQ(trhsmIsMandLocked(path_.c_str(), &st), c.expected);
    EXPECT_EQ(trhsmIsMandLocked(link.c_str(), &linkSt), c.expected);
    EXPECT_EQ(trhsmIsMandLocked(link.c_str(), nullptr), c.expected);
    // Only set-group-ID without group execute means mandatory locking; a given status is believed.
    EXPECT_EQ(trhsmIsMandLocked(exec.c_str(), nullptr) + trhsmIsMandLocked(plain.c_str(), nullptr),
              0);
    EXPECT_EQ(trhsmIsMandLocked(missing_.c_str(), &plainSt), 0);
    for (int fd : {holder, others[0], others[1]}) ::close(fd);
  }
  EXPECT_EQ(trhsm_open_fd_count(), fds);
  // A lock of this process is not another's.
  const int own = HoldLocks(path_, {});
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(own, F_SETLK, &fl), 0);
  EXPECT_EQ(trhsmIsMandLocked(path_.c_str(), nullptr), 0);
  ::close(own);
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(MandLockTest, FailuresAreLoggedAndLeakNothing) {
  EXPECT_EQ(trhsmIsMandLocked(nullptr, nullptr), -1);
  EXPECT_EQ(trhsmIsMandLocked(missing_.c_str(), nullptr), -1);
  EXPECT_TRUE(log_.Contains("trhsmIsMandLocked: Failed to stat " + missing_ +
                            ": No such file or directory"));
  const int fds = trhsm_open_fd_count();  // after the first line, which opens the log itself
  struct stat st = {};
  st.st_mode = S_IFREG | 02644;  // a status that claims mandatory locking for a missing file
  EXPECT_EQ(trhsmIsMandLocked(missing_.c_str(), &st), -1);
  EXPECT_TRUE(
      log_.Contains("Failed to open " + missing_ + " for writing: No such file or directory"));
  if (!MakeFile(path_, 02644)) GTEST_SKIP() << "the file system refused the set-group-ID bit";
  // A read lock found first hides the write lock behind it: the probe asks a second time.
  const Regions whole = {{F_WRLCK, 0}}, behind = {{F_RDLCK, 0}, {F_WRLCK, 2000}};
  // clang-format off
  const struct { Regions regions; long n; int error; int result; long probes; } cases[] = {
      // The n-th F_GETLK fails with `error`; 0: the holder lets go just before it.
      {whole, 1, ENOLCK, -1, 1}, {behind, 2, ENOLCK, -1, 2},
      {whole, 1, EINTR, 1, 2}, {behind, 2, EINTR, 1, 3},
      {whole, 1, 0, 0, 1}, {behind, 2, 0, 0, 2},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " " + std::strerror(c.error));
    int holder = HoldLocks(path_, c.regions);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    log_.Clear();
    int result;
    long probes;
    {
      auto release = [&] { ::close(std::exchange(holder, -1)); };
      ScopedCallHook hook = c.error != 0
                                ? ScopedCallHook(Call::kFcntl, c.n, c.error, F_GETLK)
                                : ScopedCallHook(Call::kFcntl, c.n, true, release, F_GETLK);
      result = trhsmIsMandLocked(path_.c_str(), nullptr);
      probes = hook.calls();
    }
    if (holder >= 0) ::close(holder);
    EXPECT_EQ(trhsm_open_fd_count(), fds);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(probes, c.probes);
    EXPECT_EQ(log_.Contains("trhsmIsMandLocked: fcntl(" + path_ +
                            ", F_GETLK) failed: " + std::strerror(c.error)),
              c.result == -1)
        << log_.Text();
  }
}

}  // namespace
