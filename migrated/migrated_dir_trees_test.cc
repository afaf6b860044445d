// TRHSMMigratedDirTrees end to end: configuration and mount table from files, both modes, the
// list's bytes, refusals with their messages, and several threads and processes editing one list.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

using trhsm_test::Contains;
using trhsm_test::ReadFile;
using trhsm_test::WriteFile;
using Trees = std::list<std::string>;

constexpr const char kCtorTag[] = "TRHSMMigratedDirTrees::TRHSMMigratedDirTrees(bool, const char*)";

class MigratedListTest : public ::testing::Test {
 protected:
  std::string List() const { return box_.results() + "/HSMMNTLIST"; }

  // Checks that `f` throws the list's KoException with `tag` and `message`.
  static void ExpectThrow(const std::function<void()>& f, const std::string& tag,
                          const std::string& message) {
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

  trhsm_test::Sandbox box_{
      "[Machines/empty]\ndJOB_RESULTS_DIR=\n[Machines/nodir]\nsHOST_NAME=h\n",
      "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /data ext4 rw 0 0\nsrv:/x /data/nfs nfs rw 0 0\n"};
  trhsm_test::LogCapture log_;
};

TEST_F(MigratedListTest, ConstructionFailures) {
  const std::string noDir = "Failed to retrieve Velora Job Results directory for VM ";
  const struct {
    bool held;
    const char* client;
    std::string message;
  } rows[] = {
      {false, nullptr, "A valid VM cname must be provided."},
      {true, "", "A valid VM cname must be provided."},
      {false, "nodir", noDir + "nodir from registry."},
      {false, "empty", noDir + "empty from registry."},
      {true, "unknown", noDir + "unknown from registry."},
  };
  for (const auto& r : rows) {
    ExpectThrow([&] { TRHSMMigratedDirTrees t(r.held, r.client); }, kCtorTag, r.message);
  }
  box_.SetRegistry("[Machines/gone]\ndJOB_RESULTS_DIR=" + box_.File("missing") + "\n");
  ExpectThrow([] { TRHSMMigratedDirTrees t(true, "gone"); }, kCtorTag,
              "Failed to lock file " + box_.File("missing") +
                  "/HSMMNTLIST.lock: No such file or directory");
  // The mount table is read first: it is what fails even without a client name.
  trhsm_test::ScopedEnv broken("KO_MOUNT_TABLE", box_.File("no-such-table"));
  try {
    TRHSMMigratedDirTrees t(false, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const KoException& e) {
    EXPECT_EQ(0u, e.getMessage().rfind("KoMntTab::getAll failed, error=", 0)) << e.getMessage();
    EXPECT_PRED2(Contains, e.getMessage(), "no-such-table");
  }
}

TEST_F(MigratedListTest, RecordsAreReadAndDamagedLinesLoggedAndDropped) {
  TRHSMMigratedDirTrees t(false, "c1");
  EXPECT_TRUE(t.getDirList().empty());
  EXPECT_FALSE(t.wasDirMigrated("/a/b", nullptr));
  WriteFile(List(), "1|/a/b|\n2|/a|\n1||\nx\n1|/c|\n");
  EXPECT_EQ((Trees{"/a/b", "/c"}), t.getDirList());
  EXPECT_EQ("", log_.Text());

  WriteFile(List(), "1|/good|\n1|/cut\n1|" + std::string(5000, 'x') + "|\n1|/also/good|\n");
  EXPECT_EQ((Trees{"/good", "/also/good"}), t.getDirList());
  EXPECT_PRED2(Contains, log_.Text(), "TRHSMMigratedDirTrees::loadList");
  EXPECT_PRED2(Contains, log_.Text(), List() + ": line 2 dropped: record has no closing '|'");
  EXPECT_PRED2(Contains, log_.Text(), List() + ": line 3 dropped: line of 5004 bytes");
  // The next edit writes the list whole again.
  t.addTree("/new");
  EXPECT_EQ("1|/good|\n1|/also/good|\n1|/new|\n", ReadFile(List()));
}

TEST_F(MigratedListTest, ListThatCannotBeReadOrWritten) {
  TRHSMMigratedDirTrees t(false, "c1");
  const std::string load = "TRHSMMigratedDirTrees::loadList";
  // A socket exists but cannot be opened; the failed load leaves no trees behind.
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(List().size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, List().c_str());
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
  t._addTree("/kept/in/memory");
  ExpectThrow([&] { t.loadList(); }, load,
              "Failed to open file " + List() + " for reading: No such device or address");
  ::close(s);
  ASSERT_EQ(0, ::unlink(List().c_str()));
  t.saveList();
  EXPECT_EQ("", ReadFile(List()));

  ASSERT_EQ(0, ::unlink(List().c_str()));
  ASSERT_EQ(0, ::mkdir(List().c_str(), 0777));
  ExpectThrow([&] { t.wasDirMigrated("/x", nullptr); }, load,
              "Failed to read file " + List() + ": Is a directory");
  ASSERT_EQ(0, ::rmdir(List().c_str()));
  ASSERT_EQ(0, ::symlink(List().c_str(), List().c_str()));
  ExpectThrow([] { TRHSMMigratedDirTrees held(true, "c1"); }, load,
              "Failed to stat file " + List() + ": Too many levels of symbolic links");
  ASSERT_EQ(0, ::unlink(List().c_str()));

  // Saving: a folder at the temporary name, then a full folder at the list's name.
  const std::string save = "TRHSMMigratedDirTrees::saveList", temp = List() + ".tmp";
  WriteFile(List(), "1|/old|\n");
  ASSERT_EQ(0, ::mkdir(temp.c_str(), 0777));
  ExpectThrow([&] { t.addTree("/new"); }, save,
              "Failed to open file " + List() + " for writing: Is a directory");
  {
    TRHSMMigratedDirTrees held(true, "c1");
    held.addTree("/lost");
  }  // held mode logs the failure of its save on destruction
  EXPECT_PRED2(Contains, log_.Text(), "~TRHSMMigratedDirTrees");
  EXPECT_EQ("1|/old|\n", ReadFile(List()));
  ASSERT_EQ(0, ::rmdir(temp.c_str()));
  ASSERT_EQ(0, ::unlink(List().c_str()));
  ASSERT_EQ(0, ::mkdir(List().c_str(), 0777));
  WriteFile(List() + "/inside", "x");
  t._addTree("/new");
  ExpectThrow([&] { t.saveList(); }, save,
              "Failed to rename " + temp + " -> " + List() + ": Is a directory");
  EXPECT_NE(0, ::access(temp.c_str(), F_OK)) << "temporary file left behind";
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
    for (const char* tree : {"/a/b", "/a/c", "/a", "/a/b/c", "/a/", "/q"}) held.addTree(tree);
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
  struct stat before, after;
  ASSERT_EQ(0, ::stat(List().c_str(), &before));
  t.addTree("/c/d");
  t.delTree("/nothing");
  ASSERT_EQ(0, ::stat(List().c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
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
  {
    TRHSMMigratedDirTrees held(true, "c1");
    EXPECT_THROW(held.addTree(std::string(4092, 'l').c_str()), KoException);
    EXPECT_NO_THROW(held.addTree(("/" + std::string(4090, 'l')).c_str()));
  }
  EXPECT_EQ(2u, t.getDirList().size());
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

// Parses the list file as a reader would, failing on any damaged line.
std::multiset<std::string> ParsedList(const std::string& path) {
  std::vector<std::string> problems;
  Trees trees = trhsm::migrated::ParseTreeList(ReadFile(path), &problems);
  EXPECT_TRUE(problems.empty()) << problems.front();
  return std::multiset<std::string>(trees.begin(), trees.end());
}

// Two threads and four processes add trees at once: every edit is in the list, once.
TEST_F(MigratedListTest, ThreadsAndProcessesEditingAtOnceLoseNothing) {
  auto work = [](const std::string& who) {
    TRHSMMigratedDirTrees t(false, "c1");
    for (int i = 0; i < 100; ++i) t.addTree(("/" + who + "/t" + std::to_string(i)).c_str());
    return 0;
  };
  std::vector<int> children;
  for (int p = 0; p < 4; ++p) {
    children.push_back(trhsm_test::StartChild([&] { return work("p" + std::to_string(p)); }));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) threads.emplace_back([&, t] { work("t" + std::to_string(t)); });
  for (int pid : children) EXPECT_EQ(0, trhsm_test::WaitChild(pid, 120000));
  for (std::thread& t : threads) t.join();
  const std::multiset<std::string> trees = ParsedList(List());
  EXPECT_EQ(600u, trees.size());
  for (const char* who : {"p0", "p1", "p2", "p3", "t0", "t1"}) {
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(1u, trees.count("/" + std::string(who) + "/t" + std::to_string(i)));
    }
  }
}

TEST_F(MigratedListTest, HeldObjectKeepsOtherProcessesWaiting) {
  auto held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
  held->addTree("/held");
  const int pid = trhsm_test::StartChild([] {
    TRHSMMigratedDirTrees t(false, "c1");
    t.addTree("/child");
    return 0;
  });
  ASSERT_TRUE(trhsm_test::WaitForLockWaiter(List() + ".lock")) << "the child's edit did not wait";
  EXPECT_EQ("", ReadFile(List()));
  held.reset();
  EXPECT_EQ(0, trhsm_test::WaitChild(pid));
  EXPECT_EQ("1|/held|\n1|/child|\n", ReadFile(List()));
}

}  // namespace
