// Every write path of the library, one row each, run under the same faults and checked the same
// way: the N-th open, write, fsync, close, rename or read failing (ENOSPC, EIO, EINTR; once and
// sticky), the N-th allocation failing, a real full disk, and a link, dangling link, hard link,
// FIFO or another user's file planted at each name it writes. Every time: a reported failure
// leaves the old file whole, a success the new one, no temporary file stays, no descriptor leaks,
// and nothing outside the folder is written.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/backup_index.h"
#include "testing/alloc_fault.h"
#include "testing/fault_sweep.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/KOJobClient.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::FaultCase;
using trhsm_test::ReadFile;
using trhsm_test::WriteFile;

// One write path: `target` (in the results folder) holds `before` ("" for no file) until run()
// replaces it by `after`; prepare() puts the old state back before each run.
struct WritePath {
  std::string target, before, after;
  std::vector<std::string> plants;        // names where hostile mode plants (none: another row's)
  std::function<bool()> run = nullptr;    // true when it reported success
  std::function<void()> prepare = [] {};  // besides writing `before`
  bool reportsResult = true;              // false: the failure file's writes report nothing
  bool retriesInterrupted = false;        // an interrupted open, read or write is retried
  bool fifoReplaced = false;              // a FIFO at the target is replaced (or refused)
  bool refusesPlanted = false;            // an entry planted at the target is refused as it is
  std::string noCalls = "";               // operations it never makes: their faults are skipped
  std::string written = "=after";         // with an entry planted at the target, what the new file
                                          // holds ("": it is kept as an earlier run's result)
  // Known, left to its owner: what a failed allocation does wrong ("": nothing).
  std::string oomDefect = "leaks a descriptor when an allocation fails";
};

const char* const kRows[] = {"CollectWriter", "StubListConversion", "IndexQuery",
                             "TreeListAdd",   "TreeListDelete",     "TreeListHeldSave",
                             "RestartFile",   "ArchiveAppend",      "ArchiveTakeBack",
                             "FailureFile"};  // the last reports no result
const auto kResultRows = ::testing::ValuesIn(std::begin(kRows), std::end(kRows) - 1);

// The row `name`, made in `box`; `keep` holds what must outlive a run.
WritePath MakeRow(const trhsm_test::Sandbox& box, const std::string& name,
                  std::vector<std::shared_ptr<void>>* keep) {
  const std::string results = box.results();
  auto args = std::make_shared<TRHSM_CMDLINE_ARGS>();
  args->collectFolder = results + "/";
  args->jobId = 12;
  auto events = std::make_shared<EvEvent>();
  keep->insert(keep->end(), {args, events});
  const auto library = [](const std::function<void()>& body) {
    try {
      body();
      return true;
    } catch (const KoException&) {
      return false;
    }
  };
  WritePath row;
  if (name == "CollectWriter") {
    const std::string big(300000, 'b');  // several buffer flushes
    row = {"dbStubList_7.kof", "|/old|1|\n", "|/a|1|\n|" + big + "|2|\n", {"dbStubList_7.kof"}};
    row.run = [=] {
      CollectFile writer;
      if (writer.Initialize(results + "/dbStubList_7.kof") != 1) return false;
      writer.SetSeperator('|');
      bool ok = true;
      long time = 1;
      for (std::string n : {std::string("/a"), big})
        ok = writer.AddToCollectFile(&n[0], false, true, time++) && ok;
      return writer.DeInitialize() == 1 && ok;
    };
  } else if (name == "StubListConversion") {
    WriteFile(box.File("in.kof"), "|/a:1|1|\n|/b:2|2|\n");
    row = {"stub.lst", "/old\n", "/a\n/b\n", {"stub.lst"}};
    row.run = [=, from = box.File("in.kof")] {
      std::string in = from, to = results + "/stub.lst";
      return TRHSMCollectFileDBReader(*args, *events, true, "", 0).ProcessStubCollectFile(in, to) ==
             1;
    };
  } else if (name == "IndexQuery") {
    std::vector<trhsm::platform::BackupItem> items(2000);
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].jobId = 12, items[i].archGroupId = 7, items[i].fileSize = 100;
      items[i].inode = 4711;
      items[i].fullFileName = "/data/file" + std::to_string(i) + std::string(600, 'x');
    }
    auto dir = std::make_shared<trhsm_test::ScratchDir>();
    keep->insert(keep->end(), {dir, std::make_shared<trhsm_test::RegisteredIndex>(*dir, items)});
    row.run = [=] {
      return TRHSMCollectFileDBReader(*args, *events, false, "dbStubList", 0).Initialize() == 1;
    };
    EXPECT_TRUE(row.run());
    row = {"dbStubList_12.kof",
           "",
           ReadFile(results + "/dbStubList_12.kof"),
           {"dbStubList_12.kof"},
           row.run};
    EXPECT_GT(row.after.size(), size_t{1} << 20);  // several flushes of the query's buffer
    row.written = "";
  } else if (name == "FailureFile") {
    row = {"failures", "", "skipped /a\n", {"failures"}};
    row.run = [=] {
      TRHSMCollectFileDBReader reader(*args, *events, true, "", 0);
      std::string path = results + "/failures";
      reader.SetFailureFile(path);
      reader.WriteToFailures("skipped /a");
      return true;
    };
    row.reportsResult = false, row.fifoReplaced = true, row.oomDefect = "";
  } else if (name == "TreeListAdd" || name == "TreeListDelete") {
    const bool add = name == "TreeListAdd";
    row = {"HSMMNTLIST",
           add ? "1|/old|\n" : "1|/keep|\n1|/gone|\n",
           add ? "1|/old|\n1|/new|\n" : "1|/keep|\n",
           {"HSMMNTLIST", "HSMMNTLIST.tmp", "HSMMNTLIST.lock"}};
    row.run = [=] {
      TRHSMMigratedDirTrees trees(false, "c1");
      return library([&] { add ? trees.addTree("/new") : trees.delTree("/gone"); });
    };
    row.retriesInterrupted = true;
    row.written = add ? "1|/new|\n" : "";  // a deletion that changes nothing writes nothing
  } else if (name == "RestartFile") {
    box.SetRegistry("[Base]\ndJOB_MANAGER_DIR=" + results);  // each call journaled there too
    row = {"12.restart", " -r 5000", " -r 6000", {"12.restart"}};
    row.run = [] {
      KOBkpJobClient job;
      return job.init("job", 12, 1, KOS_PLATFORM_LINUX, false, nullptr) &&
             job.concatPhaseParams(" -r 6000", KOJSCA_REPLACE);
    };
    row.fifoReplaced = true, row.oomDefect = "";
  } else if (name == "ArchiveAppend" || name == "ArchiveTakeBack") {
    // An archive grows in place: `before` is the file holding an old copy, `after` those bytes and
    // the whole new copy (its header depends on nothing but the unchanged source), as appended
    // here once; a take-back the other way round. The new copy outgrows a full disk's last page.
    const std::string arc = results + "/3/1.arc", from = box.File("new");
    WriteFile(box.File("old"), "old copy\n"), WriteFile(from, std::string(20000, 'n'));
    const auto append = [](trhsm::platform::ArchiveAppender* to, const std::string& source,
                           int64_t* offset = nullptr) {
      std::string error;
      trhsm::platform::CopyHeader header;
      int64_t at = 0;
      return to->Append(source, offset ? offset : &at, &header, &error);
    };
    trhsm::platform::ArchiveAppender first(results, 3, 1);
    int64_t at = 0;
    EXPECT_TRUE(append(&first, box.File("old")) && append(&first, from, &at));
    row = {"3/1.arc", ReadFile(arc).substr(0, at), ReadFile(arc), {"3/1.arc"}};
    row.run = [=] {
      trhsm::platform::ArchiveAppender appender(results, 3, 1);
      return append(&appender, from);
    };
    row.refusesPlanted = row.fifoReplaced = row.retriesInterrupted = true;
    row.oomDefect = "";
    row.noCalls = "rename";
    if (name == "ArchiveTakeBack") {
      // The appender cuts the file it holds open since its Append, which prepare() makes.
      auto held = std::make_shared<std::unique_ptr<trhsm::platform::ArchiveAppender>>();
      keep->push_back(held);
      row = {"3/1.arc", row.after, row.before, {}};  // a name planted later is not its file
      row.run = [=] {
        std::string error;
        return (*held)->TakeBack(at, &error);
      };
      row.prepare = [=, old = row.after] {
        held->reset(), WriteFile(arc, old);
        *held = std::make_unique<trhsm::platform::ArchiveAppender>(results, 3, 1);
        EXPECT_TRUE(append(held->get(), from));
      };
      row.retriesInterrupted = true, row.oomDefect = "";
      row.noCalls = "open write close rename";
    }
  } else {
    // TreeListHeldSave: held mode saves on request and again on destruction, which prepare()
    // brings about outside the run; the old list is put back after it.
    auto held = std::make_shared<std::unique_ptr<TRHSMMigratedDirTrees>>();
    keep->push_back(held);
    row = {"HSMMNTLIST", "1|/old|\n", "1|/new|\n", {}};
    row.run = [=] { return library([&] { (*held)->saveList(); }); };
    row.prepare = [=] {
      held->reset();
      WriteFile(results + "/HSMMNTLIST", "1|/old|\n");
      *held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
      (*held)->addTree("/new");
      (*held)->delTree("/old");
    };
    row.oomDefect = "";
  }
  return row;
}

template <typename Param>
class WritePathTest : public ::testing::TestWithParam<Param> {
 protected:
  void SetUpRow(const std::string& name) { row_ = MakeRow(box_, name, &keep_); }
  bool RunRow() {  // a KoException is how the library reports a failure too
    try {
      return row_.run();
    } catch (const KoException&) {
      return false;
    }
  }
  std::string Target() const { return box_.results() + "/" + row_.target; }
  void Prepare() {
    ::mkdir(Target().substr(0, Target().rfind('/')).c_str(), 0755);  // a target in a subfolder
    row_.before.empty() ? (void)::unlink(Target().c_str()) : WriteFile(Target(), row_.before);
    row_.prepare();
  }
  // Whole old or whole new as the result says (`either`: a fault after the new file was in place
  // may report failure), and no temporary left behind.
  void ExpectWhole(bool succeeded, bool either, const std::string& where) {
    const std::string now = ReadFile(Target());
    if (succeeded || either) {
      EXPECT_TRUE(now == row_.after || (!succeeded && now == row_.before)) << where << ": cut";
    } else {
      EXPECT_TRUE(now == row_.before) << where << ": failure did not keep the old file";
    }
    for (const std::string& name : trhsm_test::ListFolder(box_.results()))
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << where << ": left behind: " << name;
  }

  trhsm_test::ScopedEnv tmp_{"TMPDIR", trhsm_test::FastScratchRoot()};  // before the sandbox
  trhsm_test::ScopedEnv log_{"KO_LOG_FILE", ""};  // standard error: outside folder and counts
  trhsm_test::Sandbox box_;
  std::vector<std::shared_ptr<void>> keep_;
  WritePath row_;
};

std::vector<FaultCase> Faults() {
  std::vector<FaultCase> cases = trhsm_test::AllFaultCases();
  for (const char* op : {"open", "write", "fsync", "read"}) cases.push_back({op, EINTR, false});
  return cases;
}

using WritePathFaults = WritePathTest<std::tuple<const char*, FaultCase>>;
TEST_P(WritePathFaults, OldFileOrNewFileWhole) {
  const FaultCase fault = std::get<1>(GetParam());
  SetUpRow(std::get<0>(GetParam()));
  if (row_.noCalls.find(fault.op) != std::string::npos) GTEST_SKIP() << "makes no " << fault.op;
  const bool interrupted = fault.err == EINTR, fsync = std::string(fault.op) == "fsync";
  const long fired = trhsm_test::SweepFaults(
      fault, [&] { Prepare(); }, [&] { return RunRow(); },
      [&](const trhsm_test::FaultRun& run) {
        const std::string where = "fault on " + run.firedPath;
        // A failed read of the finished file (a line count) may still report success; an
        // interrupted read or write is retried by the list file's own I/O (stdio reports it), an
        // interrupted fsync never: the pages may be lost.
        const bool must = trhsm_test::MustFail(fault, run, box_.results()) &&
                          std::string(fault.op) != "read" && (!interrupted || fsync);
        EXPECT_FALSE(run.fired && must && run.succeeded) << where << ": success reported";
        EXPECT_FALSE(run.fired && interrupted && row_.retriesInterrupted && !fsync &&
                     !run.succeeded)
            << where << ": an interrupted call was not retried";
        // A fault on the folder's sync or a read of the finished file comes after the rename.
        ExpectWhole(run.succeeded, run.firedPath == box_.results() || run.firedPath == Target(),
                    where);
      });
  EXPECT_TRUE(interrupted || fired > 0) << "the fault never fired";
}
INSTANTIATE_TEST_SUITE_P(All, WritePathFaults,
                         ::testing::Combine(kResultRows, ::testing::ValuesIn(Faults())),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param)) + " " +
                                              trhsm_test::Describe(std::get<1>(info.param));
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

using WritePathRows = WritePathTest<const char*>;
TEST_P(WritePathRows, OutOfMemoryAtEveryAllocation) {
  SetUpRow(GetParam());
  if (!row_.oomDefect.empty()) GTEST_SKIP() << row_.oomDefect;
  for (long n = 1; !HasFailure(); ++n) {
    ASSERT_LT(n, 20000) << "still failing";
    Prepare();
    const int fds = trhsm_open_fd_count();
    bool ok = false, fired = false;
    {
      trhsm_test::ScopedAllocFault fault(n);
      try {
        ok = RunRow();
      } catch (const std::bad_alloc&) {
      }
      fired = fault.fired();
    }
    EXPECT_EQ(trhsm_open_fd_count(), fds) << "allocation " << n;
    ExpectWhole(ok, !row_.reportsResult || !ok, "allocation " + std::to_string(n));
    if (!fired) break;
  }
}
INSTANTIATE_TEST_SUITE_P(All, WritePathRows, ::testing::ValuesIn(kRows));

// In a child with a mount namespace of its own and a 64 KiB memory file system on the results
// folder, filled: writes there meet a real ENOSPC.
using WritePathFullDisk = WritePathRows;
TEST_P(WritePathFullDisk, KeepsTheOldFile) {
  SetUpRow(GetParam());
  if (row_.noCalls.find("write") != std::string::npos) GTEST_SKIP() << "writes nothing";
  const std::string folder = box_.results();
  const int code = trhsm_test::InChild(
      [&] {
        // Private propagation first, or the mount would show in the parent's namespace too.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, 0) ||
            ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755")) {
          return 77;
        }
        Prepare();
        const int fd = ::open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const std::string block(4096, 'f');
        while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
        if (RunRow()) return 2;
        if (ReadFile(Target()) != row_.before) return 3;
        for (const std::string& name : trhsm_test::ListFolder(folder))
          if (name.find(".tmp") != std::string::npos) return 4;
        return 0;
      },
      120000);
  if (code == 77) GTEST_SKIP() << "no private mount namespace (CAP_SYS_ADMIN)";
  EXPECT_EQ(code, 0);
}
INSTANTIATE_TEST_SUITE_P(Results, WritePathFullDisk, kResultRows);

const char* const kPlants[] = {"Link", "DanglingLink", "HardLink", "Fifo", "OtherUsersFile"};
using WritePathHostile = WritePathTest<std::tuple<const char*, const char*>>;
TEST_P(WritePathHostile, NothingOutsideTheFolderIsWritten) {
  SetUpRow(std::get<0>(GetParam()));
  const std::string plant = std::get<1>(GetParam());
  if (plant == "OtherUsersFile" && ::geteuid() != 0) GTEST_SKIP() << "chown needs root";
  if (row_.plants.empty()) GTEST_SKIP() << "writes the names of another row";
  trhsm_test::ScratchDir outside;
  const std::string victim = outside.File("victim"), dangling = outside.File("created");
  const std::string written = row_.written == "=after" ? row_.after : row_.written;
  for (const std::string& name : row_.plants) {
    SCOPED_TRACE(name);
    // A FIFO at a collect file's name is an output that takes the lines as they come.
    if (plant == "Fifo" && name == row_.target && !row_.fifoReplaced) continue;
    const std::string at = box_.results() + "/" + name;
    WriteFile(victim, "precious\n");
    Prepare();
    ::unlink(at.c_str());
    int planted = plant == "Link"           ? ::symlink(victim.c_str(), at.c_str())
                  : plant == "DanglingLink" ? ::symlink(dangling.c_str(), at.c_str())
                  : plant == "HardLink"     ? ::link(victim.c_str(), at.c_str())
                  : plant == "Fifo"
                      ? ::mkfifo(at.c_str(), 0666)
                      : (WriteFile(at, "theirs\n"), ::chown(at.c_str(), 65534, 65534));
    ASSERT_EQ(planted, 0) << std::strerror(errno);
    // In a child: a FIFO that blocks the writer fails the test instead of hanging it.
    const int code = trhsm_test::InChild([&] { return RunRow() ? 0 : 1; }, 20000);
    ASSERT_NE(code, -1) << "the write blocked or crashed";
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0) << "file created through a link";
    // A planted temporary or list name is replaced; only the lock file may refuse, and an archive
    // refuses whatever is planted at its name.
    EXPECT_TRUE(code == int{row_.refusesPlanted} || name.find(".lock") != std::string::npos)
        << code;
    if (row_.refusesPlanted || (at == Target() && written.empty())) {
      // Refused, nothing to write, or the entry taken as an earlier run's result; nothing outside.
    } else if (code == 0) {
      struct stat st;
      ASSERT_EQ(::lstat(Target().c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1u && st.st_uid == ::geteuid());
      // What was planted at the target is no old state: the new record is there all the same.
      EXPECT_PRED2(trhsm_test::Contains, ReadFile(Target()), at == Target() ? written : row_.after);
    } else {
      EXPECT_EQ(ReadFile(Target()), row_.before);
    }
    ::unlink(at.c_str());
  }
}
INSTANTIATE_TEST_SUITE_P(All, WritePathHostile,
                         ::testing::Combine(::testing::ValuesIn(kRows),
                                            ::testing::ValuesIn(kPlants)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param);
                         });

}  // namespace
