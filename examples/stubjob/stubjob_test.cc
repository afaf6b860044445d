// trhsm-stubjob run as a program on a tree indexed and archived by trhsm-index.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "tools/report_text.h"
#include "trhsm/KoCrc32.h"
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

// The summary line's counts.
std::string Counts(int stubbed, int done, int skipped, int refused) {
  return trhsm_tools::Count(stubbed, "item", "items") + " stubbed, " + std::to_string(done) +
         " already done, " + std::to_string(skipped) + " skipped, " + std::to_string(refused) +
         " refused";
}

const struct timespec kTimes[2] = {{1500000000, 0}, {1600000000, 987654321}};
// A name of the longest a folder entry takes: the stub's temporary must not grow with it.
const std::string kLongName = "sub/" + std::string(255, 'L');

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
    std::string first;
    for (int i = 0; i < 100; ++i) first += "first file\n";
    WriteFile(files_ + "/a", first);
    WriteFile(files_ + "/sub/b", big);
    WriteFile(files_ + "/empty", "");  // no larger than any stub: skipped
    WriteFile(files_ + "/" + kLongName, big.substr(0, 5000));
    // Attributes are set before the backup: setting one is a change.
    xattrs_ = ::setxattr((files_ + "/sub/b").c_str(), "user.note", "kept", 4, 0) == 0;
    for (const std::string& name :
         {std::string("a"), std::string("sub/b"), std::string("empty"), kLongName}) {
      const std::string path = files_ + "/" + name;
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
      originals_[name] = ReadFile(path);
      struct stat st;
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      blocks_[name] = st.st_blocks;
    }
    index_ = dir_.File("index.db");
    const std::string& index = index_;
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
  std::string files_, archive_, results_, jobs_, index_;
  std::map<std::string, std::string> originals_;
  std::map<std::string, blkcnt_t> blocks_;  // before the job
  bool xattrs_ = false;                     // the file system took a user attribute
  std::unique_ptr<ScopedEnv> registry_, mounts_, log_;
};

TEST_F(StubJobTest, StubsEveryFileAndRecallBringsItBack) {
  ProgramRun r = Job({"--verify", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.out;
  // Released is the disk space given back: the files' blocks less their stubs'.
  uint64_t freed = 0;
  const std::vector<std::string> stubbed = {"a", "sub/b", kLongName};
  for (const std::string& name : stubbed) {
    EXPECT_TRUE(IsStub(name)) << name;
    struct stat st;
    ASSERT_EQ(::stat((files_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000) << name;
    if (blocks_[name] > st.st_blocks) freed += (blocks_[name] - st.st_blocks) * 512;
  }
  EXPECT_TRUE(Contains(r.out, Counts(3, 0, 1, 0) + ", " + trhsm_tools::Bytes(freed) + " released"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "  skipped (too small to release): 1")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/empty"), "");
  EXPECT_EQ(Names(files_), (std::vector<std::string>{"a", "empty", "sub"}));
  EXPECT_EQ(Names(files_ + "/sub"), (std::vector<std::string>{std::string(255, 'L'), "b"}));
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_FALSE(trees.wasDirMigrated(dir_.File("elsewhere").c_str(), nullptr));
  const std::string journal = Journal();
  EXPECT_TRUE(Contains(journal, "addStubSize 200000")) << journal;
  EXPECT_FALSE(Contains(journal, "addBackupFileFailures")) << journal;
  if (xattrs_) {
    char value[16] = {};
    EXPECT_EQ(::getxattr((files_ + "/sub/b").c_str(), "user.note", value, sizeof value), 4);
    EXPECT_STREQ(value, "kept");
  }

  ProgramRun recall = trhsm_test::RunProgram(TRHSM_RECALL_TOOL, {files_ + "/a", files_ + "/sub/b"});
  ASSERT_EQ(recall.status, 0) << recall.out;
  for (const char* name : {"a", "sub/b"}) {
    EXPECT_EQ(ReadFile(files_ + "/" + name), originals_[name]) << name;
  }
  if (!xattrs_) GTEST_SKIP() << "the file system refuses user extended attributes";
}

// Each row changes "a" after the backup; the job must leave it as it is and say why.
struct Refusal {
  const char* name;
  void (*change)(const std::string& path);
  const char* reason;
};

class RefusalTest : public StubJobTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, FileIsRefusedAndUntouched) {
  const std::string path = files_ + "/a";
  GetParam().change(path);
  const std::string now = ReadFile(path);
  const std::string collect = dir_.File("collect");
  ASSERT_EQ(::mkdir(collect.c_str(), 0755), 0);
  ProgramRun r = Job({"--quiet", "--collect-folder", collect});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, Counts(2, 0, 1, 1))) << r.out;
  EXPECT_TRUE(Contains(r.out, std::string("refused (") + GetParam().reason + "): 1")) << r.out;
  EXPECT_EQ(ReadFile(path), now);
  EXPECT_TRUE(IsStub("sub/b"));
  EXPECT_TRUE(Contains(Journal(), "addBackupFileFailures 1"));
  EXPECT_TRUE(Contains(ReadFile(collect + "/stubjobFailures_9.txt"),
                       path + " Stubbing : Failed : " + GetParam().reason));
  EXPECT_EQ(::access((results_ + "/stubjobFailures_9.txt").c_str(), F_OK), -1);
}

// New bytes of the same length, with the old times put back: what cp -p, rsync -t and editors
// that keep times do. Only the change time tells.
void EditKeepingSizeAndTimes(const std::string& path) {
  std::string text = ReadFile(path);
  text[0] = 'F';
  WriteFile(path, text);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RefusalTest,
    ::testing::Values(
        Refusal{"NewBytesAndTime",
                [](const std::string& p) { WriteFile(p, std::string(ReadFile(p).size(), 'x')); },
                "changed since backup"},
        Refusal{"SameSizeAndTimes", EditKeepingSizeAndTimes, "changed since backup (change time)"},
        // Another inode under the same name is another file, whatever its bytes and times.
        Refusal{"ReplacedBySameBytesAndTimes",
                [](const std::string& p) {
                  WriteFile(p + ".new", ReadFile(p));
                  ASSERT_EQ(::utimensat(AT_FDCWD, (p + ".new").c_str(), kTimes, 0), 0);
                  ASSERT_EQ(::rename((p + ".new").c_str(), p.c_str()), 0);
                },
                "changed since backup (another inode)"},
        Refusal{"HardLinked",
                [](const std::string& p) { ASSERT_EQ(::link(p.c_str(), (p + "2").c_str()), 0); },
                "hard-linked"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// On a terminal the job shows "N of M"; a refusal never lands at the end of a progress line.
TEST_F(StubJobTest, ProgressOnATerminalLeavesRefusalsOnLinesOfTheirOwn) {
  if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to lend a terminal";
  EditKeepingSizeAndTimes(files_ + "/a");
  EditKeepingSizeAndTimes(files_ + "/sub/b");  // one of the two comes after a progress line
  std::string command = TRHSM_STUBJOB;
  for (const char* arg : {"-J", "9", "-D", "media", "-a", "1:0"}) command += std::string(" ") + arg;
  ProgramRun r = trhsm_test::RunProgram("/usr/bin/script", {"-qec", command, "/dev/null"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "trhsm-stubjob: 4 of 4 items, 1 stubbed")) << r.out;
  int refusals = 0;
  for (size_t at = r.out.find("trhsm-stubjob: refused"); at != std::string::npos;
       at = r.out.find("trhsm-stubjob: refused", at + 1), ++refusals) {
    EXPECT_TRUE(at == 0 || r.out[at - 1] == '\n') << r.out;
  }
  EXPECT_EQ(refusals, 2) << r.out;
}

// A copy archived before change times were recorded: released only when --verify proves its
// bytes, which it does not once they changed, however the size and times look.
TEST_F(StubJobTest, CopyWithoutChangeTimeNeedsVerify) {
  namespace af = trhsm::archive_format;
  const std::string path = files_ + "/a", bytes = originals_["a"];
  auto crc = [](const std::string& b) {
    uint32_t reg = 0xFFFFFFFFu;
    ko_crc32(b.data(), b.size(), &reg);
    return ~reg;
  };
  std::string header(af::kHeaderSizeV1, '\0');
  std::memcpy(&header[0], af::kMagic, af::kMagicSize);
  trhsm::EncodeFixed16BE(&header[af::kVersionOffset], af::kVersionV1);
  trhsm::EncodeFixed16BE(&header[af::kHeaderSizeOffset], af::kHeaderSizeV1);
  trhsm::EncodeFixed64BE(&header[af::kSizeOffset], bytes.size());
  trhsm::EncodeFixed64BE(&header[af::kModTimeOffset], kTimes[1].tv_sec);
  trhsm::EncodeFixed32LE(&header[af::kModTimeNsecOffset], kTimes[1].tv_nsec);
  trhsm::EncodeFixed32LE(&header[af::kDataCrcOffset], crc(bytes));
  trhsm::EncodeFixed32LE(&header[af::kHeaderSizeV1 - 4], crc(header.substr(0, 32)));
  ASSERT_EQ(::mkdir((archive_ + "/7").c_str(), 0755), 0);
  WriteFile(archive_ + "/7/1.arc", header + bytes);
  std::string error;
  auto index = trhsm::platform::BackupIndex::Open(
      index_, trhsm::platform::BackupIndex::Mode::kCreate, &error);
  ASSERT_NE(index, nullptr) << error;
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const trhsm::platform::BackupItem item{
      10, 7, 1, 0, static_cast<int64_t>(bytes.size()), path, kTimes[1].tv_sec, st.st_ino, {}};
  ASSERT_TRUE(index->AddItem(item, &error)) << error;
  index.reset();
  auto job10 = [&](std::vector<std::string> extra) {
    extra.insert(extra.end(), {"--quiet", "-J", "10", "-D", "media", "-a", "1:0"});
    return trhsm_test::RunProgram(TRHSM_STUBJOB, extra);
  };

  EditKeepingSizeAndTimes(path);
  ProgramRun r = job10({});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out,
                       "refused (archived without a change time (--verify would compare "
                       "its bytes)): 1"))
      << r.out;
  r = job10({"--verify"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "refused (changed since backup (checksum)): 1")) << r.out;
  EXPECT_NE(ReadFile(path), bytes);

  WriteFile(path, bytes);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
  r = job10({"--verify"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, Counts(1, 0, 0, 0))) << r.out;
  EXPECT_TRUE(IsStub("a"));
}

TEST_F(StubJobTest, DryRunChangesNothingAndMissingFileIsReported) {
  ASSERT_EQ(::unlink((files_ + "/empty").c_str()), 0);
  ProgramRun r = Job({"--dry-run"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "would stub " + files_ + "/a: matches its archived copy")) << r.out;
  EXPECT_TRUE(Contains(r.out, "would refuse " + files_ + "/empty: missing")) << r.out;
  EXPECT_TRUE(Contains(r.out, "3 items would be stubbed, 0 already done, 0 skipped, 1 refused"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, " would be released")) << r.out;
  // --json: every line one object, the last the summary.
  r = Job({"--dry-run", "--json"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(
      Contains(r.out, "{\"file\":\"" + files_ + "/a\",\"ok\":true,\"result\":\"would stub\""))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"file\":\"" + files_ +
                                  "/empty\",\"ok\":false,\"result\":\"would refuse\",\"error\":"
                                  "\"missing\"}\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out,
                       "\n{\"summary\":true,\"dryRun\":true,\"wouldStub\":3,\"done\":0,"
                       "\"skipped\":0,\"refused\":1,"))
      << r.out;
  size_t lines = 0;
  for (size_t at = 0; at < r.out.size(); at = r.out.find('\n', at) + 1, ++lines) {
    EXPECT_EQ(r.out[at], '{') << r.out;
    EXPECT_EQ(r.out[r.out.find('\n', at) - 1], '}') << r.out;
  }
  EXPECT_EQ(lines, 5u) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), originals_["sub/b"]);
  EXPECT_EQ(Names(files_), (std::vector<std::string>{"a", "sub"}));
  EXPECT_TRUE(Names(jobs_).empty());
  EXPECT_EQ(::access((results_ + "/HSMMNTLIST").c_str(), F_OK), -1);
}

TEST_F(StubJobTest, RerunCountsStubbedFilesAsDoneAndClearsTemporaries) {
  EditKeepingSizeAndTimes(files_ + "/a");
  ASSERT_EQ(Job({"--quiet"}).status, 1);
  // A killed run's temporary is cleared; the files stubbed before are found done, not stubbed
  // again, and the changed file stays refused.
  WriteFile(files_ + "/sub/.trhsm-stub-tmp.abc123", "half");
  const std::string stub = ReadFile(files_ + "/sub/b");
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, Counts(0, 2, 1, 1) + ", 0 bytes released")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), stub);
  EXPECT_FALSE(IsStub("a"));
  EXPECT_EQ(Names(files_ + "/sub"), (std::vector<std::string>{std::string(255, 'L'), "b"}));
}

TEST_F(StubJobTest, StubsLeftByAKilledRunGetTheirTreesRecorded) {
  // A run killed before its end has stubbed files but neither saved the tree list nor stored a
  // restart offset; the rerun finds the stubs done and must still record their trees.
  ASSERT_EQ(Job({"--quiet"}).status, 0);
  ASSERT_EQ(::unlink((results_ + "/HSMMNTLIST").c_str()), 0);
  // A finished run leaves no restart offset behind.
  ASSERT_NE(::access((jobs_ + "/9.restart").c_str(), F_OK), 0);
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, Counts(0, 3, 1, 0))) << r.out;
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_TRUE(trees.wasDirMigrated(files_.c_str(), nullptr));
}

// Each misconfiguration gives one line that names what to fix, before anything is touched.
TEST_F(StubJobTest, MisconfigurationsNameWhatToFix) {
  const std::string registry = dir_.File("registry"), index = index_;
  struct Row {
    std::function<void()> breakIt, mendIt;
    std::string says;
  };
  const std::vector<Row> rows = {
      {[] { ::unsetenv("KO_REGISTRY"); }, [&] { ::setenv("KO_REGISTRY", registry.c_str(), 1); },
       "KO_REGISTRY is not set"},
      {[&] { ::setenv("KO_REGISTRY", jobs_.c_str(), 1); },
       [&] { ::setenv("KO_REGISTRY", registry.c_str(), 1); },
       "cannot read registry " + jobs_ + ": Is a directory"},
      {[&] { ASSERT_EQ(::rename(index.c_str(), (index + ".away").c_str()), 0); },
       [&] { ASSERT_EQ(::rename((index + ".away").c_str(), index.c_str()), 0); },
       "backup index " + index + ": No such file or directory (dBACKUP_INDEX under [Base]"},
      {[&] { ASSERT_EQ(::rmdir(jobs_.c_str()), 0); },
       [&] { ASSERT_EQ(::mkdir(jobs_.c_str(), 0755), 0); },
       "job-manager folder " + jobs_ + ": No such file or directory (dJOB_MANAGER_DIR under"}};
  for (const Row& row : rows) {
    row.breakIt();
    ProgramRun r = Job({"--quiet"});
    row.mendIt();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out, "trhsm-stubjob: " + r.out.substr(15)) << r.out;
    EXPECT_TRUE(Contains(r.out, row.says)) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
  }
}

TEST_F(StubJobTest, RestartSkipsTheFinishedItems) {
  ASSERT_EQ(Job({"--quiet"}).status, 0);
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "0 items stubbed")) << r.out;
  EXPECT_TRUE(Contains(r.out, " 0 refused")) << r.out;
  // A run whose summary cannot be written does not end as a success.
  r = trhsm_test::RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full", TRHSM_STUBJOB, "-J",
                                         "9", "-D", "media", "-a", "1:0"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "trhsm-stubjob: cannot write standard output: No space left"))
      << r.out;
}

TEST_F(StubJobTest, QuitEndsThePhaseUnfinishedAndTheRerunCompletesIt) {
  WriteFile(jobs_ + "/9.quit", "");
  ProgramRun r = Job({"--quiet"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "0 items stubbed")) << r.out;
  EXPECT_TRUE(Contains(r.out, "(stopped on request)")) << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
  EXPECT_TRUE(Contains(Journal(), "complete 3 1 0 0")) << Journal();

  ASSERT_EQ(::unlink((jobs_ + "/9.quit").c_str()), 0);
  r = Job({"--quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, Counts(3, 0, 1, 0))) << r.out;
  for (const char* name : {"a", "sub/b"}) EXPECT_TRUE(IsStub(name)) << name;
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

TEST(StubJob, UsageErrorsNameTheWordAndHelpGoesToStandardOutput) {
  const std::vector<std::string> job = {"-D", "m", "-a", "1"};
  struct Row {
    std::vector<std::string> args;
    const char* says;
  };
  for (const Row& row : std::vector<Row>{
           {{}, "missing -J JOB"},
           {{"--bogus", "-J", "9", "-D", "m", "-a", "1"}, "unknown option --bogus"},
           {{"--collect-folder"}, "--collect-folder needs a folder"},
           {{"-J", "91abc", "-D", "m", "-a", "1"}, "bad job number \"91abc\" after -J"},
           {{"-j", "1e3", "-D", "m", "-a", "1"}, "bad job number \"1e3\" after -j"},
           {{"-J", "9223372036854775808", "-D", "m", "-a", "1"}, "bad job number"},
           {{"-J", "0", "-D", "m", "-a", "1"}, "bad job number \"0\""},
           {{"-J", "9", "-D", "m", "-a", "1", "stray"}, "unexpected argument \"stray\""},
           {{"-J", "9", "-D", "m", "-a", "1", "-t", "3"}, "bad type \"3\" after -t"},
           {{"-J", "9", "-a", "1"}, "missing -D MEDIAHOST"},
           {{"-J", "9", "-D", "m", "-a"}, "-a needs a value"}}) {
    ProgramRun r = trhsm_test::RunProgram(TRHSM_STUBJOB, row.args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(Contains(r.out, std::string("trhsm-stubjob: ") + row.says)) << r.out;
  }
  for (const char* help : {"--help", "-h"}) {
    ProgramRun r = trhsm_test::RunProgram(TRHSM_STUBJOB, {"-J", "x", help});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* part :
         {"usage: trhsm-stubjob", "-J JOB, -j JOB", "-D MEDIAHOST", "-a APPID", "--dry-run",
          "--verify", "--json", "--collect-folder", "Exit status"}) {
      EXPECT_TRUE(Contains(r.out, part)) << help << " lacks " << part;
    }
    // Standard output that cannot be written is an error.
    r = trhsm_test::RunProgram("/bin/sh",
                               {"-c", "exec \"$0\" \"$@\" >/dev/full", TRHSM_STUBJOB, help});
    EXPECT_EQ(r.status, 1) << r.out;
  }
}

}  // namespace
