// The direct reader: pairing of the stub collect file with the stub list, its out-parameter
// markers, and its open and end-of-data messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

constexpr unsigned long kNoInode = ~0UL;

struct Outputs {
  HSMCollectFile item;
  std::string reparse;
  std::string meta = "caller's text";
  unsigned long inode = 5;
  long long size = 5;
  std::string status = "stale";
};

class DirectReaderTest : public ::testing::Test {
 protected:
  // A reader over the two files, initialised and opened.
  void Start(const std::string& stubFile, const std::string& stubList) {
    WriteFile(files_.File("stub.kof"), stubFile);
    WriteFile(files_.File("stub.lst"), stubList);
    args_.stubFileName = files_.File("stub.kof");
    args_.stubListName = files_.File("stub.lst");
    reader_ = std::make_unique<TRHSMCollectFileReader>(args_, events_);
    ASSERT_EQ(reader_->Initialize(), 1);
    ASSERT_EQ(reader_->Open(), 1);
  }
  int Next(Outputs& o) {
    return reader_->GetItem(o.item, o.reparse, o.meta, o.inode, o.size, o.status);
  }

  LogCapture log_;
  ScratchDir files_;
  TRHSM_CMDLINE_ARGS args_;
  EvEvent events_;
  std::unique_ptr<TRHSMCollectFileReader> reader_;
};

// The pairing of lines and never a cut item are the fuzz target's (collect_file_reader); here the
// outputs the reader leaves alone or marks, and its messages.
TEST_F(DirectReaderTest, PairsLinesMarksOutputsAndReportsTheEnd) {
  Start("|/a/one|11|\n|/a/two|22|\n", "1:2:3|77\nx:y\nr3|3\n");
  Outputs o;
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.item.fileName, "/a/one");
  EXPECT_EQ(o.item.itemTime, 11);
  EXPECT_EQ(o.reparse, "1:2:3");
  EXPECT_EQ(o.inode, 77u);
  EXPECT_EQ(o.meta, "caller's text");
  EXPECT_EQ(o.size, -1);
  EXPECT_EQ(o.status, "");
  ASSERT_EQ(Next(o), 1);
  EXPECT_EQ(o.inode, kNoInode);
  EXPECT_FALSE(log_.Contains("Either Failed"));
  EXPECT_EQ(Next(o), 0);
  EXPECT_TRUE(log_.Contains("Either Failed to read " + files_.File("stub.kof") + " and " +
                            files_.File("stub.lst") + " or both ended"))
      << log_.Text();
}

TEST_F(DirectReaderTest, OpenChecksNamesInOrderAndReportsMissingFiles) {
  // Each step fills in what the one before lacked; the message names the first thing missing.
  const std::string expected[] = {"m_stubFileName is empty.", "m_stubListName is empty.",
                                  "Failed to open " + files_.File("stub.kof"),
                                  "Failed to open " + files_.File("stub.lst")};
  for (int step = 0; step < 4; ++step) {
    if (step == 1) args_.stubFileName = files_.File("stub.kof");
    if (step == 2) args_.stubListName = files_.File("stub.lst");
    if (step == 3) WriteFile(files_.File("stub.kof"), "");
    log_.Clear();
    TRHSMCollectFileReader reader(args_, events_);
    reader.Initialize();
    EXPECT_EQ(reader.Open(), 0);
    EXPECT_TRUE(log_.Contains(expected[step])) << log_.Text();
    if (step == 0) {
      EXPECT_FALSE(log_.Contains("m_stubListName"));
    }
  }
  // Setting a failure file creates nothing: this reader reports no skips.
  TRHSMCollectFileReader reader(args_, events_);
  std::string path = files_.File("failures");
  reader.SetFailureFile(path);
  reader.WriteToFailures("text");
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);
}

}  // namespace
