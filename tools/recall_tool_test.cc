// trhsm-recall run as a program on stubs of files archived by trhsm-index.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::ProgramRun;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

ProgramRun Recall(const std::vector<std::string>& args) {
  return trhsm_test::RunProgram(TRHSM_RECALL_TOOL, args);
}

std::vector<std::string> Names(const std::string& path) { return trhsm_test::ListFolder(path); }

class RecallToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    archive_ = dir_.File("archive");
    ASSERT_EQ(::mkdir(files_.c_str(), 0755), 0);
    WriteFile(files_ + "/a", "first file\n");
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    WriteFile(files_ + "/b", big);
    WriteFile(files_ + "/empty", "");
    // Distinct, old modification times, so the recall visibly restores them.
    for (const char* name : {"a", "b", "empty"}) {
      const struct timespec times[2] = {{1500000000, 0}, {1600000000 + name[0], 123456789}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (files_ + "/" + name).c_str(), times, 0), 0);
      originals_[name] = ReadFile(files_ + "/" + name);
    }
    const std::string index = dir_.File("index.db");
    ProgramRun add =
        trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "5", "--archive-group", "2",
                                                  "--index", index, "--archive", archive_, files_});
    ASSERT_EQ(add.status, 0) << add.out;
    std::string error;
    auto db = BackupIndex::Open(index, BackupIndex::Mode::kReadOnly, &error);
    ASSERT_TRUE(db) << error;
    std::vector<BackupItem> items;
    ASSERT_TRUE(db->ListJob(5, &items, &error)) << error;
    for (const BackupItem& item : items) items_[item.fullFileName.substr(files_.size() + 1)] = item;
    ASSERT_EQ(items_.size(), 3u);
  }

  // Replaces the file `name` by a stub whose layout-1 reparse text names its archived copy.
  void Stub(const std::string& name) {
    const BackupItem& item = items_.at(name);
    const std::string text =
        "1:0:" + std::to_string(item.archGroupId) + ":" + std::to_string(item.archFileId) + ":" +
        std::to_string(item.archFileOffset) + ":1:" + std::to_string(item.fullFileName.size()) +
        ":" + item.fullFileName + "|1700000000";
    std::string record(trhsm_meta2stub(text.c_str(), 0, nullptr, 0), '\0');
    trhsm_meta2stub(text.c_str(), 0, &record[0], static_cast<int>(record.size()));
    WriteFile(files_ + "/" + name, record);
    ASSERT_EQ(::chmod((files_ + "/" + name).c_str(), 0640), 0);
  }

  struct stat Stat(const std::string& name) {
    struct stat st = {};
    EXPECT_EQ(::stat((files_ + "/" + name).c_str(), &st), 0);
    return st;
  }

  ScratchDir dir_;
  std::string files_, archive_;
  std::map<std::string, std::string> originals_;
  std::map<std::string, BackupItem> items_;
};

TEST_F(RecallToolTest, RecallsBytesModeAndTime) {
  Stub("a");
  Stub("b");
  Stub("empty");
  const std::vector<std::string> before = Names(files_);
  ProgramRun r = Recall({"--archive", archive_, files_ + "/a", files_ + "/b", files_ + "/empty"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("recalled \"" + files_ + "/b\" (300000 bytes)"), std::string::npos) << r.out;
  for (const char* name : {"a", "b", "empty"}) {
    EXPECT_EQ(ReadFile(files_ + "/" + name), originals_[name]) << name;
    struct stat st = Stat(name);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000 + name[0]) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789) << name;
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    EXPECT_EQ(st.st_uid, ::getuid());
  }
  EXPECT_EQ(Names(files_), before);

  // A recalled file is no stub any more.
  ProgramRun again = Recall({"--archive", archive_, files_ + "/a"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("refused \"" + files_ + "/a\": not a stub file"), std::string::npos)
      << again.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
}

TEST_F(RecallToolTest, DamagedCopyLeavesTheStubUntouched) {
  Stub("b");
  const std::string stub = ReadFile(files_ + "/b");
  const std::string arc = archive_ + "/2/1.arc";
  std::string bytes = ReadFile(arc);
  const size_t at = static_cast<size_t>(items_.at("b").archFileOffset) +
                    trhsm::archive_format::kHeaderSize + 1000;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  WriteFile(arc, bytes);
  const std::vector<std::string> before = Names(files_);

  for (bool dryRun : {false, true}) {
    std::vector<std::string> args = {"--archive", archive_, files_ + "/b"};
    if (dryRun) args.insert(args.begin(), "--dry-run");
    ProgramRun r = Recall(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("refused \"" + files_ + "/b\": copy in " + arc), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("fails its checksum"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(files_ + "/b"), stub);
    EXPECT_EQ(Names(files_), before);
  }
}

TEST_F(RecallToolTest, MissingArchiveAndNonStubsAreRefused) {
  Stub("a");
  const std::string stub = ReadFile(files_ + "/a");
  // A file that only starts with a stub record keeps its own bytes.
  WriteFile(files_ + "/longer", stub + "more");
  ProgramRun r = Recall({"--archive", dir_.File("elsewhere"), files_ + "/a", files_ + "/b",
                         files_ + "/longer", files_ + "/missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("refused \"" + files_ + "/a\": open archive " + dir_.File("elsewhere") +
                       "/2/1.arc: No such file or directory"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("refused \"" + files_ + "/b\": not a stub file\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("refused \"" + files_ + "/longer\": not a stub file (4 bytes after"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("missing\": open"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), stub);
  EXPECT_EQ(ReadFile(files_ + "/b"), originals_["b"]);
  EXPECT_EQ(Names(files_), (std::vector<std::string>{"a", "b", "empty", "longer"}));
}

TEST_F(RecallToolTest, DryRunAndJsonChangeNothing) {
  Stub("a");
  const std::string stub = ReadFile(files_ + "/a");
  const std::string registry = dir_.File("registry");
  WriteFile(registry, "[Base]\ndARCHIVE_ROOT=" + archive_ + "\n");
  trhsm_test::ScopedEnv env("KO_REGISTRY", registry);
  ProgramRun r = Recall({"--dry-run", "--json", files_ + "/a", files_ + "/b"});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string arc = archive_ + "/2/1.arc";
  EXPECT_NE(r.out.find("{\"file\":\"" + files_ + "/a\",\"ok\":true,\"dryRun\":true,\"archive\":\"" +
                       arc + "\",\"offset\":" + std::to_string(items_.at("a").archFileOffset) +
                       ",\"size\":11}\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("{\"file\":\"" + files_ +
                       "/b\",\"ok\":false,\"dryRun\":true,"
                       "\"error\":\"not a stub file\"}\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), stub);
  EXPECT_EQ(Names(files_), (std::vector<std::string>{"a", "b", "empty"}));

  ProgramRun text = Recall({"--dry-run", files_ + "/a"});
  EXPECT_EQ(text.status, 0) << text.out;
  EXPECT_NE(text.out.find("would recall \"" + files_ + "/a\": 11 bytes from \"" + arc + "\""),
            std::string::npos)
      << text.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), stub);
}

TEST(RecallTool, UsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"--archive"}, {"--bogus", "f"}, {"--dry-run"}}) {
    ProgramRun r = Recall(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("usage:"), std::string::npos) << r.out;
  }
}

}  // namespace
