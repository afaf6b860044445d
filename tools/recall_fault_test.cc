// trhsm-recall under injected I/O faults: every open, write, fsync, close and rename of the run
// failed in turn, once or from then on, and on a full file system. A recall either puts the whole
// file back or reports failure and leaves the stub as it was, with no temporary file left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "tools/tool_fault_run.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::Fault;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::ToolResult;
using trhsm_test::WriteFile;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The stub record whose layout-1 reparse text names `item`'s copy.
std::string StubFor(const BackupItem& item) {
  const std::string text =
      "1:0:" + std::to_string(item.archGroupId) + ":" + std::to_string(item.archFileId) + ":" +
      std::to_string(item.archFileOffset) + ":1:" + std::to_string(item.fullFileName.size()) + ":" +
      item.fullFileName + "|1700000000";
  std::string record(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 0, nullptr, 0)), '\0');
  trhsm_meta2stub(text.c_str(), 0, &record[0], static_cast<int>(record.size()));
  return record;
}

class RecallFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    archive_ = dir_.File("archive");
    ASSERT_EQ(::mkdir(files_.c_str(), 0755), 0);
    // Several chunks of the copy-out loop, so a write fault can land in the middle.
    original_.resize(150000);
    for (size_t i = 0; i < original_.size(); ++i) original_[i] = static_cast<char>(i * 11 + 5);
    path_ = files_ + "/data";
    WriteFile(path_, original_);
    const std::string index = dir_.File("index.db");
    ToolResult add = trhsm_test::RunTool(
        TRHSM_INDEX_TOOL, {"add", "--job", "5", "--index", index, "--archive", archive_, path_});
    ASSERT_EQ(add.status, 0) << add.out;
    std::string error;
    auto db = BackupIndex::Open(index, BackupIndex::Mode::kReadOnly, &error);
    ASSERT_TRUE(db) << error;
    std::vector<BackupItem> items;
    ASSERT_TRUE(db->ListJob(5, &items, &error)) << error;
    ASSERT_EQ(items.size(), 1u);
    stub_ = StubFor(items[0]);
  }

  void PutStub() {
    ::unlink(path_.c_str());
    WriteFile(path_, stub_);
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  }

  std::vector<std::string> Args() const { return {"--archive", archive_, path_}; }

  // The state after one run, whatever it reported.
  void CheckAfter(const ToolResult& r, const std::string& what) {
    EXPECT_EQ(trhsm_test::ListFolder(files_), std::vector<std::string>{"data"})
        << what << ": a temporary file was left\n"
        << r.out;
    const std::string now = ReadFile(path_);
    if (r.status == 0) {
      EXPECT_TRUE(now == original_) << what << ": reported success, but the file is not back\n"
                                    << r.out;
      struct stat st;
      ASSERT_EQ(::stat(path_.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0640u) << what;
      return;
    }
    EXPECT_EQ(r.status, 1) << what << "\n" << r.out;
    EXPECT_TRUE(Contains(r.out, "trhsm-recall: refused \"" + path_ + "\": ")) << what << "\n"
                                                                              << r.out;
    // Only a folder sync that failed after the rename leaves the file recalled; it says so.
    if (Contains(r.out, "recalled, but")) {
      EXPECT_TRUE(now == original_) << what;
    } else {
      EXPECT_TRUE(now == stub_) << what << ": the stub was changed by a failed recall\n" << r.out;
    }
  }

  ScratchDir dir_;
  std::string files_, archive_, path_, original_, stub_;
};

TEST_F(RecallFaultTest, EveryFaultFailsTheRecallOrLeavesTheFileWhole) {
  // Closes of descriptors only read from may fail harmlessly; every other fault in the run is
  // in the recall's own path (the stub, the copy, the temporary file, the folder).
  const std::set<std::string> mayBeHarmless = {"close"};
  constexpr long kCap = 60;
  for (const char* op : trhsm_test::kSweepOps) {
    for (int err : trhsm_test::kSweepErrors) {
      for (bool sticky : {false, true}) {
        long failures = 0;
        long n = 1;
        for (; n <= kCap; ++n) {
          PutStub();
          const Fault fault{op, n, err, sticky};
          const ToolResult r =
              trhsm_test::RunToolWithFault(TRHSM_RECALL_TOOL, Args(), fault, dir_.path());
          CheckAfter(r, fault.Describe());
          if (r.fired && r.status == 0) {
            EXPECT_TRUE(mayBeHarmless.count(op)) << fault.Describe() << ": fault ignored\n"
                                                 << r.out;
          }
          if (r.status != 0) ++failures;
          if (!r.fired) {
            EXPECT_EQ(r.status, 0) << fault.Describe() << "\n" << r.out;
            break;
          }
        }
        EXPECT_LE(n, kCap) << op << ": the sweep did not reach a run without the fault";
        // Each of these operations is part of the write path, so some fault must stop it.
        EXPECT_GT(failures, 0) << op << " " << err << " " << sticky;
      }
    }
  }
}

// A recall killed while it writes leaves its temporary; the next one in the folder removes it, but
// not while the recall that writes it still runs.
TEST_F(RecallFaultTest, NextRecallRemovesTheTemporaryOfAKilledOne) {
  PutStub();
  const std::string other = files_ + "/other";
  WriteFile(other, stub_);
  std::vector<std::string> whileStuck;
  ToolResult beside;
  // The second write of the copy is retried on EINTR for ever: meanwhile another recall runs.
  const Fault fault{"write", 2, EINTR, true};
  const ToolResult killed =
      trhsm_test::RunToolWithFault(TRHSM_RECALL_TOOL, Args(), fault, dir_.path(), {}, [&] {
        beside = trhsm_test::RunTool(TRHSM_RECALL_TOOL, {"--archive", archive_, other});
        whileStuck = trhsm_test::ListFolder(files_);
      });
  ASSERT_TRUE(killed.fired) << killed.out;
  EXPECT_EQ(beside.status, 0) << beside.out;
  EXPECT_TRUE(ReadFile(other) == original_);
  const std::vector<std::string> left = trhsm_test::ListFolder(files_);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].rfind(".trhsm-recall-tmp.", 0), 0u) << left[0];
  EXPECT_EQ(whileStuck, left) << "the temporary of a running recall was removed";
  EXPECT_EQ(ReadFile(path_), stub_);

  ToolResult r = trhsm_test::RunTool(TRHSM_RECALL_TOOL, Args());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(trhsm_test::ListFolder(files_), (std::vector<std::string>{"data", "other"}));
  EXPECT_TRUE(ReadFile(path_) == original_);
}

// A 64 KiB file system in a mount namespace of a child process: the recalled file does not fit.
TEST_F(RecallFaultTest, FullFileSystemFailsAndKeepsTheStub) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs the superuser";
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Each failed step exits with its own code; 77 means the mount cannot be made here.
    if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
    const std::string small = dir_.File("small");
    if (::mkdir(small.c_str(), 0755) != 0) ::_exit(10);
    if (::mount("trhsm-small", small.c_str(), "tmpfs", 0, "size=64k") != 0) ::_exit(77);
    const std::string stub = small + "/data";
    try {
      WriteFile(stub, stub_);
    } catch (...) {
      ::_exit(11);
    }
    ToolResult r = trhsm_test::RunTool(TRHSM_RECALL_TOOL, {"--archive", archive_, stub});
    if (r.status != 1) ::_exit(12);
    if (!Contains(r.out, "No space left on device")) ::_exit(13);
    if (ReadFile(stub) != stub_) ::_exit(14);
    if (trhsm_test::ListFolder(small) != std::vector<std::string>{"data"}) ::_exit(15);
    ::_exit(0);
  }
  ASSERT_GT(pid, 0);
  const int code = trhsm_test::WaitChild(pid, 60000);
  if (code == 77) GTEST_SKIP() << "no mount namespace or tmpfs here";
  EXPECT_EQ(code, 0) << "step " << code << " failed (12: status, 13: message, 14: stub changed, "
                     << "15: temporary file left)";
}

}  // namespace
