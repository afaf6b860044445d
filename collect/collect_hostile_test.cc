// The collect folder may be writable by other users: links and files planted under the names of
// the collect file, the stub list, the failure file and the index query's output never redirect
// a write out of the folder, and the clean-up of earlier lists removes links, not what they name.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/backup_index.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class CollectHostileTest : public ::testing::Test {
 protected:
  CollectHostileTest() {
    WriteFile(Victim(), "precious\n");
    args_.collectFolder = folder_.path() + "/";
    args_.jobId = 12;
  }
  std::string Victim() const { return outside_.File("victim"); }
  std::string Dangling() const { return outside_.File("created"); }
  static bool IsRegular(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  // Outside the folder nothing changed and nothing appeared.
  void ExpectOutsideUntouched() {
    EXPECT_EQ(ReadFile(Victim()), "precious\n");
    EXPECT_NE(::access(Dangling().c_str(), F_OK), 0) << "file created through a link";
  }

  ScratchDir folder_;
  ScratchDir outside_;
  TRHSM_CMDLINE_ARGS args_;
  EvEvent events_;
};

TEST_F(CollectHostileTest, CollectFileLinkIsReplaced) {
  const std::string target = folder_.File("list.kof");
  for (const std::string& to : {Victim(), Dangling()}) {
    SCOPED_TRACE(to);
    ::unlink(target.c_str());
    ASSERT_EQ(::symlink(to.c_str(), target.c_str()), 0);
    CollectFile writer;
    ASSERT_EQ(writer.Initialize(target), 1);
    writer.SetSeperator('|');
    std::string name = "/a";
    ASSERT_EQ(writer.AddToCollectFile(&name[0], false, true, 5), 1);
    ASSERT_EQ(writer.DeInitialize(), 1);
    ExpectOutsideUntouched();
    EXPECT_TRUE(IsRegular(target));
    EXPECT_EQ(ReadFile(target), "|/a|5|\n");
  }
  EXPECT_EQ(trhsm_test::ListFolder(folder_.path()), (std::vector<std::string>{"list.kof"}));
}

TEST_F(CollectHostileTest, StubListLinkIsReplaced) {
  std::string in = outside_.File("in.kof");
  WriteFile(in, "|/x:1|1|\n");
  std::string out = folder_.File("stub.lst");
  ASSERT_EQ(::symlink(Victim().c_str(), out.c_str()), 0);
  TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
  EXPECT_EQ(reader.ProcessStubCollectFile(in, out), 1);
  ExpectOutsideUntouched();
  EXPECT_TRUE(IsRegular(out));
  EXPECT_EQ(ReadFile(out), "/x\n");
}

TEST_F(CollectHostileTest, FailureFileNeverWritesThroughALinkOrAnotherName) {
  std::string failures = folder_.File("failures");
  std::string hardLink = folder_.File("hard");
  ASSERT_EQ(::link(Victim().c_str(), hardLink.c_str()), 0);
  for (const std::string& to : {Victim(), Dangling()}) {
    SCOPED_TRACE(to);
    ::unlink(failures.c_str());
    ASSERT_EQ(::symlink(to.c_str(), failures.c_str()), 0);
    {
      TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
      reader.SetFailureFile(failures);
      reader.WriteToFailures("skipped /a");
    }
    ExpectOutsideUntouched();
    EXPECT_TRUE(IsRegular(failures));
    EXPECT_EQ(ReadFile(failures), "skipped /a\n");
  }
  // A second name of a file outside is replaced too, and its own file keeps what it held.
  {
    TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
    reader.SetFailureFile(hardLink);
    reader.WriteToFailures("skipped /b");
  }
  ExpectOutsideUntouched();
  EXPECT_EQ(ReadFile(hardLink), "skipped /b\n");
  // The reader's own earlier failure file is emptied in place.
  {
    TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
    reader.SetFailureFile(failures);
  }
  EXPECT_EQ(ReadFile(failures), "");
}

TEST_F(CollectHostileTest, CleanUpRemovesLinksNotWhatTheyName) {
  ASSERT_EQ(::symlink(Victim().c_str(), folder_.File("dbStubList_5.kof").c_str()), 0);
  ASSERT_EQ(::symlink(outside_.path().c_str(), folder_.File("earlyStubBackup").c_str()), 0);
  WriteFile(folder_.File("dbStubList_12.kof"), "1,2,3,4,/x,1,G\n");
  TRHSMCollectFileDBReader reader(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(reader.Initialize(), 1);
  ExpectOutsideUntouched();
  EXPECT_EQ(trhsm_test::ListFolder(outside_.path()), (std::vector<std::string>{"victim"}));
  EXPECT_EQ(trhsm_test::ListFolder(folder_.path()),
            (std::vector<std::string>{"dbStubList_12.kof"}));
}

TEST_F(CollectHostileTest, IndexQueryReplacesADanglingLinkAtItsOutput) {
  trhsm::platform::BackupItem item;
  item.jobId = 12;
  item.fullFileName = "/data/a";
  trhsm_test::RegisteredIndex index(outside_, {item});
  const std::string target = folder_.File("dbStubList_12.kof");
  ASSERT_EQ(::symlink(Dangling().c_str(), target.c_str()), 0);
  TRHSMCollectFileDBReader reader(args_, events_, false, "dbStubList", 0);
  EXPECT_EQ(reader.Initialize(), 1);
  ExpectOutsideUntouched();
  EXPECT_TRUE(IsRegular(target));
  EXPECT_NE(ReadFile(target).find("/data/a"), std::string::npos);
  EXPECT_EQ(trhsm_test::ListFolder(folder_.path()),
            (std::vector<std::string>{"dbStubList_12.kof"}));
}

}  // namespace
