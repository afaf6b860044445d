// The collect files: the line functions at each buffer limit, the writer's exact bytes and
// refusals, the direct reader's pairing and messages; the database reader's file naming and
// clean-up, both line layouts (items, reparse texts, skips, failure-file lines), the query through
// a real index, the failure stream. Never a cut item on any input: the fuzz targets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::ListFolder;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;
using Names = std::vector<std::string>;

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

// A long line is consumed whole, cut to the buffer; a last one unended is none. The line limit of
// a timed line: the fuzz target's writer round trip.
TEST(CollectLines, GetLineAtTheBufferLimitAndTimedLines) {
  for (size_t size : {1, 2, 1024, 2048}) {
    for (size_t length : {size - 1, size, 3 * size + 5}) {
      const std::string line = Pattern(length);
      Input in(line + "\n\n" + line);
      std::vector<char> b(size + 1, 'G');  // one guard byte
      std::string got = std::to_string(GetLine(in.fp, b.data(), size)) + "|" + b.data() + b[size];
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
  // clang-format off
  const struct { std::string line, want; } rows[] = {
      {"|/data/a.txt|42|", "1 /data/a.txt 42"}, {"|x|y|7|", "1 x|y 7"}, {"|neg|-5|", "1 neg -5"},
      {"|nodigits|zz|", "1 nodigits 0"}, {"| blank| 12x|", "1  blank 12"}, {"|tail|3|junk", "1 tail 3"},
      {"|max|9223372036854775807|", "1 max 9223372036854775807"}, {"|min|-9223372036854775808|", "1 min -9223372036854775808"},
      {"|big|9223372036854775808|", "1 big 9223372036854775807"}, {"|small|-99999999999999999999|", "1 small -9223372036854775808"},
      {"|onesep", "0  -99"}, {"plain", "0  -99"}};
  // clang-format on
  for (const auto& r : rows) {
    Input timed(r.line + "\n|next|8|\n");
    item.fileName = "stale", item.itemTime = -99;
    std::string got = std::to_string(GetLineFromCollectFile(timed.fp, '|', item)) + " ";
    got += item.fileName + " " + std::to_string(item.itemTime);
    got += std::to_string(GetLineFromCollectFile(timed.fp, '|', item)) + item.fileName;
    EXPECT_EQ(got, r.want + "1next") << r.line;
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
              Add(writer, "/now", true, 0));
  EXPECT_EQ(ReadFile(path), "old\n");
  ASSERT_EQ(writer.Initialize(dir.File("second")), 1);  // closing the first flushes it
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.substr(0, text.rfind("|/now|")),
            "|/a/b|42|\n/a/b\n|/min|-9223372036854775808|\n|/max|9223372036854775807|\n");
  const long now = std::atol(text.c_str() + text.rfind("|/now|") + 6);
  EXPECT_TRUE(now >= before && now <= static_cast<long>(std::time(nullptr))) << now;
  ASSERT_EQ(Add(writer, "/2", true, 2), 1);
  EXPECT_EQ(writer.Initialize(dir.File("missing/file")), 0);
  EXPECT_TRUE(writer.path == dir.File("second") && writer.file == nullptr) << writer.path;
  EXPECT_EQ(Add(writer, "/3", true, 3), 0);
  EXPECT_EQ(writer.DeInitialize(), 1);
  EXPECT_EQ(ReadFile(dir.File("second")), "|/2|2|\n");
}

// The next GetItem as "result name time inode size meta [status] reparse", a reparse text's
// trailing current time ("...|time") checked and left out.
std::string Next(TRHSMCollectFile& reader, std::string meta = "") {
  HSMCollectFile item;
  std::string reparse, status = "stale";
  unsigned long inode = 5;
  long long size = 5;
  const int rc = reader.GetItem(item, reparse, meta, inode, size, status);
  const size_t bar =
      reparse.find('|') == std::string::npos ? reparse.size() : reparse.rfind('|') + 1;
  EXPECT_LE(bar < reparse.size() ? std::labs(std::atol(&reparse[bar]) - std::time(nullptr)) : 0, 5);
  return std::to_string(rc) + " " + item.fileName + " " + std::to_string(item.itemTime) + " " +
         std::to_string(static_cast<long>(inode)) + " " + std::to_string(size) + " " + meta + " [" +
         status + "] " + reparse.substr(0, bar);
}

class ReaderTest : public ::testing::Test {
 protected:
  ReaderTest() : level_("KO_LOG_LEVEL", "7"), collect_(dir_.File("collect/")) {
    EXPECT_EQ(::mkdir(collect_.c_str(), 0755), 0);
    args_.collectFolder = collect_, args_.jobId = 12, args_.auxNumber = 3, args_.appIdSecond = 15;
    args_.restartValue = 99, args_.skipReportSwitch = 1;
    std::snprintf(args_.stowhostName, sizeof args_.stowhostName, "media");
  }
  void Start(bool turbo, const std::string& content, unsigned long appType = 0) {
    std::string path = collect_ + (turbo ? "turbo.kof" : "dbStubList_12.kof");
    WriteFile(path, content);
    reader_ =
        std::make_unique<TRHSMCollectFileDBReader>(args_, events_, turbo, "dbStubList", appType);
    reader_->SetAppTypeGUID("AG");
    ASSERT_TRUE((turbo ? reader_->Initialize(path) : reader_->Initialize()) == 1 &&
                reader_->Open() == 1);
    reader_->SetFailureFile(failures_);
  }
  void ExpectItems(const std::vector<std::string>& want) {
    for (const std::string& w : want) EXPECT_EQ(Next(*reader_), "1 " + w);
    EXPECT_EQ(Next(*reader_), "0  0 -1 -1  [] ");  // the end, with the outputs reset
  }
  std::string Failures() {
    reader_.reset();  // closes, and so flushes, the failure file
    return ReadFile(failures_);
  }
  void ExpectLogged(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) EXPECT_TRUE(log_.Contains(line)) << line;
  }

  trhsm_test::ScopedEnv level_;
  trhsm_test::LogCapture log_;
  trhsm_test::ScratchDir dir_;
  std::string collect_, failures_ = dir_.File("failures");
  TRHSM_CMDLINE_ARGS args_;
  EvEvent events_;
  std::unique_ptr<TRHSMCollectFileDBReader> reader_;
};

TEST_F(ReaderTest, DirectReaderPairsLinesAndNamesWhatIsMissing) {
  const std::string stub = dir_.File("stub.kof"), list = dir_.File("stub.lst");
  const auto openFails = [&](const std::string& message) {
    TRHSMCollectFileReader reader(args_, events_);
    reader.Initialize(), log_.Clear();
    EXPECT_EQ(reader.Open(), 0);
    EXPECT_PRED2(trhsm_test::Contains, log_.Text(), message);
  };
  openFails("m_stubFileName is empty.");
  args_.stubFileName = stub;
  openFails("m_stubListName is empty.");
  args_.stubListName = list;
  openFails("Failed to open " + stub);
  WriteFile(stub, "|/a/one|11|\n|/a/two|22|\n");
  openFails("Failed to open " + list);
  WriteFile(list, "1:2:3|77\nx:y\nr3|3\n");
  TRHSMCollectFileReader reader(args_, events_);
  ASSERT_TRUE(reader.Initialize() == 1 && reader.Open() == 1);
  for (const std::string want : {"1 /a/one 11 77 -1 caller's [] 1:2:3",
                                 "1 /a/two 22 -1 -1 caller's [] x:y", "0  0 -1 -1 caller's [] "}) {
    EXPECT_EQ(Next(reader, "caller's"), want);
    EXPECT_EQ(log_.Contains("Either Failed"), want[0] == '0');
  }
  EXPECT_TRUE(log_.Contains("Either Failed to read " + stub + " and " + list + " or both ended"));
}

TEST_F(ReaderTest, NamesTheFileAfterTheJobAndRemovesEarlierJobsFiles) {
  TRHSMCollectFileDBReader a(args_, events_, false, "dbStubList_", 124);
  TRHSMCollectFileDBReader turbo(args_, events_, true, "p", 7);
  EXPECT_EQ(a.m_dstFileName + " " + a.m_formatString + " " +
                TRHSMCollectFileDBReader(args_, events_, false, "p", 7).m_formatString.substr(76) +
                " " + std::to_string(turbo.m_jobId) + turbo.m_dstFileName + turbo.m_formatString,
            "dbStubList__12.kof arch_group_id,arch_file_id,arch_file_offs,file_size,full_file_name,"
            "mod_time,metadata-643422786 metadata-1613830181 12");
  args_.snapFlag = true, args_.snapJobIdText = "77";
  EXPECT_EQ(TRHSMCollectFileDBReader(args_, events_, false, "p", 7).m_dstFileName, "p_77.kof");
  args_.snapFlag = false;
  for (const char* name : {"dbStubList_5.kof", "dbStubList_12.kof", "dbStubList_123.kof",
                           "dbStubListTurbo_5.kof", "a_earlyStubBackup_12", "other"})
    WriteFile(collect_ + name, "x");
  WriteFile(dir_.File("collectdbStubList_5.kof"), "beside");
  WriteFile(dir_.File("target_earlyStubBackup"), "target");
  ASSERT_EQ(::symlink(dir_.File("target_earlyStubBackup").c_str(),
                      (collect_ + "link_earlyStubBackup").c_str()),
            0);
  EXPECT_EQ(turbo.CleanUpPreviousJobResults(), 1);
  EXPECT_EQ(ListFolder(collect_),
            (Names{"dbStubList_12.kof", "dbStubList_123.kof", "dbStubList_5.kof", "other"}));
  // Without its trailing "/" the folder's own entries are still the ones removed.
  args_.collectFolder = dir_.File("collect");
  EXPECT_EQ(TRHSMCollectFileDBReader(args_, events_, false, "x", 0).CleanUpPreviousJobResults(), 1);
  EXPECT_EQ(ListFolder(collect_), (Names{"dbStubList_12.kof", "dbStubList_123.kof", "other"}));
  EXPECT_EQ(ReadFile(dir_.File("collectdbStubList_5.kof")) +
                ReadFile(dir_.File("target_earlyStubBackup")),
            "besidetarget");
  args_.collectFolder = dir_.File("missing/");
  EXPECT_EQ(TRHSMCollectFileDBReader(args_, events_, true, "", 0).CleanUpPreviousJobResults(), 0);
  ExpectLogged({"Received JobID : 12, Stowhost : media",
                "This is a snap2tape job and JobID going to be used is [77]",
                "Failed to open Job Results: No such file or directory"});
}

TEST_F(ReaderTest, TurboAndNormalLines) {
  Start(true,
        "0,0,0,0,/a/b,1,G1,42,1700000000\n"
        "1,2,3,4,/seven,1,G\n"
        "\n"
        "1,2,3,4,,1,G,9,2\n"
        "1,2,3,4,/tab,1,\t,9,2,DONE\n"
        "1,2,3,4,/noinode,1,G,,2\n"
        "1,2,3,4,/good,1,G,9,2\n"
        "5,0,0,0,/s,1,G,1,2,DONE\n"
        "1,2,3,4096,/m,1,G1\r,-1,2\n"
        "1,2,3,4,/q,1,G,7\n"
        "1,2,3,4,/" +
            std::string(2100, 't') + ",1,G,9,2\n" + std::string("1,2,3,4,/n\0ul,1,G,9,2\n", 22) +
            "1,2,3,4,/last,1,G,9,2");  // no line feed: never delivered
  ExpectItems({"/a/b 1700000000 42 0 G1 [NEVER_BACKED_UP] 1:3:0:0:0:2:2:G1:15:AG:0|",
               "/good 2 9 4 G [] 1:3:1:2:3:2:1:G:15:AG:4|",
               "/s 2 1 0 G [DONE] 1:3:5:0:0:2:1:G:15:AG:0|",
               "/m 2 -1 4096 G1 [] 1:3:1:2:3:2:2:G1:15:AG:4096|",
               "/q 0 7 4 G [] 1:3:1:2:3:2:1:G:15:AG:4|"});
  ExpectLogged({"Entry[0,0,0,0,/a/b,1,G1,42,1700000000] tokens[9]", "Invalid value '' read.",
                "Invalid value '1,2,3,4,/seven,1,G' read.", "Inode read as zero length."});
  const std::string reason = " in collect file " + collect_ + "turbo.kof]\n";
  EXPECT_EQ(Failures(),
            "File[/tab], ArchiveStatus[STUBBING_SKIPPED], Reason[meta-data GUID missing]\n"
            "File[/noinode], ArchiveStatus[STUBBING_SKIPPED], Reason[inode info missing]\n"
            "File[/" +
                std::string(2038, 't') +
                "... (cut)], ArchiveStatus[STUBBING_SKIPPED], Reason[line of 2048 bytes or more" +
                reason +
                "File[/n... (cut)], ArchiveStatus[STUBBING_SKIPPED], Reason[line holding a NUL "
                "byte" +
                reason);

  const std::string maxName = "/" + std::string(1022, 'm');  // 1023 bytes: the most
  Start(false,
        "7,8,9,100,/x/f,5,4711\n\n1,2,3,4,/six,5\n1,2,3,4,/empty,5,\n1,2,3,4,/t,5,12\t34\n"
        "1,2,3,4,/c\r,5,5\r6\t7\n1,2,3,4,/" +
            std::string(2100, 'l') + ",5,6\n1,2,3,4," + maxName + "n,5,6\n1,2,3,4," + maxName +
            ",5,6\n");
  ExpectItems({"/x/f 99 4711 -1 4711 [] 1:3:7:8:9:1:4:/x/f|", "/t 99 12 -1 12 [] 1:3:1:2:3:1:2:/t|",
               "/c 99 5 -1 5 [] 1:3:1:2:3:1:2:/c|",
               maxName + " 99 6 -1 6 [] 1:3:1:2:3:1:1023:" + maxName + "|"});
  ExpectLogged({"Reparse Data : 1:3:7:8:9:1:4:/x/f|",
                "/six Stubbing : Skipped : Stubbing info not found (no meta-data)"});
  EXPECT_EQ(Failures(),
            "/six Stubbing : Skipped : Stubbing info not found (no meta-data)\n"
            "/empty Stubbing : Skipped : Stubbing info not found (empty meta-data)\n/" +
                std::string(2038, 'l') +
                "... (cut) Stubbing : Skipped : line of 2048 bytes or more in collect file "
                "dbStubList_12.kof\n" +
                maxName + "... (cut) Stubbing : Skipped : file name of more than 1023 bytes\n");

  // A line without a name column fails the call; the next call goes on.
  args_.skipReportSwitch = 0;  // and nothing reaches the failure file
  Start(false, "1,2,3,4\n1,2,3,4,/six,5\n1,2,3,4,/ok,5,6\n", 124);
  EXPECT_EQ(Next(*reader_).substr(0, 3), "-1 ");
  ExpectLogged({"Could not find file name in collect file dbStubList_12.kof"});
  ExpectItems({"/ok 99 -1 -1 6 [] 1:3:1:2:3:1:3:/ok|"});  // no inode for type 124
  EXPECT_EQ(Failures(), "");
}

TEST_F(ReaderTest, QueriesTheBackupIndexOnce) {
  const std::string quoted = "/data/a,b \"quoted\", \\x";
  trhsm_test::RegisteredIndex index(dir_, {{12, 7, 8, 9, 100, "/data/plain", 0, 4711, {}},
                                           {12, 7, 8, 9, 100, quoted, 0, ~0ull, {}}});
  reader_ = std::make_unique<TRHSMCollectFileDBReader>(args_, events_, false, "dbStubList", 0);
  ASSERT_TRUE(reader_->Initialize() == 1 && reader_->Open() == 1);
  ExpectLogged({"Processing dbStubList_12.kof in folder " + collect_ +
                " with format string arch_group_id,"});
  ExpectItems({"/data/plain 99 4711 -1 4711 [] 1:3:7:8:9:1:11:/data/plain|",
               quoted + " 99 -1 -1 18446744073709551615 [] 1:3:7:8:9:1:22:" + quoted + "|"});
  // A rerun takes the finished file as it is, without a query.
  log_.Clear();
  Start(false, "1,2,3,4,/kept,5,6\n");
  EXPECT_FALSE(log_.Contains("Processing"));
  ExpectItems({"/kept 99 6 -1 6 [] 1:3:1:2:3:1:5:/kept|"});

  args_.jobId = 14;
  const int none = TRHSMCollectFileDBReader(args_, events_, false, "dbStubList", 0).Initialize();
  WriteFile(dir_.File("registry"), "[Base]\n");
  args_.jobId = 15;
  EXPECT_EQ(TRHSMCollectFileDBReader(args_, events_, false, "dbStubList", 0).Initialize() + none,
            0);
  ExpectLogged({"apiGetBackedUpItemsByJob() returned zero items.",
                "Failed to retreive stub items for JobID 15"});
}

TEST_F(ReaderTest, OpenFailuresStubListAndFailureStream) {
  TRHSMCollectFileDBReader turbo(args_, events_, true, "", 0);
  EXPECT_EQ(turbo.Initialize(), 1);
  TRHSMCollectFileDBReader normal(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(turbo.Open() + normal.Open(), 0);
  normal.m_dstFileName.clear();
  EXPECT_EQ(normal.Open(), 0);
  ExpectLogged({"Failed to open collect file  error=No such file or directory",
                "Failed to open collect file " + collect_ + "dbStubList_12.kof",
                "TRHSMCollectFileDBReader::Open: m_dstFileName is empty."});

  std::string in = dir_.File("in.kof"), out = dir_.File("out.lst"), missing = dir_.File("none");
  WriteFile(in, "|a:b:c|1|\n|nocolon|2|\n|d:e|3|\nplain\n|f:g|4|\n");
  EXPECT_EQ(turbo.ProcessStubCollectFile(in, out), 1);
  EXPECT_EQ(ReadFile(out), "a:b\nd\n");
  EXPECT_EQ(turbo.ProcessStubCollectFile(missing, out), 0);

  // Owned streams are closed (and flushed) when replaced; the caller's stream stays open.
  std::string first = dir_.File("first"), second = dir_.File("second");
  turbo.WriteToFailures("dropped");
  turbo.SetFailureFile(static_cast<FILE*>(nullptr));  // logs: the log's descriptor opens now
  const size_t fds = ListFolder("/proc/self/fd").size();
  turbo.SetFailureFile(first), turbo.WriteToFailures("one"), turbo.WriteToFailures(nullptr);
  turbo.SetFailureFile(second);
  EXPECT_EQ(ListFolder("/proc/self/fd").size(), fds + 1);
  EXPECT_EQ(ReadFile(first), "one\n");
  FILE* mine = std::fopen(dir_.File("mine").c_str(), "w");
  turbo.SetFailureFile(mine);
  EXPECT_EQ(ListFolder("/proc/self/fd").size(), fds + 1);  // the second closed, mine open
  EXPECT_EQ(ReadFile(second), "");
  turbo.WriteToFailures("three");
  turbo.SetFailureFile(first);
  EXPECT_TRUE(std::fputs("four\n", mine) >= 0 && std::fclose(mine) == 0);
  EXPECT_EQ(ReadFile(dir_.File("mine")), "three\nfour\n");
}

}  // namespace
