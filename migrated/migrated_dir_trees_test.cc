// The migrated-tree list: its records (exact bytes, damaged lines and their reasons, the
// line-buffer boundary), the tree algebra (component boundaries, never across a mount point), and
// TRHSMMigratedDirTrees end to end: refusals and failures with their messages, both modes, threads
// and processes sharing one list. Never a cut tree: the fuzz target; write faults, out of memory
// and planted links: rows of tests/write_paths_test.cc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_format.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::WriteFile;
namespace mig = trhsm::migrated;
using Trees = std::list<std::string>;
using Texts = std::vector<std::string>;

TEST(TreeList, RecordsDamagedLinesAndTheLineBufferBoundary) {
  const std::string longest = "/" + std::string(trhsm::tree_list::kMaxTreeLength - 1, 'p');
  Texts problems;
  const Trees trees =
      mig::ParseTreeList("1|/a/b|\n2|/a|\n1||\nx\n\n1\n|/c|\n1|/d|junk|more\n1|/e|\r\n1|/cut\n" +
                             std::string("1|/n\0l|\n", 8) + "1|" + longest + "|\n1|" + longest +
                             "q|\n1|" + std::string(4093, 'z') + "1|/hidden|\n1|/last",
                         &problems);
  EXPECT_EQ(trees, (Trees{"/a/b", "/e", longest}));
  EXPECT_EQ(problems, (Texts{"line 8 dropped: bytes after the closing '|'",
                             "line 10 dropped: record has no closing '|'",
                             "line 11 dropped: tree path holds a NUL byte",
                             "line 13 dropped: line of 4096 bytes is longer than a record can be",
                             "line 14 dropped: line of 4106 bytes is longer than a record can be",
                             "line 15 dropped: record has no closing '|'"}));
  EXPECT_TRUE(mig::ParseTreeList("", &problems).empty());

  EXPECT_EQ(mig::FormatTreeList({"/a/b", "/"}), "1|/a/b|\n1|/|\n");
  EXPECT_EQ(mig::FormatTreeList({longest}).size(), trhsm::tree_list::kMaxRecordLength);
  const Trees odd{"/with space", "/tab\there", "/utf8/\xc3\xa9", "/trailing/", "rel", "//d"};
  EXPECT_EQ(mig::ParseTreeList(mig::FormatTreeList(odd), nullptr), odd);

  std::string why, whys;  // the other refusals: the addTree rows
  EXPECT_TRUE(mig::IsRecordable(longest, &why));
  for (const std::string& path : {std::string("/a\0b", 4), longest + "q"})
    whys += (mig::IsRecordable(path, &why) ? "recordable" : why) + "\n";
  EXPECT_EQ(whys,
            "a path holding a NUL byte cannot be recorded\na path longer than 4091 bytes cannot be "
            "recorded\n");
}

mig::MountList Mounts(std::initializer_list<const char*> points) {
  mig::MountList mounts(points.size());
  auto point = points.begin();
  for (KoMntTab::Entry& e : mounts) e.mountPoint = *point++, e.fsType = "ext4";
  return mounts;
}

TEST(TreeAlgebra, ContainmentAndEditsStopAtComponentsAndMountPoints) {
  // "parent path mount 1": parent holds path, mount its mount point ("-": empty) (a plain prefix).
  for (const char* row :
       {"/data /data - 1", "/data /data/x/y - 1", "/data /data/ - 1", "/data /database - 0",
        "/data /dat - 0", "/data/x /data - 0", "/data// /data/x - 1", "/data/ /data - 1",
        "/data/ /database - 0", "/ /any/thing - 1", "// /x - 1", "/ relative - 0", "/ - - 0",
        "/ /data/x /data 0", "/data/x /data/x/y /data 1", "/database /database/x /data 1"}) {
    char parent[32], path[32], mount[32];
    ASSERT_EQ(std::sscanf(row, "%31s %31s %31s", parent, path, mount), 3);
    for (char* field : {path, mount}) field[field[0] == '-' ? 0 : 31] = '\0';
    const bool holds = mig::isSubDir(parent, path, mount, static_cast<int>(std::strlen(mount)));
    EXPECT_EQ(row[std::strlen(row) - 1] == '1', holds) << row;
  }
  const mig::MountList mounts = Mounts({"/", "/data", "/data/nfs"});
  EXPECT_EQ(mig::getMount("/data/nfs/x", mounts) + "|" + mig::getMount("/database", mounts) + "|" +
                mig::getMount("relative", mounts),
            "/data/nfs|/|");

  EXPECT_EQ(mig::FindContainingTree({"/"}, Mounts({}), "relative"), nullptr);
  std::string any;  // the other lookups: the list's rows
  for (const char* path : {"/data", "/data/nfs", "/data/nfs/x", "/data/nfs/x/y"})
    any += mig::AnyTreeAtOrBelow({"/data/nfs/x"}, mounts, path) ? "1" : "0";
  any += mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/") ? "1" : "0";
  EXPECT_EQ(any + (mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/ho") ? "1" : "0"), "011010");
  // An added tree replaces the trees it holds on its own file system.
  const mig::MountList fs = Mounts({"/", "/mnt/fs"});
  Trees trees{"/a/b", "/z", "/a/c", "/ab", "/mnt/fs/x", "/mnt/y"};
  EXPECT_TRUE(mig::AddTreeTo(&trees, fs, "/a"));
  for (const char* covered : {"/a/b/c", "/a/", "/a", "/mnt/y/q"})
    EXPECT_FALSE(mig::AddTreeTo(&trees, fs, covered)) << covered;
  EXPECT_TRUE(mig::AddTreeTo(&trees, fs, "/mnt"));  // /mnt/fs/x lies on another file system
  EXPECT_TRUE(mig::AddTreeTo(&trees, fs, "/mnt/fs/other"));
  EXPECT_FALSE(mig::AddTreeTo(&trees, fs, "/mnt/plain"));
  EXPECT_EQ(trees, (Trees{"/z", "/ab", "/mnt/fs/x", "/a", "/mnt", "/mnt/fs/other"}));
  EXPECT_FALSE(mig::DelTreeFrom(&trees, "/a/"));
  EXPECT_TRUE(mig::DelTreeFrom(&trees, "/a"));
  EXPECT_TRUE(mig::AddTreeTo(&trees, fs, "/"));
  EXPECT_EQ(trees, (Trees{"/mnt/fs/x", "/mnt/fs/other", "/"}));
}

class MigratedListTest : public ::testing::Test {
 protected:
  std::string List() const { return box_.results() + "/HSMMNTLIST"; }
  static void ExpectThrow(const std::function<void()>& f, const std::string& tag,
                          const std::string& message) {
    try {
      f();
      ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const KoException& e) {
      EXPECT_EQ(e.getMessage() + "|" + e.getFunction() + "|" + e.getFile() + "|" +
                    std::to_string(e.getCode()),
                message + "|TRHSMMigratedDirTrees::" + tag + "|TRHSMMigratedDirTrees|-1");
    }
  }

  trhsm_test::Sandbox box_{
      "[Machines/empty]\ndJOB_RESULTS_DIR=\n[Machines/nodir]\nsHOST_NAME=h\n",
      "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /data ext4 rw 0 0\nsrv:/x /data/nfs nfs rw 0 0\n"};
  trhsm_test::LogCapture log_;
};

TEST_F(MigratedListTest, RefusalsAndConstructionFailures) {
  const std::string ctor = "TRHSMMigratedDirTrees(bool, const char*)";
  const std::string noDir = "Failed to retrieve Velora Job Results directory for VM ";
  const std::string none = "A valid VM cname must be provided.";
  for (const auto& [held, name, message] :
       {std::tuple<bool, const char*, std::string>{false, nullptr, none},
        {true, "", none},
        {false, "nodir", noDir + "nodir from registry."},
        {true, "empty", noDir + "empty from registry."}})
    ExpectThrow([held = held, name = name] { TRHSMMigratedDirTrees t(held, name); }, ctor, message);
  WriteFile(List(), "1|/a|\n");
  TRHSMMigratedDirTrees t(false, "c1");
  const std::string bad = "Invalid tree path ", no = " cannot be recorded.";
  for (const auto& [path, message] : std::vector<std::pair<const char*, std::string>>{
           {"/x|y", bad + "/x|y: a path holding '|'" + no},
           {"", bad + ": an empty path" + no},
           {"/x\ny", bad + "/x\ny: a path holding a line feed" + no},
           {nullptr, "Invalid NULL tree path."}}) {
    ExpectThrow([&, p = path] { t.addTree(p); }, "addTree", message);
    ExpectThrow([&, p = path] { t.delTree(p); }, "delTree", message);
    ExpectThrow([&, p = path] { t._addTree(p); }, "_addTree", message);
  }
  EXPECT_EQ(ReadFile(List()), "1|/a|\n");
  box_.SetRegistry("[Machines/gone]\ndJOB_RESULTS_DIR=" + box_.File("missing") + "\n");
  ExpectThrow([] { TRHSMMigratedDirTrees held(true, "gone"); }, ctor,
              "Failed to lock file " + box_.File("missing") +
                  "/HSMMNTLIST.lock: No such file or directory");
  // The mount table is read first: it is what fails even without a client name.
  trhsm_test::ScopedEnv broken("KO_MOUNT_TABLE", box_.File("none"));
  ExpectThrow([] { TRHSMMigratedDirTrees held(false, nullptr); }, ctor,
              "KoMntTab::getAll failed, error=Cannot open mount table " + box_.File("none") +
                  ": No such file or directory");
}

TEST_F(MigratedListTest, BothModesQueryAndEditTheSameList) {
  WriteFile(List(), "1|/home|\n1|/|\n1|/data/nfs/x|\n1|/cut\n");
  for (bool held : {false, true}) {
    TRHSMMigratedDirTrees t(held, "c1");
    EXPECT_EQ(t.getDirList(), (Trees{"/home", "/", "/data/nfs/x"}));
    std::string tree = "unchanged", got;
    got += t.wasDirMigrated("/home/", &tree) ? "1" : "0";
    got += t.wasDirMigrated("/etc/x", nullptr) ? "1" : "0";
    for (const char* path :
         {"/data/x", static_cast<const char*>(nullptr), ""})  // "/" stops at /data
      got += t.wasDirMigrated(path, &tree) ? "1" : "0";
    for (const char* path : {"/data", "/data/nfs", static_cast<const char*>(nullptr), ""})
      got += t.wasAnySubDirMigrated(path) ? "1" : "0";
    EXPECT_EQ(got + tree, "110000100/home");
  }
  EXPECT_TRUE(log_.Contains("TRHSMMigratedDirTrees::loadList: " + List() +
                            ": line 4 dropped: record has no closing '|'"));
  WriteFile(List(), "");
  {
    TRHSMMigratedDirTrees held(true, "c1");
    for (const char* tree : {"/a/b", "/a", "/a/b/c", "/q", "/r"}) held.addTree(tree);
    held._addTree("/s"), held.delTree("/q/"), held.delTree("/r");
    EXPECT_EQ(held.getDirList(), (Trees{"/a", "/q", "/s"}));
    EXPECT_EQ(ReadFile(List()), "");  // written on destruction
  }
  EXPECT_EQ(ReadFile(List()), "1|/a|\n1|/q|\n1|/s|\n");
  TRHSMMigratedDirTrees t(false, "c1");
  t.addTree("/b"), t.delTree("/q");
  EXPECT_EQ(ReadFile(List()), "1|/a|\n1|/s|\n1|/b|\n");
  WriteFile(List(), "1|/other|\n");  // another writer's edit is seen by the next one
  t.addTree("/c");
  EXPECT_EQ(ReadFile(List()), "1|/other|\n1|/c|\n");
  struct stat before, after;  // edits that change nothing leave the file as it is
  ASSERT_EQ(::stat(List().c_str(), &before), 0);
  t.addTree("/c/d"), t.delTree("/nothing"), t._addTree("/memory/only");
  EXPECT_TRUE(::stat(List().c_str(), &after) == 0 && before.st_ino == after.st_ino);
  t.saveList();
  EXPECT_EQ(ReadFile(List()), "1|/other|\n1|/c|\n1|/memory/only|\n");
}

TEST_F(MigratedListTest, ListThatCannotBeReadOrWritten) {
  TRHSMMigratedDirTrees t(false, "c1");
  ASSERT_EQ(::mkdir(List().c_str(), 0777), 0);
  t._addTree("/kept/in/memory");
  ExpectThrow([&] { t.wasDirMigrated("/x", nullptr); }, "loadList",
              "Failed to read file " + List() + ": Is a directory");
  ASSERT_EQ(::rmdir(List().c_str()), 0);
  t.saveList();  // the failed load left no trees behind
  EXPECT_EQ(ReadFile(List()), "");
  ASSERT_TRUE(::unlink(List().c_str()) == 0 && ::symlink(List().c_str(), List().c_str()) == 0);
  ExpectThrow([] { TRHSMMigratedDirTrees held(true, "c1"); }, "loadList",
              "Failed to stat file " + List() + ": Too many levels of symbolic links");
  ASSERT_EQ(::unlink(List().c_str()), 0);
  WriteFile(List(), "1|/old|\n");
  ASSERT_EQ(::mkdir((List() + ".tmp").c_str(), 0777), 0);
  ExpectThrow([&] { t.addTree("/new"); }, "saveList",
              "Failed to open file " + List() + " for writing: Is a directory");
  {
    TRHSMMigratedDirTrees held(true, "c1");
    held.addTree("/lost");
  }  // held mode logs the failure of its save on destruction
  EXPECT_TRUE(
      log_.Contains("~TRHSMMigratedDirTrees: Failed to open file " + List() + " for writing"));
  EXPECT_EQ(ReadFile(List()), "1|/old|\n");
}

// A held object keeps other processes' edits waiting, and may end on another thread without
// waiting on its own lock (in a child, so that a save that hangs is killed and fails the test).
TEST_F(MigratedListTest, HeldObjectKeepsOtherProcessesWaitingAndMayEndOnAnotherThread) {
  auto held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
  held->addTree("/held");
  const int pid = trhsm_test::StartChild([] {
    TRHSMMigratedDirTrees(false, "c1").addTree("/child");
    return 0;
  });
  ASSERT_TRUE(trhsm_test::WaitForLockWaiter(List() + ".lock", 30000))
      << "the child's edit did not wait";
  EXPECT_EQ(ReadFile(List()), "");
  held.reset();
  EXPECT_EQ(trhsm_test::WaitChild(pid), 0);
  EXPECT_EQ(ReadFile(List()), "1|/held|\n1|/child|\n");
  EXPECT_EQ(trhsm_test::InChild([] {
              auto held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
              held->addTree("/from/main");
              std::thread([&] { held->addTree("/from/other"), held.reset(); }).join();
              return 0;
            }),
            0)
      << "the held object's save waited on its own lock";
  EXPECT_EQ(ReadFile(List()), "1|/held|\n1|/child|\n1|/from/main|\n1|/from/other|\n");
}

// Two threads and four processes add trees at once: every edit is in the list, once.
TEST_F(MigratedListTest, ThreadsAndProcessesEditingAtOnceLoseNothing) {
  auto work = [](const std::string& who) {
    TRHSMMigratedDirTrees t(false, "c1");
    for (int i = 0; i < 40; ++i) t.addTree(("/" + who + "/t" + std::to_string(i)).c_str());
    return 0;
  };
  std::vector<int> children;
  for (int p = 0; p < 4; ++p)
    children.push_back(trhsm_test::StartChild([&] { return work("p" + std::to_string(p)); }));
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) threads.emplace_back([&, t] { work("t" + std::to_string(t)); });
  for (int pid : children) EXPECT_EQ(trhsm_test::WaitChild(pid, 120000), 0);
  for (std::thread& t : threads) t.join();
  const std::string text = ReadFile(List());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 240);
  for (const std::string who : {"p0", "p1", "p2", "p3", "t0", "t1"}) {
    for (int i = 0; i < 40; ++i)
      EXPECT_PRED2(trhsm_test::Contains, "\n" + text,
                   "\n1|/" + who + "/t" + std::to_string(i) + "|\n");
  }
}

}  // namespace
