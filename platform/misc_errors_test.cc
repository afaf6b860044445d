// Edge and error paths of the small platform stand-ins: the mount table under interrupted reads,
// rare escapes, odd buffers and exhausted memory; the log sink when its open, write or fstat is
// interrupted or fails and when the file behind its path is replaced; the configuration getters'
// argument checks; and the string helpers' empty cases.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <functional>
#include <list>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/alloc_fault.h"
#include "testing/call_hooks.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/CZeError.h"
#include "trhsm/EvDebug.h"
#include "trhsm/FXString.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoFileName.h"
#include "trhsm/KoMntTab.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScopedFault;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

// The mount points of the current table, or the error text; `buffer` of `size` bytes is given to
// koReadMntTab and its first byte reported after the call.
std::string Describe(KoMntEntry* head) {
  if (head == nullptr) return "error";
  std::string points;
  while (head != nullptr) {
    points += std::string(head->device) + "@" + head->mountPoint + ":" + head->fsType + ";";
    KoMntEntry* next = head->next;
    std::free(head);
    head = next;
  }
  return points;
}
std::string MountPoints(char* buffer = nullptr, int size = 0) {
  return Describe(koReadMntTab(buffer, size));
}

TEST(MountTableEdges, EscapesBlanksInterruptedReadsAndBuffers) {
  ScratchDir dir;
  const std::string table = dir.File("mounts");
  ScopedEnv env("KO_MOUNT_TABLE", table);
  // A backslash not followed by three octal digits stays, whichever digit is missing; trailing
  // blanks end a line.
  WriteFile(table, "d\\!23 /m\\09z t\\01x rw 0 0 \t\n/dev/b /b\\040c ext4 ro  \n");
  EXPECT_EQ(MountPoints(), "d\\!23@/m\\09z:t\\01x;/dev/b@/b c:ext4;");
  {
    // An interrupted read is retried: the table comes out whole.
    ScopedFault fault("read", 1, EINTR, false);
    EXPECT_EQ(MountPoints(), "d\\!23@/m\\09z:t\\01x;/dev/b@/b c:ext4;");
    EXPECT_TRUE(trhsm_fault_fired());
  }
  // A buffer of size 0 is not written to.
  WriteFile(table, "broken\n");
  char untouched[4] = {'X', 'X', 'X', '\0'};
  EXPECT_EQ(MountPoints(untouched, 0), "error");
  EXPECT_STREQ(untouched, "XXX");
  // An empty variable means the kernel's table, as an unset one does.
  ScopedEnv empty("KO_MOUNT_TABLE", "");
  EXPECT_NE(MountPoints().find("@/:"), std::string::npos);
}

TEST(MountTableEdges, OutOfMemoryIsReportedThroughTheCInterface) {
  ScratchDir dir;
  ScopedEnv env("KO_MOUNT_TABLE", dir.File("mounts"));
  WriteFile(dir.File("mounts"), "/dev/a / ext4 rw 0 0\n/dev/b /b xfs ro 0 0\n");
  long n = 1;
  for (; n < 1000; ++n) {
    char error[64] = "stale";
    KoMntEntry* head;
    bool fired;
    {
      trhsm_test::ScopedAllocFault oom(n);
      head = koReadMntTab(error, sizeof error);
      fired = oom.fired();
    }
    const std::string points = Describe(head);
    if (!fired) {
      EXPECT_EQ(points, "/dev/a@/:ext4;/dev/b@/b:xfs;");
      break;
    }
    EXPECT_EQ(points, "error") << "allocation " << n;
    EXPECT_STREQ(error, "Cannot read mount table: std::bad_alloc") << "allocation " << n;
  }
  EXPECT_GT(n, 2);
  EXPECT_LT(n, 1000);
}

TEST(MountTableEdges, FindWithAnEmptyMountPointActsAsTheRoot) {
  std::list<KoMntTab::Entry> entries(1);
  EXPECT_EQ(KoMntTab::find(entries, "/x/y"), &entries.front());
  EXPECT_EQ(KoMntTab::find(entries, "x/y"), nullptr);
}

// Sends standard error to `path` for its lifetime.
class StderrTo {
 public:
  explicit StderrTo(const std::string& path) : saved_(::dup(STDERR_FILENO)) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrTo() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  StderrTo(const StderrTo&) = delete;
  StderrTo& operator=(const StderrTo&) = delete;

 private:
  int saved_;
};

TEST(LogSinkEdges, InterruptedOpenAndWriteAreRetriedAFailedFstatFallsBack) {
  ScratchDir dir;
  for (const char* op : {"open", "write"}) {
    const std::string log = dir.File(std::string(op) + ".log");
    ScopedEnv env("KO_LOG_FILE", log);
    {
      ScopedFault fault(op, 1, EINTR, false);
      EvDebug().Error("SinkTest", "after an interrupted %s", op);
      EXPECT_EQ(trhsm_fault_calls(op), 2) << op;
    }
    const std::string text = ReadFile(log);
    EXPECT_NE(text.find(" ERROR SinkTest: after an interrupted " + std::string(op) + "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line, written once: " << text;
  }
  // A log file whose identity cannot be read is not used: the line goes to standard error.
  const std::string log = dir.File("fstat.log");
  const std::string err = dir.File("stderr");
  {
    ScopedEnv env("KO_LOG_FILE", log);
    StderrTo redirect(err);
    trhsm_test::ScopedCallHook hook(trhsm_test::Call::kFstat, 1, EIO);
    EvDebug().Error("SinkTest", "identity unknown");
    EXPECT_TRUE(hook.fired());
  }
  EXPECT_EQ(ReadFile(log), "");
  EXPECT_NE(ReadFile(err).find("SinkTest: identity unknown\n"), std::string::npos);
}

TEST(LogSinkEdges, FileReplacedUnderThePathGetsTheNextLine) {
  ScratchDir dir;
  const std::string log = dir.File("log");
  ScopedEnv env("KO_LOG_FILE", log);
  EvDebug().Debug("SinkTest", "first");
  // Keep the first file alive, so the new one cannot reuse its inode number.
  ASSERT_EQ(::link(log.c_str(), dir.File("old").c_str()), 0);
  WriteFile(dir.File("new"), "");
  ASSERT_EQ(::rename(dir.File("new").c_str(), log.c_str()), 0);
  EvDebug().Debug("SinkTest", "%s", "\n\n");  // nothing but line ends: an empty message
  EXPECT_EQ(ReadFile(dir.File("old")).find("SinkTest: \n"), std::string::npos);
  EXPECT_NE(ReadFile(log).find(" SinkTest: \n"), std::string::npos) << ReadFile(log);

  // Same path, a file on another device (through a link): reopened too.
  struct stat shm, here;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "needs /dev/shm on a device of its own";
  }
  ScopedEnv shmTmp("TMPDIR", "/dev/shm");
  ScratchDir far;
  const std::string link = dir.File("link");
  ASSERT_EQ(::symlink(far.File("a").c_str(), link.c_str()), 0);
  ScopedEnv viaLink("KO_LOG_FILE", link);
  EvDebug().Debug("SinkTest", "on shm");
  ASSERT_EQ(::unlink(link.c_str()), 0);
  WriteFile(dir.File("b"), "");  // there already, so only its device tells it apart
  ASSERT_EQ(::symlink(dir.File("b").c_str(), link.c_str()), 0);
  EvDebug().Debug("SinkTest", "back home");
  EXPECT_EQ(ReadFile(far.File("a")).find("back home"), std::string::npos);
  EXPECT_NE(ReadFile(dir.File("b")).find("SinkTest: back home\n"), std::string::npos);
}

TEST(PlatformInfoEdges, NullArgumentsAndBufferSizes) {
  ScratchDir dir;
  WriteFile(dir.File("registry"), "[Base]\nsNAME=value\n");
  ScopedEnv env("KO_REGISTRY", dir.File("registry"));
  KOPlatformInfo info;
  std::string value = "kept";
  EXPECT_EQ(info.getString(nullptr, "sNAME", &value), 0);
  EXPECT_EQ(info.getString("Base", nullptr, &value), 0);
  EXPECT_EQ(value, "kept");
  EXPECT_EQ(info.getString("Base", "sNAME", static_cast<std::string*>(nullptr)), 1);

  char buffer[16] = "untouched";
  int length = sizeof buffer;
  EXPECT_EQ(info.getString(nullptr, "sNAME", buffer, &length), 0);
  EXPECT_EQ(info.getString("Base", nullptr, buffer, &length), 0);
  EXPECT_EQ(info.getString("Base", "sNAME", buffer, nullptr), 0);
  EXPECT_EQ(length, 16);
  // Too small, null or empty buffers fail but still report the size needed.
  for (int capacity : {0, -1, 5}) {
    length = capacity;
    EXPECT_EQ(info.getString("Base", "sNAME", buffer, &length), 0) << capacity;
    EXPECT_EQ(length, 5) << capacity;
  }
  length = 16;
  EXPECT_EQ(info.getString("Base", "sNAME", nullptr, &length), 0);
  EXPECT_STREQ(buffer, "untouched");
  length = 6;
  EXPECT_EQ(info.getString("Base", "sNAME", buffer, &length), 1);
  EXPECT_STREQ(buffer, "value");
}

std::string FormatVia(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FXString::FormatV(format, args);
  va_end(args);
  return text;
}

// Runs `make` with each allocation failing in turn: every run throws std::bad_alloc or gives
// `expected`.
void ExpectWholeOrBadAlloc(const std::function<std::string()>& make, const std::string& expected) {
  for (long n = 1; n < 100; ++n) {
    std::string got;
    bool threw = false, fired;
    {
      trhsm_test::ScopedAllocFault oom(n);
      try {
        got = make();
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      fired = oom.fired();
    }
    EXPECT_EQ(threw, fired) << expected << " at allocation " << n;
    if (!fired) {
      EXPECT_EQ(got, expected);
      return;
    }
  }
  ADD_FAILURE() << "never made " << expected;
}

TEST(StringEdges, EmptyAndNullCases) {
  EXPECT_EQ(CZeError().AsString(), "success");
  EXPECT_EQ(CZeError(-3, "").AsString(), "error -3");
  EXPECT_EQ(CZeError(2, "").AsString(), "success");
  EXPECT_EQ(FormatVia(nullptr, 1), "");
  EXPECT_EQ(FormatVia("%s", ""), "");
  EXPECT_EQ(FormatVia("%d-%s", 4, "x"), "4-x");
  EXPECT_EQ(decodeFileName(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(decodeFileName("/a b"), "/a b");
  const std::string longName = "/a/name/longer/than/any/inline/string";
  ExpectWholeOrBadAlloc([&] { return decodeFileName(longName.c_str()); }, longName);
  ExpectWholeOrBadAlloc([] { return CZeError(-2147483647, "").AsString(); }, "error -2147483647");
}

}  // namespace
