// trhsm-stubjob run on a tree indexed by trhsm-index, and trhsm-recall bringing the stubs back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "platform/archive_format.h"
#include "testing/test_util.h"
#include "tools/report_text.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/TRHSMMigratedDirTrees.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::Contains;
using trhsm_test::ListFolder;
using trhsm_test::ProgramRun;
using trhsm_test::ReadFile;
using trhsm_test::RunProgram;
using trhsm_test::WriteFile;

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
    for (const std::string& d : {files_, files_ + "/sub", jobs_}) ::mkdir(d.c_str(), 0755);
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + 1);
    WriteFile(files_ + "/a", std::string(1100, 'a'));
    WriteFile(files_ + "/sub/b", big);
    WriteFile(files_ + "/" + kLong, big.substr(0, 5000));
    WriteFile(files_ + "/empty", "");  // these two no larger than any stub: skipped
    WriteFile(files_ + "/one", "1");
    // 8 MiB with data only in its last bytes: the hole before them must stay one.
    const int fd = ::open((files_ + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::pwrite(fd, "tail\n", 5, (8 << 20) - 5), 5);
    ::close(fd);
    const std::string b = files_ + "/sub/b";  // attributes set before the backup: a change
    xattrs_ = ::setxattr(b.c_str(), "user.note", "kept", 4, 0) == 0 &&
              RunProgram("setfacl", {"-m", "u:65534:r", b}).status == 0;
    for (const std::string name : {"a", "sub/b", "sparse", "empty", "one", kLong.c_str()}) {
      const std::string path = files_ + "/" + name;
      ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
      originals_[name] = ReadFile(path);
    }
    acl_ = RunProgram("getfacl", {"-c", b}).out;
    ASSERT_EQ(RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "9", "--archive-group", "3", "--index",
                                            index_, "--archive", dir_.File("archive"), files_})
                  .status,
              0);
    dir_.SetRegistry("[Base]\ndBACKUP_INDEX=" + index_ + "\ndARCHIVE_ROOT=" + dir_.File("archive") +
                     "\ndJOB_MANAGER_DIR=" + jobs_ + "\nsFOCUS_CLIENT=c1\n");
  }

  ProgramRun Job(std::vector<std::string> extra = {}, const std::string& job = "9") {
    extra.insert(extra.end(), {"-J", job, "-D", "media", "-a", "1:0"});
    return RunProgram(TRHSM_STUBJOB, extra);
  }
  ProgramRun Recall(const std::vector<std::string>& a) { return RunProgram(TRHSM_RECALL_TOOL, a); }

  bool IsStub(const std::string& name) {
    const std::string text = ReadFile(files_ + "/" + name);
    std::vector<char> bytes(text.begin(), text.end());
    ReparseData data;
    return ParseStubData(bytes, data) == 1 && data.stubGUID == files_ + "/" + name;
  }

  trhsm_test::Sandbox dir_;
  trhsm_test::ScopedEnv log_{"KO_LOG_FILE", dir_.File("log")};
  std::string files_ = dir_.File("files"), jobs_ = dir_.File("jobs"),
              index_ = dir_.File("index.db");
  std::string acl_;
  std::map<std::string, std::string> originals_;
  bool xattrs_ = false;  // the file system took a user attribute and an ACL
};

// Stubs and recalled files keep mode, times, attributes and ACL, a sparse file its holes.
void EditKeepingSizeAndTimes(const std::string& path);

TEST_F(StubJobTest, StubsAndRecallsEveryFileWithItsAttributes) {
  const auto kept = [&](const std::string& name) {
    struct stat st = {};
    EXPECT_EQ(::stat((files_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    EXPECT_EQ(st.st_mtim.tv_sec, kTimes[1].tv_sec) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, kTimes[1].tv_nsec) << name;
    return st.st_blocks;
  };
  std::map<std::string, blkcnt_t> blocks;
  for (const std::string& name : kStubbed) blocks[name] = kept(name);
  const ProgramRun r = Job({"--verify", "--quiet"});
  uint64_t freed = 0;
  for (const std::string& name : kStubbed) {
    EXPECT_TRUE(IsStub(name)) << name;
    freed += (blocks[name] - std::min(blocks[name], kept(name))) * 512;
  }
  Expect(r, 0,
         {"4 items stubbed, 0 already done, 2 skipped, 0 refused, " + trhsm_tools::Bytes(freed) +
              " released",
          "  skipped (too small to release): 2"});
  EXPECT_EQ(ListFolder(files_ + "/sub"), (std::vector<std::string>{kLong.substr(4), "b"}));
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  EXPECT_PRED2(Contains, ReadFile(jobs_ + "/9.journal"), "addStubSize 8594708\n");
  const ProgramRun back = Recall({files_ + "/"});
  Expect(back, 0,
         {"trhsm-recall: recalled \"" + files_ + "/sub/b\" (200.0 kB)\n",
          "trhsm-recall: 4 files recalled, 8.6 MB; left alone 2 files that are no stubs\n"});
  for (const std::string& name : kStubbed) {
    EXPECT_EQ(ReadFile(files_ + "/" + name), originals_[name]);
    const blkcnt_t blocks = kept(name);
    EXPECT_TRUE(name != "sparse" || blocks * 512 < (1 << 20)) << "the hole was written out";
  }
  // Recalled and not changed since: released again without a new backup; changed after the
  // recall (same size and times): refused.
  EditKeepingSizeAndTimes(files_ + "/a");
  Expect(Job({"--quiet"}), 1, {"3 items stubbed, 0 already done, 2 skipped, 1 refused", "changed"});
  EXPECT_FALSE(IsStub("a"));
  const std::string b = files_ + "/sub/b";
  char value[16] = {};
  if (!xattrs_) GTEST_SKIP() << "the file system refuses user attributes or ACLs: not checked";
  EXPECT_EQ(::getxattr(b.c_str(), "user.note", value, sizeof value), 4);
  EXPECT_EQ(RunProgram("getfacl", {"-c", b}).out, acl_);
}

// A recall refuses, a line each, what it cannot bring back whole; a dry run says what it would do.
TEST_F(StubJobTest, RecallRefusesWhatItCannotBringBackWhole) {
  ASSERT_EQ(Job({"--quiet"}).status, 0);
  const std::string a = files_ + "/a", arc = dir_.File("archive/3/1.arc"), stub = ReadFile(a);
  WriteFile(files_ + "/longer", stub + "more");
  ProgramRun r = Recall({"--archive", dir_.File("elsewhere"), a, files_ + "/one",
                         files_ + "/longer", files_ + "/missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "trhsm-recall: refused \"" + a + "\": open archive " + dir_.File("elsewhere") +
                       "/3/1.arc: No such file or directory\ntrhsm-recall: refused \"" + files_ +
                       "/one\": not a stub file\ntrhsm-recall: refused \"" + files_ +
                       "/longer\": not a stub file (4 bytes after the stub record)\n"
                       "trhsm-recall: refused \"" +
                       files_ + "/missing\": open " + files_ +
                       "/missing: No such file or directory\n"
                       "trhsm-recall: 0 files recalled, 0 bytes; 4 failed\n");
  r = Recall({"--dry-run", "--json", a, arc});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "{\"file\":\"" + a + "\",\"ok\":true,\"dryRun\":true,\"archive\":\"" + arc +
                       "\",\"offset\":0,\"size\":1100}\n{\"file\":\"" + arc +
                       "\",\"ok\":false,\"dryRun\":true,\"error\":\"not a stub file\"}\n"
                       "{\"summary\":true,\"dryRun\":true,\"recalled\":1,\"failed\":1,"
                       "\"skipped\":0,\"bytes\":1100}\n");
  std::string bytes = ReadFile(arc);
  bytes[trhsm::archive_format::kHeaderSize + 1000] ^= 0x10;
  WriteFile(arc, bytes);
  for (const char* mode : {"--dry-run", "--json"})
    Expect(Recall({mode, a}), 1, {"copy in " + arc, "fails its checksum"});
  EXPECT_EQ(ReadFile(a), stub);
  EXPECT_EQ(ListFolder(files_),
            (std::vector<std::string>{"a", "empty", "longer", "one", "sparse", "sub"}));
}

// New bytes of the same length, the old times put back (cp -p): only the change time tells.
void EditKeepingSizeAndTimes(const std::string& path) {
  WriteFile(path, "F" + ReadFile(path).substr(1));
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
}

// Each row changes "a" after the backup, and the test holds it open: the job refuses it.
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
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_TRUE(GetParam().reason != std::string("locked") || ::fcntl(fd, F_SETLK, &lock) == 0);
  const ProgramRun r = Job({"--quiet", "--collect-folder", collect});
  ::close(fd);
  Expect(r, 1,
         {"3 items stubbed, 0 already done, 2 skipped, 1 refused",
          std::string("refused (") + GetParam().reason + "): 1"});
  EXPECT_EQ(ReadFile(path), now);
  EXPECT_PRED2(Contains, ReadFile(jobs_ + "/9.journal"), "addBackupFileFailures 1");
  EXPECT_PRED2(Contains, ReadFile(collect + "/stubjobFailures_9.txt"),
               path + " Stubbing : Failed : " + GetParam().reason);
  EXPECT_NE(::access((dir_.results() + "/stubjobFailures_9.txt").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RefusalTest,
    ::testing::Values(
        Refusal{"SameSizeAndTimes", EditKeepingSizeAndTimes, "changed since backup (change time)"},
        Refusal{"ReplacedBySameBytesAndTimes",
                [](const std::string& p) {
                  WriteFile(p + ".new", ReadFile(p)), ::rename((p + ".new").c_str(), p.c_str());
                  ::utimensat(AT_FDCWD, p.c_str(), kTimes, 0);
                },
                "changed since backup (another inode)"},
        Refusal{"HardLinked", [](const std::string& p) { ::link(p.c_str(), (p + "2").c_str()); },
                "hard-linked"},
        Refusal{"Locked", [](const std::string& p) { ::chmod(p.c_str(), 02640); }, "locked"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// A copy without a change time (header version 1) is released only once --verify proves it.
TEST_F(StubJobTest, CopyWithoutChangeTimeNeedsVerify) {
  namespace af = trhsm::archive_format;
  const std::string path = files_ + "/a", bytes = originals_["a"];
  ASSERT_EQ(RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "10", "--archive-group", "7", "--index",
                                          index_, "--archive", dir_.File("archive"), path})
                .status,
            0);
  const std::string copy = ReadFile(dir_.File("archive/7/1.arc"));
  std::string header = copy.substr(0, af::kHeaderSizeV1);  // the fields both versions have
  trhsm::EncodeFixed16BE(&header[af::kVersionOffset], af::kVersionV1);
  trhsm::EncodeFixed16BE(&header[af::kHeaderSizeOffset], af::kHeaderSizeV1);
  uint32_t crc = 0xFFFFFFFFu;
  ko_crc32(header.data(), af::kHeaderSizeV1 - 4, &crc);
  trhsm::EncodeFixed32LE(&header[af::kHeaderSizeV1 - 4], ~crc);
  WriteFile(dir_.File("archive/7/1.arc"), header + copy.substr(af::kHeaderSize));
  EditKeepingSizeAndTimes(path);
  Expect(Job({"--quiet"}, "10"), 1,
         {"refused (archived without a change time (--verify would compare its bytes)): 1"});
  Expect(Job({"--quiet", "--verify"}, "10"), 1, {"refused (changed since backup (checksum)): 1"});
  WriteFile(path, bytes);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), kTimes, 0), 0);
  Expect(Job({"--quiet", "--verify"}, "10"), 0,
         {"1 item stubbed, 0 already done, 0 skipped, 0 refused"});
  EXPECT_TRUE(IsStub("a"));
}

// A dry run changes nothing, a quit request stops the pass; a rerun finds the stubs done. The job
// and the recall each clear their own stale temporaries, not one held locked, nor others'.
TEST_F(StubJobTest, RerunDoesTheWorkAgain) {
  EditKeepingSizeAndTimes(files_ + "/a");
  const ProgramRun dry = Job({"--dry-run", "--json"});
  Expect(dry, 1,
         {"{\"file\":\"" + files_ +
              "/a\",\"ok\":false,\"result\":\"would refuse\",\"error\":\"changed since backup "
              "(change time)\"}\n",
          "\n{\"summary\":true,\"dryRun\":true,\"wouldStub\":3,\"done\":0,\"skipped\":2,"
          "\"refused\":1,"});
  for (size_t at = 0; at < dry.out.size(); at = dry.out.find('\n', at) + 1)
    EXPECT_TRUE(dry.out[at] == '{' && dry.out[dry.out.find('\n', at) - 1] == '}') << dry.out;
  WriteFile(jobs_ + "/9.quit", "");
  Expect(Job({"--quiet"}), 1,
         {"0 items stubbed, 0 already done, 0 skipped, 0 refused, 0 bytes released (stopped on "
          "request)"});
  EXPECT_EQ(ReadFile(files_ + "/sub/b"), originals_["sub/b"]);
  ASSERT_EQ(::unlink((jobs_ + "/9.quit").c_str()), 0);
  Expect(Job({"--quiet"}), 1, {"3 items stubbed, 0 already done, 2 skipped, 1 refused"});
  EXPECT_NE(::access((jobs_ + "/9.restart").c_str(), F_OK), 0);
  ASSERT_EQ(::unlink((dir_.results() + "/HSMMNTLIST").c_str()), 0);
  const std::string sub = files_ + "/sub/";
  WriteFile(dir_.File("victim"), "keep");
  for (const std::string p : {".trhsm-stub-tmp.", ".trhsm-recall-tmp."}) {
    WriteFile(sub + p + "Stale1", "half");
    WriteFile(sub + p + "toolong1", "x");
    ASSERT_EQ(::symlink(dir_.File("victim").c_str(), (sub + p + "Link01").c_str()), 0);
    ASSERT_EQ(::link(dir_.File("victim").c_str(), (sub + p + "Hard01").c_str()), 0);
  }
  WriteFile(sub + ".trhsm-recall-tmp.Held01", "being written");
  const std::string stub = ReadFile(sub + "b");
  Expect(Job({"--quiet"}), 1,
         {"0 items stubbed, 3 already done, 2 skipped, 1 refused, 0 bytes released"});
  EXPECT_EQ(ReadFile(sub + "b"), stub);
  EXPECT_FALSE(IsStub("a"));
  TRHSMMigratedDirTrees trees(false, "c1");
  EXPECT_TRUE(trees.wasDirMigrated((files_ + "/sub").c_str(), nullptr));
  const int held = ::open((sub + ".trhsm-recall-tmp.Held01").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  Expect(Recall({sub + "b"}), 0, {"recalled \"" + sub + "b\" (200.0 kB)\n"});
  ::close(held);
  EXPECT_EQ(ListFolder(sub),
            (std::vector<std::string>{".trhsm-recall-tmp.Hard01", ".trhsm-recall-tmp.Held01",
                                      ".trhsm-recall-tmp.Link01", ".trhsm-recall-tmp.toolong1",
                                      ".trhsm-stub-tmp.Hard01", ".trhsm-stub-tmp.Link01",
                                      ".trhsm-stub-tmp.toolong1", kLong.substr(4), "b"}));
  EXPECT_EQ(ReadFile(dir_.File("victim")), "keep");
}

}  // namespace
