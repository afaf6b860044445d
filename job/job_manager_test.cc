// The job-manager facade: its calls with their exact arguments (the job-client stand-in's journal),
// results, events and messages, accepted, refused and before InitJobManager; a phase and its
// restart.
#include "trhsm/HSMJobManager.h"

#include <climits>
#include <filesystem>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "job/restart_offset.h"
#include "platform/job_journal_format.h"
#include "testing/alloc_fault.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCmdLine.h"

int ParseWords(std::vector<std::string> words, TRHSM_CMDLINE_ARGS* args);  // cmdline_test.cc

namespace {

namespace jj = trhsm::job_journal;
using trhsm_test::WriteFile;

class JobManagerTest : public ::testing::Test {
 protected:
  JobManagerTest() { std::filesystem::create_directory(folder_), Refuse(""); }
  // Configures the folder and makes the stand-in refuse the comma-separated `operations`.
  void Refuse(const std::string& operations) {
    WriteFile(store_,
              "[Base]\ndJOB_MANAGER_DIR=" + folder_ + "\nsJOB_MANAGER_REFUSE=" + operations);
  }
  std::string JobFile(const char* suffix) const { return jj::JobFile(folder_, 7, suffix); }
  std::string TakeJournal() const {  // job 7's calls, one a line, forgotten once read
    const std::string text = trhsm_test::ReadFile(JobFile(jj::kJournalSuffix));
    std::filesystem::remove(JobFile(jj::kJournalSuffix));
    return text;
  }
  trhsm_test::ScratchDir dir_;
  const std::string folder_ = dir_.File("jm"), store_ = dir_.File("registry");
  trhsm_test::ScopedEnv env_{"KO_REGISTRY", store_};
  trhsm_test::LogCapture log_;
  EvEvent events_;
};

const std::string kFinished = "\nfinishedWorkWithoutExit 120000\n",
                  kPhase = "concatPhaseParams \" -r 5000\" 2\nupdateInfo 0 -\ncomplete 3 1 0 0" +
                           kFinished,
                  kInit = "init \"job\" 7 1 4 0 \"extra\"\nInit2 7 \"job\" 1 4 \"extra\" -\n";

// The call; `tag` logs "<tag>: [7] called before InitJobManager" ("" says nothing, null: skipped);
// the journal and a message of the accepted run; with `refuse` refused, the journal's lines kept
// and the message ("event " + 0x... when it raises that event).

int PhaseWithOffset(HSMJobManager& jm) {
  long offset = 5000;
  return jm.NotifyJobManagerPhaseSuccess(offset, true) + (offset == 5000 ? 0 : 10);
}

#define CALL(expr) [](HSMJobManager& jm) { return static_cast<int>(expr); }
// clang-format off
struct Report { const char* refuse; int (*call)(HSMJobManager&); const char* tag; std::string journal; const char* said; int keptLines; const char* refused; };
const Report kReports[] = {
    {"init", CALL(jm.InitJobManager()), nullptr, kInit, "HSMJobManager::InitJobManager: [7] going to initialize with jobmgr", 1, "event 0x6000005 [7] failed to init with JM"},
    {"Init2", CALL(jm.InitJobManager()), nullptr, kInit, "[7] going to initialize with jobmgr control", 2, "event 0x6000006 [7] failed to init JM control object"},
    {"addStubSize", [](HSMJobManager& jm) { uint64_t s = UINT64_MAX; return jm.UpdateTotalStubbedSize(s, true) + (s == UINT64_MAX ? 0 : 10); },
     "UpdateTotalStubbedSize", "addStubSize 18446744073709551615\n", "", 1, ""},
    {"setStubSize", [](HSMJobManager& jm) { uint64_t s = 100; return jm.UpdateTotalStubbedSize(s, false); }, "UpdateTotalStubbedSize", "setStubSize 100\n", "", 1, ""},
    {"setFilesToXfer", CALL(jm.SetFilesToXfer(9000000000ULL)), "SetFilesToXfer", "setFilesToXfer 9000000000\n", "", 1, ""},
    {"addBackupFileFailures", CALL(jm.NotifyFailedFiles(-2)), "NotifyFailedFiles", "addBackupFileFailures -2\n", "", 1,
     "event 0x600000C HSMJobManager::NotifyFailedFiles: [7] failed to notify jm of job completion"},
    {"setPendingCause", CALL(jm.setJobPendingCause(12)), "", "setPendingCause 12 - 0 300 0 0 0 0 0 0 0 0\n", "", 1, ""},
    {"updateInfo", CALL(jm.UpdateInfo()), "UpdateInfo", "updateInfo 0 -\n", "", 1, "HSMJobManager::UpdateInfo: [HSMJobManager::UpdateInfo]: Failed to updateInfo with JM service."},
    {"finishedWork", CALL(jm.FinishedWork()), "FinishedWork", "finishedWork 120000\n", "", 1, ""},
    {"checkQuitFlag", CALL(jm.CheckQuitFlag()), "CheckQuitFlag", "checkQuitFlag\n", "", 1, ""},
    {"complete", CALL(jm.NotifyJobManagerJobSuccess()), "NotifyJobManagerJobSuccess", "complete 1 2 0 0" + kFinished, "[7] Notifying Job Manager of backup job success.", 2,
     "event 0x600000C HSMJobManager::NotifyJobManagerJobSuccess: [7] failed to notify jm of job completion"},
    {"complete", CALL(jm.NotifyJobManagerFailure(0)), "NotifyJobManagerFailure", "complete 2 1 0 0" + kFinished, "", 2, "Error notifying Job Manager of failure."},
    {"complete", CALL(jm.NotifyJobManagerFailure(7)), "NotifyJobManagerFailure", "complete 2 2 0 0" + kFinished, "", 2, "Error notifying Job Manager of failure."},
    {"complete", [](HSMJobManager& jm) { long offset = 0; return jm.NotifyJobManagerPhaseSuccess(offset, false); }, "NotifyJobManagerPhaseSuccess", "complete 1 1 0 0" + kFinished,
     "[7] back from notifying Job Manager of backup phase success.", 2, "event 0x600000C [7] failed to notify jm of phase completion"},
    {"concatPhaseParams", PhaseWithOffset, "NotifyJobManagerPhaseSuccess", kPhase, "phase parameter(s) string =  -r 5000", 1, "Error in setting the phase parameter Reference Time"},
    {"updateInfo", PhaseWithOffset, "NotifyJobManagerPhaseSuccess", kPhase, "", 2, "[HSMJobManager::NotifyJobManagerPhaseSuccess]: Failed to updateInfo with JM service."},
};
// clang-format on
#undef CALL

std::string Head(const std::string& text, int lines) {
  size_t end = 0;
  for (int i = 0; i < lines && end != std::string::npos; ++i) end = text.find('\n', end + 1);
  return text.substr(0, end == std::string::npos ? end : end + 1);
}

TEST_F(JobManagerTest, ReportsBeforeInitAcceptedAndRefused) {
  WriteFile(JobFile(jj::kQuitSuffix), "");
  HSMJobManager unready(7, "extra", "job", &events_), noEvents(7, "extra", "job", nullptr);
  EXPECT_EQ(noEvents.InitJobManager(), 0);  // no event reporter: no clients
  for (const Report& r : kReports) {
    for (HSMJobManager* jm : {&unready, &noEvents}) {
      if (r.tag == nullptr) break;
      log_.Clear();
      EXPECT_EQ(r.call(*jm), 0) << r.journal;
      EXPECT_TRUE(*r.tag == '\0' || log_.Contains("HSMJobManager::" + std::string(r.tag) +
                                                  ": [7] called before InitJobManager"))
          << r.journal << log_.Text();
    }
  }
  EXPECT_EQ(TakeJournal(), "") << "a refused report reached the job manager";
  HSMJobManager jm(7, "extra", "job", &events_);
  for (const Report& r : kReports) {
    SCOPED_TRACE(r.journal);
    ASSERT_EQ(jm.InitJobManager(), 1);
    TakeJournal();
    log_.Clear();
    EXPECT_EQ(r.call(jm), 1);
    EXPECT_EQ(TakeJournal(), r.journal);
    EXPECT_TRUE(log_.Contains(r.said));
    EXPECT_FALSE(log_.Contains("ERROR") || log_.Contains("event 0x"));
    Refuse(r.refuse);
    log_.Clear();
    EXPECT_EQ(r.call(jm), 0);
    EXPECT_EQ(TakeJournal(), Head(r.journal, r.keptLines));
    const std::string refused = r.refused,
                      event = refused.substr(0, refused.rfind("event ", 0) == 0 ? 15 : 0);
    EXPECT_EQ(log_.Contains("event 0x"), !event.empty()) << log_.Text();
    EXPECT_TRUE(log_.Contains(refused.substr(event.empty() ? 0 : 16)) && log_.Contains(event))
        << log_.Text();
    EXPECT_FALSE(log_.Contains("back from notifying"));
    Refuse("");
  }
}

// A first phase ends unfinished (flagged): its offset reaches the restarted run's command line and
// its facade; a finished job leaves none behind.
TEST_F(JobManagerTest, RestartedJobReadsBackTheOffsetOfThePhaseBefore) {
  std::vector<std::string> words = {"hsmjob", "-J", "7", "-D", "/data/", "-s", "srv"};
  auto args = std::make_unique<TRHSM_CMDLINE_ARGS>();
  ASSERT_EQ(ParseWords(words, args.get()), 0);
  HSMJobManager first(args->jobId, "", "hsmjob", &events_);
  ASSERT_EQ(first.InitJobManager(), 1);
  EXPECT_EQ(first.getRestartOffset(), 0);
  EXPECT_EQ(first.SetFilesToXfer(3), 1);
  for (uint64_t size : {100u, 4096u})
    EXPECT_EQ(first.CheckQuitFlag() + first.UpdateTotalStubbedSize(size, true), 1);
  long offset = 5000;
  EXPECT_EQ(first.NotifyJobManagerPhaseSuccess(offset, true), 1);
  EXPECT_EQ(TakeJournal(),
            "init \"hsmjob\" 7 1 4 0 -\nInit2 7 \"hsmjob\" 1 4 - -\ngetRestartString "
            "0\nsetFilesToXfer 3\n"
            "checkQuitFlag\naddStubSize 100\ncheckQuitFlag\naddStubSize 4096\n" +
                kPhase);
  std::istringstream restart(trhsm_test::ReadFile(JobFile(jj::kRestartSuffix)));
  for (std::string word; restart >> word;) words.push_back(word);
  args = std::make_unique<TRHSM_CMDLINE_ARGS>();
  ASSERT_EQ(ParseWords(words, args.get()), 0);
  EXPECT_EQ(args->restartValue, 5000);
  HSMJobManager jm(args->jobId, "", "hsmjob", &events_);
  ASSERT_EQ(jm.InitJobManager(), 1);
  EXPECT_EQ(jm.getRestartOffset(), 5000);
  EXPECT_EQ(jm.NotifyJobManagerJobSuccess(), 1);
  EXPECT_EQ(jm.getRestartOffset(), 0);
  EXPECT_FALSE(log_.Contains("ERROR"));
  // A job outside the job manager (0) gets clients, registers nowhere and reports to nobody.
  const std::vector<std::string> files = trhsm_test::ListFolder(folder_);
  HSMJobManager outside(0, "", "job", &events_);
  EXPECT_EQ(outside.InitJobManager(), 1);
  EXPECT_EQ(outside.setJobPendingCause(5) + outside.SetFilesToXfer(3), 0);
  EXPECT_EQ(trhsm_test::ListFolder(folder_), files);
}

// The offset is the last word, after "-r", a decimal that fits a long; anything else is damaged
// and taken as 0, and so is a restart string that cannot be read.
TEST_F(JobManagerTest, RestartOffsetsAndTheirMessages) {
  trhsm_test::ScopedEnv level("KO_LOG_LEVEL", "2");
  HSMJobManager jm(7, "", "job", &events_);
  ASSERT_EQ(jm.InitJobManager(), 1);
  const std::string max = std::to_string(LONG_MAX);
  // clang-format off
  const struct { std::string text; long offset; const char* message; } cases[] = {
      {"-j 7 -r 5000", 5000, "HSMJobManager::getRestartOffset: Got restart string -j 7 -r 5000"},
      {" -r 0", 0, "Sending offset 0"}, {"-r\t42\n", 42, "Sending offset 42"}, {"x -r -20", -20, "Sending negative offset 20"},
      {"-r " + max, LONG_MAX, "Sending offset 9223372036854775807"}, {"-r -" + max, -LONG_MAX, "Sending negative offset 9223372036854775807"},
      {" \t\n", 0, "Got restart string"},
      {"-r5000", 0, "restart string \"-r5000\" holds no restart offset (the last word does not follow \"-r\"): starting from offset 0"},
      {"-r -", 0, "(no digits after \"-r\")"}, {"x -r abc", 0, "(\"abc\" is not a decimal number)"},
      {"-r 5000abc", 0, "not a decimal"}, {"-r +5", 0, "not a decimal"},
      {"-r 9223372036854775808", 0, "(\"9223372036854775808\" does not fit a long)"}, {"-r 5000 -j 7", 0, "does not follow"},
  };
  // clang-format on
  for (const auto& c : cases) {
    WriteFile(JobFile(jj::kRestartSuffix), c.text);
    log_.Clear();
    EXPECT_EQ(jm.getRestartOffset(), c.offset) << c.text;
    EXPECT_TRUE(log_.Contains(c.message)) << log_.Text();
    EXPECT_EQ(log_.Contains("ERROR"), log_.Contains("holds no restart offset")) << log_.Text();
  }
  long offset = -1;
  EXPECT_EQ(trhsm::ParseRestartOffset("-r x", &offset, nullptr), trhsm::RestartParse::kDamaged);
  EXPECT_EQ(offset, 0);
  Refuse("getRestartString");
  EXPECT_EQ(jm.getRestartOffset(), 0);
  EXPECT_TRUE(log_.Contains("[7] the restart string could not be read: starting from offset 0"));
}

// Memory running out while InitJobManager makes either client: the init fails naming it, and the
// facade left with one client refuses reports instead of using the missing one.
TEST_F(JobManagerTest, OutOfMemoryForAClient) {
  std::string failed;
  for (long n = 1; n < 100; ++n) {
    HSMJobManager jm(0, "", "job", &events_);
    log_.Clear();
    int rc;
    {
      trhsm_test::ScopedAllocFault oom(n);
      rc = jm.InitJobManager();
      if (!oom.fired()) {
        EXPECT_EQ(rc, 1);
        break;
      }
    }
    EXPECT_EQ(rc, 0) << n;
    for (const std::string client : {"KOBkpJobClient", "KOJobCtrlClient"})
      if (log_.Contains("InitJobManager: new " + client + "() failed")) failed += client;
    long offset = 5;
    EXPECT_EQ(jm.getRestartOffset() + jm.NotifyJobManagerPhaseSuccess(offset, false), 0);
    EXPECT_TRUE(log_.Contains("HSMJobManager::getRestartOffset: [0] called before InitJobManager"));
  }
  EXPECT_PRED2(trhsm_test::Contains, failed, "KOBkpJobClientKOJobCtrlClient");
}

}  // namespace
