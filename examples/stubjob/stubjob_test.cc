// trhsm-stubjob run as a program on a tree indexed and archived by trhsm-index, and trhsm-recall
// bringing the stubs back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
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

using trhsm_test::Contains;
using trhsm_test::ProgramRun;
using trhsm_test::ReadFile;
using trhsm_test::WriteFile;

std::string Counts(int stubbed, int done, int skipped, int refused) {
  return trhsm_tools::Count(stubbed, "item", "items") + " stubbed, " + std::to_string(done) +
         " already done, " + std::to_string(skipped) + " skipped, " + std::to_string(refused) +
         " refused";
}

// The run ended with `status` and printed each of `says`.
void Expect(const ProgramRun& r, int status, std::initializer_list<std::string> says) {
  EXPECT_EQ(r.status, status) << r.out;
  for (const std::string& s : says) EXPECT_PRED2(Contains, r.out, s);
}

const struct timespec kTimes[2] = {{1500000000, 0}, {1600000000, 987654321}};
const std::string kLong = "sub/" + std::string(250, 'L');  // the temporary must not outgrow it
const std::vector<std::string> kStubbed = {"a", "sub/b", "sparse", kLong};

class StubJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    jobs_ = dir_.File("jobs");
    for (const std::string& d : {files_, files_ + "/sub", jobs_}) ::mkdir(d.c_str(), 0755);
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + 1);
    WriteFile(files_ + "/a", std::string(1100, 'a'));
    WriteFile(files_ + "/sub/b", big);
    WriteFile(files_ + "/" + kLong, big.substr(0, 5000));
    WriteFile(files_ + "/empty", "");  // no larger than any stub: skipped
    WriteFile(files_ + "/one", "1");
    // 8 MiB with data only in its last bytes: the hole before them must stay one.
    const int fd = ::open((files_ + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::pwrite(fd, "tail\n", 5, (8 << 20) - 5), 5);
    ::close(fd);
    // Attributes are set before the backup: setting one is a change.
    const std::string b = files_ + "/sub/b";
    xattrs_ = ::setxattr(b.c_str(), "user.note", "kept", 4, 0) == 0 &&
              trhsm_test::RunProgram("setfacl", {"-m", "u:65534:r", b}).status == 0;
    for (const std::string name : {"a", "sub/b", "sparse", "empty", "one", kLong.c_str()}) {
      const std::string path = files_ + "/" + name;
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
      originals_[name] = ReadFile(path);
      struct stat st;
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      blocks_[name] = st.st_blocks;
    }
    acl_ = trhsm_test::RunProgram("getfacl", {"-c", b}).out;
    index_ = dir_.File("index.db");
    ASSERT_EQ(trhsm_test::RunProgram(
                  TRHSM_INDEX_TOOL, {"add", "--job", "9", "--archive-group", "3", "--index", index_,
                                     "--archive", dir_.File("archive"), files_})
                  .status,
              0);
    dir_.SetRegistry("[Base]\ndBACKUP_INDEX=" + index_ + "\ndARCHIVE_ROOT=" + dir_.File("archive") +
                     "\ndJOB_MANAGER_DIR=" + jobs_ + "\nsFOCUS_CLIENT=c1\n");
  }

  ProgramRun Job(std::vector<std::string> extra = {}, const std::string& job = "9") {
    extra.insert(extra.end(), {"-J", job, "-D", "media", "-a", "1:0"});
    return trhsm_test::RunProgram(TRHSM_STUBJOB, extra);
  }

  bool IsStub(const std::string& name) {
    const std::string text = ReadFile(files_ + "/" + name);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    return !bytes.empty() && ParseStubData(bytes, data) == 1 &&
           data.stubGUID == files_ + "/" + name;
  }

  trhsm_test::Sandbox dir_;
  trhsm_test::ScopedEnv log_{"KO_LOG_FILE", dir_.File("log")};
  std::string files_, jobs_, index_, acl_;
  std::map<std::string, std::string> originals_;
  std::map<std::string, blkcnt_t> blocks_;  // before the job
  bool xattrs_ = false;                     // the file system took a user attribute and an ACL
};

// Stubs keep mode, times, attributes and ACL; "released" is the blocks freed; the recall brings
// the bytes back with the holes of a sparse file.
TEST_F(StubJobTest, StubsAndRecallsEveryFileWithItsAttributes) {
  ProgramRun r = Job({"--verify", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.out;
  uint64_t freed = 0;
  for (const std::string& name : kStubbed) {
    EXPECT_TRUE(IsStub(name)) << name;
    struct stat st;
    ASSERT_EQ(::stat((files_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, kTimes[1].tv_nsec) << name;
    freed += (blocks_[name] - std::min(blocks_[name], st.st_blocks)) * 512;
  }
  Expect(r, 0,
         {Counts(4, 0, 2, 0) + ", " + trhsm_tools::Bytes(freed) + " released",
          "  skipped (too small to release): 2"});
  EXPECT_EQ(ReadFile(files_ + "/one"), "1");
  EXPECT_EQ(trhsm_test::ListFolder(files_ + "/sub"),
            (std::vector<std::string>{kLong.substr(4), "b"}));
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_FALSE(trees.wasDirMigrated(dir_.File("elsewhere").c_str(), nullptr));
  EXPECT_PRED2(Contains, ReadFile(jobs_ + "/9.journal"), "addStubSize 8594708\n");
  const std::string b = files_ + "/sub/b";
  for (int recalled = 0; recalled < 2; ++recalled) {
    if (xattrs_) {
      char value[16] = {};
      EXPECT_EQ(::getxattr(b.c_str(), "user.note", value, sizeof value), 4) << recalled;
      EXPECT_EQ(trhsm_test::RunProgram("getfacl", {"-c", b}).out, acl_) << recalled;
    }
    if (recalled) break;
    std::vector<std::string> all;
    for (const std::string& name : kStubbed) all.push_back(files_ + "/" + name);
    r = trhsm_test::RunProgram(TRHSM_RECALL_TOOL, all);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  for (const std::string& name : kStubbed)
    EXPECT_EQ(ReadFile(files_ + "/" + name), originals_[name]);
  struct stat st;
  ASSERT_EQ(::stat((files_ + "/sparse").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the hole was written out";
  EXPECT_EQ(st.st_mtim.tv_sec, kTimes[1].tv_sec);
  if (!xattrs_) GTEST_SKIP() << "the file system refuses user attributes or ACLs: not checked";
}

// New bytes of the same length, with the old times put back (cp -p, rsync -t): only the change
// time tells.
void EditKeepingSizeAndTimes(const std::string& path) {
  std::string text = ReadFile(path);
  text[0] = 'F';
  WriteFile(path, text);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
}

// Each row changes "a" after the backup: the job leaves it as it is and says why.
struct Refusal {
  const char* name;
  std::function<void(const std::string& path)> change;
  const char* reason;
};
class RefusalTest : public StubJobTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, FileIsRefusedAndUntouched) {
  const std::string path = files_ + "/a", collect = dir_.File("collect");
  ::mkdir(collect.c_str(), 0755);
  GetParam().change(path);
  const std::string now = ReadFile(path);
  // Another process holds a lock on it meanwhile (it says so on the pipe once it holds it).
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const int holder = trhsm_test::StartChild([&] {
    const int fd = ::open(path.c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    if (GetParam().reason == std::string("locked") && ::fcntl(fd, F_SETLK, &lock) != 0) return 1;
    (void)!::write(ready[1], "x", 1);
    return ::pause();
  });
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  const ProgramRun r = Job({"--quiet", "--collect-folder", collect});
  ::kill(holder, SIGKILL);
  trhsm_test::WaitChild(holder);
  ::close(ready[0]), ::close(ready[1]);
  Expect(r, 1, {Counts(3, 0, 2, 1), std::string("refused (") + GetParam().reason + "): 1"});
  EXPECT_EQ(ReadFile(path), now);
  EXPECT_TRUE(IsStub("sub/b"));
  EXPECT_PRED2(Contains, ReadFile(jobs_ + "/9.journal"), "addBackupFileFailures 1");
  EXPECT_PRED2(Contains, ReadFile(collect + "/stubjobFailures_9.txt"),
               path + " Stubbing : Failed : " + GetParam().reason);
  EXPECT_NE(::access((dir_.results() + "/stubjobFailures_9.txt").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RefusalTest,
    ::testing::Values(
        Refusal{"NewBytesAndTime",
                [](const std::string& p) { WriteFile(p, std::string(ReadFile(p).size(), 'x')); },
                "changed since backup"},
        Refusal{"SameSizeAndTimes", EditKeepingSizeAndTimes, "changed since backup (change time)"},
        Refusal{"ReplacedBySameBytesAndTimes",
                [](const std::string& p) {
                  WriteFile(p + ".new", ReadFile(p));
                  ::utimensat(AT_FDCWD, (p + ".new").c_str(), kTimes, 0);
                  ::rename((p + ".new").c_str(), p.c_str());
                },
                "changed since backup (another inode)"},
        Refusal{"HardLinked", [](const std::string& p) { ::link(p.c_str(), (p + "2").c_str()); },
                "hard-linked"},
        // Set up for mandatory locking; the lock itself is taken by the test.
        Refusal{"Locked", [](const std::string& p) { ::chmod(p.c_str(), 02640); }, "locked"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// A copy archived before change times were recorded (header version 1) is released only when
// --verify proves its bytes, which it does not once they changed, however size and times look.
TEST_F(StubJobTest, CopyWithoutChangeTimeNeedsVerify) {
  namespace af = trhsm::archive_format;
  const std::string path = files_ + "/a", bytes = originals_["a"];
  const auto crc = [](const std::string& s) {
    uint32_t reg = 0xFFFFFFFFu;
    ko_crc32(s.data(), s.size(), &reg);
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
  ASSERT_EQ(::mkdir(dir_.File("archive/7").c_str(), 0755), 0);
  WriteFile(dir_.File("archive/7/1.arc"), header + bytes);
  std::string error;
  auto index = trhsm::platform::BackupIndex::Open(
      index_, trhsm::platform::BackupIndex::Mode::kCreate, &error);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  ASSERT_TRUE(
      index &&
      index->AddItem(
          {10, 7, 1, 0, static_cast<int64_t>(bytes.size()), path, kTimes[1].tv_sec, st.st_ino, {}},
          &error))
      << error;
  index.reset();
  EditKeepingSizeAndTimes(path);
  Expect(Job({"--quiet"}, "10"), 1,
         {"refused (archived without a change time (--verify would compare its bytes)): 1"});
  Expect(Job({"--quiet", "--verify"}, "10"), 1, {"refused (changed since backup (checksum)): 1"});
  EXPECT_NE(ReadFile(path), bytes);
  WriteFile(path, bytes);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
  Expect(Job({"--quiet", "--verify"}, "10"), 0, {Counts(1, 0, 0, 0)});
  EXPECT_TRUE(IsStub("a"));
}

// --dry-run changes nothing; --json prints one object per line, the summary last.
TEST_F(StubJobTest, DryRunChangesNothing) {
  ASSERT_EQ(::unlink((files_ + "/empty").c_str()), 0);
  Expect(Job({"--dry-run"}), 1,
         {"would stub " + files_ + "/a: matches its archived copy",
          "would refuse " + files_ + "/empty: missing",
          "4 items would be stubbed, 0 already done, 1 skipped, 1 refused", " would be released"});
  const ProgramRun r = Job({"--dry-run", "--json"});
  Expect(r, 1,
         {"{\"file\":\"" + files_ + "/a\",\"ok\":true,\"result\":\"would stub\"",
          "{\"file\":\"" + files_ +
              "/empty\",\"ok\":false,\"result\":\"would refuse\",\"error\":\"missing\"}\n",
          "\n{\"summary\":true,\"dryRun\":true,\"wouldStub\":4,\"done\":0,\"skipped\":1,"
          "\"refused\":1,"});
  size_t lines = 0;
  for (size_t at = 0; at < r.out.size(); at = r.out.find('\n', at) + 1, ++lines) {
    EXPECT_TRUE(r.out[at] == '{' && r.out[r.out.find('\n', at) - 1] == '}') << r.out;
  }
  EXPECT_EQ(lines, 7u) << r.out;
  for (const std::string& name : kStubbed)
    EXPECT_EQ(ReadFile(files_ + "/" + name), originals_[name]);
  EXPECT_TRUE(trhsm_test::ListFolder(jobs_).empty());
  EXPECT_NE(::access((dir_.results() + "/HSMMNTLIST").c_str(), F_OK), 0);
}

// A quit request ends the pass unfinished; a complete job leaves no restart offset: the rerun goes
// through every item again, finds the stubs done (recording their trees, which a killed run may
// not have), clears its own stale temporaries and no one else's, and keeps refusing what changed.
TEST_F(StubJobTest, RerunDoesTheWorkAgain) {
  EditKeepingSizeAndTimes(files_ + "/a");
  WriteFile(jobs_ + "/9.quit", "");
  Expect(Job({"--quiet"}), 1, {Counts(0, 0, 0, 0) + ", 0 bytes released (stopped on request)"});
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), originals_["sub/b"]);
  ASSERT_EQ(::unlink((jobs_ + "/9.quit").c_str()), 0);
  Expect(Job({"--quiet"}), 1, {Counts(3, 0, 2, 1)});
  EXPECT_NE(::access((jobs_ + "/9.restart").c_str(), F_OK), 0);
  ASSERT_EQ(::unlink((dir_.results() + "/HSMMNTLIST").c_str()), 0);
  const std::string p = files_ + "/sub/.trhsm-stub-tmp.";
  WriteFile(p + "abc123", "half");
  WriteFile(dir_.File("victim"), "keep");
  ASSERT_EQ(::symlink(dir_.File("victim").c_str(), (p + "LinkAA").c_str()), 0);
  ASSERT_EQ(::link(dir_.File("victim").c_str(), (p + "HardAA").c_str()), 0);
  WriteFile(p + "toolong1", "x");
  const std::string stub = ReadFile(files_ + "/sub/b");
  Expect(Job({"--quiet"}), 1, {Counts(0, 3, 2, 1) + ", 0 bytes released"});
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), stub);
  EXPECT_FALSE(IsStub("a"));
  EXPECT_EQ(trhsm_test::ListFolder(files_ + "/sub"),
            (std::vector<std::string>{".trhsm-stub-tmp.HardAA", ".trhsm-stub-tmp.LinkAA",
                                      ".trhsm-stub-tmp.toolong1", kLong.substr(4), "b"}));
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_EQ(ReadFile(dir_.File("victim")), "keep");
}

// On a terminal the job shows "N of M", and a refusal starts a line of its own.
TEST_F(StubJobTest, ProgressOnATerminalLeavesRefusalsOnLinesOfTheirOwn) {
  if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to lend a terminal";
  EditKeepingSizeAndTimes(files_ + "/a");
  EditKeepingSizeAndTimes(files_ + "/sub/b");
  const ProgramRun r = trhsm_test::RunProgram(
      "/usr/bin/script", {"-qec", std::string(TRHSM_STUBJOB) + " -J 9 -D m -a 1:0", "/dev/null"});
  Expect(r, 1, {"trhsm-stubjob: 6 of 6 items, 2 stubbed"});
  int refusals = 0;
  for (size_t at = r.out.find("trhsm-stubjob: refused"); at != std::string::npos;
       at = r.out.find("trhsm-stubjob: refused", at + 1), ++refusals) {
    EXPECT_TRUE(at == 0 || r.out[at - 1] == '\n') << r.out;
  }
  EXPECT_EQ(refusals, 2) << r.out;
}

}  // namespace
