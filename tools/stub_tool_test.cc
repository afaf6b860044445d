// trhsm-stub run as a program, on good and damaged files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tools/run_apart.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

using ToolRun = trhsm_test::ProgramRun;

ToolRun Tool(const std::vector<std::string>& args) {
  return trhsm_test::RunProgram(TRHSM_STUB_TOOL, args);
}

TEST(StubTool, EncodeThenShow) {
  ScratchDir dir;
  std::string f = dir.File("stub one");
  ToolRun enc = Tool({"encode", "--value", "-5", "--metadata", "1:2:3|x", f});
  ASSERT_EQ(enc.status, 0) << enc.out;

  std::string bytes = ReadFile(f);
  int length = 0;
  int64_t value = 0;
  char meta[64];
  ASSERT_TRUE(trhsm_stub2meta(bytes.data(), &length, &value, meta, sizeof meta, true));
  EXPECT_EQ(value, -5);
  EXPECT_STREQ(meta, "1:2:3|x");
  EXPECT_EQ(bytes.size(), 33u);

  ToolRun show = Tool({"show", f});
  EXPECT_EQ(show.status, 0);
  EXPECT_NE(show.out.find("record length 33, value -5, metadata \"1:2:3|x\""), std::string::npos)
      << show.out;

  // One object per line, the summary last; a name's bytes that are not UTF-8 stay distinct.
  const std::string odd = dir.File("odd\xff\xc3\xa9");
  ASSERT_EQ(Tool({"encode", "--value", "1", "--metadata", "m", odd}).status, 0);
  ToolRun json = Tool({"show", "--json", f, odd});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out.substr(0, json.out.find('\n') + 1),
            "{\"file\": \"" + f +
                "\", \"ok\": true, \"recordLength\": 33, \"value\": -5, \"metadata\": "
                "\"1:2:3|x\", \"reparse\": null}\n")
      << json.out;
  EXPECT_NE(json.out.find("\n{\"file\": \"" + dir.File("odd\\udcff\xc3\xa9") + "\", \"ok\": true"),
            std::string::npos)
      << json.out;
  EXPECT_EQ(json.out.substr(json.out.rfind('\n', json.out.size() - 2) + 1),
            "{\"summary\": true, \"files\": 2, \"valid\": 2, \"refused\": 0}\n");
}

TEST(StubTool, EncodeKeepsAnExistingFileUnlessForced) {
  ScratchDir dir;
  std::string f = dir.File("s");
  WriteFile(f, "precious");
  ToolRun r = Tool({"encode", "--value", "1", "--metadata", "m", f});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("exists"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(f), "precious");

  r = Tool({"encode", "--value", "1", "--metadata", "m", "--force", f});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(f).size(), 27u);
  EXPECT_EQ(Tool({"show", f}).status, 0);
}

// Help on standard output with status 0; a usage error names the word on standard error with
// status 2 and writes nothing; a full standard output gives status 1.
TEST(StubTool, CommandLine) {
  ScratchDir dir;
  const std::string a = dir.File("a");
  WriteFile(dir.File("good"), "");
  ASSERT_EQ(Tool({"encode", "--value", "1", "--metadata", "m", "--force", dir.File("good")}).status,
            0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // on standard output for status 0, on standard error otherwise
    std::string out = "";
  };
  const Case cases[] = {
      {{"--help"}, 0, "--metadata TEXT  the record's metadata"},
      {{"-h"}, 0, "Exit status: 0 done"},
      {{"encode", "--help"}, 0, "--force          replace FILE"},
      {{"show", "-h"}, 0, "--json       one JSON object per line"},
      {{"encode", "--value", "12x", "--metadata", "m", a}, 2, "--value \"12x\" is not a 64-bit"},
      {{"encode", "--metadata", "m", a}, 2, "--value is missing"},
      {{"encode", "--value", "1", "--metadata", "", a}, 2, "--metadata must not be empty"},
      {{"encode", "--value", "1", "--metadata", std::string(70000, 'm'), a}, 2, "--metadata: "},
      {{"encode", "--value", "1", "--metadata", "m", "--bogus", a},
       2,
       "unknown option \"--bogus\""},
      {{"encode", "--value", "1", "--metadata", "m", a, "b"}, 2, "unexpected word \"b\""},
      {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
      {{}, 2, "a COMMAND is missing"},
      {{"show"}, 2, "FILE is missing"},
      {{"show", "--jsn", a}, 2, "unknown option \"--jsn\""},
      {{"show", "--json", dir.File("good")}, 1, "write standard output", "/dev/full"},
      {{"--help"}, 1, "write standard output", "/dev/full"},
  };
  for (const Case& c : cases) {
    const std::string row = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
    const trhsm_test::Streams r = trhsm_test::RunApart(TRHSM_STUB_TOOL, c.args, c.out);
    EXPECT_EQ(r.status, c.status) << row << "\n" << r.out << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.says), std::string::npos) << row << "\n"
                                                                               << r.out << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.out, "") << row;
      EXPECT_NE(r.err.find("usage:"), std::string::npos) << row;
    }
  }
  EXPECT_NE(::access(a.c_str(), F_OK), 0) << "a refused encode wrote " << a;
}

TEST(StubTool, ShowRefusesDamagedFilesOneLineEach) {
  ScratchDir dir;
  std::string good = dir.File("good");
  ASSERT_EQ(Tool({"encode", "--value", "7", "--metadata", "some metadata", good}).status, 0);
  const std::string bytes = ReadFile(good);

  struct Case {
    std::string name;
    std::string content;
    std::string reason;
  };
  std::string badCrc = bytes;
  badCrc[25] ^= 1;
  std::string badSig = bytes;
  badSig[1] = 'X';
  const Case cases[] = {
      {"truncated", bytes.substr(0, bytes.size() - 1), "file is truncated"},
      {"header only", bytes.substr(0, 15), "file is truncated"},
      {"tiny", "VST", "too short"},
      {"empty", "", "empty file"},
      {"crc", badCrc, "Stub data is corrupt: invalid CRC32"},
      {"signature", badSig, "Invalid stub signature"},
      {"zero", std::string(40, '\0'), "Invalid NULL input passed."},
      {"text", "just some ordinary text file\n", "Invalid stub signature"},
  };
  std::vector<std::string> args = {"show", good};
  for (const Case& c : cases) {
    WriteFile(dir.File(c.name), c.content);
    args.push_back(dir.File(c.name));
  }
  args.push_back(dir.File("missing"));
  args.push_back(dir.path());
  ToolRun r = Tool(args);
  EXPECT_EQ(r.status, 1);
  for (const Case& c : cases) {
    std::string line = dir.File(c.name) + ": refused: ";
    size_t at = r.out.find(line);
    ASSERT_NE(at, std::string::npos) << c.name << "\n" << r.out;
    std::string rest = r.out.substr(at + line.size(), r.out.find('\n', at) - at - line.size());
    EXPECT_NE(rest.find(c.reason), std::string::npos) << c.name << ": " << rest;
  }
  EXPECT_NE(r.out.find("missing: refused: open"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(dir.path() + ": refused: not a regular file"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("good: record length"), std::string::npos) << r.out;

  EXPECT_NE(r.out.find("trhsm-stub: 11 files shown: 1 valid, 10 refused\n"), std::string::npos)
      << r.out;

  ToolRun json = Tool({"show", "--json", dir.File("crc")});
  EXPECT_EQ(json.status, 1);
  EXPECT_NE(json.out.find("\"ok\": false, \"error\": \"Stub data is corrupt"), std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\n{\"summary\": true, \"files\": 1, \"valid\": 0, \"refused\": 1}\n"),
            std::string::npos)
      << json.out;
}

TEST(StubTool, ShowPrintsParsedReparseFields) {
  ScratchDir dir;
  std::string full = dir.File("full");
  std::string plain = dir.File("plain");
  ASSERT_EQ(Tool({"encode", "--value", "3", "--metadata",
                  "1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000", full})
                .status,
            0);
  ASSERT_EQ(Tool({"encode", "--value", "3", "--metadata", "1:2:3:4:5:6", plain}).status, 0);

  ToolRun r = Tool({"show", full, plain});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(full + ": record length 76, value 3, metadata "
                              "\"1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000\"\n"
                              "  reparse: field0 1, field1 124, field2 7, field3 3, field4 4096, "
                              "layout 2, stubGUID \"ab:c\", appId 33, appGUID \"some-guid\", "
                              "reparseTime 1700000000, extraNumber 77\n"),
            std::string::npos)
      << r.out;
  // Metadata that is no reparse text shows as a valid record without a reparse line.
  EXPECT_NE(r.out.find(plain + ": record length 37"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("reparse:", r.out.find(plain + ": record length")), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Parsing"), std::string::npos) << r.out;

  ToolRun json = Tool({"show", "--json", full, plain});
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.out.find("\"reparse\": {\"field0\": 1, \"field1\": 124, \"field2\": 7, "
                          "\"field3\": 3, \"field4\": 4096, \"layout\": 2, \"stubGUID\": "
                          "\"ab:c\", \"appId\": 33, \"appGUID\": \"some-guid\", "
                          "\"reparseTime\": 1700000000, \"extraNumber\": 77}}"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"metadata\": \"1:2:3:4:5:6\", \"reparse\": null}"), std::string::npos)
      << json.out;
}

}  // namespace
