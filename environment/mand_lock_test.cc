// The mandatory-lock probe against locks that another holder has, and its failures.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/TRHSMCommon.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScratchDir;

struct Region {
  short type;  // F_RDLCK or F_WRLCK
  off_t start;
  off_t length;  // 0: to the end of the file
};

// Locks of another holder: open-file-description locks on a descriptor of our own conflict with
// the probe's record-lock queries as another process's locks do. Released on destruction.
class LockHolder {
 public:
  LockHolder(const std::string& path, const std::vector<Region>& regions)
      : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    for (const Region& r : regions) {
      struct flock lock = {};
      lock.l_type = r.type;
      lock.l_whence = SEEK_SET;
      lock.l_start = r.start;
      lock.l_len = r.length;
      ready_ = ready_ && fd_ >= 0 && fcntl(fd_, F_OFD_SETLK, &lock) == 0;
    }
  }
  ~LockHolder() {
    if (fd_ >= 0) close(fd_);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool Ready() const { return ready_; }

 private:
  int fd_;
  bool ready_ = true;
};

int OpenDescriptors() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++count;
    closedir(d);
  }
  return count;
}

class MandLockTest : public ::testing::Test {
 protected:
  // A file of 4 KiB with the given mode.
  std::string MakeFile(const std::string& name, mode_t mode) {
    std::string path = dir_.File(name);
    trhsm_test::WriteFile(path, std::string(4096, 'x'));
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    if ((st.st_mode & 07777) != mode) setgid_refused_ = true;
    return path;
  }

  ScratchDir dir_;
  bool setgid_refused_ = false;
};

#define SKIP_IF_SETGID_REFUSED() \
  if (setgid_refused_) GTEST_SKIP() << "the file system refused the set-group-ID bit"

// The probe's answers for one mandatory-locking file, and a link to it, while a child holds
// various locks on it.
TEST_F(MandLockTest, LocksOfAnotherProcess) {
  std::string path = MakeFile("mand", 02644);
  SKIP_IF_SETGID_REFUSED();
  std::string link = dir_.File("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  struct stat st, linkSt;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  ASSERT_EQ(lstat(link.c_str(), &linkSt), 0);
  ASSERT_TRUE(S_ISLNK(linkSt.st_mode));
  EXPECT_EQ(trhsmIsMandLocked(path.c_str(), nullptr), 0);
  EXPECT_EQ(trhsmIsMandLocked(path.c_str(), &st), 0);

  struct Case {
    const char* name;
    std::vector<Region> locks;
    int expected;
  };
  const Case cases[] = {
      {"write lock on a part", {{F_WRLCK, 1000, 10}}, 1},
      {"write lock on the whole", {{F_WRLCK, 0, 0}}, 1},
      {"read lock alone", {{F_RDLCK, 0, 0}}, 0},
      // The kernel reports the read lock first when asked for any conflict.
      {"write lock behind a read lock", {{F_RDLCK, 0, 10}, {F_WRLCK, 2000, 10}}, 1},
  };
  for (const Case& c : cases) {
    LockHolder holder(path, c.locks);
    ASSERT_TRUE(holder.Ready()) << c.name;
    EXPECT_EQ(trhsmIsMandLocked(path.c_str(), &st), c.expected) << c.name;
    EXPECT_EQ(trhsmIsMandLocked(link.c_str(), &linkSt), c.expected) << c.name;
    EXPECT_EQ(trhsmIsMandLocked(link.c_str(), nullptr), c.expected) << c.name;
  }
  // Every holder is gone, and its locks with it; a lock of this process is not another's.
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock own = {};
  own.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(fd, F_SETLK, &own), 0);
  EXPECT_EQ(trhsmIsMandLocked(path.c_str(), nullptr), 0);
  close(fd);
}

TEST_F(MandLockTest, OnlySetGroupIdWithoutGroupExecuteCounts) {
  std::string exec = MakeFile("exec", 02754);
  std::string plain = MakeFile("plain", 0644);
  SKIP_IF_SETGID_REFUSED();
  LockHolder a(exec, {{F_WRLCK, 0, 0}});
  LockHolder b(plain, {{F_WRLCK, 0, 0}});
  ASSERT_TRUE(a.Ready());
  ASSERT_TRUE(b.Ready());
  EXPECT_EQ(trhsmIsMandLocked(exec.c_str(), nullptr), 0);
  EXPECT_EQ(trhsmIsMandLocked(plain.c_str(), nullptr), 0);

  // A given status is believed: a file it calls plain is not even opened.
  struct stat st;
  ASSERT_EQ(stat(plain.c_str(), &st), 0);
  EXPECT_EQ(trhsmIsMandLocked(dir_.File("missing").c_str(), &st), 0);
}

TEST_F(MandLockTest, FailuresAreLoggedAndLeakNothing) {
  LogCapture log;
  const std::string missing = dir_.File("missing");
  EXPECT_EQ(trhsmIsMandLocked(missing.c_str(), nullptr), -1);
  // Counted after the first line, which opens the log itself.
  const int before = OpenDescriptors();
  EXPECT_TRUE(
      log.Contains("trhsmIsMandLocked: Failed to stat " + missing + ": No such file or directory"))
      << log.Text();

  // A status that claims mandatory locking for a file that is not there.
  struct stat st = {};
  st.st_mode = S_IFREG | 02644;
  EXPECT_EQ(trhsmIsMandLocked(missing.c_str(), &st), -1);
  EXPECT_TRUE(log.Contains("Failed to open " + missing + " for writing: No such file or directory"))
      << log.Text();

  const std::string folder = dir_.File("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(chmod(folder.c_str(), 02755 & ~S_IXGRP), 0);
  EXPECT_EQ(trhsmIsMandLocked(folder.c_str(), nullptr), -1);
  EXPECT_EQ(trhsmIsMandLocked(nullptr, nullptr), -1);

  std::string path = MakeFile("mand", 02644);
  EXPECT_EQ(trhsmIsMandLocked(path.c_str(), nullptr), 0);
  LockHolder holder(path, {{F_WRLCK, 0, 0}});
  ASSERT_TRUE(holder.Ready());
  const int withHolder = OpenDescriptors();
  EXPECT_EQ(trhsmIsMandLocked(path.c_str(), nullptr), 1);
  EXPECT_EQ(OpenDescriptors(), withHolder);
  EXPECT_EQ(withHolder, before + 1);  // the holder's own descriptor
}

}  // namespace
