// trhsm-stubjob: the stubbing pass of one backup job. Each backed-up file whose archived copy
// still matches it is replaced, crash-safely, by a stub record that names the copy.
//   trhsm-stubjob [--collect-folder DIR] [--dry-run] [--verify] [--quiet] [--json] JOB OPTIONS...
// Exit status: 0 every item stubbed, already done or skipped; 1 an item refused or failed, or an
// error; 2 usage error. This file holds the run: configuration, job manager, the pass, the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "examples/stubjob/job_options.h"
#include "examples/stubjob/job_report.h"
#include "examples/stubjob/release_check.h"
#include "examples/stubjob/stub_replace.h"
#include "platform/archive.h"
#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "platform/job_journal_format.h"
#include "tools/report_text.h"
#include "trhsm/trhsm.h"

namespace {

using stubjob::Options;
using stubjob::Result;

constexpr int kUsageError = 2;
constexpr char kTag[] = "trhsm-stubjob";
constexpr char kCollectPrefix[] = "dbStubList";
// A group of stubs is made durable together (stub_replace.h): at most this many items, bytes of
// stubs or folders at a time, so that a slow disk never holds many files half done.
constexpr size_t kGroupFiles = 512;
constexpr uint64_t kGroupBytes = 8 << 20;
constexpr size_t kGroupFolders = 64;

// An item read, with its outcome.
struct Pending {
  std::string fileName;
  stubjob::Outcome outcome;
  long index;  // its place in the collect file, from 1
};

int Fail(const std::string& text) {
  std::fprintf(stderr, "trhsm-stubjob: %s\n", text.c_str());
  return 1;
}

std::string DefaultCollectFolder() {
  KOPI_Focus focus;
  const char* client = focus.getFocusClientName(false);
  if (client == nullptr || *client == '\0') return "";
  KOPI_CommClient comm;
  const char* dir = comm.getJobResultsDirectory(client);
  return dir == nullptr ? "" : dir;
}

// Empty when the configuration value `name` under `key` names an existing folder (a file when
// `file`); otherwise the line that says what to fix. `what` names the thing for the person.
std::string ConfiguredPathProblem(const char* key, const char* name, const char* what, bool file,
                                  std::string* path) {
  KOPlatformInfo info;
  const char* registry = std::getenv("KO_REGISTRY");
  const std::string where = std::string(" (") + name + " under [" + key + "] in " +
                            (registry == nullptr ? "the registry" : registry) + ")";
  if (info.getString(key, name, path) == 0 || path->empty()) {
    return std::string("no ") + what + " configured" + where;
  }
  struct stat st;
  if (::stat(path->c_str(), &st) != 0) {
    return std::string(what) + " " + *path + ": " + std::strerror(errno) + where;
  }
  if (file == S_ISDIR(st.st_mode)) {
    return std::string(what) + " " + *path + (file ? " is a folder" : " is not a folder") + where;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string problem;
  switch (stubjob::ParseOptions(argc, argv, &o, &problem)) {
    case stubjob::Parsed::kHelp:
      stubjob::PrintUsage(stdout);
      if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return Fail(std::string("cannot write standard output: ") + std::strerror(errno));
      }
      return 0;
    case stubjob::Parsed::kUsageError:
      std::fprintf(stderr, "trhsm-stubjob: %s (see trhsm-stubjob --help)\n", problem.c_str());
      return kUsageError;
    case stubjob::Parsed::kRun:
      break;
  }
  problem = trhsm_tools::RegistryProblem();
  if (!problem.empty()) return Fail(problem);
  auto args = std::make_unique<TRHSM_CMDLINE_ARGS>();
  if (ProcessCommandLineArguments(static_cast<int>(o.jobArgs.size()) - 1, o.jobArgs.data(),
                                  args.get()) != 0 ||
      args->jobId <= 0) {
    std::fprintf(stderr, "trhsm-stubjob: the job options cannot be read\n");
    return kUsageError;
  }
  if (o.collectFolder.empty()) o.collectFolder = DefaultCollectFolder();
  if (o.collectFolder.empty()) {
    return Fail("no collect folder (give --collect-folder, or dJOB_RESULTS_DIR of the client)");
  }
  if (o.collectFolder.back() != '/') o.collectFolder += '/';
  args->collectFolder = o.collectFolder;
  std::string archive;
  if (!trhsm::platform::ConfiguredArchiveRoot(&archive)) {
    return Fail(std::string("no archive root configured (") + trhsm::archive_format::kRootValue +
                " under [" + trhsm::archive_format::kRootKey + "])");
  }
  const std::string jobText = std::to_string(args->jobId);
  const std::string collectFile = o.collectFolder + kCollectPrefix + "_" + jobText + ".kof";
  std::string path;
  // The index is read only when no collect file of the job is there yet.
  if (::access(collectFile.c_str(), F_OK) != 0) {
    problem =
        ConfiguredPathProblem(trhsm::platform::kBackupIndexKey, trhsm::platform::kBackupIndexValue,
                              "backup index", true, &path);
    if (!problem.empty()) return Fail(problem);
  }
  if (!o.dryRun) {
    problem =
        ConfiguredPathProblem(trhsm::job_journal::kRegistryKey, trhsm::job_journal::kFolderValue,
                              "job-manager folder", false, &path);
    if (!problem.empty()) return Fail(problem);
  }
  KOPI_Focus focus;
  const char* focusName = focus.getFocusClientName(false);
  const std::string client = focusName == nullptr ? "" : focusName;

  EvEvent events;
  std::unique_ptr<HSMJobManager> jm;
  long restart = 0;
  if (!o.dryRun) {
    jm = std::make_unique<HSMJobManager>(args->jobId, "", "trhsm-stubjob", &events);
    if (jm->InitJobManager() != 1) return Fail("the job manager refused job " + jobText);
    restart = jm->getRestartOffset();
  }
  std::unique_ptr<TRHSMMigratedDirTrees> trees;
  if (!o.dryRun) {
    try {
      trees = std::make_unique<TRHSMMigratedDirTrees>(true, client.c_str());
    } catch (const KoException& e) {
      jm->NotifyJobManagerFailure(0);
      return Fail(std::string("cannot open the migrated tree list: ") + e.what());
    }
  }

  TRHSMPerfCounter perf;
  const unsigned long appType = GetAppNumberFromCommandLine(argc, argv);
  TRHSMCollectFileDBReader reader(*args, events, false, kCollectPrefix, appType);
  std::string failures = o.collectFolder + "stubjobFailures_" + jobText + ".txt";
  if (!o.dryRun) reader.SetFailureFile(failures);
  CTimeCounter* query = perf.GetCounter(TRHSMPerfCounter::DO_STUBBING_QUERY);
  query->Start();
  const bool opened = reader.Initialize() == 1 && reader.Open() == 1;
  query->Stop();
  if (!opened) {
    if (jm) jm->NotifyJobManagerFailure(0);
    return Fail("no items of job " + jobText + " to stub (no collect file " + collectFile +
                " could be made from the backup index; see the log)");
  }

  stubjob::JobReport report(o, CountLines(collectFile.c_str()));
  stubjob::StubGroup group(kGroupFiles, kGroupBytes, kGroupFolders);
  stubjob::ReleaseCheck check(o, archive, &perf, o.dryRun ? nullptr : &group);
  long index = 0;           // items read
  long offset = 0;          // restart offset: items before it are all finished
  bool settled = true;      // no item refused yet
  uint64_t untracked = 0;   // stubs whose tree could not be recorded
  uint64_t unreported = 0;  // items the job manager was not told about
  bool quit = false;
  HSMCollectFile item;
  std::string reparse, meta, status;
  unsigned long inode = 0;
  long long fileSize = 0;
  uint64_t stubbedSize = 0;  // bytes of the files stubbed in the group
  auto recordTree = [&](const std::string& fileName) {
    if (!trees) return;
    try {
      trees->addTree(stubjob::FolderOf(fileName).c_str());
    } catch (const KoException& e) {
      // The file is a stub already; only the tree record is missing, so say so and go on, but
      // do not end as if all was well: the list would deny a migrated tree.
      ++untracked;
      events.Error(kTag, "cannot record the tree of %s: %s", fileName.c_str(), e.what());
      report.Problem("cannot record the tree of " + fileName + ": " + e.what());
    }
  };
  // An item whose outcome is final: counted, reported, and covered by the offset when it and
  // every item before it are finished.
  auto settle = [&](const Pending& p) {
    const stubjob::Outcome& r = p.outcome;
    // The offset covers only the unbroken run of finished items, so that a restart never passes
    // over a file that was refused.
    if (r.result == Result::kRefused) {
      settled = false;
    } else if (settled) {
      offset = p.index;
    }
    report.Item(p.fileName, r);
    switch (r.result) {
      case Result::kStubbed:
        stubbedSize += r.size;
        recordTree(p.fileName);
        break;
      case Result::kDone:
        // A killed run may have stubbed the file without saving the tree list (it is saved at the
        // end of a pass), so a stub found here records its tree too; a recorded tree adds nothing.
        recordTree(p.fileName);
        break;
      case Result::kWould:
        break;
      case Result::kSkipped:
        if (jm && args->skipReportSwitch != 0) {
          const std::string line = p.fileName + " Stubbing : Skipped : " + r.reason;
          reader.WriteToFailures(line.c_str());
        }
        break;
      case Result::kRefused:
        if (jm) {
          if (jm->NotifyFailedFiles(1) != 1) {
            ++unreported;
            report.Problem("the job manager refused the failure of " + p.fileName);
          }
          const std::string line = p.fileName + " Stubbing : Failed : " + r.reason;
          reader.WriteToFailures(line.c_str());
        }
        events.Error(kTag, "%s: %s", p.fileName.c_str(), r.reason.c_str());
        break;
    }
    report.Progress(static_cast<uint64_t>(p.index));
  };
  // The items since the last commit, in order; a staged stub counts only once the group's
  // commit has made its rename durable.
  std::vector<Pending> pending;
  auto commit = [&] {
    if (!group.empty()) {
      CTimeCounter* replaceTimer = perf.GetCounter(TRHSMPerfCounter::REMOVE_FILE);
      replaceTimer->Start();
      const std::vector<stubjob::StubGroup::Done> done = group.Commit();
      replaceTimer->Stop();
      for (Pending& p : pending) {
        if (p.outcome.staged < 0) continue;
        const stubjob::StubGroup::Done& d = done[static_cast<size_t>(p.outcome.staged)];
        p.outcome.result = d.replaced && d.error.empty() ? Result::kStubbed : Result::kRefused;
        p.outcome.reason = d.error;
        p.outcome.freed = d.freed;
      }
    }
    for (const Pending& p : pending) settle(p);
    pending.clear();
    // The job manager learns the group's stubbed bytes in one call.
    if (stubbedSize > 0 && jm->UpdateTotalStubbedSize(stubbedSize, true) != 1) {
      ++unreported;
      report.Problem("the job manager refused the stubbed size of " + std::to_string(stubbedSize) +
                     " bytes");
    }
    stubbedSize = 0;
  };
  for (;;) {
    // Asked once a group: a quit request stops the job within one group of items.
    if (pending.empty() && jm && jm->CheckQuitFlag()) {
      quit = true;
      break;
    }
    const int rc = reader.GetItem(item, reparse, meta, inode, fileSize, status);
    if (rc == -1) continue;
    if (rc != 1) break;
    ++index;
    // Items up to the stored offset were finished by the run that stored it.
    if (index <= restart) {
      report.CountFinishedEarlier();
      offset = index;
      continue;
    }
    pending.push_back({item.fileName, check.Handle(item.fileName, reparse, inode), index});
    if (group.Full() || pending.size() >= kGroupFiles) commit();
  }
  commit();

  // The list is saved here and not only by its destructor, which can merely log a failure: the
  // run must not end as a success when the trees it stubbed in are not recorded.
  if (trees) {
    try {
      trees->saveList();
    } catch (const KoException& e) {
      ++untracked;
      events.Error(kTag, "cannot save the migrated tree list: %s", e.what());
      report.Problem(std::string("cannot save the migrated tree list: ") + e.what());
    }
  }
  // A rerun skips the items before the stored offset; while some tree is unrecorded it must meet
  // every stub again, so that it records the tree.
  if (untracked > 0) offset = 0;
  bool reported = true;
  if (jm) {
    // On a quit the phase ends unfinished (status 3) with the offset of the unbroken run of
    // finished items, so the rerun starts after them; later stubs it meets count as done.
    reported = jm->NotifyJobManagerPhaseSuccess(offset, quit) == 1;
    if (!reported) report.Problem("the job manager refused the phase end");
  }
  perf.LogAllPerformanceCounters(0);

  std::string timings;
  const TRHSMPerfCounter::TRHSMCounters shown[] = {TRHSMPerfCounter::DO_STUBBING_QUERY,
                                                   TRHSMPerfCounter::FILE_STAT,
                                                   TRHSMPerfCounter::REMOVE_FILE};
  const char* names[] = {"query", "stat", "replace"};
  for (size_t i = 0; i < 3; ++i) {
    timings += std::string("  ") + names[i] + ": " + perf.GetCounter(shown[i])->AsString() + "\n";
  }
  report.Summary(quit, timings);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return Fail(std::string("cannot write standard output: ") + std::strerror(errno));
  }
  return report.refused() > 0 || untracked > 0 || unreported > 0 || quit || !reported ? 1 : 0;
}
