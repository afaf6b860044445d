// The line functions at each buffer limit, the writer's exact bytes and refusals, the direct
// reader's pairing and messages. Safety on any input (never a cut item) is the fuzz targets'.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

struct Input {  // a file holding `content`, open for reading
  explicit Input(const std::string& content) {
    WriteFile(dir.File("in"), content);
    fp = std::fopen(dir.File("in").c_str(), "r");
  }
  ~Input() { std::fclose(fp); }
  ScratchDir dir;
  FILE* fp;
};

std::string Pattern(size_t length) {  // a shifted or cut copy shows
  std::string s(length, ' ');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

TEST(CollectLines, GetLineAtTheBufferLimit) {
  for (size_t size : {1, 2, 1024, 2048}) {
    for (size_t length : {size - 1, size, 3 * size + 5}) {
      const std::string line = Pattern(length);
      Input in(line + "\n\n" + line);  // a long line is consumed whole; a last one unended is none
      std::vector<char> b(size + 1, 'G');  // one guard byte
      std::string got = std::to_string(GetLine(in.fp, b.data(), size)) + "|" + b.data();
      got += b[size];
      got += std::to_string(GetLine(in.fp, b.data(), size)) + "|" + b.data();
      got += std::to_string(GetLine(in.fp, b.data(), size));
      EXPECT_TRUE(got == (length < size ? "1|" : "-1|") + line.substr(0, size - 1) + "G1|0")
          << size << " " << length << " " << got.substr(0, 60);
    }
  }
  Input in("line\n");
  char buffer[16] = "untouched";
  EXPECT_EQ(GetLine(nullptr, buffer) + GetLine(in.fp, nullptr, 16) + GetLine(in.fp, buffer, 0), 0);
  EXPECT_EQ(GetLine(in.fp, buffer), 1);
  FILE* dir = std::fopen(in.dir.path().c_str(), "r");  // reads fail with EISDIR
  HSMCollectFile item;
  EXPECT_EQ(GetLine(dir, buffer) + GetLineFromCollectFile(dir, '|', item), 0);
  std::fclose(dir);
}

TEST(CollectLines, TimedLinesGiveNameAndTime) {
  const std::string n2043 = Pattern(2043);  // with "|7|\n": 2047 bytes, the most a line holds
  const struct {
    std::string line, want;
  } rows[] = {{"|/data/a.txt|42|", "1 /data/a.txt 42"},
              {"|x|y|7|", "1 x|y 7"},
              {"ab|x|7|", "1 x 7"},
              {"|neg|-5|", "1 neg -5"},
              {"|nodigits|zz|", "1 nodigits 0"},
              {"| blank| 12x|", "1  blank 12"},
              {"|plus|+3|", "1 plus 3"},
              {"|max|9223372036854775807|", "1 max 9223372036854775807"},
              {"|near|9223372036854775806|", "1 near 9223372036854775806"},
              {"|min|-9223372036854775808|", "1 min -9223372036854775808"},
              {"|big|9223372036854775808|", "1 big 9223372036854775807"},
              {"|small|-99999999999999999999|", "1 small -9223372036854775808"},
              {"|tail|3|junk", "1 tail 3"},
              {"|" + n2043 + "|7|", "1 " + n2043 + " 7"},
              {"|" + n2043 + "x|7|", "0  -99"},
              {"|" + Pattern(9000) + "|7|", "0  -99"},
              {"|onesep", "0  -99"},
              {"plain", "0  -99"}};
  for (const auto& r : rows) {
    Input in(r.line + "\n|next|8|\n");
    HSMCollectFile item;
    item.fileName = "stale", item.itemTime = -99;
    std::string got = std::to_string(GetLineFromCollectFile(in.fp, '|', item)) + " ";
    got += item.fileName + " " + std::to_string(item.itemTime);
    got += std::to_string(GetLineFromCollectFile(in.fp, '|', item));
    got += item.fileName;
    EXPECT_EQ(got, r.want + "1next") << r.line.substr(0, 40);
  }
}

int Add(CollectFile& writer, std::string name, bool withTime, long time) {
  return writer.AddToCollectFile(&name[0], false, withTime, time);
}

TEST(CollectWriter, WritesExactLinesAndRefusesWhatWouldSplitThem) {
  ScratchDir dir;
  const std::string path = dir.File("collect");
  CollectFile writer;
  EXPECT_EQ(Add(writer, "/a", false, 0), 0);  // not open
  WriteFile(path, "old\n");                   // replaced only once the new file is whole
  ASSERT_EQ(writer.Initialize(path), 1);
  EXPECT_EQ(Add(writer, "/a", true, 5), 0);  // no separator yet
  writer.SetSeperator('|');
  EXPECT_EQ(writer.path, path);
  EXPECT_EQ(Add(writer, "", true, 5) + Add(writer, "/a\n|/b|5|", true, 5) +
                Add(writer, "/a\n", true, 5) + writer.AddToCollectFile(nullptr, false, true, 5),
            0);
  EXPECT_FALSE(writer.GetAddAncestorFlag());
  const long before = static_cast<long>(std::time(nullptr));
  EXPECT_EQ(Add(writer, "/a/b", true, 42), 1);
  EXPECT_TRUE(writer.GetAddAncestorFlag());
  writer.SetAddAncestorFlag(false);
  EXPECT_EQ(Add(writer, "/a/b", false, 42), 1);
  EXPECT_TRUE(writer.GetAddAncestorFlag());
  EXPECT_TRUE(Add(writer, "/min", true, LONG_MIN) && Add(writer, "/max", true, LONG_MAX) &&
              Add(writer, "/x|" + Pattern(1100), true, -7) && Add(writer, "/now", true, 0));
  EXPECT_EQ(ReadFile(path), "old\n");
  ASSERT_EQ(writer.Initialize(dir.File("second")), 1);  // closing the first flushes it
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.substr(0, text.rfind("|/now|")),
            "|/a/b|42|\n/a/b\n|/min|-9223372036854775808|\n|/max|9223372036854775807|\n|/x|" +
                Pattern(1100) + "|-7|\n");
  const long now = std::atol(text.c_str() + text.rfind("|/now|") + 6);
  EXPECT_TRUE(now >= before && now <= static_cast<long>(std::time(nullptr))) << now;
  ASSERT_EQ(Add(writer, "/2", true, 2), 1);
  EXPECT_EQ(writer.Initialize(dir.File("missing/file")), 0);
  EXPECT_TRUE(writer.path == dir.File("second") && writer.file == nullptr) << writer.path;
  EXPECT_EQ(Add(writer, "/3", true, 3), 0);
  EXPECT_EQ(writer.DeInitialize(), 1);
  EXPECT_EQ(ReadFile(dir.File("second")), "|/2|2|\n");
}

TEST(DirectReader, PairsLinesAndNamesWhatIsMissing) {
  ScratchDir dir;
  trhsm_test::LogCapture log;
  TRHSM_CMDLINE_ARGS args;
  EvEvent events;
  const std::string stub = dir.File("stub.kof"), list = dir.File("stub.lst");
  // Each step fills in what the one before lacked; the message names the first thing missing.
  const auto openFails = [&](const std::string& message) {
    TRHSMCollectFileReader reader(args, events);
    reader.Initialize(), log.Clear();
    EXPECT_EQ(reader.Open(), 0);
    EXPECT_PRED2(trhsm_test::Contains, log.Text(), message);
  };
  openFails("m_stubFileName is empty.");
  args.stubFileName = stub;
  openFails("m_stubListName is empty.");
  args.stubListName = list;
  openFails("Failed to open " + stub);
  WriteFile(stub, "|/a/one|11|\n|/a/two|22|\n");
  openFails("Failed to open " + list);
  WriteFile(list, "1:2:3|77\nx:y\nr3|3\n");
  TRHSMCollectFileReader reader(args, events);
  ASSERT_TRUE(reader.Initialize() == 1 && reader.Open() == 1);
  std::string got;
  for (int i = 0; i < 3; ++i) {
    HSMCollectFile item;
    std::string reparse, meta = "caller's", status = "stale";
    unsigned long inode = 5;
    long long size = 5;
    got += std::to_string(reader.GetItem(item, reparse, meta, inode, size, status));
    got += " " + item.fileName + " " + std::to_string(item.itemTime) + " " + reparse + " " +
           std::to_string(inode) + " " + meta + " " + std::to_string(size) + " [" + status + "]\n";
    EXPECT_EQ(log.Contains("Either Failed"), i == 2);
  }
  EXPECT_EQ(got,
            "1 /a/one 11 1:2:3 77 caller's -1 []\n1 /a/two 22 x:y 18446744073709551615 caller's -1 "
            "[]\n0  0  18446744073709551615 caller's -1 []\n");
  EXPECT_TRUE(log.Contains("Either Failed to read " + stub + " and " + list + " or both ended"));
  std::string failures = dir.File("failures");  // this reader reports no skips
  reader.SetFailureFile(failures);
  reader.WriteToFailures("text");
  EXPECT_NE(::access(failures.c_str(), F_OK), 0);
}

}  // namespace
