// trhsm-index run as a program: add a tree, list it, refuse what a collect line cannot carry.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "testing/test_util.h"

namespace {

using trhsm::archive_format::kHeaderSize;
using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

using ToolRun = trhsm_test::ProgramRun;

ToolRun Tool(const std::vector<std::string>& args) {
  return trhsm_test::RunProgram(TRHSM_INDEX_TOOL, args);
}

std::vector<BackupItem> Items(const std::string& index, int64_t job) {
  std::string error;
  auto db = BackupIndex::Open(index, BackupIndex::Mode::kReadOnly, &error);
  EXPECT_TRUE(db) << error;
  std::vector<BackupItem> items;
  if (db) {
    EXPECT_TRUE(db->ListJob(job, &items, &error)) << error;
  }
  return items;
}

TEST(IndexTool, AddsRegularFilesRecursivelyWithoutFollowingLinks) {
  ScratchDir dir;
  const std::string tree = dir.File("tree");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tree + "/sub").c_str(), 0755), 0);
  WriteFile(tree + "/b,with comma", "12345");
  WriteFile(tree + "/sub/a", "xy");
  ASSERT_EQ(::symlink("/etc", (tree + "/link").c_str()), 0);
  const std::string index = dir.File("index.db");
  const std::string archive = dir.File("archive");

  ToolRun add = Tool({"add", "--job", "12", "--archive-group", "4", "--index", index, "--archive",
                      archive, tree + "/"});
  ASSERT_EQ(add.status, 0) << add.out;
  auto items = Items(index, 12);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].fullFileName, tree + "/b,with comma");
  EXPECT_EQ(items[0].fileSize, 5);
  EXPECT_EQ(items[0].archGroupId, 4);
  EXPECT_EQ(items[0].archFileOffset, 0);
  EXPECT_EQ(items[1].fullFileName, tree + "/sub/a");
  EXPECT_EQ(items[1].archFileOffset, 5 + kHeaderSize);
  struct stat st;
  ASSERT_EQ(::stat((tree + "/sub/a").c_str(), &st), 0);
  EXPECT_EQ(items[1].inode, st.st_ino);
  EXPECT_EQ(items[1].modTime, st.st_mtime);

  // A second add continues the archive file; every row names an intact copy of its file.
  ToolRun again = Tool({"add", "--job", "12", "--archive-group", "4", "--index", index, "--archive",
                        archive, tree + "/sub/a"});
  ASSERT_EQ(again.status, 0) << again.out;
  items = Items(index, 12);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].archFileOffset, 7 + 2 * kHeaderSize);
  for (const BackupItem& item : items) {
    trhsm::platform::CopyHeader h;
    std::string error;
    EXPECT_TRUE(
        trhsm::platform::VerifyCopy(archive, 4, item.archFileId, item.archFileOffset, &h, &error))
        << error;
    EXPECT_EQ(static_cast<int64_t>(h.size), item.fileSize);
    EXPECT_EQ(h.modTime, item.modTime);
  }
  EXPECT_EQ(trhsm_test::ReadFile(archive + "/4/1.arc").size(), 3 * kHeaderSize + 9);

  ToolRun list = Tool({"list", "--job", "12", "--index", index});
  ASSERT_EQ(list.status, 0) << list.out;
  EXPECT_NE(list.out.find("12,4,1,0,5,\"" + tree + "/b,with comma\","), std::string::npos)
      << list.out;
}

TEST(IndexTool, RefusesNamesWithALineFeedAndGoesOn) {
  ScratchDir dir;
  WriteFile(dir.File("two\nlines"), "x");
  WriteFile(dir.File("fine"), "y");
  const std::string index = dir.File("index.db");
  ToolRun add = Tool({"add", "--job", "3", "--index", index, "--archive", dir.File("arc"),
                      dir.File("two\nlines"), dir.File("fine"), dir.File("missing")});
  EXPECT_EQ(add.status, 1);
  EXPECT_NE(add.out.find("refused \"" + dir.File("two\\nlines") + "\": the name holds a line feed"),
            std::string::npos)
      << add.out;
  EXPECT_NE(add.out.find("missing\": No such file or directory"), std::string::npos) << add.out;
  auto items = Items(index, 3);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].fullFileName, dir.File("fine"));
}

TEST(IndexTool, UsesTheRegistryWithoutIndexOption) {
  ScratchDir dir;
  const std::string index = dir.File("from-registry.db");
  WriteFile(dir.File("registry"),
            "[Base]\ndBACKUP_INDEX=" + index + "\ndARCHIVE_ROOT=" + dir.File("arc") + "\n");
  ScopedEnv registry("KO_REGISTRY", dir.File("registry"));
  WriteFile(dir.File("f"), "abc");
  ToolRun add = Tool({"add", "--job", "8", "--attr", "643422786=GUID-1", dir.File("f")});
  ASSERT_EQ(add.status, 0) << add.out;
  auto items = Items(index, 8);
  ASSERT_EQ(items.size(), 1u);
  using Meta = std::vector<std::pair<int64_t, std::string>>;
  EXPECT_EQ(items[0].metadata, (Meta{{643422786, "GUID-1"}}));
  EXPECT_EQ(trhsm_test::ReadFile(dir.File("arc/1/1.arc")).substr(kHeaderSize), "abc");

  // Without an archive root nothing is added.
  WriteFile(dir.File("registry"), "[Base]\ndBACKUP_INDEX=" + index + "\n");
  ToolRun noArchive = Tool({"add", "--job", "9", dir.File("f")});
  EXPECT_EQ(noArchive.status, 1);
  EXPECT_NE(noArchive.out.find("no archive root configured"), std::string::npos) << noArchive.out;
  EXPECT_TRUE(Items(index, 9).empty());

  WriteFile(dir.File("registry"), "[Base]\n");
  ToolRun none = Tool({"list", "--job", "8"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("no backup index configured"), std::string::npos) << none.out;
}

TEST(IndexTool, UsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"frob", "--job", "1"},
                                             {"add", "/tmp"},
                                             {"add", "--job", "x1", "/tmp"},
                                             {"add", "--job", "1"},
                                             {"list", "--job"},
                                             {"list", "--job", "1", "extra"},
                                             {"add", "--job", "1", "--attr", "noequals", "/tmp"},
                                             {"list", "--job", "1", "--bogus"}}) {
    ToolRun r = Tool(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("usage:"), std::string::npos) << r.out;
  }
}

}  // namespace
