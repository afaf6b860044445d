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
#include "tools/run_apart.h"

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

  // Each file is added once, however often it is named; no progress off a terminal.
  ToolRun add = Tool({"add", "--job", "12", "--archive-group", "4", "--index", index, "--archive",
                      archive, tree + "/", tree + "/sub/a", tree + "/./sub/../sub/a", tree});
  ASSERT_EQ(add.status, 0) << add.out;
  EXPECT_EQ(add.out,
            "trhsm-index: job 12: 2 items added (7 bytes copied), 4 repeated names skipped\n");
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
  ToolRun json = Tool({"list", "--json", "--job", "12", "--index", index});
  ASSERT_EQ(json.status, 0) << json.out;
  EXPECT_EQ(json.out.substr(0, json.out.find(", \"modTime\"")),
            "{\"file\": \"" + tree +
                "/b,with comma\", \"ok\": true, \"job\": 12, \"archiveGroup\": 4, "
                "\"archiveFile\": 1, \"offset\": 0, \"size\": 5");
  EXPECT_NE(json.out.find("\n{\"summary\": true, \"job\": 12, \"items\": 3}\n"), std::string::npos)
      << json.out;
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

  // A name that is not UTF-8 lists as its own bytes, never as other characters; the names of a
  // hard-linked file are items of their own (for the job to refuse), a repeated name is not.
  WriteFile(dir.File("odd\xe9"), "z");
  ASSERT_EQ(::link(dir.File("odd\xe9").c_str(), dir.File("hard").c_str()), 0);
  ASSERT_EQ(Tool({"add", "--job", "4", "--index", index, "--archive", dir.File("arc"),
                  dir.File("odd\xe9"), dir.File("hard"), dir.File("odd\xe9")})
                .status,
            0);
  ToolRun json = Tool({"list", "--job", "4", "--index", index, "--json"});
  EXPECT_NE(json.out.find("{\"file\": \"" + dir.File("odd\\udce9") + "\", \"ok\": true"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\n{\"summary\": true, \"job\": 4, \"items\": 2}\n"), std::string::npos)
      << json.out;
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

  // A registry that cannot be read is named as the thing to fix.
  for (const auto& [registry, says] :
       {std::pair<std::string, std::string>{
            dir.File("none"), "cannot read registry " + dir.File("none") + ": No such"},
        {dir.path(), "cannot read registry " + dir.path() + ": Is a directory"},
        {"", "KO_REGISTRY is not set"}}) {
    ScopedEnv unusable("KO_REGISTRY", registry);
    ToolRun r = Tool({"list", "--job", "8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("trhsm-index: " + says), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; or give --index PATH"), std::string::npos) << r.out;
  }
}

// Help on standard output with status 0; a usage error names the word on standard error with
// status 2 and writes nothing; a full standard output gives status 1.
TEST(IndexTool, CommandLine) {
  ScratchDir dir;
  const std::string index = dir.File("index.db");
  WriteFile(dir.File("f"), "x");
  ASSERT_EQ(Tool({"add", "--job", "1", "--index", index, "--archive", dir.File("a"), dir.File("f")})
                .status,
            0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // on standard output for status 0, on standard error otherwise
    std::string out = "";
  };
  const Case cases[] = {
      {{"--help"}, 0, "--archive-group G  the archive group"},
      {{"add", "-h"}, 0, "--attr ID=TEXT"},
      {{"list", "--job", "1", "--help"}, 0, "--json        one JSON object per line"},
      {{}, 2, "a COMMAND is missing"},
      {{"frob", "--job", "1"}, 2, "unknown command \"frob\""},
      {{"add", "/tmp"}, 2, "--job N is required"},
      {{"add", "--job", "x1", "/tmp"}, 2, "not \"x1\""},
      {{"add", "--job", "-3", "/tmp"}, 2, "not \"-3\""},
      {{"add", "--job", "1"}, 2, "at least one PATH"},
      {{"list", "--job"}, 2, "--job needs a value"},
      {{"list", "--job", "1", "extra"}, 2, "unexpected word \"extra\""},
      {{"add", "--job", "1", "--attr", "noequals", "/tmp"}, 2, "not \"noequals\""},
      {{"list", "--job", "1", "--bogus"}, 2, "unknown option \"--bogus\""},
      {{"list", "--job", "1", "--archive", "/tmp"}, 2, "unknown option \"--archive\" for list"},
      {{"list", "--job", "1", "--index", index}, 1, "write standard output", "/dev/full"},
      {{"add", "--job", "1", "--index", index, "--archive", dir.File("a"), dir.File("f")},
       1,
       "write standard output",
       "/dev/full"},
  };
  for (const Case& c : cases) {
    const std::string row = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
    const trhsm_test::Streams r = trhsm_test::RunApart(TRHSM_INDEX_TOOL, c.args, c.out);
    EXPECT_EQ(r.status, c.status) << row << "\n" << r.out << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.says), std::string::npos) << row << "\n"
                                                                               << r.out << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.out, "") << row;
      EXPECT_NE(r.err.find("usage:"), std::string::npos) << row;
    }
  }
}

}  // namespace
