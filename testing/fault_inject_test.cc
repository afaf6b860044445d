// The fault shim itself: which call fails, how it fails, and that the preloaded copy reads its
// arming from the environment.
#include "testing/fault_inject.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/KoFile.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedFault;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

TEST(FaultInject, OnceFailsOnlyTheNthCall) {
  ScratchDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "x");
  ScopedFault fault("open", 2, ENOSPC, false);
  int a = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  errno = 0;
  int b = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = errno;
  int c = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(a, 0);
  EXPECT_EQ(b, -1);
  EXPECT_EQ(err, ENOSPC);
  EXPECT_GE(c, 0);
  ::close(a);
  ::close(c);
  EXPECT_EQ(trhsm_fault_calls("open"), 3);
  EXPECT_EQ(trhsm_fault_calls("close"), 2);
  EXPECT_EQ(trhsm_fault_fired(), 1);
  EXPECT_EQ(std::string(trhsm_fault_fired_path()), path);
}

TEST(FaultInject, StickyFailsEveryLaterCallAndDisarmStops) {
  ScratchDir dir;
  int fd = ::open(dir.File("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  trhsm_fault_arm("fsync", 2, EIO, 1);
  EXPECT_EQ(::fsync(fd), 0);
  EXPECT_EQ(trhsm_fault_fired(), 0);
  EXPECT_EQ(::fsync(fd), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(std::string(trhsm_fault_fired_path()), dir.File("f"));  // named by the descriptor
  EXPECT_EQ(::fdatasync(fd), -1);
  trhsm_fault_disarm();
  EXPECT_EQ(::fsync(fd), 0);
  EXPECT_EQ(trhsm_fault_calls("fsync"), 3);
  EXPECT_EQ(trhsm_fault_calls("nonsense"), -1);
  ::close(fd);
}

TEST(FaultInject, FailedCloseStillReleasesTheDescriptor) {
  ScratchDir dir;
  int before = trhsm_open_fd_count();
  int fd = ::open(dir.File("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(trhsm_open_fd_count(), before + 1);
  {
    ScopedFault fault("close", 1, EIO, false);
    EXPECT_EQ(::close(fd), -1);
    EXPECT_EQ(errno, EIO);
  }
  EXPECT_EQ(trhsm_open_fd_count(), before);
}

TEST(FaultInject, FailedRenameLeavesBothNames) {
  ScratchDir dir;
  WriteFile(dir.File("a"), "new");
  WriteFile(dir.File("b"), "old");
  {
    ScopedFault fault("rename", 1, ENOSPC, false);
    EXPECT_NE(std::rename(dir.File("a").c_str(), dir.File("b").c_str()), 0);
    EXPECT_EQ(errno, ENOSPC);
  }
  EXPECT_EQ(ReadFile(dir.File("b")), "old");
  EXPECT_EQ(ReadFile(dir.File("a")), "new");
}

// Streams opened inside the platform library are reached too, and a failed stream write marks
// the stream as the C library does.
TEST(FaultInject, StreamCallsFailWithTheErrorIndicatorSet) {
  ScratchDir dir;
  std::string path = dir.File("s");
  {
    ScopedFault fault("open", 1, EIO, false);
    EXPECT_EQ(fopen_utf(path.c_str(), "w"), nullptr);
    EXPECT_EQ(errno, EIO);
  }
  FILE* fp = fopen_utf(path.c_str(), "w");
  ASSERT_NE(fp, nullptr);
  {
    ScopedFault fault("write", 2, ENOSPC, false);
    EXPECT_GE(std::fputs("one", fp), 0);
    EXPECT_FALSE(std::ferror(fp));
    EXPECT_EQ(std::fputs("two", fp), EOF);
    EXPECT_EQ(trhsm_fault_fired(), 1);
    EXPECT_TRUE(std::ferror(fp));
    EXPECT_EQ(errno, ENOSPC);
  }
  std::clearerr(fp);
  {
    ScopedFault fault("write", 1, EIO, true);
    EXPECT_EQ(std::fwrite("abc", 1, 3, fp), 0u);
    EXPECT_LT(std::fprintf(fp, "%d", 7), 0);
    EXPECT_EQ(std::fputc('x', fp), EOF);
  }
  std::fclose(fp);
}

TEST(FaultInject, FlushAndCloseOfBufferedOutputCountAsWrites) {
  ScratchDir dir;
  std::string path = dir.File("s");
  int before = trhsm_open_fd_count();
  FILE* fp = std::fopen(path.c_str(), "we");
  ASSERT_NE(fp, nullptr);
  ASSERT_EQ(std::fputs("buffered", fp), 1);
  {
    ScopedFault fault("write", 1, EIO, false);
    EXPECT_EQ(std::fclose(fp), EOF);
    EXPECT_EQ(errno, EIO);
  }
  EXPECT_EQ(trhsm_open_fd_count(), before);
  EXPECT_EQ(ReadFile(path), "");

  fp = std::fopen(path.c_str(), "we");
  ASSERT_NE(fp, nullptr);
  {
    ScopedFault fault("write", 1, ENOSPC, false);
    EXPECT_EQ(std::fflush(fp), 0);  // nothing buffered: no write, nothing counted
    EXPECT_EQ(trhsm_fault_calls("write"), 0);
    EXPECT_EQ(std::fputs("abc", fp), EOF);  // the first write call: counted, fails
    EXPECT_TRUE(std::ferror(fp));
  }
  std::fclose(fp);
}

TEST(FaultInject, StandardStreamsAreNotCounted) {
  ScopedFault fault("write", 1, EIO, true);
  std::fflush(stdout);
  EXPECT_EQ(::write(1, "", 0), 0);
  EXPECT_EQ(trhsm_fault_calls("write"), 0);
}

TEST(FaultInject, ReadsFailOnDescriptorsAndStreams) {
  ScratchDir dir;
  std::string path = dir.File("f");
  WriteFile(path, "line one\nline two\n");
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char buf[8];
  {
    ScopedFault fault("read", 2, EIO, false);
    EXPECT_EQ(::read(fd, buf, 1), 1);
    errno = 0;
    EXPECT_EQ(::pread(fd, buf, 1, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::read(fd, buf, 1), 1);
  }
  ::close(fd);
  FILE* fp = std::fopen(path.c_str(), "r");
  ASSERT_NE(fp, nullptr);
  {
    ScopedFault fault("read", 1, EINTR, false);
    char line[32];
    EXPECT_EQ(std::fgets(line, sizeof line, fp), nullptr);
    EXPECT_NE(std::ferror(fp), 0);
    std::clearerr(fp);
    EXPECT_NE(std::fgets(line, sizeof line, fp), nullptr);
    EXPECT_STREQ(line, "line one\n");
  }
  std::fclose(fp);
}

// The coverage runtime writes its counter files at exit, possibly while a test's fault is armed:
// those calls must neither fail nor count.
TEST(FaultInject, CounterFilesAreLeftAlone) {
  ScratchDir dir;
  std::string counters = dir.File("unit.gcda");
  ScopedFault fault("write", 1, ENOSPC, true);
  int fd = ::open(counters.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  FILE* fp = ::fdopen(fd, "r+b");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(std::fwrite("counts", 1, 6, fp), 6u);
  EXPECT_EQ(std::fclose(fp), 0);
  EXPECT_EQ(ReadFile(counters), "counts");
  EXPECT_EQ(trhsm_fault_calls("write"), 0);
  // The descriptor number, reused by another file, counts again.
  int other = ::open(dir.File("plain").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(other, 0);
  EXPECT_EQ(::write(other, "x", 1), -1);
  ::close(other);
  EXPECT_EQ(trhsm_fault_calls("write"), 1);
}

// Runs the probe program with `env` and the preloaded shim; its exit status, -1 if it did not exit.
int RunProbe(const std::string& target, const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env = extraEnv;
  env.push_back(std::string("LD_PRELOAD=") + TRHSM_FAULT_PRELOAD_PATH);
  env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string probe = TRHSM_FAULT_PROBE_PATH;
    std::string text = "probe";
    char* argv[] = {probe.data(), const_cast<char*>(target.c_str()), text.data(), nullptr};
    ::execve(probe.c_str(), argv, envp.data());
    ::_exit(127);
  }
  return trhsm_test::WaitChild(pid);
}

TEST(FaultPreload, ArmedFromTheEnvironmentAndLogged) {
  ScratchDir dir;
  std::string log = dir.File("log");
  EXPECT_EQ(RunProbe(dir.File("ok"), {}), 0);
  EXPECT_EQ(ReadFile(dir.File("ok")), "probe");
  for (const char* op : trhsm_test::kFaultOps) {
    SCOPED_TRACE(op);
    std::string target = dir.File(std::string("t-") + op);
    EXPECT_EQ(RunProbe(target, {std::string("TRHSM_TEST_FAULT=") + op + ":1:EIO:once",
                                "TRHSM_TEST_FAULT_LOG=" + log}),
              1);
    EXPECT_EQ(ReadFile(target), "");
    EXPECT_NE(ReadFile(log).find(std::string("fault fired ") + op + " 1\n"), std::string::npos)
        << ReadFile(log);
  }
  // A malformed value arms nothing.
  EXPECT_EQ(RunProbe(dir.File("bad"), {"TRHSM_TEST_FAULT=open:x:EIO:once"}), 0);
}

}  // namespace
