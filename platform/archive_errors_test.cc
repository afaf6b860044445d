// Archive error paths: interrupted and failing calls, misplaced files and folders, damaged headers,
// copies that cannot be taken back, and the configured root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "platform/archive.h"
#include "platform/archive_format.h"
#include "testing/call_hooks.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/KoCrc32.h"

namespace {

namespace af = trhsm::archive_format;
using trhsm::platform::ArchiveAppender;
using trhsm::platform::ArchiveFilePath;
using trhsm::platform::CopyHeader;
using trhsm::platform::CopyOut;
using trhsm::platform::ReadCopyHeader;
using trhsm::platform::VerifyCopy;
using trhsm_test::ReadFile;
using trhsm_test::ScopedFault;
using trhsm_test::WriteFile;

bool Has(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

// The size of `path`, -1 when it is missing.
long long SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

class ArchiveErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.File("archive");
    // Two chunks of the copy loops, so a fault can land between them.
    for (size_t i = 0; i < 100000; ++i) source_ += static_cast<char>((i * 7 + i / 300) & 0xFF);
    src_ = dir_.File("src");
    WriteFile(src_, source_);
  }

  // The copy at `offset` of archive (group, 1) written out through CopyOut, with the n-th call
  // of `op` (when set) failing with `err` in it; "<failed: why>" when refused. *hit tells whether
  // the fault fired.
  std::string CopiedOut(int64_t group, int64_t offset, const char* op = nullptr, long n = 0,
                        int err = 0, bool* hit = nullptr) {
    const std::string out = dir_.File("out");
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    CopyHeader h;
    std::string error;
    bool ok;
    {
      ScopedFault fault(op ? op : "none", n, err, false);
      ok = CopyOut(root_, group, 1, offset, fd, &h, &error);
      if (hit) *hit = trhsm_fault_fired() != 0;
    }
    ::close(fd);
    return ok ? ReadFile(out) : "<failed: " + error + ">";
  }

  trhsm_test::ScratchDir dir_;
  std::string root_, src_, source_;
};

// Every open, read and write the appender and the reader make is retried when a signal interrupts
// it, and the retry gives the whole copy.
TEST_F(ArchiveErrorsTest, InterruptedCallsAreRetried) {
  int64_t group = 0;
  for (const char* op : {"open", "read", "write"}) {
    long fired = 0;
    for (long n = 1; n < 40; ++n) {
      ++group;
      ArchiveAppender appender(root_, group, 1);
      int64_t offset = -1;
      CopyHeader h;
      std::string error;
      bool ok, hit;
      {
        ScopedFault fault(op, n, EINTR, false);
        ok = appender.Append(src_, &offset, &h, &error);
        hit = trhsm_fault_fired() != 0;
      }
      ASSERT_TRUE(ok) << op << " " << n << ": " << error;
      EXPECT_EQ(offset, 0);
      EXPECT_EQ(h.size, source_.size());
      EXPECT_EQ(CopiedOut(group, 0), source_) << op << " " << n;
      if (!hit) break;
      ++fired;
    }
    EXPECT_GE(fired, 3) << op;  // e.g. source, root, group folder and archive file opens
    // The readers: the n-th open, read or write of CopyOut interrupted.
    for (long n = 1; n < 10; ++n) {
      bool hit = false;
      EXPECT_EQ(CopiedOut(group, 0, op, n, EINTR, &hit), source_) << op << " " << n;
      if (!hit) break;
    }
  }
}

// Each failing call of an append to an archive that holds a copy fails the append, leaves the
// archive as long as it was, its copy intact, and no descriptor open; the next append lands at the
// old end.
TEST_F(ArchiveErrorsTest, FailedCallsLeaveTheArchiveAsItWas) {
  int64_t offset = -1;
  std::string error;
  ASSERT_TRUE(trhsm::platform::AppendCopy(root_, 0, 1, src_, &offset, &error)) << error;
  const std::string archive = ArchiveFilePath(root_, 0, 1);
  long long before = SizeOf(archive);
  for (const char* op : {"open", "read", "write", "fsync"}) {
    for (bool sticky : {false, true}) {
      long n = 1;
      for (;; ++n) {
        ASSERT_LT(n, 40) << op;
        const int fds = trhsm_open_fd_count();
        bool ok, hit;
        {
          ArchiveAppender appender(root_, 0, 1);
          CopyHeader h;
          ScopedFault fault(op, n, EIO, sticky);
          error.clear();
          ok = appender.Append(src_, &offset, &h, &error);
          hit = trhsm_fault_fired() != 0;
        }
        EXPECT_EQ(trhsm_open_fd_count(), fds) << op << " " << n;
        if (!hit) {
          // Nothing failed: the copy lands where the failed ones did not.
          EXPECT_TRUE(ok) << op << " " << n << ": " << error;
          EXPECT_EQ(offset, before) << op;
          before = SizeOf(archive);
          break;
        }
        EXPECT_FALSE(ok) << op << " " << n;
        EXPECT_TRUE(Has(error, "Input/output error")) << op << " " << n << ": " << error;
        // A cut back that fails too is told, after the first failure.
        if (sticky && std::string(op) == "fsync" && n == 3) {
          EXPECT_TRUE(Has(error, "; cut back archive " + archive)) << error;
        }
        ASSERT_EQ(SizeOf(archive), before) << op << " " << n << ": " << error;
      }
      EXPECT_GT(n, 1) << op;
    }
  }
  EXPECT_EQ(CopiedOut(0, offset), source_);

  // The readers report a failed open, read or write of the destination.
  for (const char* op : {"open", "read"}) {
    EXPECT_EQ(CopiedOut(0, 0, op, 1, EIO),
              "<failed: " + std::string(op == std::string("open") ? "open archive " : "read ") +
                  archive + ": Input/output error>")
        << op;
  }
  EXPECT_EQ(CopiedOut(0, 0, "write", 1, EIO), "<failed: write recalled bytes: Input/output error>");
  CopyHeader h;
  for (const char* op : {"open", "read"}) {
    ScopedFault fault(op, 1, EIO, true);
    EXPECT_FALSE(VerifyCopy(root_, 0, 1, 0, &h, &error)) << op;
    EXPECT_TRUE(Has(error, "Input/output error")) << op << ": " << error;
  }
}

// An interrupted fsync is not retried: the append fails and its partial copy is cut off.
TEST_F(ArchiveErrorsTest, InterruptedSyncFailsTheAppend) {
  ArchiveAppender appender(root_, 0, 1);
  const std::string archive = ArchiveFilePath(root_, 0, 1);
  int64_t offset = -1;
  CopyHeader h;
  std::string error;
  {
    // The first append syncs the group folder first; the file it created stays, empty.
    ScopedFault fault("fsync", 1, EINTR, false);
    EXPECT_FALSE(appender.Append(src_, &offset, &h, &error));
    EXPECT_EQ(error, "sync folder " + root_ + "/0: Interrupted system call");
  }
  EXPECT_EQ(SizeOf(archive), 0);
  ASSERT_TRUE(appender.Append(src_, &offset, &h, &error)) << error;
  const long long size = SizeOf(archive);
  {
    ScopedFault fault("fsync", 1, EINTR, false);
    EXPECT_FALSE(appender.Append(src_, &offset, &h, &error));
    EXPECT_EQ(error, "sync archive " + archive + ": Interrupted system call");
    EXPECT_EQ(trhsm_fault_calls("fsync"), 2);  // the failed one and the cut back's
  }
  EXPECT_EQ(SizeOf(archive), size);
  ASSERT_TRUE(appender.Append(src_, &offset, &h, &error)) << error;
  EXPECT_EQ(offset, size);
  EXPECT_EQ(CopiedOut(0, size), source_);
}

// Folders and files in the wrong places, and ids that name no archive file, are refused before
// anything is written.
TEST_F(ArchiveErrorsTest, MisplacedFoldersAndFilesAreRefused) {
  enum Put { kNothing, kFile, kDanglingLink, kFifo, kSecondName, kOtherOwner };
  struct Case {
    const char* root;  // under the scratch folder unless absolute
    int64_t group, fileId;
    Put put;         // what is put at `at` first
    const char* at;  // "" (the root), "0" (the group folder) or "0/1.arc" (the archive file)
    long
        loopOpen;  // this open fails with ELOOP, as when a link replaces a folder or file meanwhile
    const char* want;
  };
  // Opens: the source, the root, the group folder, the archive file.
  const std::vector<Case> cases = {
      {"r1", 0, 1, kFile, "", 0, "create folder <root>: Not a directory"},
      {"r2", 0, 1, kDanglingLink, "", 0, "create folder <root>: No such file or directory"},
      {"no/r3", 0, 1, kNothing, "", 0, "create folder <root>: No such file or directory"},
      {"/proc/self", 3, 1, kNothing, "", 0, "create folder /proc/self/3: "},
      {"r4", 0, 1, kFile, "0", 0, "group folder <root>/0 is a symbolic link or not a folder"},
      {"r5", 0, 1, kDanglingLink, "0", 0, "folder <root>/0 is a symbolic link or not a folder"},
      {"r6", 0, 1, kNothing, "", 3, "folder <root>/0 is a symbolic link or not a folder"},
      {"r7", 0, 1, kOtherOwner, "0", 0, "archive group folder <root>/0 belongs to another user"},
      {"r8", 0, 1, kFifo, "0/1.arc", 0, "archive <root>/0/1.arc is not a regular file"},
      {"r9", 0, 1, kDanglingLink, "0/1.arc", 0, "archive <root>/0/1.arc is a symbolic link"},
      {"r10", 0, 1, kNothing, "", 4, "archive <root>/0/1.arc is a symbolic link"},
      {"r11", 0, 1, kSecondName, "0/1.arc", 0, "archive <root>/0/1.arc has other links"},
      {"r12", 0, 1, kOtherOwner, "0/1.arc", 0, "archive <root>/0/1.arc belongs to another user"},
      {"r13", -1, 1, kNothing, "", 0, "archive group and file ids must not be negative"},
      {"r13", 0, -2, kNothing, "", 0, "archive group and file ids must not be negative"},
  };
  for (const Case& c : cases) {
    const std::string root = c.root[0] == '/' ? c.root : dir_.File(c.root);
    const std::string at = std::string(c.at).empty() ? root : root + "/" + c.at;
    SCOPED_TRACE(at);
    int rc = 0;  // of the calls that set the case up
    if (!std::string(c.at).empty()) rc |= ::mkdir(root.c_str(), 0755);
    if (Has(c.at, "arc")) rc |= ::mkdir((root + "/0").c_str(), 0755);
    int64_t offset = 77;
    std::string error;
    if (Has(c.at, "arc") && (c.put == kSecondName || c.put == kOtherOwner)) {
      ASSERT_TRUE(trhsm::platform::AppendCopy(root, 0, 1, src_, &offset, &error)) << error;
    }
    if (c.put == kOtherOwner && !Has(c.at, "arc")) rc |= ::mkdir(at.c_str(), 0755);
    if (c.put == kFile) WriteFile(at, "x");
    if (c.put == kDanglingLink) rc |= ::symlink("gone", at.c_str());
    if (c.put == kFifo) rc |= ::mkfifo(at.c_str(), 0644);
    if (c.put == kSecondName) rc |= ::link(at.c_str(), (root + "/other").c_str());
    ASSERT_EQ(rc, 0);
    if (c.put == kOtherOwner && ::chown(at.c_str(), 4242, 4242) != 0) continue;  // not superuser
    const std::string archive = ArchiveFilePath(root, c.group, c.fileId);
    struct stat before = {}, after = {};
    const bool existed = ::lstat(archive.c_str(), &before) == 0;
    ArchiveAppender appender(root, c.group, c.fileId);
    CopyHeader h;
    offset = 77;
    {
      ScopedFault fault(c.loopOpen ? "open" : "none", c.loopOpen, ELOOP, false);
      EXPECT_FALSE(appender.Append(src_, &offset, &h, &error));
    }
    std::string want = c.want;
    if (Has(want, "<root>")) want.replace(want.find("<root>"), 6, root);
    EXPECT_TRUE(Has(error, want)) << error;
    EXPECT_EQ(offset, 77);
    EXPECT_EQ(::lstat(archive.c_str(), &after) == 0, existed);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(c.put != kFile || ReadFile(at) == "x", true);
  }
  EXPECT_EQ(ReadFile(src_), source_);
}

// Edits the header of the copy at offset 0 of `archive` and gives it a checksum that holds.
void EditHeader(const std::string& archive, const std::function<void(char*)>& edit) {
  std::string bytes = ReadFile(archive);
  ASSERT_GE(bytes.size(), af::kHeaderSize);
  edit(&bytes[0]);
  const size_t crcAt = af::kHeaderSize - af::kHeaderCrcSize;
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(bytes.data(), crcAt, &reg);
  trhsm::EncodeFixed32LE(&bytes[crcAt], ~reg);
  WriteFile(archive, bytes);
}

// The readers refuse ids, files and headers they cannot trust, and never hang on a FIFO.
TEST_F(ArchiveErrorsTest, ReadersRefuseWhatTheyCannotTrust) {
  struct Case {
    const char* name;
    int64_t group, fileId;
    mode_t placed;                    // a folder or FIFO in the archive file's place, or 0
    std::function<void(char*)> edit;  // applied to a real copy's header, when set
    std::string want;
  };
  const std::vector<Case> cases = {
      {"negative group", -1, 1, 0, nullptr, "archive group -1, file 1: negative ids name no"},
      {"negative file", 1, -3, 0, nullptr, "archive group 1, file -3: negative ids name no"},
      {"a folder", 2, 1, S_IFDIR, nullptr, root_ + "/2/1.arc is not a regular file"},
      {"a FIFO", 3, 1, S_IFIFO, nullptr, root_ + "/3/1.arc is not a regular file"},
      {"version 3", 4, 1, 0, [](char* h) { trhsm::EncodeFixed16BE(h + af::kVersionOffset, 3); },
       "at offset 0 has an unknown version"},
      {"version 1 size", 7, 1, 0,
       [](char* h) { trhsm::EncodeFixed16BE(h + af::kVersionOffset, 1); },
       "at offset 0 has an unknown version"},
      {"longer header", 5, 1, 0,
       [](char* h) { trhsm::EncodeFixed16BE(h + af::kHeaderSizeOffset, 40); },
       "at offset 0 has an unknown version"},
      {"nanoseconds of 1e9", 6, 1, 0,
       [](char* h) { trhsm::EncodeFixed32LE(h + af::kModTimeNsecOffset, 1000000000u); },
       "at offset 0 has a bad modification or change time"},
      {"change time nanoseconds of 1e9", 8, 1, 0,
       [](char* h) { trhsm::EncodeFixed32LE(h + af::kChangeTimeNsecOffset, 1000000000u); },
       "at offset 0 has a bad modification or change time"},
  };
  ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
  for (const Case& c : cases) {
    const std::string archive = ArchiveFilePath(root_, c.group, c.fileId);
    int64_t offset = -1;
    std::string error;
    if (c.placed != 0) {
      ASSERT_EQ(::mkdir((root_ + "/" + std::to_string(c.group)).c_str(), 0755), 0);
      ASSERT_EQ(
          c.placed == S_IFDIR ? ::mkdir(archive.c_str(), 0755) : ::mkfifo(archive.c_str(), 0644),
          0);
    }
    if (c.edit) {
      ASSERT_TRUE(trhsm::platform::AppendCopy(root_, c.group, c.fileId, src_, &offset, &error));
      EditHeader(archive, c.edit);
    }
    CopyHeader h;
    EXPECT_FALSE(ReadCopyHeader(root_, c.group, c.fileId, 0, &h, &error)) << c.name;
    EXPECT_TRUE(Has(error, c.want)) << c.name << ": " << error;
    error.clear();
    EXPECT_FALSE(VerifyCopy(root_, c.group, c.fileId, 0, &h, &error)) << c.name;
    EXPECT_TRUE(Has(error, c.want)) << c.name << ": " << error;
  }
  CopyHeader h;
  std::string error;
  EXPECT_FALSE(CopyOut(root_, 4, 1, 0, -1, &h, &error));
  EXPECT_EQ(error, "no destination to copy out to");
}

// Only the last copy of the file can be taken back, by an appender that appended to it.
TEST_F(ArchiveErrorsTest, TakeBackRefusals) {
  const std::string archive = ArchiveFilePath(root_, 0, 1);
  ArchiveAppender appender(root_, 0, 1);
  std::string error;
  EXPECT_FALSE(appender.TakeBack(0, &error));
  EXPECT_EQ(error, "no copy was appended to " + archive);
  int64_t first = -1, second = -1, offset = -1;
  CopyHeader h;
  ASSERT_TRUE(appender.Append(src_, &first, &h, &error)) << error;
  ASSERT_TRUE(appender.Append(src_, &second, &h, &error)) << error;
  const long long size = SizeOf(archive);
  const std::string link = dir_.File("hard");
  struct Case {
    const char* name;
    int64_t offset;
    const char* faultOp;  // failed with EIO, once
    bool linked;          // a second name for the archive file
    std::string want;
  };
  const std::vector<Case> cases = {
      {"not the last", first, nullptr, false,
       "copy in " + archive + " at offset 0 is not the last one; left in place"},
      {"no header there", second + 1, nullptr, false, "no copy header in " + archive},
      {"negative offset", -36, nullptr, false, "no copy header in " + archive},
      {"header unreadable", second, "read", false, "read " + archive + ": Input/output error"},
      {"other links", second, nullptr, true, "archive " + archive + " has other links"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.linked ? ::link(archive.c_str(), link.c_str()) : 0, 0);
    {
      ScopedFault fault(c.faultOp ? c.faultOp : "none", 1, EIO, false);
      EXPECT_FALSE(appender.TakeBack(c.offset, &error)) << c.name;
    }
    EXPECT_TRUE(Has(error, c.want)) << c.name << ": " << error;
    EXPECT_EQ(SizeOf(archive), size) << c.name;
    ASSERT_EQ(c.linked ? ::unlink(link.c_str()) : 0, 0);
  }
  ASSERT_TRUE(appender.TakeBack(second, &error)) << error;
  EXPECT_EQ(SizeOf(archive), second);
  ASSERT_TRUE(appender.Append(src_, &offset, &h, &error)) << error;
  EXPECT_EQ(offset, second);
  // A cut back whose sync fails is reported: the cut may not be on disk.
  ScopedFault fault("fsync", 1, EIO, false);
  EXPECT_FALSE(appender.TakeBack(second, &error));
  EXPECT_EQ(error, "cut back archive " + archive + ": Input/output error");
}

// The calls that fail only on a broken system (fstat, the lock, ftruncate) are reported as well:
// every append or take-back they fail keeps the archive's bytes and leaks no descriptor.
TEST_F(ArchiveErrorsTest, FailedStatLockAndTruncateAreReported) {
  using trhsm_test::Call;
  using trhsm_test::ScopedCallHook;
  const std::string archive = ArchiveFilePath(root_, 0, 1);
  int64_t offset = -1;
  CopyHeader h;
  std::string error;
  ASSERT_TRUE(trhsm::platform::AppendCopy(root_, 0, 1, src_, &offset, &error)) << error;
  const long long size = SizeOf(archive);
  struct Case {
    Call call;
    int command;
  };
  const int fds = trhsm_open_fd_count();
  for (const Case& c : {Case{Call::kFstat, -1}, Case{Call::kFcntl, F_OFD_SETLKW}}) {
    for (long n = 1;; ++n) {
      SCOPED_TRACE("call kind " + std::to_string(static_cast<int>(c.call)) + ", n " +
                   std::to_string(n));
      ASSERT_LT(n, 20);
      bool fired = false, ok = false;
      {
        ArchiveAppender appender(root_, 0, 1);
        {
          ScopedCallHook hook(c.call, n, EIO, c.command);
          ok = appender.Append(src_, &offset, &h, &error);
          fired = hook.fired();
        }
        if (!fired) {
          ASSERT_TRUE(ok) << error;
          EXPECT_EQ(offset, size);
          // The take-back fails at each of its own calls first.
          for (const Case& t : {c, Case{Call::kFtruncate, -1}}) {
            ScopedCallHook hook(t.call, 1, EIO, t.command);
            EXPECT_FALSE(appender.TakeBack(offset, &error));
            EXPECT_TRUE(hook.fired());
            EXPECT_TRUE(Has(error, "Input/output error")) << error;
            EXPECT_EQ(SizeOf(archive), size + static_cast<long long>(af::kHeaderSize) +
                                           static_cast<long long>(source_.size()));
          }
          ASSERT_TRUE(appender.TakeBack(offset, &error)) << error;
        }
      }
      EXPECT_EQ(SizeOf(archive), size);
      EXPECT_EQ(trhsm_open_fd_count(), fds);
      if (!fired) break;
      EXPECT_FALSE(ok);
      EXPECT_TRUE(Has(error, "Input/output error")) << error;
    }
  }
  // A copy whose sync fails and whose cut back fails too is reported with both reasons; the copy
  // before it stays intact.
  {
    ScopedFault sync("fsync", 3, EIO, false);  // after the two folder syncs of the first append
    ScopedCallHook cut(Call::kFtruncate, 1, EIO);
    EXPECT_FALSE(trhsm::platform::AppendCopy(root_, 0, 1, src_, &offset, &error));
    EXPECT_TRUE(cut.fired());
  }
  EXPECT_TRUE(Has(error, "sync archive " + archive + ": Input/output error")) << error;
  EXPECT_TRUE(Has(error, "; cut back archive " + archive + ": Input/output error")) << error;
  EXPECT_EQ(CopiedOut(0, 0), source_);
  // A reader whose fstat fails refuses the file.
  ScopedCallHook stat(Call::kFstat, 1, EIO);
  EXPECT_FALSE(ReadCopyHeader(root_, 0, 1, 0, &h, &error));
  EXPECT_EQ(error, "open archive " + archive + ": Input/output error");
}

// A source that changes between the checksum and the copy is not archived under a wrong checksum.
TEST_F(ArchiveErrorsTest, SourceChangingWhileArchivedIsRefused) {
  // Its read counter grows with every read of it.
  const std::string changing = "/proc/self/io";
  if (ReadFile(changing).empty()) GTEST_SKIP() << changing << " cannot be read here";
  int64_t offset = -1;
  std::string error;
  ASSERT_TRUE(trhsm::platform::AppendCopy(root_, 0, 1, src_, &offset, &error)) << error;
  const std::string archive = ArchiveFilePath(root_, 0, 1);
  const long long size = SizeOf(archive);
  offset = 77;
  EXPECT_FALSE(trhsm::platform::AppendCopy(root_, 0, 1, changing, &offset, &error));
  EXPECT_EQ(error, changing + " changed while it was being archived");
  EXPECT_EQ(offset, 77);
  EXPECT_EQ(SizeOf(archive), size);
  EXPECT_EQ(CopiedOut(0, 0), source_);
  // Same bytes, but a change time that moved while they were copied (a chmod just before the
  // last look at the source): the recorded change time would not belong to the bytes.
  using trhsm_test::Call;
  using trhsm_test::ScopedCallHook;
  long looks = 0;
  {
    ScopedCallHook count(Call::kFstat, 1000, EIO);
    ASSERT_TRUE(trhsm::platform::AppendCopy(root_, 9, 1, src_, &offset, &error)) << error;
    looks = count.calls();
  }
  ScopedCallHook chmod(Call::kFstat, looks, true, [&] { ::chmod(src_.c_str(), 0604); });
  EXPECT_FALSE(trhsm::platform::AppendCopy(root_, 10, 1, src_, &offset, &error));
  EXPECT_TRUE(chmod.fired());
  EXPECT_EQ(error, src_ + " changed while it was being archived");
  EXPECT_EQ(SizeOf(ArchiveFilePath(root_, 10, 1)), 0);
}

TEST(ConfiguredArchiveRootTest, ReadsTheRegistryValue) {
  trhsm_test::ScratchDir dir;
  struct Case {
    const char* store;  // nullptr: no store file
    bool found;
  };
  for (const Case& c : std::vector<Case>{{"[Base]\ndARCHIVE_ROOT=/srv/arc\n", true},
                                         {"[Base]\ndARCHIVE_ROOT=\n", false},
                                         {"[Other]\ndARCHIVE_ROOT=/srv/arc\n", false},
                                         {nullptr, false}}) {
    const std::string store = dir.File("registry");
    ::unlink(store.c_str());
    if (c.store) WriteFile(store, c.store);
    trhsm_test::ScopedEnv env("KO_REGISTRY", store);
    std::string root = "unchanged";
    EXPECT_EQ(trhsm::platform::ConfiguredArchiveRoot(&root), c.found) << (c.store ? c.store : "");
    EXPECT_EQ(root, c.found ? "/srv/arc" : "unchanged");
  }
}

}  // namespace
