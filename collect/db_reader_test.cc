// The database reader: naming and clean-up of the collect folder, the query through a real index,
// both line layouts with their skips and reports, and ownership of the failure stream.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <set>
#include <string>

#include "platform/backup_index.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

constexpr unsigned long kNoInode = ~0UL;

struct Outputs {
  HSMCollectFile item;
  std::string reparse;
  std::string meta;
  unsigned long inode = 5;
  long long size = 5;
  std::string status = "stale";
};

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* e = readdir(dir)) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
  }
  closedir(dir);
  return names;
}

size_t OpenDescriptors() { return Entries("/proc/self/fd").size(); }

class DbReaderTest : public ::testing::Test {
 protected:
  DbReaderTest() : level_("KO_LOG_LEVEL", "7"), collect_(dir_.path() + "/collect/") {
    EXPECT_EQ(::mkdir(collect_.c_str(), 0755), 0);
    args_.collectFolder = collect_;
    args_.jobId = 12;
    std::snprintf(args_.stowhostName, sizeof args_.stowhostName, "media");
    args_.auxNumber = 3;
    args_.appIdSecond = 15;
    args_.restartValue = 99;
  }

  TRHSMCollectFileDBReader& Turbo(const std::string& content) {
    std::string path = collect_ + "turbo.kof";
    WriteFile(path, content);
    reader_ = std::make_unique<TRHSMCollectFileDBReader>(args_, events_, true, "", 0);
    reader_->SetAppTypeGUID("AG");
    EXPECT_EQ(reader_->Initialize(path), 1);
    EXPECT_EQ(reader_->Open(), 1);
    return *reader_;
  }
  TRHSMCollectFileDBReader& Normal(const std::string& content, unsigned long appType = 0) {
    WriteFile(collect_ + "dbStubList_12.kof", content);
    reader_ =
        std::make_unique<TRHSMCollectFileDBReader>(args_, events_, false, "dbStubList", appType);
    EXPECT_EQ(reader_->Initialize(), 1);
    EXPECT_EQ(reader_->Open(), 1);
    return *reader_;
  }
  int Next(Outputs& o) {
    return reader_->GetItem(o.item, o.reparse, o.meta, o.inode, o.size, o.status);
  }
  // The reparse text is `fixed` followed by a current time.
  void ExpectReparse(const std::string& got, const std::string& fixed) {
    ASSERT_EQ(got.compare(0, fixed.size(), fixed), 0) << got;
    const long when = std::atol(got.c_str() + fixed.size());
    EXPECT_LE(std::labs(when - static_cast<long>(std::time(nullptr))), 5) << got;
    EXPECT_EQ(got.find_first_not_of("0123456789", fixed.size()), std::string::npos) << got;
  }

  ScopedEnv level_;
  LogCapture log_;
  ScratchDir dir_;
  std::string collect_;
  TRHSM_CMDLINE_ARGS args_;
  EvEvent events_;
  std::unique_ptr<TRHSMCollectFileDBReader> reader_;
};

TEST_F(DbReaderTest, NormalModeNamesTheFileAfterTheJob) {
  TRHSMCollectFileDBReader a(args_, events_, false, "dbStubList_", 124);
  EXPECT_EQ(a.m_dstFileName, "dbStubList__12.kof");
  EXPECT_EQ(a.m_formatString,
            "arch_group_id,arch_file_id,arch_file_offs,file_size,full_file_name,mod_time,"
            "metadata-643422786");
  EXPECT_TRUE(log_.Contains("Received JobID : 12, Stowhost : media")) << log_.Text();
  TRHSMCollectFileDBReader b(args_, events_, false, "dbStubList", 7);
  EXPECT_EQ(b.m_dstFileName, "dbStubList_12.kof");
  EXPECT_EQ(b.m_formatString.substr(b.m_formatString.rfind('-')), "-1613830181");

  args_.snapFlag = true;
  args_.snapJobIdText = "77";
  TRHSMCollectFileDBReader snap(args_, events_, false, "p", 7);
  EXPECT_EQ(snap.m_jobId, 77);
  EXPECT_EQ(snap.m_dstFileName, "p_77.kof");
  EXPECT_TRUE(log_.Contains("This is a snap2tape job and JobID going to be used is [77]"));
  args_.snapJobIdText = "";
  EXPECT_EQ(TRHSMCollectFileDBReader(args_, events_, false, "p", 7).m_jobId, 0);
  TRHSMCollectFileDBReader turbo(args_, events_, true, "p", 7);
  EXPECT_EQ(turbo.m_jobId, 12);
  EXPECT_EQ(turbo.m_dstFileName, "");
  EXPECT_EQ(turbo.m_formatString, "");
}

TEST_F(DbReaderTest, CleanUpRemovesEarlierJobsFilesOnly) {
  for (const char* name : {"dbStubList_5.kof", "dbStubList_12.kof", "dbStubList_123.kof",
                           "dbStubListTurbo_5.kof", "a_earlyStubBackup_12", "other"}) {
    WriteFile(collect_ + name, "x");
  }
  TRHSMCollectFileDBReader turbo(args_, events_, true, "", 0);
  EXPECT_EQ(turbo.CleanUpPreviousJobResults(), 1);
  EXPECT_EQ(Entries(collect_), (std::set<std::string>{"dbStubList_5.kof", "dbStubList_12.kof",
                                                      "dbStubList_123.kof", "other"}));
  WriteFile(collect_ + "dbStubListTurbo_5.kof", "x");
  TRHSMCollectFileDBReader normal(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(normal.CleanUpPreviousJobResults(), 1);
  EXPECT_EQ(Entries(collect_),
            (std::set<std::string>{"dbStubList_12.kof", "dbStubList_123.kof", "other"}));

  args_.collectFolder = dir_.File("missing/");
  TRHSMCollectFileDBReader missing(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(missing.CleanUpPreviousJobResults(), 0);
  EXPECT_TRUE(log_.Contains("Failed to open Job Results: No such file or directory"));
}

TEST_F(DbReaderTest, CleanUpStaysInsideTheListedFolder) {
  // Without its trailing "/" the folder's entries are still the ones removed, never a file
  // beside the folder whose name starts with the folder's last component.
  WriteFile(collect_ + "dbStubList_5.kof", "inside");
  WriteFile(dir_.File("collectdbStubList_5.kof"), "beside");
  WriteFile(dir_.File("target_earlyStubBackup"), "target");
  ASSERT_EQ(::symlink(dir_.File("target_earlyStubBackup").c_str(),
                      (collect_ + "link_earlyStubBackup").c_str()),
            0);
  args_.collectFolder = dir_.File("collect");
  TRHSMCollectFileDBReader reader(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(reader.CleanUpPreviousJobResults(), 1);
  EXPECT_TRUE(Entries(collect_).empty());
  EXPECT_EQ(ReadFile(dir_.File("collectdbStubList_5.kof")), "beside");
  EXPECT_EQ(ReadFile(dir_.File("target_earlyStubBackup")), "target");
}

TEST_F(DbReaderTest, TurboLineGivesItemAndLayoutTwoReparse) {
  Turbo("0,0,0,0,/a/b,1,G1,42,1700000000\n");
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/a/b");
  EXPECT_EQ(o.item.itemTime, 1700000000);
  EXPECT_EQ(o.inode, 42u);
  EXPECT_EQ(o.size, 0);
  EXPECT_EQ(o.meta, "G1");
  EXPECT_EQ(o.status, "NEVER_BACKED_UP");
  ExpectReparse(o.reparse, "1:3:0:0:0:2:2:G1:15:AG:0|");
  EXPECT_TRUE(log_.Contains("Entry[0,0,0,0,/a/b,1,G1,42,1700000000] tokens[9]")) << log_.Text();
  EXPECT_TRUE(
      log_.Contains("Inode[42(42)], Backup mtime=[1700000000], File size=[0], "
                    "Stubbing status=[NEVER_BACKED_UP]"));
  EXPECT_EQ(Next(o), 0);
  EXPECT_TRUE(log_.Contains("Finished processing collect file data from collect file " + collect_ +
                            "turbo.kof"));
  EXPECT_EQ(o.inode, kNoInode);
  EXPECT_EQ(o.size, -1);
  EXPECT_EQ(o.status, "");
  EXPECT_EQ(Next(o), 0);
}

TEST_F(DbReaderTest, TurboStatusInodeAndMetadataColumns) {
  Turbo(
      "5,0,0,0,/s,1,G,1,2,DONE\n"
      "0,0,0,0,/n,1,G,1,2,DONE\n"
      "00,0,0,0,/z,1,G,1,2\n"
      "1,2,3,4096,/m,1,G1\r,-1,2\n"
      "1,2,3,4,/p,1,G,12ab,2\n"
      "1,2,3,4,/q,1,G,7\n");
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.status, "DONE");
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.status, "NEVER_BACKED_UP");
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.status, "");
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/m");
  EXPECT_EQ(o.meta, "G1");
  EXPECT_EQ(o.inode, kNoInode);
  EXPECT_EQ(o.size, 4096);
  ExpectReparse(o.reparse, "1:3:1:2:3:2:2:G1:15:AG:4096|");
  EXPECT_TRUE(log_.Contains("Inode[18446744073709551615(-1)]")) << log_.Text();
  EXPECT_TRUE(log_.Contains("Stubbing status=[Unknown]"));
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.inode, 12u);
  // A line of eight columns without its time gives time 0.
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/q");
  EXPECT_EQ(o.item.itemTime, 0);
  EXPECT_EQ(Next(o), 0);
}

TEST_F(DbReaderTest, TurboSkipsAreReportedAndTheCallGoesOn) {
  args_.skipReportSwitch = 1;
  std::string failures = dir_.File("failures");
  Turbo(
      "1,2,3,4,/seven,1,G\n"
      "\n"
      "1,2,3,4,,1,G,9,2\n"
      "1,2,3,4,/tab,1,\t,9,2,DONE\n"
      "1,2,3,4,/noinode,1,G,,2\n"
      "1,2,3,4,/good,1,G,9,2\n"
      "1,2,3,4,/last,1,G,9,2");
  reader_->SetFailureFile(failures);
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/good");
  // The status of the skipped /tab line must not reach this item.
  EXPECT_EQ(o.status, "");
  EXPECT_TRUE(log_.Contains("Invalid value '1,2,3,4,/seven,1,G' read.")) << log_.Text();
  EXPECT_TRUE(log_.Contains("Invalid value '' read."));
  EXPECT_TRUE(log_.Contains("Invalid entry '1,2,3,4,,1,G,9,2' read from [" + collect_ +
                            "turbo.kof] : filename not found."));
  EXPECT_TRUE(log_.Contains("Meta-data read as zero length."));
  EXPECT_TRUE(log_.Contains("Inode read as zero length."));
  // The last line lacks its line feed and is never delivered.
  EXPECT_EQ(Next(o), 0);
  reader_.reset();
  EXPECT_EQ(ReadFile(failures),
            "File[/tab], ArchiveStatus[STUBBING_SKIPPED], Reason[meta-data GUID missing]\n"
            "File[/noinode], ArchiveStatus[STUBBING_SKIPPED], Reason[inode info missing]\n");
}

TEST_F(DbReaderTest, NormalLineGivesItemAndLayoutOneReparse) {
  Normal(
      "7,8,9,100,/x/f,5,4711\n"
      "\n"
      "1,2,3,4,/t,5,12\t34\n"
      "1,2,3,4,/c\r,5,5\r6\t7\n");
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/x/f");
  EXPECT_EQ(o.item.itemTime, 99);
  EXPECT_EQ(o.inode, 4711u);
  EXPECT_EQ(o.size, -1);
  EXPECT_EQ(o.meta, "4711");
  EXPECT_EQ(o.status, "");
  ExpectReparse(o.reparse, "1:3:7:8:9:1:4:/x/f|");
  EXPECT_TRUE(log_.Contains("Filename : /x/f"));
  EXPECT_TRUE(log_.Contains("Inode : 4711"));
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.meta, "12");
  EXPECT_EQ(o.inode, 12u);
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.meta, "5");
  EXPECT_EQ(o.item.fileName, "/c");
  ExpectReparse(o.reparse, "1:3:1:2:3:1:2:/c|");
  EXPECT_EQ(Next(o), 0);

  Normal("7,8,9,100,/x/f,5,4711\n", 124);
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.inode, kNoInode);
}

TEST_F(DbReaderTest, NormalSkipsAndShortLines) {
  args_.skipReportSwitch = 1;
  Normal(
      "1,2,3,4\n"
      "1,2,3,4,/six,5\n"
      "1,2,3,4,/empty,5,\n"
      "1,2,3,4,/ok,5,6\n");
  std::string failures = dir_.File("failures");
  reader_->SetFailureFile(failures);
  Outputs o;
  EXPECT_EQ(Next(o), -1);
  EXPECT_TRUE(log_.Contains("Could not find file name in collect file dbStubList_12.kof"));
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/ok");
  EXPECT_TRUE(log_.Contains("/six Stubbing : Skipped : Stubbing info not found (no meta-data)"));
  reader_.reset();
  EXPECT_EQ(ReadFile(failures),
            "/six Stubbing : Skipped : Stubbing info not found (no meta-data)\n"
            "/empty Stubbing : Skipped : Stubbing info not found (empty meta-data)\n");

  // Without the switch nothing reaches the failure file.
  args_.skipReportSwitch = 0;
  Normal("1,2,3,4,/six,5\n1,2,3,4,/empty,5,\n");
  reader_->SetFailureFile(failures);
  EXPECT_EQ(Next(o), 0);
  reader_.reset();
  EXPECT_EQ(ReadFile(failures), "");
}

TEST_F(DbReaderTest, LinesAndNamesTooLongAreSkippedNotCut) {
  args_.skipReportSwitch = 1;
  const std::string longLine = "1,2,3,4,/" + std::string(2100, 'l') + ",5,6";
  const std::string longName = "/" + std::string(1023, 'n');  // 1024 bytes
  const std::string maxName = "/" + std::string(1022, 'm');   // 1023 bytes
  Normal(longLine + "\n1,2,3,4," + longName + ",5,6\n1,2,3,4," + maxName + ",5,6\n");
  std::string failures = dir_.File("failures");
  reader_->SetFailureFile(failures);
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, maxName);
  EXPECT_EQ(Next(o), 0);
  reader_.reset();
  // Each skip line names the file as far as it was read, in the mode's own format.
  EXPECT_EQ(ReadFile(failures),
            "/" + std::string(2038, 'l') +
                "... (cut) Stubbing : Skipped : line of 2048 bytes or more in collect file "
                "dbStubList_12.kof\n" +
                longName.substr(0, 1023) +
                "... (cut) Stubbing : Skipped : file name of more than 1023 bytes\n");
  EXPECT_TRUE(log_.Contains("Skipped : line of 2048 bytes or more in collect file")) << log_.Text();

  Turbo("1,2,3,4,/" + std::string(2100, 't') + ",1,G,9,2\n" +
        std::string("1,2,3,4,/n\0ul,1,G,9,2\n", 22) + "1,2,3,4,/t,1,G,9,2\n");
  reader_->SetFailureFile(failures);
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/t");
  reader_.reset();
  EXPECT_EQ(ReadFile(failures),
            "File[/" + std::string(2038, 't') +
                "... (cut)], ArchiveStatus[STUBBING_SKIPPED], Reason[line of 2048 bytes or more "
                "in collect file " +
                collect_ +
                "turbo.kof]\n"
                "File[/n... (cut)], ArchiveStatus[STUBBING_SKIPPED], Reason[line holding a NUL "
                "byte in collect file " +
                collect_ + "turbo.kof]\n");
}

TEST_F(DbReaderTest, NormalModeThroughTheBackupIndex) {
  std::vector<trhsm::platform::BackupItem> items(3);
  items[0].jobId = 12;
  items[0].archGroupId = 7;
  items[0].archFileId = 8;
  items[0].archFileOffset = 9;
  items[0].fileSize = 100;
  items[0].fullFileName = "/data/plain";
  items[0].inode = 4711;
  items[1] = items[0];
  items[1].fullFileName = "/data/a,b \"quoted\", \\x";
  items[1].inode = 18446744073709551615ull;
  items[1].archFileOffset = 10;
  items[2] = items[1];
  items[2].jobId = 13;
  trhsm_test::RegisteredIndex index(dir_, items);
  reader_ = std::make_unique<TRHSMCollectFileDBReader>(args_, events_, false, "dbStubList", 0);
  ASSERT_EQ(reader_->Initialize(), 1);
  EXPECT_TRUE(log_.Contains("Processing dbStubList_12.kof in folder " + collect_ +
                            " with format string arch_group_id,"))
      << log_.Text();
  ASSERT_EQ(reader_->Open(), 1);
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/data/plain");
  EXPECT_EQ(o.inode, 4711u);
  ExpectReparse(o.reparse, "1:3:7:8:9:1:11:/data/plain|");
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/data/a,b \"quoted\", \\x");
  EXPECT_EQ(o.inode, 18446744073709551615ul);
  ExpectReparse(o.reparse, "1:3:7:8:10:1:22:/data/a,b \"quoted\", \\x|");
  EXPECT_EQ(Next(o), 0);

  // A rerun reuses the finished file without a query.
  log_.Clear();
  reader_ = std::make_unique<TRHSMCollectFileDBReader>(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(reader_->Initialize(), 1);
  EXPECT_FALSE(log_.Contains("Processing"));

  args_.jobId = 14;
  TRHSMCollectFileDBReader empty(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(empty.Initialize(), 0);
  EXPECT_TRUE(log_.Contains("apiGetBackedUpItemsByJob() returned zero items.")) << log_.Text();

  WriteFile(dir_.File("registry"), "[Base]\n");
  args_.jobId = 15;
  TRHSMCollectFileDBReader failed(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(failed.Initialize(), 0);
  EXPECT_TRUE(log_.Contains("Failed to retreive stub items for JobID 15"));
}

TEST_F(DbReaderTest, OpenFailures) {
  TRHSMCollectFileDBReader turbo(args_, events_, true, "", 0);
  EXPECT_EQ(turbo.Initialize(), 1);
  EXPECT_EQ(turbo.Open(), 0);
  EXPECT_TRUE(log_.Contains("Failed to open collect file  error=No such file or directory"))
      << log_.Text();
  TRHSMCollectFileDBReader normal(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(normal.Open(), 0);
  EXPECT_TRUE(log_.Contains("Failed to open collect file " + collect_ + "dbStubList_12.kof"));
  Outputs o;
  EXPECT_EQ(normal.GetItem(o.item, o.reparse, o.meta, o.inode, o.size, o.status), 0);
}

TEST_F(DbReaderTest, ProcessStubCollectFileKeepsNamesUpToLastColon) {
  std::string in = dir_.File("in.kof"), out = dir_.File("out.lst");
  WriteFile(in, "|a:b:c|1|\n|nocolon|2|\n|d:e|3|\nplain\n|f:g|4|\n");
  TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
  EXPECT_EQ(reader.ProcessStubCollectFile(in, out), 1);
  EXPECT_EQ(ReadFile(out), "a:b\nd\n");
  EXPECT_TRUE(log_.Contains("Writing a:b to file [" + out + "]."));
  std::string missing = dir_.File("missing");
  EXPECT_EQ(reader.ProcessStubCollectFile(missing, out), 0);
}

TEST_F(DbReaderTest, FailureStreamOwnership) {
  std::string first = dir_.File("first"), second = dir_.File("second");
  {
    TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
    reader.WriteToFailures("dropped");
    // Logs, so that the log's own descriptor is open before the count.
    reader.SetFailureFile(static_cast<FILE*>(nullptr));
    const size_t before = OpenDescriptors();
    reader.SetFailureFile(first);
    reader.WriteToFailures("one");
    reader.SetFailureFile(second);  // closes, and so flushes, the first
    EXPECT_EQ(OpenDescriptors(), before + 1);
    EXPECT_EQ(ReadFile(first), "one\n");
    reader.WriteToFailures("two");
    reader_ = std::make_unique<TRHSMCollectFileDBReader>(args_, events_, true, "", 0);
    reader_->SetFailureFile(first);
    EXPECT_EQ(OpenDescriptors(), before + 2);
    reader_.reset();
    EXPECT_EQ(OpenDescriptors(), before + 1);
  }
  EXPECT_EQ(ReadFile(first), "");  // emptied again by the second reader
  EXPECT_EQ(ReadFile(second), "two\n");

  FILE* mine = std::fopen(dir_.File("mine").c_str(), "w");
  ASSERT_NE(mine, nullptr);
  {
    TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
    reader.SetFailureFile(mine);
    reader.WriteToFailures("three");
    reader.SetFailureFile(first);  // the caller's stream stays open
  }
  EXPECT_GE(std::fputs("four\n", mine), 0);
  EXPECT_EQ(std::fclose(mine), 0);
  EXPECT_EQ(ReadFile(dir_.File("mine")), "three\nfour\n");
}

}  // namespace
