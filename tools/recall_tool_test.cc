// trhsm-recall run as a program on stubs of files archived by trhsm-index.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::ProgramRun;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

ProgramRun Recall(const std::vector<std::string>& args) {
  return trhsm_test::RunProgram(TRHSM_RECALL_TOOL, args);
}

std::vector<std::string> Names(const std::string& path) { return trhsm_test::ListFolder(path); }

// The exit status of the tool run by the shell with `args` and standard output sent to /dev/full.
int StatusWithFullOutput(const std::vector<std::string>& args) {
  std::string command = TRHSM_RECALL_TOOL;
  for (const std::string& a : args) command += " '" + a + "'";
  const int status = std::system((command + " >/dev/full 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A name of the longest length a Linux file system allows.
const std::string kLongName = "long-" + std::string(250, 'n');

class RecallToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_.File("files");
    archive_ = dir_.File("archive");
    ASSERT_EQ(::mkdir(files_.c_str(), 0755), 0);
    WriteFile(files_ + "/a", "first file\n");
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    WriteFile(files_ + "/b", big);
    WriteFile(files_ + "/empty", "");
    WriteFile(files_ + "/" + kLongName, "a name of 255 bytes\n");
    // 8 MiB with data only in its last bytes: the hole before them must stay one.
    const int sparse = ::open((files_ + "/sparse").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(sparse, 0);
    ASSERT_EQ(::pwrite(sparse, "tail\n", 5, (8 << 20) - 5), 5);
    ASSERT_EQ(::close(sparse), 0);
    // Distinct, old modification times, so the recall visibly restores them.
    for (const std::string& name : kNames) {
      const struct timespec times[2] = {{1500000000, 0}, {1600000000 + name[0], 123456789}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (files_ + "/" + name).c_str(), times, 0), 0);
      originals_[name] = ReadFile(files_ + "/" + name);
    }
    const std::string index = dir_.File("index.db");
    ProgramRun add =
        trhsm_test::RunProgram(TRHSM_INDEX_TOOL, {"add", "--job", "5", "--archive-group", "2",
                                                  "--index", index, "--archive", archive_, files_});
    ASSERT_EQ(add.status, 0) << add.out;
    std::string error;
    auto db = BackupIndex::Open(index, BackupIndex::Mode::kReadOnly, &error);
    ASSERT_TRUE(db) << error;
    std::vector<BackupItem> items;
    ASSERT_TRUE(db->ListJob(5, &items, &error)) << error;
    for (const BackupItem& item : items) items_[item.fullFileName.substr(files_.size() + 1)] = item;
    ASSERT_EQ(items_.size(), kNames.size());
  }

  // Replaces the file `name` by a stub whose layout-1 reparse text names its archived copy.
  void Stub(const std::string& name) {
    const BackupItem& item = items_.at(name);
    const std::string text =
        "1:0:" + std::to_string(item.archGroupId) + ":" + std::to_string(item.archFileId) + ":" +
        std::to_string(item.archFileOffset) + ":1:" + std::to_string(item.fullFileName.size()) +
        ":" + item.fullFileName + "|1700000000";
    std::string record(trhsm_meta2stub(text.c_str(), 0, nullptr, 0), '\0');
    trhsm_meta2stub(text.c_str(), 0, &record[0], static_cast<int>(record.size()));
    WriteFile(files_ + "/" + name, record);
    ASSERT_EQ(::chmod((files_ + "/" + name).c_str(), 0640), 0);
  }

  struct stat Stat(const std::string& name) {
    struct stat st = {};
    EXPECT_EQ(::stat((files_ + "/" + name).c_str(), &st), 0);
    return st;
  }

  const std::vector<std::string> kNames = {"a", "b", "empty", "sparse", kLongName};
  ScratchDir dir_;
  std::string files_, archive_;
  std::map<std::string, std::string> originals_;
  std::map<std::string, BackupItem> items_;
};

TEST_F(RecallToolTest, RecallsBytesModeAndTime) {
  for (const std::string& name : kNames) Stub(name);
  WriteFile(files_ + "/plain", "no stub\n");
  const std::string a = files_ + "/a";
  const bool xattrs = ::setxattr(a.c_str(), "user.note", "kept", 4, 0) == 0;
  const std::vector<std::string> before = Names(files_);
  ProgramRun r = Recall({"--archive", archive_, files_ + "/"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("trhsm-recall: recalled \"" + files_ + "/b\" (300.0 kB)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(
      r.out.find("trhsm-recall: 5 files recalled, 8.7 MB; left alone 1 file that is no stub\n"),
      std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find(" of 5"), std::string::npos) << "progress off a terminal\n" << r.out;
  for (const std::string& name : kNames) {
    EXPECT_TRUE(ReadFile(files_ + "/" + name) == originals_[name]) << name;
    struct stat st = Stat(name);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000 + name[0]) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789) << name;
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    EXPECT_EQ(st.st_uid, ::getuid());
  }
  EXPECT_LT(Stat("sparse").st_blocks * 512, 1 << 20) << "the hole was written out";
  EXPECT_EQ(Names(files_), before);
  char note[8] = {};
  EXPECT_EQ(::getxattr(a.c_str(), "user.note", note, sizeof note), xattrs ? 4 : -1) << note;

  // A recalled file is no stub any more; a refusal alone ends without a summary.
  ProgramRun again = Recall({"--archive", archive_, files_ + "/a"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "trhsm-recall: refused \"" + files_ + "/a\": not a stub file\n");
  EXPECT_EQ(ReadFile(files_ + "/a"), originals_["a"]);
  if (!xattrs) GTEST_SKIP() << "user extended attributes refused here: their recall not checked";
}

TEST_F(RecallToolTest, DamagedCopyLeavesTheStubUntouched) {
  Stub("b");
  const std::string stub = ReadFile(files_ + "/b");
  const std::string arc = archive_ + "/2/1.arc";
  std::string bytes = ReadFile(arc);
  const size_t at = static_cast<size_t>(items_.at("b").archFileOffset) +
                    trhsm::archive_format::kHeaderSize + 1000;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  WriteFile(arc, bytes);
  const std::vector<std::string> before = Names(files_);

  for (bool dryRun : {false, true}) {
    std::vector<std::string> args = {"--archive", archive_, files_ + "/b"};
    if (dryRun) args.insert(args.begin(), "--dry-run");
    ProgramRun r = Recall({"--archive", archive_, files_ + "/"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("refused \"" + files_ + "/b\": copy in " + arc), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("fails its checksum"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(files_ + "/b"), stub);
    EXPECT_EQ(Names(files_), before);
  }
}

TEST_F(RecallToolTest, MissingArchiveAndNonStubsAreRefused) {
  Stub("a");
  const std::string stub = ReadFile(files_ + "/a");
  // A file that only starts with a stub record keeps its own bytes.
  WriteFile(files_ + "/longer", stub + "more");
  ProgramRun r = Recall({"--archive", dir_.File("elsewhere"), files_ + "/a", files_ + "/b",
                         files_ + "/longer", files_ + "/missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("refused \"" + files_ + "/a\": open archive " + dir_.File("elsewhere") +
                       "/2/1.arc: No such file or directory"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("refused \"" + files_ + "/b\": not a stub file\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("refused \"" + files_ + "/longer\": not a stub file (4 bytes after"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("missing\": open"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("trhsm-recall: 0 files recalled, 0 bytes; 4 failed\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), stub);
  EXPECT_EQ(ReadFile(files_ + "/b"), originals_["b"]);
  EXPECT_EQ(Names(files_).size(), kNames.size() + 1);
}

TEST_F(RecallToolTest, DryRunAndJsonChangeNothing) {
  Stub("a");
  const std::string stub = ReadFile(files_ + "/a");
  const std::string registry = dir_.File("registry");
  WriteFile(registry, "[Base]\ndARCHIVE_ROOT=" + archive_ + "\n");
  trhsm_test::ScopedEnv env("KO_REGISTRY", registry);
  ProgramRun r = Recall({"--dry-run", "--json", files_ + "/a", files_ + "/b"});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string arc = archive_ + "/2/1.arc";
  EXPECT_NE(r.out.find("{\"file\":\"" + files_ + "/a\",\"ok\":true,\"dryRun\":true,\"archive\":\"" +
                       arc + "\",\"offset\":" + std::to_string(items_.at("a").archFileOffset) +
                       ",\"size\":11}\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("{\"file\":\"" + files_ +
                       "/b\",\"ok\":false,\"dryRun\":true,"
                       "\"error\":\"not a stub file\"}\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.size() > 2 && r.out.substr(r.out.size() - 2) == "}\n") << r.out;
  EXPECT_NE(r.out.find("\n{\"summary\":true,\"dryRun\":true,\"recalled\":1,\"failed\":1,"
                       "\"skipped\":0,\"bytes\":11}\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), stub);
  EXPECT_EQ(Names(files_).size(), kNames.size());
  // Output that cannot be written is a failure, even when every file checks out.
  EXPECT_EQ(StatusWithFullOutput({"--dry-run", files_ + "/a"}), 1);

  ProgramRun text = Recall({"--dry-run", files_ + "/a"});
  EXPECT_EQ(text.status, 0) << text.out;
  EXPECT_NE(text.out.find("would recall \"" + files_ + "/a\": 11 bytes from \"" + arc + "\""),
            std::string::npos)
      << text.out;
  EXPECT_EQ(ReadFile(files_ + "/a"), stub);
}

// Progress and a refusal among it, with both outputs on a terminal.
TEST_F(RecallToolTest, ProgressOnATerminalLeavesEachMessageOnItsOwnLine) {
  Stub("a");
  Stub("b");
  std::vector<std::string> words = {TRHSM_RECALL_TOOL, "--archive",       archive_,
                                    files_ + "/a",     files_ + "/empty", files_ + "/b"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) ::_exit((::execv(argv[0], argv.data()), 127));
  ASSERT_GT(pid, 0) << "no pseudo-terminal here";
  std::string out;
  char buffer[4096];
  struct pollfd p = {terminal, POLLIN, 0};
  for (ssize_t n; ::poll(&p, 1, 30000) == 1 && (n = ::read(terminal, buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<size_t>(n));
  ::close(terminal);
  EXPECT_EQ(trhsm_test::WaitChild(pid), 1) << out;
  EXPECT_NE(out.find("trhsm-recall: 2 of 3"), std::string::npos) << out;
  for (const char* line : {"refused", "recalled \"", "2 files recalled, 300.0 kB; 1 failed"}) {
    const size_t at = out.find(std::string("trhsm-recall: ") + line);
    EXPECT_TRUE(at != std::string::npos && at > 0 && (out[at - 1] == '\r' || out[at - 1] == '\n'))
        << line << "\n"
        << out;
  }
}

// The command line, and an archive root that the registry cannot give.
TEST(RecallTool, UsageAndConfigurationErrorsSayWhatToFix) {
  struct Row {
    std::string registry;
    std::vector<std::string> args;
    int status;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"", {}, 2, "trhsm-recall: no FILE given\nusage:"},
      {"", {"--archive"}, 2, "trhsm-recall: --archive needs a folder\nusage:"},
      {"", {"--bogus", "f"}, 2, "trhsm-recall: unknown option \"--bogus\"\nusage:"},
      {"", {"--dry-run"}, 2, "trhsm-recall: no FILE given\n"},
      {"", {"-h"}, 0, "  -h, --help "},
      {"", {"--help"}, 0, "  --archive DIR "},
      {"", {"f"}, 1, "trhsm-recall: KO_REGISTRY is not set"},
      {"/no/registry", {"f"}, 1, "trhsm-recall: cannot read registry /no/registry: No such file"},
      {"/", {"f"}, 1, "trhsm-recall: cannot read registry /: Is a directory; or give --archive"},
  };
  for (const Row& row : rows) {
    trhsm_test::ScopedEnv env("KO_REGISTRY", row.registry);
    ProgramRun r = Recall(row.args);
    EXPECT_EQ(r.status, row.status) << row.text << "\n" << r.out;
    EXPECT_NE(r.out.find(row.text), std::string::npos) << r.out;
  }
  // Help goes to standard output, whose write error shows in the status.
  EXPECT_EQ(StatusWithFullOutput({"--help"}), 1);
}

}  // namespace
