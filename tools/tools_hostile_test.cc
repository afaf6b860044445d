// Links and files planted by another user where trhsm-index add and trhsm-recall write: nothing
// outside the folder is touched, and the tool fails with one clear line or succeeds safely.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "tools/scoped_file.h"
#include "tools/tool_fault_run.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::ToolResult;
using trhsm_test::WriteFile;

constexpr uid_t kOtherUser = 65534;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t Rows(const std::string& index, int64_t job) {
  std::string error;
  auto db = BackupIndex::Open(index, BackupIndex::Mode::kCreate, &error);
  std::vector<BackupItem> items;
  if (db && !db->ListJob(job, &items, &error)) ADD_FAILURE() << error;
  return items.size();
}

class HostileArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive_ = dir_.File("archive");
    outside_ = dir_.File("outside");
    ASSERT_EQ(::mkdir(archive_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    WriteFile(outside_ + "/victim", "not to be touched\n");
    WriteFile(dir_.File("file"), "archived bytes\n");
  }

  ToolResult Add() {
    return trhsm_test::RunTool(TRHSM_INDEX_TOOL, {"add", "--job", "3", "--index", dir_.File("i.db"),
                                                  "--archive", archive_, dir_.File("file")});
  }

  void ExpectRefused(const ToolResult& r, const std::string& why) {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Contains(r.out, "trhsm-index: refused \"" + dir_.File("file") + "\": ")) << r.out;
    EXPECT_TRUE(Contains(r.out, why)) << r.out;
    EXPECT_EQ(Rows(dir_.File("i.db"), 3), 0u);
    EXPECT_EQ(ReadFile(outside_ + "/victim"), "not to be touched\n");
    EXPECT_EQ(trhsm_test::ListFolder(outside_), std::vector<std::string>{"victim"});
  }

  ScratchDir dir_;
  std::string archive_, outside_;
};

TEST_F(HostileArchiveTest, GroupFolderThatIsALinkIsRefused) {
  ASSERT_EQ(::symlink(outside_.c_str(), (archive_ + "/1").c_str()), 0);
  ExpectRefused(Add(), "is a symbolic link or not a folder");
}

TEST_F(HostileArchiveTest, ArchiveFileThatIsALinkIsRefused) {
  ASSERT_EQ(::mkdir((archive_ + "/1").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((outside_ + "/victim").c_str(), (archive_ + "/1/1.arc").c_str()), 0);
  ExpectRefused(Add(), "is a symbolic link");
  // A dangling link is not created through either.
  ASSERT_EQ(::unlink((archive_ + "/1/1.arc").c_str()), 0);
  ASSERT_EQ(::symlink((outside_ + "/new").c_str(), (archive_ + "/1/1.arc").c_str()), 0);
  ExpectRefused(Add(), "is a symbolic link");
}

TEST_F(HostileArchiveTest, ArchiveFileWithAnotherLinkIsRefused) {
  ASSERT_EQ(::mkdir((archive_ + "/1").c_str(), 0755), 0);
  ASSERT_EQ(::link((outside_ + "/victim").c_str(), (archive_ + "/1/1.arc").c_str()), 0);
  ExpectRefused(Add(), "has other links");
}

TEST_F(HostileArchiveTest, FifoInPlaceOfTheArchiveFileIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkdir((archive_ + "/1").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((archive_ + "/1/1.arc").c_str(), 0644), 0);
  ExpectRefused(Add(), "is not a regular file");
}

TEST_F(HostileArchiveTest, FolderOrFileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs the superuser";
  const std::string group = archive_ + "/1";
  ASSERT_EQ(::mkdir(group.c_str(), 0777), 0);
  ASSERT_EQ(::chown(group.c_str(), kOtherUser, kOtherUser), 0);
  ExpectRefused(Add(), "archive group folder " + group + " belongs to another user");
  EXPECT_TRUE(trhsm_test::ListFolder(group).empty());

  ASSERT_EQ(::chown(group.c_str(), 0, 0), 0);
  WriteFile(group + "/1.arc", "");
  ASSERT_EQ(::chown((group + "/1.arc").c_str(), kOtherUser, kOtherUser), 0);
  ExpectRefused(Add(), "archive " + group + "/1.arc belongs to another user");
  EXPECT_EQ(ReadFile(group + "/1.arc"), "");
}

TEST_F(HostileArchiveTest, LinkedRootIsFollowedAndTheCopyLandsThere) {
  // The root is the administrator's choice and may be a link.
  const std::string real = dir_.File("real");
  ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
  ASSERT_EQ(::rmdir(archive_.c_str()), 0);
  ASSERT_EQ(::symlink(real.c_str(), archive_.c_str()), 0);
  ToolResult r = Add();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(trhsm_test::ListFolder(real + "/1"), std::vector<std::string>{"1.arc"});
}

// Recall: the stub and the temporary file are reached through one open folder only.
class HostileRecallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    outside_ = dir_.File("outside");
    ASSERT_EQ(::mkdir(files_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    WriteFile(files_ + "/f", "recalled bytes\n");
    ToolResult add =
        trhsm_test::RunTool(TRHSM_INDEX_TOOL, {"add", "--job", "1", "--index", dir_.File("i.db"),
                                               "--archive", dir_.File("archive"), files_ + "/f"});
    ASSERT_EQ(add.status, 0) << add.out;
    const std::string text =
        "1:0:1:1:0:1:" + std::to_string(files_.size() + 2) + ":" + files_ + "/f|1700000000";
    stub_.assign(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 0, nullptr, 0)), '\0');
    trhsm_meta2stub(text.c_str(), 0, &stub_[0], static_cast<int>(stub_.size()));
  }

  ToolResult Recall(const std::string& path) {
    return trhsm_test::RunTool(TRHSM_RECALL_TOOL, {"--archive", dir_.File("archive"), path});
  }

  ScratchDir dir_;
  std::string files_, outside_, stub_;
};

TEST_F(HostileRecallTest, StubThatIsALinkIsRefusedAndItsTargetKept) {
  WriteFile(outside_ + "/stub", stub_);
  ASSERT_EQ(::unlink((files_ + "/f").c_str()), 0);
  ASSERT_EQ(::symlink((outside_ + "/stub").c_str(), (files_ + "/f").c_str()), 0);
  ToolResult r = Recall(files_ + "/f");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "trhsm-recall: refused \"" + files_ + "/f\": open ")) << r.out;
  EXPECT_EQ(ReadFile(outside_ + "/stub"), stub_);
  EXPECT_EQ(trhsm_test::ListFolder(outside_), std::vector<std::string>{"stub"});
  EXPECT_EQ(trhsm_test::ListFolder(files_), std::vector<std::string>{"f"});
  struct stat st;
  ASSERT_EQ(::lstat((files_ + "/f").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(HostileRecallTest, StubWithAnotherLinkIsRecalledAndTheOtherNameKeepsTheStub) {
  WriteFile(files_ + "/f", stub_);
  ASSERT_EQ(::link((files_ + "/f").c_str(), (outside_ + "/other").c_str()), 0);
  // Names of stale temporaries planted as links are neither followed nor removed.
  const std::vector<std::string> names = {".trhsm-recall-tmp.Hard01", ".trhsm-recall-tmp.Link01",
                                          "f"};
  ASSERT_EQ(::link((outside_ + "/other").c_str(), (files_ + "/" + names[0]).c_str()), 0);
  ASSERT_EQ(::symlink((outside_ + "/other").c_str(), (files_ + "/" + names[1]).c_str()), 0);
  ToolResult r = Recall(files_ + "/f");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/f"), "recalled bytes\n");
  // The recall replaces the name; the file under the other name is not written.
  EXPECT_EQ(ReadFile(outside_ + "/other"), stub_);
  EXPECT_EQ(trhsm_test::ListFolder(files_), names);
}

// The temporary-file helpers themselves.
TEST(ScopedFile, TemporaryIsNewPrivateAndNotFollowedOrRemovedWhenSwapped) {
  ScratchDir dir;
  WriteFile(dir.File("victim"), "keep\n");
  trhsm_tools::Fd folder(trhsm_tools::OpenFolder(dir.path(), false));
  ASSERT_GE(folder.get(), 0);
  std::string name;
  std::string swapped;
  {
    trhsm_tools::Fd fd(trhsm_tools::CreateTemporaryAt(folder.get(), ".t.", &name));
    ASSERT_GE(fd.get(), 0);
    ASSERT_EQ(name.size(), 3 + trhsm_tools::kTemporarySuffixLength);
    struct stat st;
    ASSERT_EQ(::fstat(fd.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    trhsm_tools::Temporary temporary(folder.get(), name, fd.get());
    EXPECT_TRUE(temporary.IsStill());
    // Someone replaces the temporary by a link to a file outside: it is not removed, nor followed.
    ASSERT_EQ(::unlink(dir.File(name).c_str()), 0);
    ASSERT_EQ(::symlink(dir.File("victim").c_str(), dir.File(name).c_str()), 0);
    EXPECT_FALSE(temporary.IsStill());
  }
  struct stat st;
  ASSERT_EQ(::lstat(dir.File(name).c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir.File("victim")), "keep\n");
  {
    std::string other;
    trhsm_tools::Fd fd(trhsm_tools::CreateTemporaryAt(folder.get(), ".t.", &other));
    ASSERT_GE(fd.get(), 0);
    EXPECT_NE(other, name);
    trhsm_tools::Temporary temporary(folder.get(), other, fd.get());
  }
  EXPECT_EQ(trhsm_test::ListFolder(dir.path()), (std::vector<std::string>{name, "victim"}));
  // A folder that is a link is refused when asked to be.
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.File("link").c_str()), 0);
  EXPECT_LT(trhsm_tools::OpenFolder(dir.File("link"), false), 0);
  trhsm_tools::Fd followed(trhsm_tools::OpenFolder(dir.File("link"), true));
  EXPECT_GE(followed.get(), 0);
}

}  // namespace
