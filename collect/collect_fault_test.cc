// The collect folder's writers under injected I/O faults: the collect-file writer, the index query
// behind the database reader's Initialize and the stub-list conversion either report failure and
// leave the earlier file byte for byte, or succeed with the whole new file; never a temporary
// file left, never a descriptor leaked.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/backup_index.h"
#include "testing/fault_sweep.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::FaultCase;
using trhsm_test::FaultRun;
using trhsm_test::ListFolder;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class CollectFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  // `before` is the target's content before the run ("" for none), `after` what success writes.
  void Check(const FaultRun& run, const std::string& target, const std::string& before,
             const std::string& after) {
    const std::string now = ReadFile(target);
    if (!run.fired) {
      EXPECT_EQ(now, after);
    } else if (trhsm_test::MustFail(GetParam(), run, folder_.path())) {
      EXPECT_FALSE(run.succeeded) << "fault on " << run.firedPath << " reported as success";
      // After the rename only the folder's sync can fail; the new file is then whole.
      EXPECT_TRUE(now == before || now == after) << "fault on " << run.firedPath << ": " << now;
      const bool afterRename = run.firedPath == folder_.path() ||
                               (run.firedPath == target && std::string(GetParam().op) == "open");
      if (!afterRename) {
        EXPECT_EQ(now, before) << "fault on " << run.firedPath;
      }
    } else {
      EXPECT_EQ(now, run.succeeded ? after : before) << "fault on " << run.firedPath;
    }
    for (const std::string& name : ListFolder(folder_.path())) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
    }
  }

  ScopedEnv tmp_{"TMPDIR", trhsm_test::FastScratchRoot()};  // before the folders
  ScratchDir config_;
  ScratchDir folder_;
  ScopedEnv log_{"KO_LOG_FILE", ""};  // logging to stderr, outside the sweep's counts
};

std::string Name(const ::testing::TestParamInfo<FaultCase>& info) {
  std::string name = trhsm_test::Describe(info.param);
  for (char& c : name) {
    if (c == ' ') c = '_';
  }
  return name;
}

bool WriteList(const std::string& path, const std::vector<std::string>& names) {
  CollectFile writer;
  if (writer.Initialize(path) != 1) return false;
  writer.SetSeperator('|');
  bool ok = true;
  long time = 1;
  for (std::string name : names) ok = writer.AddToCollectFile(&name[0], false, true, time++) && ok;
  return writer.DeInitialize() == 1 && ok;
}

TEST_P(CollectFaultTest, CollectWriterKeepsTheOldFileOrWritesTheNewOneWhole) {
  const std::string target = folder_.File("dbStubList_7.kof");
  const std::string old = "|/old|1|\n";
  // Enough text to take the stream through several buffer flushes.
  const std::vector<std::string> names = {"/a", std::string(300000, 'b'), "/c"};
  const std::string after = "|/a|1|\n|" + names[1] + "|2|\n|/c|3|\n";
  long fired = trhsm_test::SweepFaults(
      GetParam(), [&] { WriteFile(target, old); }, [&] { return WriteList(target, names); },
      [&](const FaultRun& run) { Check(run, target, old, after); });
  EXPECT_GT(fired, 0);
}

TEST_P(CollectFaultTest, StubListConversionKeepsTheOldList) {
  const std::string in = config_.File("in.kof");
  WriteFile(in, "|/a:1|1|\n|/b:2|2|\n");
  const std::string out = folder_.File("stub.lst");
  const std::string old = "/old\n";
  TRHSM_CMDLINE_ARGS args;
  args.collectFolder = folder_.path() + "/";
  EvEvent events;
  TRHSMCollectFileDBReader reader(args, events, true, "", 0);
  std::string outPath = out;
  std::string inPath = in;
  long fired = trhsm_test::SweepFaults(
      GetParam(), [&] { WriteFile(out, old); },
      [&] { return reader.ProcessStubCollectFile(inPath, outPath) == 1; },
      [&](const FaultRun& run) { Check(run, out, old, "/a\n/b\n"); });
  EXPECT_GT(fired, 0);
}

TEST_P(CollectFaultTest, IndexQueryLeavesNoCollectFileOrAWholeOne) {
  std::vector<trhsm::platform::BackupItem> items(2000);
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].jobId = 12;
    items[i].archGroupId = 7;
    items[i].archFileId = 8;
    items[i].archFileOffset = 9;
    items[i].fileSize = 100;
    items[i].inode = 4711;
    items[i].fullFileName = "/data/file" + std::to_string(i) + std::string(600, 'x');
  }
  trhsm_test::RegisteredIndex index(config_, items);
  TRHSM_CMDLINE_ARGS args;
  args.collectFolder = folder_.path() + "/";
  args.jobId = 12;
  EvEvent events;
  const std::string target = folder_.File("dbStubList_12.kof");
  std::string whole;
  {
    TRHSMCollectFileDBReader reader(args, events, false, "dbStubList", 0);
    ASSERT_EQ(reader.Initialize(), 1);
    whole = ReadFile(target);
    ASSERT_GT(whole.size(), size_t{1} << 20);  // more than one flush of the query's buffer
  }
  long fired = trhsm_test::SweepFaults(
      GetParam(), [&] { ::unlink(target.c_str()); },
      [&] {
        TRHSMCollectFileDBReader reader(args, events, false, "dbStubList", 0);
        return reader.Initialize() == 1;
      },
      [&](const FaultRun& run) {
        // Counting the lines reads the finished file: its failure leaves the file whole.
        Check(run, target, "", whole);
      });
  EXPECT_GT(fired, 0);
}

// A real full disk: the collect folder is a 64 KiB memory file system.
TEST(CollectFullDisk, CollectFileThatDoesNotFitLeavesTheOldOne) {
  ScratchDir dir;
  const std::string folder = dir.File("collect");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ScopedEnv log("KO_LOG_FILE", "");
  int code = trhsm_test::RunOnTinyFs(folder, [](const std::string& mounted) {
    const std::string target = mounted + "/dbStubList_7.kof";
    const std::string old = "|/old|1|\n";
    WriteFile(target, old);
    const int before = trhsm_open_fd_count();
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) names.push_back("/" + std::to_string(i) + std::string(1000, 'n'));
    if (WriteList(target, names)) return 2;
    if (ReadFile(target) != old) return 3;
    if (ListFolder(mounted) != std::vector<std::string>{"dbStubList_7.kof"}) return 4;
    if (trhsm_open_fd_count() != before) return 5;
    // What fits is written whole.
    if (!WriteList(target, {"/small"}) || ReadFile(target) != "|/small|1|\n") return 6;
    return 0;
  });
  if (code == trhsm_test::kNoTinyFs)
    GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs CAP_SYS_ADMIN)";
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(AllFaults, CollectFaultTest,
                         ::testing::ValuesIn(trhsm_test::AllFaultCases()), Name);

}  // namespace
