// Every write path of the library, one row each, under the same faults and checks: the n-th open,
// write, fsync, close, rename or read failing (ENOSPC, EIO, EINTR; once and sticky), the n-th
// allocation failing, and a link, dangling link, hard link, FIFO or another user's file planted at
// each name it writes. A reported failure leaves the old file whole, a success the new one; no
// temporary stays, no descriptor leaks, nothing outside the folder is written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "collect/line_format.h"
#include "platform/archive.h"
#include "testing/alloc_fault.h"
#include "testing/fault_inject.h"
#include "testing/registered_index.h"
#include "testing/test_util.h"
#include "trhsm/KOJobClient.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::WriteFile;
using Appender = trhsm::platform::ArchiveAppender;

enum Trait {
  kNoResult = 1,        // the failure file's writes report nothing
  kRetries = 2,         // an interrupted open, read or write is retried
  kFifoReplaced = 4,    // a FIFO at the target is replaced (or refused)
  kRefusesPlanted = 8,  // an entry planted at the target is refused as it is
};
// One write path: `target` (in the results folder) holds `before` ("" for no file) until run()
// (true: it reported success) replaces it by `after`; prepare() puts the old state back besides.
struct WritePath {
  std::string target, before, after;
  std::vector<std::string> plants;  // names where hostile mode plants (none: another row's)
  std::function<bool()> run;
  int traits = 0;
  std::string noCalls = "";        // operations it never makes: their faults are skipped
  std::string written = "=after";  // with an entry planted at the target ("": kept as a result)
  std::function<void()> prepare = [] {};
};

const char* const kRows[] = {
    "CollectWriter",    "StubListConversion", "IndexQuery",    "TreeListAdd",     "TreeListDelete",
    "TreeListHeldSave", "RestartFile",        "ArchiveAppend", "ArchiveTakeBack", "FailureFile"};

bool Library(const std::function<void()>& body) {  // a KoException reports a failure
  try {
    return body(), true;
  } catch (const KoException&) {
    return false;
  }
}
bool Append(Appender* to, const std::string& source, int64_t* offset = nullptr) {
  std::string error;
  trhsm::platform::CopyHeader header;
  int64_t at = 0;
  return to->Append(source, offset ? offset : &at, &header, &error);
}

// The row `name`, made in `box`; `keep` holds what must outlive a run.
WritePath MakeRow(const trhsm_test::Sandbox& box, const std::string& name,
                  std::vector<std::shared_ptr<void>>* keep) {
  const std::string results = box.results(), list = "HSMMNTLIST";
  auto args = std::make_shared<TRHSM_CMDLINE_ARGS>();
  args->collectFolder = results + "/", args->jobId = 12;
  auto events = std::make_shared<EvEvent>();
  keep->insert(keep->end(), {args, events});
  const auto reader = [=](bool stub, const char* prefix) {
    return TRHSMCollectFileDBReader(*args, *events, stub, prefix, 0);
  };
  if (name == "CollectWriter") {
    const std::string big(300000, 'b');  // several buffer flushes
    const auto run = [=] {
      CollectFile writer;
      if (writer.Initialize(results + "/dbStubList_7.kof") != 1) return false;
      writer.SetSeperator('|');
      bool ok = true;
      long time = 1;
      const int firedBefore = trhsm_fault_fired();
      for (std::string n : {std::string("/a"), big})
        ok = writer.AddToCollectFile(&n[0], false, true, time++) && ok;
      // A write that fails while adding is reported by that add, not only at the end.
      EXPECT_FALSE(ok && trhsm_fault_fired() != firedBefore);
      return writer.DeInitialize() == 1 && ok;
    };
    return {"dbStubList_7.kof",   "|/old|1|\n", "|/a|1|\n|" + big + "|2|\n",
            {"dbStubList_7.kof"}, run,          0};
  }
  if (name == "StubListConversion") {
    WriteFile(box.File("in.kof"), "|/a:1|1|\n|/b:2|2|\n");
    const auto run = [=, from = box.File("in.kof")] {
      std::string in = from, to = results + "/stub.lst";
      return reader(true, "").ProcessStubCollectFile(in, to) == 1;
    };
    return {"stub.lst", "/old\n", "/a\n/b\n", {"stub.lst"}, run};
  }
  if (name == "IndexQuery") {  // output of several flushes of the query's buffer
    std::vector<trhsm::platform::BackupItem> items(450);
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].jobId = 12, items[i].archGroupId = 7, items[i].fileSize = 100, items[i].inode = 4711;
      items[i].fullFileName = "/data/file" + std::to_string(i) + std::string(600, 'x');
    }
    auto dir = std::make_shared<trhsm_test::ScratchDir>();
    keep->insert(keep->end(), {dir, std::make_shared<trhsm_test::RegisteredIndex>(*dir, items)});
    const auto run = [=] { return reader(false, "dbStubList").Initialize() == 1; };
    EXPECT_TRUE(run());
    const std::string after = ReadFile(results + "/dbStubList_12.kof");
    EXPECT_GT(after.size(), 4 * trhsm::collect_line::kWriterBufferSize);
    return {"dbStubList_12.kof", "", after, {"dbStubList_12.kof"}, run, 0, "", ""};
  }
  if (name == "FailureFile") {
    const auto run = [=] {
      auto r = reader(true, "");
      std::string path = results + "/failures";
      r.SetFailureFile(path);
      r.WriteToFailures("skipped /a");
      return true;
    };
    return {"failures", "", "skipped /a\n", {"failures"}, run, kNoResult | kFifoReplaced};
  }
  if (name == "TreeListAdd" || name == "TreeListDelete") {
    const bool add = name == "TreeListAdd";
    const auto run = [=] {
      TRHSMMigratedDirTrees trees(false, "c1");
      return Library([&] { add ? trees.addTree("/new") : trees.delTree("/gone"); });
    };
    return {list,
            add ? "1|/old|\n" : "1|/keep|\n1|/gone|\n",
            add ? "1|/old|\n1|/new|\n" : "1|/keep|\n",
            {list, list + ".tmp", list + ".lock"},
            run,
            kRetries,
            "",
            add ? "1|/new|\n" : ""};
  }
  if (name == "RestartFile") {
    box.SetRegistry("[Base]\ndJOB_MANAGER_DIR=" + results);  // each call journaled there too
    const auto run = [] {
      KOBkpJobClient job;
      return job.init("job", 12, 1, KOS_PLATFORM_LINUX, false, nullptr) &&
             job.concatPhaseParams(" -r 6000", KOJSCA_REPLACE);
    };
    return {"12.restart", " -r 5000", " -r 6000", {"12.restart", "12.journal"}, run, kFifoReplaced};
  }
  if (name == "TreeListHeldSave") {
    // Held mode saves on request and again on destruction, which prepare() does outside the run.
    auto held = std::make_shared<std::unique_ptr<TRHSMMigratedDirTrees>>();
    keep->push_back(held);
    const auto prepare = [=] {
      held->reset();
      WriteFile(results + "/" + list, "1|/old|\n");
      *held = std::make_unique<TRHSMMigratedDirTrees>(true, "c1");
      (*held)->addTree("/new"), (*held)->delTree("/old");
    };
    const auto run = [=] { return Library([&] { (*held)->saveList(); }); };
    return {list, "1|/old|\n", "1|/new|\n", {}, run, 0, "", "=after", prepare};
  }
  // An archive grows in place: `before` holds an old copy, `after` also the new copy (its header
  // depends on nothing but the unchanged source) as appended here once; a take-back the reverse.
  const std::string arc = results + "/3/1.arc", from = box.File("new");
  WriteFile(box.File("old"), "old copy\n"), WriteFile(from, std::string(20000, 'n'));
  Appender first(results, 3, 1);
  int64_t at = 0;
  EXPECT_TRUE(Append(&first, box.File("old")) && Append(&first, from, &at));
  const std::string old = ReadFile(arc).substr(0, at), grown = ReadFile(arc);
  if (name == "ArchiveAppend") {
    const auto run = [=] {
      Appender appender(results, 3, 1);
      return Append(&appender, from);
    };
    return {"3/1.arc", old, grown, {"3/1.arc"}, run, kRefusesPlanted | kFifoReplaced | kRetries,
            "rename"};
  }
  // ArchiveTakeBack: the appender cuts the file it holds open since its Append, made by prepare().
  auto held = std::make_shared<std::unique_ptr<Appender>>();
  keep->push_back(held);
  const auto prepare = [=] {
    held->reset(), WriteFile(arc, old);
    *held = std::make_unique<Appender>(results, 3, 1);
    EXPECT_TRUE(Append(held->get(), from));
  };
  const auto run = [=] {
    std::string error;
    return (*held)->TakeBack(at, &error);
  };
  // A name planted later is not its file.
  return {"3/1.arc", grown, old, {}, run, kRetries, "open write close rename", "=after", prepare};
}

using Param = std::tuple<const char*, const char*>;  // a row, and an op or a planted entry
class WritePathTest : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override { row_ = MakeRow(box_, std::get<0>(GetParam()), &keep_); }
  bool Has(int trait) const { return (row_.traits & trait) != 0; }
  bool RunRow() {
    bool ok = false;
    return Library([&] { ok = row_.run(); }) && ok;
  }
  std::string Target() const { return box_.results() + "/" + row_.target; }
  void Prepare() {
    ::mkdir(Target().substr(0, Target().rfind('/')).c_str(), 0755);  // a target in a subfolder
    row_.before.empty() ? (void)::unlink(Target().c_str()) : WriteFile(Target(), row_.before);
    row_.prepare();
  }
  // Whole old or new as the result says (`either`: also new after a failure), no temporary left.
  void ExpectWhole(bool succeeded, bool either, const std::string& where) {
    const std::string now = ReadFile(Target());
    EXPECT_TRUE(now == row_.after ? succeeded || either : now == row_.before && !succeeded)
        << where << (succeeded ? ": cut" : ": failure did not keep the old file");
    for (const std::string& name : trhsm_test::ListFolder(box_.results()))
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << where << ": left behind: " << name;
  }

  // Before the sandbox: a folder where fsync is cheap, for the long sweeps.
  const char* tmpdir_ = std::getenv("TMPDIR");
  trhsm_test::ScopedEnv tmp_{"TMPDIR", ::access("/dev/shm", W_OK | X_OK) == 0     ? "/dev/shm"
                                       : (tmpdir_ != nullptr && *tmpdir_ != '\0') ? tmpdir_
                                                                                  : "/tmp"};
  trhsm_test::ScopedEnv log_{"KO_LOG_FILE", ""};  // standard error: outside folder and counts
  trhsm_test::Sandbox box_;
  std::vector<std::shared_ptr<void>> keep_;
  WritePath row_;
};
std::string Name(const ::testing::TestParamInfo<Param>& info) {
  return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
}

// For each way to fail and n = 1, 2, ...: the n-th call of the kind fails (the n-th allocation for
// "alloc"), until a run in which it no longer fires (which must succeed).
const char* const kOps[] = {"open", "write", "fsync", "close", "rename", "read", "alloc"};
using WritePathFaults = WritePathTest;
TEST_P(WritePathFaults, OldFileOrNewFileWhole) {
  const std::string op = std::get<1>(GetParam()), folder = box_.results();
  if (row_.noCalls.find(op) != std::string::npos) GTEST_SKIP() << "makes no " << op;
  const bool io = op != "alloc", fails = io && op != "read";
  const bool interruptible = io && op != "close" && op != "rename";
  const std::tuple<int, bool, bool> cases[] = {{ENOSPC, false, fails},        {ENOSPC, true, fails},
                                               {EIO, false, fails},           {EIO, true, fails},
                                               {EINTR, false, interruptible}, {ENOMEM, false, !io}};
  for (const auto& [err, sticky, applies] : cases) {
    const bool interrupted = err == EINTR;
    const std::string what = op + " " + std::strerror(err) + (sticky ? " sticky" : " once");
    long n = 1;
    for (bool fired = true; applies && fired && !HasFatalFailure(); ++n) {
      ASSERT_LE(n, 20000) << "still failing";
      SCOPED_TRACE(what + " at call " + std::to_string(n));
      Prepare();
      const int fds = trhsm_open_fd_count();
      bool ok = false;
      {
        trhsm_test::ScopedAllocFault oom(io ? 0 : n);
        trhsm_fault_arm(op.c_str(), n, err, sticky);  // "alloc" arms nothing here
        try {
          ok = RunRow();
        } catch (const std::bad_alloc&) {
        }
        fired = oom.fired() || trhsm_fault_fired();
        trhsm_fault_disarm();
      }
      const std::string path = trhsm_fault_fired_path(), where = "fault on " + path;
      EXPECT_EQ(trhsm_open_fd_count(), fds) << "descriptor leaked";
      EXPECT_TRUE(fired || ok) << "failed without a fault";
      // Must fail: a fault on a file in the folder, but not a failed close of a descriptor only
      // read or locked, nor a failed read (of the finished file), nor an interrupted call but
      // fsync (the list file retries them, stdio reports them; an interrupted fsync may lose
      // pages).
      const bool inside = path.compare(0, folder.size(), folder) == 0 &&
                          (path.size() == folder.size() || path[folder.size()] == '/');
      const bool must = inside && (op != "close" || path.find(".tmp") != std::string::npos) &&
                        op != "read" && (!interrupted || op == "fsync");
      EXPECT_FALSE(fired && must && ok) << where << ": success reported";
      EXPECT_FALSE(fired && interrupted && Has(kRetries) && op != "fsync" && !ok)
          << where << ": an interrupted call was not retried";
      // A fault on the folder's sync or a read of the finished file comes after the rename.
      ExpectWhole(ok, !io || path == folder || path == Target(), where);
    }
    EXPECT_TRUE(!applies || interrupted || n > 2) << what << ": the fault never fired";
  }
}
INSTANTIATE_TEST_SUITE_P(All, WritePathFaults, ::testing::ValuesIn([] {
                           std::vector<Param> all;  // the failure file reports no I/O failure
                           for (const char* row : kRows)
                             for (const char* op : kOps)
                               if (std::string(row) != "FailureFile" || std::string(op) == "alloc")
                                 all.push_back({row, op});
                           return all;
                         }()),
                         Name);

const char* const kPlants[] = {"Link", "DanglingLink", "HardLink", "Fifo", "OtherUsersFile"};
using WritePathHostile = WritePathTest;
TEST_P(WritePathHostile, NothingOutsideTheFolderIsWritten) {
  const std::string plant = std::get<1>(GetParam());
  if (plant == "OtherUsersFile" && ::geteuid() != 0) GTEST_SKIP() << "chown needs root";
  if (row_.plants.empty()) GTEST_SKIP() << "writes the names of another row";
  trhsm_test::ScratchDir outside;
  const std::string victim = outside.File("victim"), dangling = outside.File("created");
  const std::string written = row_.written == "=after" ? row_.after : row_.written;
  for (const std::string& name : row_.plants) {
    SCOPED_TRACE(name);
    // A FIFO at a collect file's name is an output that takes the lines as they come.
    if (plant == "Fifo" && name == row_.target && !Has(kFifoReplaced)) continue;
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
    // A planted temporary or list name is replaced; only the lock file and the journal may refuse,
    // and an archive refuses whatever is planted at its name.
    const bool refuses = Has(kRefusesPlanted);
    EXPECT_TRUE(code == int{refuses} || name.find(".lock") != std::string::npos ||
                name.find(".journal") != std::string::npos)
        << code;
    if (refuses || (at == Target() && written.empty())) {
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
                         Name);

}  // namespace
