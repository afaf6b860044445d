// TRHSMMigratedDirTrees end to end: configuration and mount table from files, both modes, failures
// of the list file, and several threads and processes editing one list.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "migrated/tree_list_codec.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;
using Trees = std::list<std::string>;

constexpr const char kCtorTag[] = "TRHSMMigratedDirTrees::TRHSMMigratedDirTrees(bool, const char*)";

using trhsm_test::WaitChild;

// Runs `child` in a forked process that exits with its result (98 for an exception).
pid_t Fork(const std::function<int()>& child) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = child();
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  return pid;
}

class MigratedListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    results_ = dir_.File("results");
    ASSERT_EQ(0, ::mkdir(results_.c_str(), 0777));
    WriteFile(dir_.File("registry"),
              "[Machines/c1]\ndJOB_RESULTS_DIR=" + results_ +
                  "\n[Machines/empty]\ndJOB_RESULTS_DIR=\n[Machines/nodir]\nsHOST_NAME=h\n"
                  "[Machines/gone]\ndJOB_RESULTS_DIR=" +
                  dir_.File("missing") + "\n");
    WriteFile(dir_.File("mounts"),
              "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /data ext4 rw 0 0\n"
              "srv:/x /data/nfs nfs rw 0 0\n");
    registry_ = std::make_unique<ScopedEnv>("KO_REGISTRY", dir_.File("registry"));
    mounts_ = std::make_unique<ScopedEnv>("KO_MOUNT_TABLE", dir_.File("mounts"));
  }

  std::string List() const { return results_ + "/HSMMNTLIST"; }

  // Checks that `f` throws the list's KoException with `tag` and `message`.
  template <typename F>
  void ExpectThrow(F f, const std::string& tag, const std::string& message) {
    try {
      f();
      ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const KoException& e) {
      EXPECT_EQ(message, e.getMessage());
      EXPECT_EQ(tag, e.getFunction());
      EXPECT_EQ("TRHSMMigratedDirTrees", e.getFile());
      EXPECT_EQ(-1, e.getCode());
    }
  }

  ScratchDir dir_;
  LogCapture log_;
  std::string results_;
  std::unique_ptr<ScopedEnv> registry_;
  std::unique_ptr<ScopedEnv> mounts_;
};

TEST_F(MigratedListTest, ConstructionFailures) {
  ExpectThrow([] { TRHSMMigratedDirTrees t(false, nullptr); }, kCtorTag,
              "A valid VM cname must be provided.");
  ExpectThrow([] { TRHSMMigratedDirTrees t(true, ""); }, kCtorTag,
              "A valid VM cname must be provided.");
  for (const char* client : {"nodir", "empty", "unknown"}) {
    ExpectThrow([&] { TRHSMMigratedDirTrees t(false, client); }, kCtorTag,
                std::string("Failed to retrieve Velora Job Results directory for VM ") + client +
                    " from registry.");
  }
  ExpectThrow([] { TRHSMMigratedDirTrees t(true, "gone"); }, kCtorTag,
              "Failed to lock file " + dir_.File("missing") +
                  "/HSMMNTLIST.lock: No such file or directory");

  // The mount table is read first: it is what fails even without a client name.
  ScopedEnv broken("KO_MOUNT_TABLE", dir_.File("no-such-table"));
  try {
    TRHSMMigratedDirTrees t(false, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const KoException& e) {
    EXPECT_EQ(0u, e.getMessage().rfind("KoMntTab::getAll failed, error=", 0)) << e.getMessage();
    EXPECT_NE(std::string::npos, e.getMessage().find("no-such-table"));
    EXPECT_EQ(kCtorTag, e.getFunction());
  }
}

TEST_F(MigratedListTest, MissingListIsEmptyAndRecordsAreRead) {
  TRHSMMigratedDirTrees t(false, "c1");
  EXPECT_TRUE(t.getDirList().empty());
  EXPECT_FALSE(t.wasDirMigrated("/a/b", nullptr));
  EXPECT_EQ("", log_.Text());

  WriteFile(List(), "1|/a/b|\n2|/a|\n1||\nx\n1|/c|\n");
  EXPECT_EQ((Trees{"/a/b", "/c"}), t.getDirList());
  EXPECT_EQ("", log_.Text());
}

TEST_F(MigratedListTest, DamagedLinesAreLoggedAndDropped) {
  WriteFile(List(), "1|/good|\n1|/cut\n1|" + std::string(5000, 'x') + "|\n1|/also/good|\n");
  TRHSMMigratedDirTrees t(false, "c1");
  EXPECT_EQ((Trees{"/good", "/also/good"}), t.getDirList());
  EXPECT_TRUE(log_.Contains("TRHSMMigratedDirTrees::loadList"));
  EXPECT_TRUE(log_.Contains(List() + ": line 2 dropped: record has no closing '|'"));
  EXPECT_TRUE(log_.Contains(List() + ": line 3 dropped: line of 5004 bytes"));
  // The next edit writes the list whole again.
  t.addTree("/new");
  EXPECT_EQ("1|/good|\n1|/also/good|\n1|/new|\n", ReadFile(List()));
}

TEST_F(MigratedListTest, ListThatCannotBeRead) {
  TRHSMMigratedDirTrees t(false, "c1");
  const std::string tag = "TRHSMMigratedDirTrees::loadList";

  // A socket exists but cannot be opened.
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  ASSERT_LT(List().size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, List().c_str());
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
  t._addTree("/kept/in/memory");
  ExpectThrow([&] { t.loadList(); }, tag,
              "Failed to open file " + List() + " for reading: No such device or address");
  ::close(s);
  ASSERT_EQ(0, ::unlink(List().c_str()));
  // The failed load left no trees behind: saving now writes an empty list.
  t.saveList();
  EXPECT_EQ("", ReadFile(List()));
  ASSERT_EQ(0, ::unlink(List().c_str()));

  ASSERT_EQ(0, ::mkdir(List().c_str(), 0777));
  ExpectThrow([&] { t.wasDirMigrated("/x", nullptr); }, tag,
              "Failed to read file " + List() + ": Is a directory");
  ASSERT_EQ(0, ::rmdir(List().c_str()));

  ASSERT_EQ(0, ::symlink(List().c_str(), List().c_str()));
  ExpectThrow([&] { t.getDirList(); }, tag,
              "Failed to stat file " + List() + ": Too many levels of symbolic links");
  ExpectThrow([] { TRHSMMigratedDirTrees held(true, "c1"); }, tag,
              "Failed to stat file " + List() + ": Too many levels of symbolic links");
}

TEST_F(MigratedListTest, QueriesFollowTheTreeAlgebra) {
  WriteFile(List(), "1|/home|\n1|/|\n1|/data/nfs/x|\n");
  for (bool held : {false, true}) {
    TRHSMMigratedDirTrees t(held, "c1");
    std::string tree = "unchanged";
    EXPECT_TRUE(t.wasDirMigrated("/home/", &tree));
    EXPECT_EQ("/home", tree);
    EXPECT_TRUE(t.wasDirMigrated("/etc/x", &tree));
    EXPECT_EQ("/", tree);
    // /data is a file system of its own: "/" does not reach into it.
    tree = "unchanged";
    EXPECT_FALSE(t.wasDirMigrated("/data/x", &tree));
    EXPECT_EQ("unchanged", tree);
    EXPECT_TRUE(t.wasDirMigrated("/data/nfs/x/y", nullptr));
    EXPECT_FALSE(t.wasDirMigrated(nullptr, &tree));
    EXPECT_FALSE(t.wasDirMigrated("", &tree));
    EXPECT_FALSE(t.wasAnySubDirMigrated("/data"));
    EXPECT_TRUE(t.wasAnySubDirMigrated("/data/nfs"));
    EXPECT_FALSE(t.wasAnySubDirMigrated(nullptr));
  }
}

TEST_F(MigratedListTest, HeldModeWritesOnDestructionTransactionModeAtOnce) {
  {
    TRHSMMigratedDirTrees held(true, "c1");
    held.addTree("/a/b");
    held.addTree("/a/c");
    held.addTree("/a");
    held.addTree("/a/b/c");
    held.addTree("/a/");
    held.addTree("/q");
    held.delTree("/q/");
    EXPECT_EQ((Trees{"/a", "/q"}), held.getDirList());
    EXPECT_EQ("", ReadFile(List()));
  }
  EXPECT_EQ("1|/a|\n1|/q|\n", ReadFile(List()));

  TRHSMMigratedDirTrees t(false, "c1");
  t.addTree("/b");
  EXPECT_EQ("1|/a|\n1|/q|\n1|/b|\n", ReadFile(List()));
  t.delTree("/q");
  EXPECT_EQ("1|/a|\n1|/b|\n", ReadFile(List()));
  // Another writer's edit is seen by the next edit: nothing is lost to a stale copy.
  WriteFile(List(), "1|/other|\n");
  t.addTree("/c");
  EXPECT_EQ("1|/other|\n1|/c|\n", ReadFile(List()));
  // Edits that change nothing leave the file as it is.
  t.addTree("/c/d");
  t.delTree("/nothing");
  EXPECT_EQ("1|/other|\n1|/c|\n", ReadFile(List()));
  EXPECT_NE(0, ::access((List() + ".tmp").c_str(), F_OK));
}

TEST_F(MigratedListTest, PathsARecordCannotCarryAreRefused) {
  WriteFile(List(), "1|/a|\n");
  TRHSMMigratedDirTrees t(false, "c1");
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"/x|y", "Invalid tree path /x|y: a path holding '|' cannot be recorded."},
      {"/x\ny", "Invalid tree path /x\ny: a path holding a line feed cannot be recorded."},
      {"", "Invalid tree path : an empty path cannot be recorded."},
      {nullptr, "Invalid NULL tree path."},
  };
  for (const auto& [path, message] : refused) {
    ExpectThrow([&] { t.addTree(path); }, "TRHSMMigratedDirTrees::addTree", message);
    ExpectThrow([&] { t.delTree(path); }, "TRHSMMigratedDirTrees::delTree", message);
    ExpectThrow([&] { t._addTree(path); }, "TRHSMMigratedDirTrees::_addTree", message);
  }
  EXPECT_EQ("1|/a|\n", ReadFile(List()));
  EXPECT_EQ((Trees{"/a"}), t.getDirList());
  {
    TRHSMMigratedDirTrees held(true, "c1");
    EXPECT_THROW(held.addTree("/a|b"), KoException);
    EXPECT_THROW(held.addTree(std::string(4092, 'l').c_str()), KoException);
    EXPECT_NO_THROW(held.addTree(("/" + std::string(4090, 'l')).c_str()));
  }
  EXPECT_EQ(2u, t.getDirList().size());
}

TEST_F(MigratedListTest, FailedSaveLeavesTheOldListWhole) {
  WriteFile(List(), "1|/old|\n");
  const std::string temp = List() + ".tmp";
  const std::string tag = "TRHSMMigratedDirTrees::saveList";
  {
    TRHSMMigratedDirTrees t(false, "c1");
    ASSERT_EQ(0, ::mkdir(temp.c_str(), 0777));
    ExpectThrow([&] { t.addTree("/new"); }, tag,
                "Failed to open file " + List() + " for writing: Is a directory");
    EXPECT_EQ("1|/old|\n", ReadFile(List()));
    ASSERT_EQ(0, ::rmdir(temp.c_str()));

    // The rename fails when the list's name is taken by a folder that is not empty.
    t._addTree("/new");
    ASSERT_EQ(0, ::rename(List().c_str(), dir_.File("saved").c_str()));
    ASSERT_EQ(0, ::mkdir(List().c_str(), 0777));
    WriteFile(List() + "/inside", "x");
    ExpectThrow([&] { t.saveList(); }, tag,
                "Failed to rename " + temp + " -> " + List() + ": Is a directory");
    EXPECT_NE(0, ::access(temp.c_str(), F_OK)) << "temporary file left behind";
    ASSERT_EQ(0, ::unlink((List() + "/inside").c_str()));
    ASSERT_EQ(0, ::rmdir(List().c_str()));
    ASSERT_EQ(0, ::rename(dir_.File("saved").c_str(), List().c_str()));
  }

  // Held mode: the failure at destruction is logged, and the old list stays.
  {
    TRHSMMigratedDirTrees held(true, "c1");
    held.addTree("/lost");
    ASSERT_EQ(0, ::mkdir(temp.c_str(), 0777));
  }
  EXPECT_TRUE(log_.Contains("~TRHSMMigratedDirTrees"));
  EXPECT_TRUE(log_.Contains("Failed to open file " + List() + " for writing: Is a directory"));
  EXPECT_EQ("1|/old|\n", ReadFile(List()));
  ASSERT_EQ(0, ::rmdir(temp.c_str()));
}

TEST_F(MigratedListTest, WriteFailureMidwayLeavesTheOldListWhole) {
  const std::string old = "1|/old/one|\n1|/old/two|\n";
  WriteFile(List(), old);
  // The file size limit makes a real write fail part-way; it binds this process only.
  pid_t pid = Fork([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {40, 40};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    TRHSMMigratedDirTrees t(false, "c1");
    try {
      t.addTree(("/" + std::string(100, 'n')).c_str());
      return 3;
    } catch (const KoException& e) {
      const std::string expected = "Failed to write file " + List() + ".tmp for " + List() + ": ";
      if (e.getMessage().rfind(expected, 0) != 0) return 4;
    }
    if (::access((List() + ".tmp").c_str(), F_OK) == 0) return 5;
    return 0;
  });
  EXPECT_EQ(0, WaitChild(pid));
  EXPECT_EQ(old, ReadFile(List()));
}

TEST_F(MigratedListTest, HeldObjectMayEndOnAnotherThread) {
  auto held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
  held->addTree("/from/main");
  std::atomic<bool> done{false};
  std::thread other([&] {
    held->addTree("/from/other");
    held.reset();
    done = true;
  });
  for (int i = 0; i < 5000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(done.load()) << "held object's save waited on its own lock";
  other.join();
  EXPECT_EQ("1|/from/main|\n1|/from/other|\n", ReadFile(List()));
}

TEST_F(MigratedListTest, TwoThreadsNeverLoseAnEdit) {
  auto work = [&](int id) {
    TRHSMMigratedDirTrees t(false, "c1");
    for (int i = 0; i < 100; ++i) {
      t.addTree(("/t" + std::to_string(id) + "/tree" + std::to_string(i)).c_str());
    }
  };
  std::thread a(work, 0);
  std::thread b(work, 1);
  a.join();
  b.join();
  TRHSMMigratedDirTrees check(false, "c1");
  Trees trees = check.getDirList();
  EXPECT_EQ(200u, trees.size());
  EXPECT_EQ(200u, std::set<std::string>(trees.begin(), trees.end()).size());
}

// Parses the list file as a reader would, failing on any damaged line.
std::set<std::string> ParsedList(const std::string& path) {
  std::vector<std::string> problems;
  Trees trees = trhsm::migrated::ParseTreeList(ReadFile(path), &problems);
  EXPECT_TRUE(problems.empty()) << problems.front();
  return std::set<std::string>(trees.begin(), trees.end());
}

TEST_F(MigratedListTest, ProcessesEditingAtOnceLoseNothing) {
  constexpr int kProcesses = 4;
  constexpr int kTrees = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(Fork([p] {
      TRHSMMigratedDirTrees t(false, "c1");
      for (int i = 0; i < kTrees; ++i) {
        t.addTree(("/p" + std::to_string(p) + "/t" + std::to_string(i)).c_str());
      }
      return 0;
    }));
  }
  for (pid_t pid : children) EXPECT_EQ(0, WaitChild(pid, 120000));
  std::set<std::string> trees = ParsedList(List());
  EXPECT_EQ(static_cast<size_t>(kProcesses * kTrees), trees.size());
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kTrees; ++i) {
      EXPECT_EQ(1u, trees.count("/p" + std::to_string(p) + "/t" + std::to_string(i)));
    }
  }
}

TEST_F(MigratedListTest, KilledWriterLeavesEveryReturnedEdit) {
  int report[2];
  ASSERT_EQ(0, ::pipe(report));
  pid_t pid = Fork([&] {
    ::close(report[0]);
    TRHSMMigratedDirTrees t(false, "c1");
    for (int i = 0;; ++i) {
      t.addTree(("/k/t" + std::to_string(i)).c_str());
      if (::write(report[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i)) return 1;
    }
  });
  ::close(report[1]);
  std::vector<int> returned;
  auto readOne = [&](int timeoutMs) {
    struct pollfd pfd = {report[0], POLLIN, 0};
    int i;
    if (::poll(&pfd, 1, timeoutMs) != 1 || ::read(report[0], &i, sizeof i) != sizeof i) {
      return false;
    }
    returned.push_back(i);
    return true;
  };
  while (returned.size() < 40 && readOne(30000)) {
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  while (readOne(0)) {
  }
  ::close(report[0]);
  ASSERT_GE(returned.size(), 40u) << "the writer stopped reporting";

  std::set<std::string> trees = ParsedList(List());
  for (int i : returned) EXPECT_EQ(1u, trees.count("/k/t" + std::to_string(i))) << i;
  // The next writer is not held up by the dead one.
  TRHSMMigratedDirTrees t(false, "c1");
  t.addTree("/after");
  EXPECT_EQ(1u, ParsedList(List()).count("/after"));
}

TEST_F(MigratedListTest, HeldObjectKeepsOtherProcessesWaiting) {
  auto held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
  held->addTree("/held");
  pid_t pid = Fork([] {
    TRHSMMigratedDirTrees t(false, "c1");
    t.addTree("/child");
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int status = 0;
  EXPECT_EQ(0, ::waitpid(pid, &status, WNOHANG)) << "the child's edit did not wait";
  EXPECT_EQ("", ReadFile(List()));
  held.reset();
  EXPECT_EQ(0, WaitChild(pid));
  EXPECT_EQ("1|/held|\n1|/child|\n", ReadFile(List()));
}

}  // namespace
