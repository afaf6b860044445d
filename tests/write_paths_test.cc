// Every write path of the library, one row each, run under the same faults and checked the same
// way: the N-th open, write, fsync, close, rename or read failing (ENOSPC, EIO, EINTR; once and
// sticky), the N-th allocation failing, a real full disk, and a link, dangling link, hard link,
// FIFO or another user's file planted at each name it writes. Every time: a reported failure
// leaves the old file whole, a success the new one, no temporary file stays, no descriptor leaks,
// and nothing outside the folder is written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
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

// What a row does besides the common case.
enum Trait {
  kNoResult = 1,        // the failure file's writes report nothing
  kRetries = 2,         // an interrupted open, read or write is retried
  kFifoReplaced = 4,    // a FIFO at the target is replaced (or refused)
  kRefusesPlanted = 8,  // an entry planted at the target is refused as it is
  kOomLeaks = 16,       // known, left to its owner: leaks a descriptor when an allocation fails
};
// One write path: `target` (in the results folder) holds `before` ("" for no file) until run()
// (true: it reported success) replaces it by `after`; prepare() puts the old state back besides.
struct WritePath {
  std::string target, before, after;
  std::vector<std::string> plants;  // names where hostile mode plants (none: another row's)
  std::function<bool()> run;
  int traits = 0;
  std::string noCalls = "";  // operations it never makes: their faults are skipped
  // With an entry planted at the target, what the new file holds ("": it is kept as an earlier
  // run's result).
  std::string written = "=after";
  std::function<void()> prepare = [] {};
};

const char* const kRows[] = {"CollectWriter", "StubListConversion", "IndexQuery",
                             "TreeListAdd",   "TreeListDelete",     "TreeListHeldSave",
                             "RestartFile",   "ArchiveAppend",      "ArchiveTakeBack",
                             "FailureFile"};  // the last reports no result
const auto kResultRows = ::testing::ValuesIn(std::begin(kRows), std::end(kRows) - 1);

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
    return {"stub.lst", "/old\n", "/a\n/b\n", {"stub.lst"}, run, kOomLeaks};
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
    return {"dbStubList_12.kof", "", after, {"dbStubList_12.kof"}, run, kOomLeaks, "", ""};
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
    // A deletion that changes nothing writes nothing.
    return {list,
            add ? "1|/old|\n" : "1|/keep|\n1|/gone|\n",
            add ? "1|/old|\n1|/new|\n" : "1|/keep|\n",
            {list, list + ".tmp", list + ".lock"},
            run,
            kRetries | kOomLeaks,
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
    return {"12.restart", " -r 5000", " -r 6000", {"12.restart"}, run, kFifoReplaced};
  }
  if (name == "TreeListHeldSave") {
    // Held mode saves on request and again on destruction, which prepare() brings about outside
    // the run; the old list is put back after it.
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
  // An archive grows in place: `before` holds an old copy, `after` also the whole new copy (its
  // header depends on nothing but the unchanged source), as appended here once; a take-back the
  // other way round. The new copy outgrows a full disk's last page.
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

template <typename Param>
class WritePathTest : public ::testing::TestWithParam<Param> {
 protected:
  void SetUpRow(const std::string& name) { row_ = MakeRow(box_, name, &keep_); }
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

struct FaultCase {
  std::string op;
  int err;
  bool sticky;
};
std::string Describe(const FaultCase& c) {
  return c.op +
         (c.err == ENOSPC ? " ENOSPC"
          : c.err == EIO  ? " EIO"
                          : " EINTR") +
         (c.sticky ? " sticky" : " once");
}

// Each of open, write, fsync, close and rename fails with ENOSPC and EIO, once and sticky; open,
// write, fsync and read are interrupted (EINTR) once. For each and n = 1, 2, ...: the n-th call of
// the kind fails, until a run in which it no longer fires (which must succeed); every run checked,
// and no descriptor may leak.
const char* const kOps[] = {"open", "write", "fsync", "close", "rename", "read"};
using WritePathFaults = WritePathTest<std::tuple<const char*, const char*>>;
TEST_P(WritePathFaults, OldFileOrNewFileWhole) {
  SetUpRow(std::get<0>(GetParam()));
  const std::string op = std::get<1>(GetParam()), folder = box_.results();
  if (row_.noCalls.find(op) != std::string::npos) GTEST_SKIP() << "makes no " << op;
  std::vector<FaultCase> cases;
  for (int err : {ENOSPC, EIO})
    for (bool sticky : {false, true})
      if (op != "read") cases.push_back({op, err, sticky});
  if (op != "close" && op != "rename") cases.push_back({op, EINTR, false});
  for (const FaultCase& c : cases) {
    const bool interrupted = c.err == EINTR;
    long n = 1;
    for (bool fired = true; fired && !HasFatalFailure(); ++n) {
      ASSERT_LE(n, 500) << "still failing";
      SCOPED_TRACE(Describe(c) + " at call " + std::to_string(n));
      Prepare();
      const int fds = trhsm_open_fd_count();
      trhsm_fault_arm(op.c_str(), n, c.err, c.sticky);
      const bool ok = RunRow();
      fired = trhsm_fault_fired() != 0;
      const std::string path = trhsm_fault_fired_path(), where = "fault on " + path;
      trhsm_fault_disarm();
      EXPECT_EQ(trhsm_open_fd_count(), fds) << "descriptor leaked";
      EXPECT_TRUE(fired || ok) << "failed without a fault";
      // Must fail: a fault on a file in the folder, but not a failed close of a descriptor only
      // read or locked (nothing written through it can be lost), nor a failed read (a line count
      // of the finished file), nor an interrupted call but fsync (the list file's own I/O retries
      // them, stdio reports them; the pages of an interrupted fsync may be lost).
      const bool inside = path.compare(0, folder.size(), folder) == 0 &&
                          (path.size() == folder.size() || path[folder.size()] == '/');
      const bool must = inside && (op != "close" || path.find(".tmp") != std::string::npos) &&
                        op != "read" && (!interrupted || op == "fsync");
      EXPECT_FALSE(fired && must && ok) << where << ": success reported";
      EXPECT_FALSE(fired && interrupted && Has(kRetries) && op != "fsync" && !ok)
          << where << ": an interrupted call was not retried";
      // A fault on the folder's sync or a read of the finished file comes after the rename.
      ExpectWhole(ok, path == folder || path == Target(), where);
    }
    EXPECT_TRUE(interrupted || n > 2) << Describe(c) << ": the fault never fired";
  }
}
INSTANTIATE_TEST_SUITE_P(All, WritePathFaults,
                         ::testing::Combine(kResultRows, ::testing::ValuesIn(kOps)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param);
                         });

using WritePathRows = WritePathTest<const char*>;
TEST_P(WritePathRows, OutOfMemoryAtEveryAllocation) {
  SetUpRow(GetParam());
  if (Has(kOomLeaks)) GTEST_SKIP() << "leaks a descriptor when an allocation fails";
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
    ExpectWhole(ok, Has(kNoResult) || !ok, "allocation " + std::to_string(n));
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
            ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755"))
          return 77;
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
    // A planted temporary or list name is replaced; only the lock file may refuse, and an archive
    // refuses whatever is planted at its name.
    const bool refuses = Has(kRefusesPlanted);
    EXPECT_TRUE(code == int{refuses} || name.find(".lock") != std::string::npos) << code;
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
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param);
                         });

}  // namespace
