// Every write path of the library, one row each, run under the same faults and checked the same
// way: the N-th open, write, fsync, close, rename or read failing (ENOSPC, EIO, EINTR; once and
// sticky), the N-th allocation failing, a real full disk, and a link, hard link, FIFO or another
// user's file planted at each name it writes. Every time: a reported failure leaves the old file
// whole, a success leaves the new one whole, no temporary file stays, no descriptor leaks, and
// nothing outside the folder is written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/backup_index.h"
#include "testing/alloc_fault.h"
#include "testing/fault_sweep.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::FaultCase;
using trhsm_test::FaultRun;
using trhsm_test::ReadFile;
using trhsm_test::Sandbox;
using trhsm_test::ScopedEnv;
using trhsm_test::WriteFile;

// One write path: `target` (in the sandbox's results folder) holds `before` ("" for no file)
// until run() replaces it by `after`; prepare() puts the old state back before each run.
struct WritePath {
  std::string target;
  std::string before;
  std::string after;
  std::function<bool()> run;              // true when it reported success
  std::function<void()> prepare = [] {};  // besides writing `before`
  std::vector<std::string> plants;        // names where hostile mode plants
  bool reportsResult = true;              // false: hostile mode only
  bool retriesInterrupted = false;        // an interrupted open, read or write is retried
  bool fifoReplaced = false;              // a FIFO at the target is replaced, not written
  std::string written = "=after";         // with an entry planted at the target: what the new
                                          // file holds ("" when it need not be written)
  bool oomSafe = true;                    // see the out-of-memory test
};

bool Succeeds(const std::function<void()>& body) {
  try {
    body();
    return true;
  } catch (const KoException&) {
    return false;
  }
}

bool WriteCollectFile(const std::string& path, const std::vector<std::string>& names) {
  CollectFile writer;
  if (writer.Initialize(path) != 1) return false;
  writer.SetSeperator('|');
  bool ok = true;
  long time = 1;
  for (std::string name : names) ok = writer.AddToCollectFile(&name[0], false, true, time++) && ok;
  return writer.DeInitialize() == 1 && ok;
}

WritePath Row(std::string target, std::string before, std::string after, std::function<bool()> run,
              std::vector<std::string> plants = {}) {
  WritePath row;
  row.target = std::move(target);
  row.before = std::move(before);
  row.after = std::move(after);
  row.run = std::move(run);
  row.plants = std::move(plants);
  return row;
}

// The row `name`, made in `box` (state that must outlive a run is kept in `keep`).
WritePath MakeRow(const Sandbox& box, const std::string& name,
                  std::vector<std::shared_ptr<void>>* keep) {
  const std::string results = box.results();
  auto args = std::make_shared<TRHSM_CMDLINE_ARGS>();
  args->collectFolder = results + "/";
  args->jobId = 12;
  auto events = std::make_shared<EvEvent>();
  keep->push_back(args);
  keep->push_back(events);

  if (name == "CollectWriter") {
    // Enough text to take the stream through several buffer flushes.
    const std::string big(300000, 'b');
    WritePath row = Row("dbStubList_7.kof", "|/old|1|\n", "|/a|1|\n|" + big + "|2|\n",
                        [=] {
                          return WriteCollectFile(results + "/dbStubList_7.kof", {"/a", big});
                        },
                        {"dbStubList_7.kof"});
    row.oomSafe = false;
    return row;
  }
  if (name == "StubListConversion") {
    const std::string in = box.File("in.kof");
    WriteFile(in, "|/a:1|1|\n|/b:2|2|\n");
    WritePath row = Row("stub.lst", "/old\n", "/a\n/b\n",
                        [=] {
                          TRHSMCollectFileDBReader reader(*args, *events, true, "", 0);
                          std::string from = in, to = results + "/stub.lst";
                          return reader.ProcessStubCollectFile(from, to) == 1;
                        },
                        {"stub.lst"});
    row.oomSafe = false;
    return row;
  }
  if (name == "IndexQuery") {
    std::vector<trhsm::platform::BackupItem> items(2000);
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].jobId = 12;
      items[i].archGroupId = 7;
      items[i].fileSize = 100;
      items[i].inode = 4711;
      items[i].fullFileName = "/data/file" + std::to_string(i) + std::string(600, 'x');
    }
    auto dir = std::make_shared<trhsm_test::ScratchDir>();
    keep->push_back(dir);
    keep->push_back(std::make_shared<trhsm_test::RegisteredIndex>(*dir, items));
    auto query = [=] {
      TRHSMCollectFileDBReader reader(*args, *events, false, "dbStubList", 0);
      return reader.Initialize() == 1;
    };
    EXPECT_TRUE(query());
    WritePath row = Row("dbStubList_12.kof", "", ReadFile(results + "/dbStubList_12.kof"), query,
                        {"dbStubList_12.kof"});
    EXPECT_GT(row.after.size(), size_t{1} << 20);  // several flushes of the query's buffer
    row.written = "";  // an entry at the output is an earlier run's finished result: kept
    row.oomSafe = false;
    return row;
  }
  if (name == "FailureFile") {
    WritePath row = Row("failures", "", "skipped /a\n",
                        [=] {
                          TRHSMCollectFileDBReader reader(*args, *events, true, "", 0);
                          std::string path = results + "/failures";
                          reader.SetFailureFile(path);
                          reader.WriteToFailures("skipped /a");
                          return true;
                        },
                        {"failures"});
    row.reportsResult = false;
    row.fifoReplaced = true;
    return row;
  }
  const std::vector<std::string> listNames = {"HSMMNTLIST", "HSMMNTLIST.tmp", "HSMMNTLIST.lock"};
  if (name == "TreeListAdd" || name == "TreeListDelete") {
    const bool add = name == "TreeListAdd";
    WritePath row = Row(
        "HSMMNTLIST", add ? "1|/old|\n" : "1|/keep|\n1|/gone|\n",
        add ? "1|/old|\n1|/new|\n" : "1|/keep|\n",
        [add] {
          TRHSMMigratedDirTrees trees(false, "c1");
          return Succeeds([&] {
            if (add) {
              trees.addTree("/new");
            } else {
              trees.delTree("/gone");
            }
          });
        },
        listNames);
    row.retriesInterrupted = true;
    row.written = add ? "1|/new|\n" : "";  // a deletion that changes nothing writes nothing
    row.oomSafe = false;
    return row;
  }
  // TreeListHeldSave: held mode saves on request and again on destruction, which prepare()
  // brings about outside the run; the old list is put back after it.
  auto held = std::make_shared<std::unique_ptr<TRHSMMigratedDirTrees>>();
  keep->push_back(held);
  WritePath row = Row("HSMMNTLIST", "1|/old|\n", "1|/new|\n",
                      [=] { return Succeeds([&] { (*held)->saveList(); }); });
  row.prepare = [=] {
    held->reset();
    WriteFile(results + "/HSMMNTLIST", "1|/old|\n");
    *held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
    (*held)->addTree("/new");
    (*held)->delTree("/old");
  };
  return row;
}

const char* const kRowNames[] = {"CollectWriter",   "StubListConversion", "IndexQuery",
                                 "FailureFile",     "TreeListAdd",        "TreeListDelete",
                                 "TreeListHeldSave"};

// The rows whose run reports a result (the failure file's writes report none).
const char* const kResultRowNames[] = {"CollectWriter", "StubListConversion", "IndexQuery",
                                       "TreeListAdd",   "TreeListDelete",     "TreeListHeldSave"};

class WritePathTest {
 protected:
  void SetUpRow(const std::string& name) { row_ = MakeRow(box_, name, &keep_); }
  // The row's run; a KoException is how the library reports a failure too.
  bool RunRow() {
    try {
      return row_.run();
    } catch (const KoException&) {
      return false;
    }
  }
  std::string Target() const { return box_.results() + "/" + row_.target; }
  void Prepare() {
    if (row_.before.empty()) {
      ::unlink(Target().c_str());
    } else {
      WriteFile(Target(), row_.before);
    }
    row_.prepare();
  }
  // Whole old or whole new as the result says (`either`: a fault after the new file was in
  // place may report failure), and nothing left behind.
  void ExpectWhole(bool succeeded, bool either, const std::string& where) {
    const std::string now = ReadFile(Target());
    if (succeeded) {
      EXPECT_TRUE(now == row_.after) << where << ": success without the whole new file";
    } else if (either) {
      EXPECT_TRUE(now == row_.before || now == row_.after) << where << ": cut file";
    } else {
      EXPECT_TRUE(now == row_.before) << where << ": failure did not keep the old file";
    }
    for (const std::string& name : trhsm_test::ListFolder(box_.results())) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << where << ": left behind: " << name;
    }
  }

  ScopedEnv tmp_{"TMPDIR", trhsm_test::FastScratchRoot()};  // before the sandbox
  ScopedEnv log_{"KO_LOG_FILE", ""};  // standard error: outside the folder and the counts
  Sandbox box_;
  std::vector<std::shared_ptr<void>> keep_;
  WritePath row_;
};

std::vector<FaultCase> Faults() {
  std::vector<FaultCase> cases = trhsm_test::AllFaultCases();
  for (const char* op : {"open", "write", "fsync", "read"}) cases.push_back({op, EINTR, false});
  return cases;
}

class WritePathFaults : public WritePathTest,
                        public ::testing::TestWithParam<std::tuple<const char*, FaultCase>> {};

TEST_P(WritePathFaults, OldFileOrNewFileWhole) {
  const FaultCase fault = std::get<1>(GetParam());
  SetUpRow(std::get<0>(GetParam()));
  const bool interrupted = fault.err == EINTR;
  const long fired = trhsm_test::SweepFaults(
      fault, [&] { Prepare(); }, [&] { return RunRow(); },
      [&](const FaultRun& run) {
        const std::string where = "fault on " + run.firedPath;
        // A failed read of the finished file (a line count) may still report success.
        const bool must =
            trhsm_test::MustFail(fault, run, box_.results()) && std::string(fault.op) != "read";
        // An interrupted read or write is retried by the list file's own I/O; stdio streams
        // report it. An interrupted fsync is never retried: the pages may be lost.
        if (run.fired && interrupted && std::string(fault.op) == "fsync" && must) {
          EXPECT_FALSE(run.succeeded) << where;
        }
        if (run.fired && must && !interrupted) {
          EXPECT_FALSE(run.succeeded) << where;
        }
        if (run.fired && interrupted && row_.retriesInterrupted &&
            std::string(fault.op) != "fsync") {
          EXPECT_TRUE(run.succeeded) << where << ": an interrupted call was not retried";
        }
        // A fault on the folder's sync or a read of the finished file comes after the rename.
        const bool late = run.firedPath == box_.results() || run.firedPath == Target();
        ExpectWhole(run.succeeded, late, where);
      });
  if (!interrupted) {
    EXPECT_GT(fired, 0) << "the fault never fired";
  }
}

std::string FaultName(const ::testing::TestParamInfo<WritePathFaults::ParamType>& info) {
  const FaultCase& c = std::get<1>(info.param);
  const char* err = c.err == ENOSPC ? "ENOSPC" : c.err == EIO ? "EIO" : "EINTR";
  return std::string(std::get<0>(info.param)) + "_" + c.op + "_" + err +
         (c.sticky ? "_sticky" : "_once");
}
INSTANTIATE_TEST_SUITE_P(All, WritePathFaults,
                         ::testing::Combine(::testing::ValuesIn(kResultRowNames),
                                            ::testing::ValuesIn(Faults())),
                         FaultName);

class WritePathRows : public WritePathTest, public ::testing::TestWithParam<const char*> {};

TEST_P(WritePathRows, OutOfMemoryAtEveryAllocation) {
  SetUpRow(GetParam());
  // Known faults, left to their owners: a failed allocation leaks a descriptor in these rows (and
  // the collect writer's destructor then commits the lines written so far).
  if (!row_.oomSafe) GTEST_SKIP() << "leaks a descriptor when an allocation fails";
  for (long n = 1;; ++n) {
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
    if (HasFailure()) return;
  }
}

using WritePathFullDisk = WritePathRows;

TEST_P(WritePathFullDisk, KeepsTheOldFile) {
  SetUpRow(GetParam());
  const int code = trhsm_test::RunOnTinyFs(box_.results(), [&](const std::string& folder) {
    Prepare();
    const int fd = ::open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const std::string block(4096, 'f');
    while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    if (RunRow()) return 2;
    if (ReadFile(Target()) != row_.before) return 3;
    for (const std::string& name : trhsm_test::ListFolder(folder)) {
      if (name.find(".tmp") != std::string::npos) return 4;
    }
    return 0;
  });
  if (code == trhsm_test::kNoTinyFs) GTEST_SKIP() << "no private mount namespace (CAP_SYS_ADMIN)";
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(All, WritePathRows, ::testing::ValuesIn(kRowNames));
INSTANTIATE_TEST_SUITE_P(Results, WritePathFullDisk, ::testing::ValuesIn(kResultRowNames));

// What hostile mode plants at a name the row writes.
enum class Plant { kLink, kDanglingLink, kHardLink, kFifo, kOtherUsersFile };
const Plant kPlants[] = {Plant::kLink, Plant::kDanglingLink, Plant::kHardLink, Plant::kFifo,
                         Plant::kOtherUsersFile};

class WritePathHostile : public WritePathTest,
                         public ::testing::TestWithParam<std::tuple<const char*, Plant>> {};

TEST_P(WritePathHostile, NothingOutsideTheFolderIsWritten) {
  SetUpRow(std::get<0>(GetParam()));
  const Plant plant = std::get<1>(GetParam());
  if (plant == Plant::kOtherUsersFile && ::geteuid() != 0) GTEST_SKIP() << "chown needs root";
  if (row_.plants.empty()) GTEST_SKIP() << "writes the names of another row";
  trhsm_test::ScratchDir outside;
  const std::string victim = outside.File("victim"), dangling = outside.File("created");
  for (const std::string& name : row_.plants) {
    SCOPED_TRACE(name);
    // A FIFO at a collect file's name is an output that takes the lines as they come.
    if (plant == Plant::kFifo && name == row_.target && !row_.fifoReplaced) continue;
    const std::string at = box_.results() + "/" + name;
    WriteFile(victim, "precious\n");
    Prepare();
    ::unlink(at.c_str());
    int planted = 0;
    if (plant == Plant::kLink) planted = ::symlink(victim.c_str(), at.c_str());
    if (plant == Plant::kDanglingLink) planted = ::symlink(dangling.c_str(), at.c_str());
    if (plant == Plant::kHardLink) planted = ::link(victim.c_str(), at.c_str());
    if (plant == Plant::kFifo) planted = ::mkfifo(at.c_str(), 0666);
    if (plant == Plant::kOtherUsersFile) {
      WriteFile(at, "theirs\n");
      planted = ::chown(at.c_str(), 65534, 65534);
    }
    ASSERT_EQ(planted, 0) << std::strerror(errno);
    // In a child: a FIFO that blocks the writer fails the test instead of hanging it.
    const int code = trhsm_test::InChild([&] { return RunRow() ? 0 : 1; }, 20000);
    ASSERT_NE(code, -1) << "the write blocked or crashed";
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_NE(::access(dangling.c_str(), F_OK), 0) << "file created through a link";
    const bool lockName = name.find(".lock") != std::string::npos;
    // A planted temporary or list name is replaced; only the lock file may refuse.
    if (!lockName) {
      EXPECT_EQ(code, 0);
    }
    const std::string written = row_.written == "=after" ? row_.after : row_.written;
    if (at == Target() && written.empty()) {
      // Nothing to write, or the entry is taken as an earlier run's result; nothing outside.
    } else if (code == 0) {
      struct stat st;
      ASSERT_EQ(::lstat(Target().c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_nlink, 1u);
      EXPECT_EQ(st.st_uid, ::geteuid());
      // What was planted at the target is no old state: the new record is there all the same.
      EXPECT_PRED2(trhsm_test::Contains, ReadFile(Target()), at == Target() ? written : row_.after);
    } else {
      EXPECT_EQ(ReadFile(Target()), row_.before);
    }
    ::unlink(at.c_str());
  }
}

std::string HostileName(const ::testing::TestParamInfo<WritePathHostile::ParamType>& info) {
  const char* const plants[] = {"Link", "DanglingLink", "HardLink", "Fifo", "OtherUsersFile"};
  return std::string(std::get<0>(info.param)) + "_" +
         plants[static_cast<int>(std::get<1>(info.param))];
}
INSTANTIATE_TEST_SUITE_P(All, WritePathHostile,
                         ::testing::Combine(::testing::ValuesIn(kRowNames),
                                            ::testing::ValuesIn(kPlants)),
                         HostileName);

}  // namespace
