// trhsm-stub, trhsm-index and trhsm-recall run as programs: what each prints, stores and refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/archive_format.h"
#include "testing/test_util.h"
#include "tools/run_apart.h"

namespace {

using trhsm_test::Contains;
using trhsm_test::ReadFile;
using trhsm_test::RunProgram;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

// Help on standard output, status 0; a usage error 2; misconfiguration or /dev/full 1, one line.
TEST(Tools, CommandLine) {
  ScratchDir dir;
  ScopedEnv log("KO_LOG_FILE", dir.File("log"));
  const std::string a = dir.File("a"), idx = dir.File("i.db");
  const std::string g = dir.File("g"), m = std::string(70000, 'm');  // too long for a record
  WriteFile(a + "x", "x");
  RunProgram(TRHSM_INDEX_TOOL,
             {"add", "--job", "1", "--index", idx, "--archive", dir.File("r"), a + "x"});
  RunProgram(TRHSM_STUB_TOOL, {"encode", "--value", "1", "--metadata", "m", g});
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
      {stub, "encode --value 12x --metadata m " + a, 2, "--value \"12x\" is not a 64"},
      {stub, "encode --value 1 --metadata " + m + " " + a, 2, "--metadata: "},
      {stub, "show --json " + g, 1, "write standard output", full},
      {index, "--help", 0, "--archive-group G  the archive group"},
      {index, "add /tmp", 2, "--job N is required"},
      {index, "list --job 1 --index " + idx, 1, "write standard output", full},
      {index, "list --job 8", 1, "trhsm-index: KO_REGISTRY is not set", "", ""},
      {index, "list --job 8", 1, "registry /: Is a directory; or give --index PATH"},
      {recall, "--help", 0, "  --archive DIR "},
      {recall, "", 2, "trhsm-recall: no FILE given\nusage:"},
      {recall, "f", 1, "registry /: Is a directory; or give --archive DIR"},
      {job, "", 2, "trhsm-stubjob: missing -J JOB"},
      {job, "-J 91abc -D m -a 1", 2, "bad job number \"91abc\" after -J"},
      {job, "-J x --help", 0, "usage: trhsm-stubjob [OPTIONS] -J JOB -D MEDIAHOST -a APPID"},
      {job, "-h", 1, "", full},
      {job, "-J 9 -D m -a 1", 1, "cannot read registry /: Is a directory"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::istringstream in(c.args);
    for (std::string w; in >> w;) args.push_back(w);
    ScopedEnv registry("KO_REGISTRY", c.registry);
    const trhsm_test::Streams r = trhsm_test::RunApart(c.tool, args, c.out);
    const std::string row = std::string(c.tool) + " " + c.args + "\n" + r.out + r.err;
    EXPECT_EQ(r.status, c.status) << row;
    EXPECT_PRED2(Contains, c.status == 0 ? r.out : r.err, c.says) << row;
    const bool oneLine = r.out + r.err == r.err.substr(0, r.err.find('\n') + 1);
    const bool usage = r.out.empty() && (Contains(r.err, "usage:") || Contains(r.err, "--help)\n"));
    EXPECT_TRUE(c.status == 1 ? oneLine || !c.out.empty() : c.status != 2 || usage) << row;
  }
  EXPECT_NE(::access(a.c_str(), F_OK), 0) << "a refused encode wrote " << a;
}

// encode keeps an existing file unless --force; show prints each field, refuses damaged files.
TEST(StubTool, EncodeAndShow) {
  ScratchDir dir;
  const std::string f = dir.File("s"), full = dir.File("full");
  WriteFile(f, "precious");
  const auto encode = [](const std::string& value, const std::string& meta, const std::string& to,
                         const char* force = "--force") {
    return RunProgram(TRHSM_STUB_TOOL, {"encode", "--value", value, "--metadata", meta, force, to});
  };
  EXPECT_EQ(encode("-5", "1:2:3|x", f, "--").status, 1);
  EXPECT_EQ(ReadFile(f), "precious");
  EXPECT_EQ(encode("-5", "1:2:3|x", f).status +
                encode("3", "1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000", full).status,
            0);
  const std::string bytes = ReadFile(f);
  EXPECT_EQ(RunProgram(TRHSM_STUB_TOOL, {"show", f}).out,
            f + ": record length 33, value -5, metadata \"1:2:3|x\"\n");
  EXPECT_EQ(
      RunProgram(TRHSM_STUB_TOOL, {"show", "--json", f, full}).out,
      "{\"file\": \"" + f +
          "\", \"ok\": true, \"recordLength\": 33, \"value\": -5, \"metadata\": "
          "\"1:2:3|x\", \"reparse\": null}\n{\"file\": \"" +
          full +
          "\", \"ok\": true, \"recordLength\": 76, \"value\": 3, \"metadata\": "
          "\"1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000\", \"reparse\": {\"field0\": "
          "1, \"field1\": 124, \"field2\": 7, \"field3\": 3, \"field4\": 4096, \"layout\": 2, "
          "\"stubGUID\": \"ab:c\", \"appId\": 33, \"appGUID\": \"some-guid\", "
          "\"reparseTime\": 1700000000, \"extraNumber\": 77}}\n"
          "{\"summary\": true, \"files\": 2, \"valid\": 2, \"refused\": 0}\n");
  std::string crc = bytes;
  crc[25] ^= 1;
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {bytes.substr(0, bytes.size() - 1), "file is truncated"},
      {"VST", "file is too short for a stub record (3 bytes)"},
      {crc, "Stub data is corrupt: invalid CRC32"},
      {"an ordinary text file\n", "Invalid stub signature"}};
  std::vector<std::string> args = {"show", f, dir.File("missing"), dir.path()};
  for (size_t i = 0; i < damaged.size(); ++i) {
    WriteFile(dir.File(std::to_string(i)), damaged[i].first);
    args.push_back(dir.File(std::to_string(i)));
  }
  const trhsm_test::ProgramRun r = RunProgram(TRHSM_STUB_TOOL, args);
  EXPECT_EQ(r.status, 1);
  for (const char* s : {"missing: refused: open", ": refused: not a regular file",
                        "trhsm-stub: 7 files shown: 1 valid, 6 refused\n"})
    EXPECT_PRED2(Contains, r.out, s);
  for (size_t i = 0; i < damaged.size(); ++i)
    EXPECT_PRED2(Contains, r.out, dir.File(std::to_string(i)) + ": refused: " + damaged[i].second);
  EXPECT_PRED2(Contains, RunProgram(TRHSM_STUB_TOOL, {"show", "--json", dir.File("2")}).out,
               "\"ok\": false, \"error\": \"Stub data is corrupt");
}

// add: files below each PATH, each once, no link followed, no line feed in a name; list.
TEST(IndexTool, AddAndList) {
  ScratchDir dir;
  const std::string tree = dir.File("tree"), index = dir.File("i.db"), arc = dir.File("arc");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755) + ::mkdir((tree + "/sub").c_str(), 0755), 0);
  WriteFile(tree + "/b,with comma", "12345");
  WriteFile(tree + "/sub/a", "xy");
  WriteFile(tree + "/sub/two\nlines", "z");
  WriteFile(dir.File("odd\xe9"), "o");
  ASSERT_EQ(::symlink("/etc", (tree + "/link").c_str()), 0);
  ASSERT_EQ(::link(dir.File("odd\xe9").c_str(), dir.File("hard").c_str()), 0);
  trhsm_test::ProgramRun r =
      RunProgram(TRHSM_INDEX_TOOL,
                 {"add", "--job", "12", "--archive-group", "4", "--attr", "64=GUID-1", "--index",
                  index, "--archive", arc, tree + "/", tree + "/sub/a", tree + "/./sub/../sub/a",
                  tree, dir.File("missing"), dir.File("odd\xe9"), dir.File("hard")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "trhsm-index: refused \"" + tree +
                       "/sub/two\\nlines\": the name holds a line feed\ntrhsm-index: refused \"" +
                       tree +
                       "/sub/two\\nlines\": the name holds a line feed\ntrhsm-index: refused \"" +
                       dir.File("missing") +
                       "\": No such file or directory\ntrhsm-index: job 12: 4 items added (9 "
                       "bytes copied), 4 repeated names skipped\n");
  struct stat st;
  ASSERT_EQ(::stat((tree + "/sub/a").c_str(), &st), 0);
  const std::string json =
      RunProgram(TRHSM_INDEX_TOOL, {"list", "--json", "--job", "12", "--index", index}).out;
  EXPECT_PRED2(
      Contains, json,
      "{\"file\": \"" + tree + "/sub/a\", \"ok\": true, \"job\": 12, \"archiveGroup\": 4, " +
          "\"archiveFile\": 1, \"offset\": " +
          std::to_string(5 + trhsm::archive_format::kHeaderSize) + ", \"size\": 2, " +
          "\"modTime\": " + std::to_string(st.st_mtime) + ", \"inode\": " +
          std::to_string(st.st_ino) + ", \"attributes\": [{\"id\": 64, \"text\": \"GUID-1\"}]}\n");
  EXPECT_PRED2(Contains, json, "{\"file\": \"" + dir.File("odd\\udce9") + "\", \"ok\": true");
  EXPECT_PRED2(Contains, json, "\n{\"summary\": true, \"job\": 12, \"items\": 4}\n");
}

}  // namespace
