// trhsm-stubjob run as a program on a tree indexed and archived by trhsm-index.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/TRHSMMigratedDirTrees.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::ProgramRun;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

std::vector<std::string> Names(const std::string& path) { return trhsm_test::ListFolder(path); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class StubJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    archive_ = dir_.File("archive");
    results_ = dir_.File("results");
    jobs_ = dir_.File("jobs");
    for (const std::string& d : {files_, files_ + "/sub", results_, jobs_}) {
      ASSERT_EQ(::mkdir(d.c_str(), 0755), 0) << d;
    }
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + 1);
    WriteFile(files_ + "/a", "first file\n");
    WriteFile(files_ + "/sub/b", big);
    WriteFile(files_ + "/empty", "");
    for (const char* name : {"a", "sub/b", "empty"}) {
      const std::string path = files_ + "/" + name;
      const struct timespec times[2] = {{1500000000, 0}, {1600000000, 987654321}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
      originals_[name] = ReadFile(path);
    }
    const std::string index = dir_.File("index.db");
    ProgramRun add =
        trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "9", "--archive-group", "3",
                                                  "--index", index, "--archive", archive_, files_});
    ASSERT_EQ(add.status, 0) << add.out;
    WriteFile(dir_.File("registry"),
              "[Base]\ndBACKUP_INDEX=" + index + "\ndARCHIVE_ROOT=" + archive_ +
                  "\ndJOB_MANAGER_DIR=" + jobs_ +
                  "\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + results_ + "\n");
    WriteFile(dir_.File("mounts"), "/dev/root / ext4 rw 0 0\n");
    registry_ = std::make_unique<ScopedEnv>("KO_REGISTRY", dir_.File("registry"));
    mounts_ = std::make_unique<ScopedEnv>("KO_MOUNT_TABLE", dir_.File("mounts"));
    log_ = std::make_unique<ScopedEnv>("KO_LOG_FILE", dir_.File("log"));
  }

  ProgramRun Job(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-J", "9", "-D", "media", "-a", "1:0", "-s", "srv"};
    args.insert(args.begin(), extra.begin(), extra.end());
    return trhsm_test::RunProgram(TRHSM_STUBJOB, args);
  }

  bool IsStub(const std::string& name) {
    std::vector<char> bytes;
    const std::string text = ReadFile(files_ + "/" + name);
    bytes.assign(text.begin(), text.end());
    ReparseData data;
    return !bytes.empty() && ParseStubData(bytes, data) == 1 &&
           data.stubGUID == files_ + "/" + name;
  }

  std::string Journal() { return ReadFile(jobs_ + "/9.journal"); }

  ScratchDir dir_;
  std::string files_, archive_, results_, jobs_;
  std::map<std::string, std::string> originals_;
  std::unique_ptr<ScopedEnv> registry_, mounts_, log_;
};

TEST_F(StubJobTest, StubsEveryFileAndRecallBringsItBack) {
  ProgramRun r = Job({"--verify", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "3 stubbed, 0 already done, 0 refused, 200011 bytes released"))
      << r.out;
  for (const char* name : {"a", "sub/b", "empty"}) {
    EXPECT_TRUE(IsStub(name)) << name;
    struct stat st;
    ASSERT_EQ(::stat((files_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000) << name;
  }
  EXPECT_EQ(Names(files_), (std::vector<std::string>{"a", "empty", "sub"}));
  EXPECT_EQ(Names(files_ + "/sub"), (std::vector<std::string>{"b"}));
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_FALSE(trees.wasDirMigrated(dir_.File("elsewhere").c_str(), nullptr));
  const std::string journal = Journal();
  EXPECT_TRUE(Contains(journal, "addStubSize 200000")) << journal;
  EXPECT_TRUE(Contains(journal, "concatPhaseParams \" -r 3\"")) << journal;

  ProgramRun recall = trhsm_test::RunProgram(TRHSM_RECALL_TOOL,
                                             {files_ + "/a", files_ + "/sub/b", files_ + "/empty"});
  ASSERT_EQ(recall.status, 0) << recall.out;
  for (const char* name : {"a", "sub/b", "empty"}) {
    EXPECT_EQ(ReadFile(files_ + "/" + name), originals_[name]) << name;
  }
}

TEST_F(StubJobTest, ChangedFileIsRefusedAndUntouched) {
  WriteFile(files_ + "/a", "first filE\n");  // same size, new time
  const std::string collect = dir_.File("collect");
  ASSERT_EQ(::mkdir(collect.c_str(), 0755), 0);
  ProgramRun r = Job({"--quiet", "--collect-folder", collect});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "2 stubbed, 0 already done, 1 refused")) << r.out;
  EXPECT_TRUE(Contains(r.out, "refused (changed since backup): 1")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), "first filE\n");
  EXPECT_TRUE(IsStub("sub/b"));
  EXPECT_TRUE(Contains(Journal(), "addBackupFileFailures 1"));
  EXPECT_TRUE(Contains(ReadFile(collect + "/stubjobFailures_9.txt"),
                       files_ + "/a Stubbing : Failed : changed since backup"));
  EXPECT_EQ(::access((results_ + "/stubjobFailures_9.txt").c_str(), F_OK), -1);
}

TEST_F(StubJobTest, VerifyCatchesSameSizeAndTimeWithOtherBytes) {
  const std::string path = files_ + "/a";
  WriteFile(path, "first filE\n");
  const struct timespec times[2] = {{1500000000, 0}, {1600000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ProgramRun r = Job({"--verify", "--quiet"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "refused (changed since backup (checksum)): 1")) << r.out;
  EXPECT_EQ(ReadFile(path), "first filE\n");
}

TEST_F(StubJobTest, DryRunChangesNothingAndMissingFileIsReported) {
  ASSERT_EQ(::unlink((files_ + "/empty").c_str()), 0);
  ProgramRun r = Job({"--dry-run"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "would stub " + files_ + "/a: matches its archived copy")) << r.out;
  EXPECT_TRUE(Contains(r.out, "would refuse " + files_ + "/empty: missing")) << r.out;
  EXPECT_TRUE(Contains(r.out, "200011 bytes would be released")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), originals_["sub/b"]);
  EXPECT_EQ(Names(files_), (std::vector<std::string>{"a", "sub"}));
  EXPECT_TRUE(Names(jobs_).empty());
  EXPECT_EQ(::access((results_ + "/HSMMNTLIST").c_str(), F_OK), -1);
}

TEST_F(StubJobTest, RerunCountsStubbedFilesAsDoneAndClearsTemporaries) {
  WriteFile(files_ + "/a", "changed\n");
  ASSERT_EQ(Job({"--quiet"}).status, 1);
  // A killed run's temporary is cleared; the refused file, put back as it was backed up, is
  // stubbed now, and the files stubbed before are found done, not stubbed again.
  WriteFile(files_ + "/sub/.trhsm-stub-tmp.abc123", "half");
  WriteFile(files_ + "/a", originals_["a"]);
  const struct timespec times[2] = {{1500000000, 0}, {1600000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (files_ + "/a").c_str(), times, 0), 0);
  const std::string stub = ReadFile(files_ + "/sub/b");
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "1 stubbed, 2 already done, 0 refused, 11 bytes released")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), stub);
  EXPECT_TRUE(IsStub("a"));
  EXPECT_EQ(Names(files_ + "/sub"), (std::vector<std::string>{"b"}));
}

TEST_F(StubJobTest, StubsLeftByAKilledRunGetTheirTreesRecorded) {
  // A run killed before its end has stubbed files but neither saved the tree list nor stored a
  // restart offset; the rerun finds the stubs done and must still record their trees.
  ASSERT_EQ(Job({"--quiet"}).status, 0);
  ASSERT_EQ(::unlink((results_ + "/HSMMNTLIST").c_str()), 0);
  ASSERT_EQ(::unlink((jobs_ + "/9.restart").c_str()), 0);
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "0 stubbed, 3 already done, 0 refused")) << r.out;
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_TRUE(trees.wasDirMigrated(files_.c_str(), nullptr));
}

TEST_F(StubJobTest, RestartSkipsTheFinishedItems) {
  ASSERT_EQ(Job({"--quiet"}).status, 0);
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "0 stubbed, 3 already done, 0 refused")) << r.out;
}

TEST_F(StubJobTest, ReplacedFileIsRefusedEvenWithTheSameBytesAndTime) {
  // Another inode under the same name is another file, whatever its bytes and times.
  const std::string path = files_ + "/sub/b";
  WriteFile(files_ + "/sub/copy", originals_["sub/b"]);
  const struct timespec times[2] = {{1500000000, 0}, {1600000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (files_ + "/sub/copy").c_str(), times, 0), 0);
  ASSERT_EQ(::rename((files_ + "/sub/copy").c_str(), path.c_str()), 0);
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "2 stubbed, 0 already done, 1 refused")) << r.out;
  EXPECT_TRUE(Contains(r.out, "refused (changed since backup (another inode)): 1")) << r.out;
  EXPECT_EQ(ReadFile(path), originals_["sub/b"]);
}

TEST_F(StubJobTest, QuitEndsThePhaseUnfinishedAndTheRerunCompletesIt) {
  WriteFile(jobs_ + "/9.quit", "");
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "0 stubbed")) << r.out;
  EXPECT_TRUE(Contains(r.out, "(stopped on request)")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
  EXPECT_TRUE(Contains(Journal(), "complete 3 1 0 0")) << Journal();

  ASSERT_EQ(::unlink((jobs_ + "/9.quit").c_str()), 0);
  r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "3 stubbed, 0 already done, 0 refused")) << r.out;
  for (const char* name : {"a", "sub/b", "empty"}) EXPECT_TRUE(IsStub(name)) << name;
}

TEST(StubJobHalfway, QuitHalfwayStopsAndTheRerunFinishesWithoutStubbingTwice) {
  ScratchDir dir;
  const std::string files = dir.File("files"), jobs = dir.File("jobs"), results = dir.File("r");
  for (const std::string& d : {files, jobs, results}) ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
  std::map<std::string, std::string> originals;
  for (int i = 0; i < 10; ++i) {
    const std::string path = files + "/f" + std::to_string(i);
    originals[path] = std::string(100 + i, static_cast<char>('a' + i));
    WriteFile(path, originals[path]);
  }
  const std::string index = dir.File("index.db");
  ProgramRun add = trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "4", "--index", index,
                                                             "--archive", dir.File("arc"), files});
  ASSERT_EQ(add.status, 0) << add.out;
  WriteFile(dir.File("registry"),
            "[Base]\ndBACKUP_INDEX=" + index + "\ndARCHIVE_ROOT=" + dir.File("arc") +
                "\ndJOB_MANAGER_DIR=" + jobs +
                "\nsFOCUS_CLIENT=c1\n[Machines/c1]\ndJOB_RESULTS_DIR=" + results + "\n");
  WriteFile(dir.File("mounts"), "/dev/root / ext4 rw 0 0\n");
  ScopedEnv registry("KO_REGISTRY", dir.File("registry"));
  ScopedEnv mounts("KO_MOUNT_TABLE", dir.File("mounts"));
  ScopedEnv log("KO_LOG_FILE", dir.File("log"));
  const std::vector<std::string> args = {"--quiet", "-J", "4", "-D", "media", "-a", "1:0"};

  // The job asks before every item; the 7th question is answered "stop", after 6 items.
  WriteFile(jobs + "/4.quit", "7");
  ProgramRun first = trhsm_test::RunProgram(TRHSM_STUBJOB, args);
  EXPECT_EQ(first.status, 1) << first.out;
  EXPECT_TRUE(Contains(first.out, "6 stubbed, 0 already done, 0 refused")) << first.out;
  EXPECT_TRUE(Contains(first.out, "(stopped on request)")) << first.out;
  std::string journal = ReadFile(jobs + "/4.journal");
  EXPECT_TRUE(Contains(journal, "concatPhaseParams \" -r 6\"")) << journal;
  EXPECT_TRUE(Contains(journal, "complete 3 1 0 0")) << journal;
  int stubs = 0;
  for (const auto& kv : originals) stubs += ReadFile(kv.first) != kv.second;
  EXPECT_EQ(stubs, 6);

  ASSERT_EQ(::unlink((jobs + "/4.quit").c_str()), 0);
  ProgramRun second = trhsm_test::RunProgram(TRHSM_STUBJOB, args);
  EXPECT_EQ(second.status, 0) << second.out;
  EXPECT_TRUE(Contains(second.out, "4 stubbed, 6 already done, 0 refused")) << second.out;
  // Every file stubbed exactly once over both runs: one stubbed-size report per file.
  journal = ReadFile(jobs + "/4.journal");
  size_t reports = 0;
  for (size_t at = journal.find("addStubSize"); at != std::string::npos;
       at = journal.find("addStubSize", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, originals.size()) << journal;
  for (const auto& kv : originals) {
    const std::string text = ReadFile(kv.first);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    EXPECT_EQ(ParseStubData(bytes, data), 1) << kv.first;
  }
}

TEST_F(StubJobTest, FileLockedByAnotherProcessIsRefused) {
  const std::string path = files_ + "/a";
  ASSERT_EQ(::chmod(path.c_str(), 02640), 0);  // set up for mandatory locking
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    int fd = ::open(path.c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0) ::_exit(1);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(holder, 0);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ProgramRun r = Job({"--quiet"});
  ::kill(holder, SIGKILL);
  trhsm_test::WaitChild(holder);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "refused (locked): 1")) << r.out;
  EXPECT_EQ(ReadFile(path), originals_["a"]);
  EXPECT_TRUE(IsStub("sub/b"));
}

TEST(StubJob, UsageErrors) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--bogus", "-J", "9", "-D", "m", "-a", "1"}, {"--collect-folder"}}) {
    ProgramRun r = trhsm_test::RunProgram(TRHSM_STUBJOB, args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(Contains(r.out, "usage:")) << r.out;
  }
}

}  // namespace
