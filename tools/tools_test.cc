// trhsm-stub, trhsm-index and trhsm-recall run as programs: what each prints, stores and refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "tools/run_apart.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::Contains;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

trhsm_test::ProgramRun Tool(const char* tool, const std::vector<std::string>& args) {
  return trhsm_test::RunProgram(tool, args);
}

// The run ended with `status` and printed each of `says`.
void Expect(const trhsm_test::ProgramRun& r, int status, std::initializer_list<std::string> says) {
  EXPECT_EQ(r.status, status) << r.out;
  for (const std::string& s : says) EXPECT_PRED2(Contains, r.out, s);
}

std::vector<BackupItem> Items(const std::string& index, int64_t job) {
  std::string error;
  auto db = BackupIndex::Open(index, BackupIndex::Mode::kReadOnly, &error);
  std::vector<BackupItem> items;
  EXPECT_TRUE(db && db->ListJob(job, &items, &error)) << error;
  return items;
}

// Help on standard output with status 0; a usage error names the word on standard error with
// status 2 and nothing on standard output; a misconfiguration is one line on standard error saying
// what to fix; a standard output that cannot be written (/dev/full) gives status 1.
TEST(Tools, CommandLine) {
  ScratchDir dir;
  ScopedEnv log("KO_LOG_FILE", dir.File("log"));
  const std::string a = dir.File("a"), idx = dir.File("i.db"), none = dir.File("none");
  WriteFile(a + "x", "x");
  ASSERT_EQ(Tool(TRHSM_INDEX_TOOL,
                 {"add", "--job", "1", "--index", idx, "--archive", dir.File("r"), a + "x"})
                .status,
            0);
  ASSERT_EQ(
      Tool(TRHSM_STUB_TOOL, {"encode", "--value", "1", "--metadata", "m", dir.File("g")}).status,
      0);
  WriteFile(dir.File("reg3"), "[Base]\ndBACKUP_INDEX=" + idx + "\n");
  WriteFile(dir.File("reg4"), "[Base]\n");
  WriteFile(dir.File("reg1"), "[Base]\ndARCHIVE_ROOT=/\ndBACKUP_INDEX=" + none + "\n");
  WriteFile(dir.File("reg2"),
            "[Base]\ndARCHIVE_ROOT=/\ndBACKUP_INDEX=" + idx + "\ndJOB_MANAGER_DIR=" + none + "\n");
  // Words split on spaces; "A" is a missing file, "G" a stub, "I" the index, "~" an empty word,
  // "J" the stub job's words, "M" a metadata too long for a record.
  const std::map<std::string, std::string> words = {
      {"A", a},      {"G", dir.File("g")},           {"I", idx},
      {"~", ""},     {"M", std::string(70000, 'm')}, {"J", "-J 9 -D m -a 1 --collect-folder " + a},
      {"X", a + "x"}};
  struct Case {
    const char* tool;
    std::string args;
    int status;
    std::string says, out = "", registry = "/";
  };
  const char *job = TRHSM_STUBJOB, *stub = TRHSM_STUB_TOOL, *index = TRHSM_INDEX_TOOL,
             *recall = TRHSM_RECALL_TOOL, *full = "/dev/full";
  const Case cases[] = {
      {stub, "--help", 0, "--metadata TEXT  the record's metadata"},
      {stub, "-h", 0, "Exit status: 0 done"},
      {stub, "show -h", 0, "--json       one JSON object per line"},
      {stub, "encode --value 12x --metadata m A", 2, "--value \"12x\" is not a 64"},
      {stub, "encode --metadata m A", 2, "--value is missing"},
      {stub, "encode --value 1 --metadata ~ A", 2, "--metadata must not be empty"},
      {stub, "encode --value 1 --metadata M A", 2, "--metadata: "},
      {stub, "encode --value 1 --metadata m A b", 2, "unexpected word \"b\""},
      {stub, "show --jsn A", 2, "unknown option \"--jsn\""},
      {stub, "frobnicate", 2, "unknown command \"frobnicate\""},
      {stub, "", 2, "a COMMAND is missing"},
      {stub, "show --json G", 1, "write standard output", full},
      {stub, "--help", 1, "write standard output", full},
      {index, "--help", 0, "--archive-group G  the archive group"},
      {index, "add -h", 0, "--attr ID=TEXT"},
      {index, "add /tmp", 2, "--job N is required"},
      {index, "add --job x1 /tmp", 2, "not \"x1\""},
      {index, "add --job -3 /tmp", 2, "not \"-3\""},
      {index, "add --job 1", 2, "at least one PATH"},
      {index, "list --job", 2, "--job needs a value"},
      {index, "add --job 1 --attr noequals /tmp", 2, "not \"noequals\""},
      {index, "list --job 1 --archive /tmp", 2, "unknown option \"--archive\" for"},
      {index, "list --job 1 --index I", 1, "write standard output", full},
      {index, "list --job 8", 1, "trhsm-index: KO_REGISTRY is not set", "", ""},
      {index, "add --job 9 X", 1, "no archive root configured", "", dir.File("reg3")},
      {index, "list --job 8", 1, "no backup index configured", "", dir.File("reg4")},
      {index, "list --job 8", 1, "read registry " + none + ": No such", "", none},
      {index, "list --job 8", 1, "registry /: Is a directory; or give --index PATH"},
      {recall, "--help", 0, "  --archive DIR "},
      {recall, "-h", 0, "  -h, --help "},
      {recall, "", 2, "trhsm-recall: no FILE given\nusage:"},
      {recall, "--dry-run", 2, "trhsm-recall: no FILE given\n"},
      {recall, "--archive", 2, "trhsm-recall: --archive needs a folder\nusage:"},
      {recall, "--bogus f", 2, "trhsm-recall: unknown option \"--bogus\"\nusage:"},
      {recall, "f", 1, "trhsm-recall: KO_REGISTRY is not set", "", ""},
      {recall, "f", 1, "registry /: Is a directory; or give --archive DIR"},
      {recall, "--help", 1, "", full},
      {job, "", 2, "trhsm-stubjob: missing -J JOB"},
      {job, "--bogus -J 9 -D m -a 1", 2, "unknown option --bogus"},
      {job, "--collect-folder", 2, "--collect-folder needs a folder"},
      {job, "-J 91abc -D m -a 1", 2, "bad job number \"91abc\" after -J"},
      {job, "-j 1e3 -D m -a 1", 2, "bad job number \"1e3\" after -j"},
      {job, "-J 9223372036854775808 -D m -a 1", 2, "bad job number"},
      {job, "-J 0 -D m -a 1", 2, "bad job number \"0\""},
      {job, "-J 9 -D m -a 1 stray", 2, "unexpected argument \"stray\""},
      {job, "-J 9 -D m -a 1 -t 3", 2, "bad type \"3\" after -t"},
      {job, "-J 9 -a 1", 2, "missing -D MEDIAHOST"},
      {job, "-J 9 -D m -a", 2, "-a needs a value"},
      {job, "-J x --help", 0, "usage: trhsm-stubjob [OPTIONS] -J JOB -D MEDIAHOST -a APPID"},
      {job, "-h", 0, "Exit status"},
      {job, "-h", 1, "", full},
      {job, "-J 9 -D m -a 1", 1, "KO_REGISTRY is not set", "", ""},
      {job, "-J 9 -D m -a 1", 1, "cannot read registry /: Is a directory"},
      {job, "J", 1, "index " + none + ": No such file or directory (dBACKUP_INDEX", "",
       dir.File("reg1")},
      {job, "J", 1, "job-manager folder " + none + ": No such file or directory (dJOB_", "",
       dir.File("reg2")},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::istringstream in(words.count(c.args) ? words.at(c.args) : c.args);
    for (std::string w; in >> w;) args.push_back(words.count(w) ? words.at(w) : w);
    ScopedEnv registry("KO_REGISTRY", c.registry);
    const trhsm_test::Streams r = trhsm_test::RunApart(c.tool, args, c.out);
    const std::string row = std::string(c.tool) + " " + c.args + "\n" + r.out + r.err;
    EXPECT_EQ(r.status, c.status) << row;
    EXPECT_PRED2(Contains, c.status == 0 ? r.out : r.err, c.says) << row;
    // A failure is one line; a usage error says nothing on standard output and shows the usage.
    EXPECT_TRUE(c.status != 1 || !c.out.empty() ||
                r.out + r.err == r.err.substr(0, r.err.find('\n') + 1))
        << row;
    EXPECT_TRUE(c.status != 2 ||
                (r.out.empty() && (Contains(r.err, "usage:") || Contains(r.err, "--help)\n"))))
        << row;
  }
  EXPECT_NE(::access(a.c_str(), F_OK), 0) << "a refused encode wrote " << a;
}

// encode writes the exact record, keeps an existing file unless --force; show prints each field,
// one JSON object per line with a name's bytes that are not UTF-8 kept apart, and refuses each
// damaged file on a line of its own.
TEST(StubTool, EncodeAndShow) {
  ScratchDir dir;
  const std::string f = dir.File("s"), odd = dir.File("odd\xff\xc3\xa9"), full = dir.File("full");
  WriteFile(f, "precious");
  EXPECT_EQ(Tool(TRHSM_STUB_TOOL, {"encode", "--value", "-5", "--metadata", "1:2:3|x", f}).status,
            1);
  EXPECT_EQ(ReadFile(f), "precious");
  Expect(Tool(TRHSM_STUB_TOOL, {"encode", "--value", "-5", "--metadata", "1:2:3|x", "--force", f}),
         0, {});
  Expect(Tool(TRHSM_STUB_TOOL, {"encode", "--value", "1", "--metadata", "m", odd}), 0, {});
  Expect(Tool(TRHSM_STUB_TOOL, {"encode", "--value", "3", "--metadata",
                                "1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000", full}),
         0, {});
  const std::string bytes = ReadFile(f);
  EXPECT_EQ(bytes.size(), 33u);
  EXPECT_EQ(Tool(TRHSM_STUB_TOOL, {"show", f, full}).out,
            f + ": record length 33, value -5, metadata \"1:2:3|x\"\n" + full +
                ": record length 76, value 3, metadata "
                "\"1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000\"\n  reparse: field0 1, "
                "field1 124, field2 7, field3 3, field4 4096, layout 2, stubGUID \"ab:c\", appId "
                "33, appGUID \"some-guid\", reparseTime 1700000000, extraNumber 77\n"
                "trhsm-stub: 2 files shown: 2 valid, 0 refused\n");
  EXPECT_EQ(
      Tool(TRHSM_STUB_TOOL, {"show", "--json", f, odd, full}).out,
      "{\"file\": \"" + f +
          "\", \"ok\": true, \"recordLength\": 33, \"value\": -5, \"metadata\": "
          "\"1:2:3|x\", \"reparse\": null}\n{\"file\": \"" +
          dir.File("odd\\udcff\xc3\xa9") +
          "\", \"ok\": true, \"recordLength\": 27, \"value\": 1, \"metadata\": \"m\", "
          "\"reparse\": null}\n{\"file\": \"" +
          full +
          "\", \"ok\": true, \"recordLength\": 76, \"value\": 3, \"metadata\": "
          "\"1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000\", \"reparse\": {\"field0\": "
          "1, \"field1\": 124, \"field2\": 7, \"field3\": 3, \"field4\": 4096, \"layout\": 2, "
          "\"stubGUID\": \"ab:c\", \"appId\": 33, \"appGUID\": \"some-guid\", "
          "\"reparseTime\": 1700000000, \"extraNumber\": 77}}\n"
          "{\"summary\": true, \"files\": 3, \"valid\": 3, \"refused\": 0}\n");
  std::string crc = bytes, sig = bytes;
  crc[25] ^= 1;
  sig[1] = 'X';
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {bytes.substr(0, bytes.size() - 1), "file is truncated"},
      {bytes.substr(0, 15), "file is truncated"},
      {"VST", "file is too short for a stub record (3 bytes)"},
      {"", "empty file"},
      {crc, "Stub data is corrupt: invalid CRC32"},
      {sig, "Invalid stub signature"},
      {std::string(40, '\0'), "Invalid NULL input passed."},
      {"just some ordinary text file\n", "Invalid stub signature"}};
  std::vector<std::string> args = {"show", f, dir.File("missing"), dir.path()};
  for (size_t i = 0; i < damaged.size(); ++i) {
    WriteFile(dir.File(std::to_string(i)), damaged[i].first);
    args.push_back(dir.File(std::to_string(i)));
  }
  const trhsm_test::ProgramRun r = Tool(TRHSM_STUB_TOOL, args);
  Expect(r, 1,
         {"missing: refused: open", dir.path() + ": refused: not a regular file",
          "trhsm-stub: 11 files shown: 1 valid, 10 refused\n"});
  for (size_t i = 0; i < damaged.size(); ++i)
    EXPECT_PRED2(Contains, r.out, dir.File(std::to_string(i)) + ": refused: " + damaged[i].second);
  EXPECT_PRED2(Contains, Tool(TRHSM_STUB_TOOL, {"show", "--json", dir.File("4")}).out,
               "\"ok\": false, \"error\": \"Stub data is corrupt");
}

// add: regular files below each PATH, each once however often named, links not followed, names
// with a line feed refused; each row names an intact copy; list prints CSV and JSON.
TEST(IndexTool, AddAndList) {
  ScratchDir dir;
  const std::string tree = dir.File("tree"), index = dir.File("i.db"), arc = dir.File("arc");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tree + "/sub").c_str(), 0755), 0);
  WriteFile(tree + "/b,with comma", "12345");
  WriteFile(tree + "/sub/a", "xy");
  WriteFile(tree + "/sub/two\nlines", "z");
  WriteFile(dir.File("odd\xe9"), "o");
  ASSERT_EQ(::symlink("/etc", (tree + "/link").c_str()), 0);
  ASSERT_EQ(::link(dir.File("odd\xe9").c_str(), dir.File("hard").c_str()), 0);
  trhsm_test::ProgramRun r =
      Tool(TRHSM_INDEX_TOOL,
           {"add", "--job", "12", "--archive-group", "4", "--attr", "64=GUID-1", "--index", index,
            "--archive", arc, tree + "/", tree + "/sub/a", tree + "/./sub/../sub/a", tree,
            dir.File("missing"), dir.File("odd\xe9"), dir.File("hard")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "trhsm-index: refused \"" + tree +
                       "/sub/two\\nlines\": the name holds a line feed\ntrhsm-index: refused \"" +
                       tree +
                       "/sub/two\\nlines\": the name holds a line feed\ntrhsm-index: refused \"" +
                       dir.File("missing") +
                       "\": No such file or directory\ntrhsm-index: job 12: 4 items added (9 "
                       "bytes copied), 4 repeated names skipped\n");
  Expect(Tool(TRHSM_INDEX_TOOL, {"add", "--job", "12", "--archive-group", "4", "--index", index,
                                 "--archive", arc, tree + "/sub/a"}),
         0, {});
  const auto items = Items(index, 12);
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].fullFileName, tree + "/b,with comma");
  EXPECT_EQ(items[0].metadata, (std::vector<std::pair<int64_t, std::string>>{{64, "GUID-1"}}));
  EXPECT_EQ(items[1].archFileOffset, 5 + trhsm::archive_format::kHeaderSize);
  struct stat st;
  ASSERT_EQ(::stat((tree + "/sub/a").c_str(), &st), 0);
  EXPECT_EQ(items[1].inode, st.st_ino);
  EXPECT_EQ(items[1].modTime, st.st_mtime);
  EXPECT_EQ(ReadFile(arc + "/4/1.arc").size(), 5 * trhsm::archive_format::kHeaderSize + 11);
  EXPECT_PRED2(Contains, Tool(TRHSM_INDEX_TOOL, {"list", "--job", "12", "--index", index}).out,
               "12,4,1,0,5,\"" + tree + "/b,with comma\",");
  const std::string json =
      Tool(TRHSM_INDEX_TOOL, {"list", "--json", "--job", "12", "--index", index}).out;
  EXPECT_EQ(json.substr(0, json.find(", \"modTime\"")),
            "{\"file\": \"" + tree +
                "/b,with comma\", \"ok\": true, \"job\": 12, \"archiveGroup\": 4, "
                "\"archiveFile\": 1, \"offset\": 0, \"size\": 5");
  EXPECT_PRED2(Contains, json, "{\"file\": \"" + dir.File("odd\\udce9") + "\", \"ok\": true");
  EXPECT_PRED2(Contains, json, "\n{\"summary\": true, \"job\": 12, \"items\": 5}\n");
}

class RecallTool : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    archive_ = dir_.File("archive");
    ASSERT_EQ(::mkdir(files_.c_str(), 0755), 0);
    WriteFile(files_ + "/a", "first file\n");
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    WriteFile(files_ + "/b", big);
    for (const char* name : {"a", "b"}) {
      const struct timespec times[2] = {{1500000000, 0}, {1600000000 + name[0], 123456789}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (files_ + "/" + name).c_str(), times, 0), 0);
      originals_.push_back(ReadFile(files_ + "/" + name));
    }
    ASSERT_EQ(Tool(TRHSM_INDEX_TOOL, {"add", "--job", "5", "--archive-group", "2", "--index",
                                      dir_.File("i.db"), "--archive", archive_, files_})
                  .status,
              0);
    items_ = Items(dir_.File("i.db"), 5);
    ASSERT_EQ(items_.size(), 2u);
    for (const BackupItem& item : items_) {
      const std::string text = "1:0:2:1:" + std::to_string(item.archFileOffset) +
                               ":1:" + std::to_string(item.fullFileName.size()) + ":" +
                               item.fullFileName + "|1700000000";
      std::string record(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 0, nullptr, 0)), '\0');
      trhsm_meta2stub(text.c_str(), 0, &record[0], static_cast<int>(record.size()));
      WriteFile(item.fullFileName, record);
      ASSERT_EQ(::chmod(item.fullFileName.c_str(), 0640), 0);
      stubs_.push_back(record);
    }
  }

  ScratchDir dir_;
  std::string files_, archive_;
  std::vector<std::string> originals_, stubs_;
  std::vector<BackupItem> items_;
};

// The bytes, mode and times come back; a file that is no stub, or more than one, is left alone.
TEST_F(RecallTool, RecallsStubsAndRefusesTheRest) {
  WriteFile(files_ + "/plain", "no stub\n");
  WriteFile(files_ + "/longer", stubs_[0] + "more");
  trhsm_test::ProgramRun r = Tool(TRHSM_RECALL_TOOL, {"--archive", archive_, files_ + "/"});
  Expect(r, 0,
         {"trhsm-recall: recalled \"" + files_ + "/b\" (300.0 kB)\n",
          "trhsm-recall: 2 files recalled, 300.0 kB; left alone 2 files that are no stubs\n"});
  EXPECT_FALSE(Contains(r.out, " of 2")) << "progress off a terminal\n" << r.out;
  for (size_t i = 0; i < 2; ++i) {
    const std::string& path = items_[i].fullFileName;
    EXPECT_EQ(ReadFile(path), originals_[i]) << path;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000 + path.back()) << path;
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789) << path;
    EXPECT_EQ(st.st_mode & 07777, 0640u) << path;
  }
  EXPECT_EQ(trhsm_test::ListFolder(files_),
            (std::vector<std::string>{"a", "b", "longer", "plain"}));
  WriteFile(files_ + "/a", stubs_[0]);
  r = Tool(TRHSM_RECALL_TOOL, {"--archive", dir_.File("elsewhere"), files_ + "/a", files_ + "/b",
                               files_ + "/longer", files_ + "/missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "trhsm-recall: refused \"" + files_ + "/a\": open archive " +
                       dir_.File("elsewhere") +
                       "/2/1.arc: No such file or directory\ntrhsm-recall: refused \"" + files_ +
                       "/b\": not a stub file\ntrhsm-recall: refused \"" + files_ +
                       "/longer\": not a stub file (4 bytes after the stub record)\n"
                       "trhsm-recall: refused \"" +
                       files_ + "/missing\": open " + files_ +
                       "/missing: No such file or directory\n"
                       "trhsm-recall: 0 files recalled, 0 bytes; 4 failed\n");
  EXPECT_EQ(ReadFile(files_ + "/a"), stubs_[0]);
  // A refusal alone ends without a summary.
  EXPECT_EQ(Tool(TRHSM_RECALL_TOOL, {"--archive", archive_, files_ + "/b"}).out,
            "trhsm-recall: refused \"" + files_ + "/b\": not a stub file\n");
}

// A copy that fails its checksum is not recalled, nor reported as recallable by --dry-run; a dry
// run changes nothing and says what it would do, in text or one JSON object per line.
TEST_F(RecallTool, DamagedCopyAndDryRunLeaveTheStub) {
  const std::string arc = archive_ + "/2/1.arc";
  WriteFile(dir_.File("registry"), "[Base]\ndARCHIVE_ROOT=" + archive_ + "\n");
  ScopedEnv registry("KO_REGISTRY", dir_.File("registry"));
  trhsm_test::ProgramRun r = Tool(TRHSM_RECALL_TOOL, {"--dry-run", "--json", files_ + "/a", arc});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "{\"file\":\"" + files_ + "/a\",\"ok\":true,\"dryRun\":true,\"archive\":\"" +
                       arc + "\",\"offset\":0,\"size\":11}\n{\"file\":\"" + arc +
                       "\",\"ok\":false,\"dryRun\":true,\"error\":\"not a stub file\"}\n"
                       "{\"summary\":true,\"dryRun\":true,\"recalled\":1,\"failed\":1,"
                       "\"skipped\":0,\"bytes\":11}\n");
  Expect(Tool(TRHSM_RECALL_TOOL, {"--dry-run", files_ + "/a"}), 0,
         {"would recall \"" + files_ + "/a\": 11 bytes from \"" + arc + "\""});
  std::string bytes = ReadFile(arc);
  const size_t at = items_[1].archFileOffset + trhsm::archive_format::kHeaderSize + 1000;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  WriteFile(arc, bytes);
  for (const char* mode : {"--dry-run", "--json"})
    Expect(Tool(TRHSM_RECALL_TOOL, {mode, files_ + "/b"}), 1,
           {"copy in " + arc, "fails its checksum"});
  EXPECT_EQ(ReadFile(files_ + "/a"), stubs_[0]);
  EXPECT_EQ(ReadFile(files_ + "/b"), stubs_[1]);
  EXPECT_EQ(trhsm_test::ListFolder(files_), (std::vector<std::string>{"a", "b"}));
}

// A recall removes the temporaries its killed runs left, not one a running recall holds locked,
// nor links or files of others planted under such a name.
TEST_F(RecallTool, RemovesOnlyItsOwnStaleTemporaries) {
  const std::string p = files_ + "/.trhsm-recall-tmp.";
  WriteFile(p + "Stale1", "half a file");
  WriteFile(p + "Held01", "being written");
  WriteFile(dir_.File("victim"), "keep");
  ASSERT_EQ(::symlink(dir_.File("victim").c_str(), (p + "Link01").c_str()), 0);
  ASSERT_EQ(::link(dir_.File("victim").c_str(), (p + "Hard01").c_str()), 0);
  const int held = ::open((p + "Held01").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  Expect(Tool(TRHSM_RECALL_TOOL, {"--archive", archive_, files_ + "/a"}), 0, {});
  ::close(held);
  EXPECT_EQ(trhsm_test::ListFolder(files_),
            (std::vector<std::string>{".trhsm-recall-tmp.Hard01", ".trhsm-recall-tmp.Held01",
                                      ".trhsm-recall-tmp.Link01", "a", "b"}));
  EXPECT_EQ(ReadFile(dir_.File("victim")), "keep");
}

}  // namespace
