// The job front end end to end, the way a job executable drives it: its command line parsed, the
// facade started, progress reported, the phase ended with a restart offset, and a restarted run
// reading that offset back; then each refusal of the job manager along the way.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "job/job_manager_fixture.h"
#include "platform/job_journal_format.h"
#include "testing/test_util.h"
#include "trhsm/HSMJobManager.h"
#include "trhsm/TRHSMCmdLine.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::WriteFile;
using Lines = std::vector<std::string>;

// Parses `words` as a job's command line (the program name first).
std::unique_ptr<TRHSM_CMDLINE_ARGS> Parse(std::vector<std::string> words) {
  auto args = std::make_unique<TRHSM_CMDLINE_ARGS>();
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  EXPECT_EQ(ProcessCommandLineArguments(static_cast<int>(words.size()), argv.data(), args.get()),
            0);
  return args;
}

// The words of a restart string, which the job manager appends to a restarted job's command line.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = text.find_first_not_of(' ');
  while (start != std::string::npos) {
    size_t end = text.find(' ', start);
    words.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    start = end == std::string::npos ? end : text.find_first_not_of(' ', end);
  }
  return words;
}

const std::vector<std::string> kCommandLine = {"hsmjob", "-J", "7", "-D", "/data/", "-s", "srv"};

// What a job's first phase does; returns its exit status, 0 on success, and stops at the first
// report that the job manager refuses.
int RunFirstPhase(EvEvent* events) {
  std::unique_ptr<TRHSM_CMDLINE_ARGS> args = Parse(kCommandLine);
  HSMJobManager jm(args->jobId, "", "hsmjob", events);
  if (jm.InitJobManager() != 1) return 1;
  if (jm.getRestartOffset() != 0) return 2;
  if (jm.SetFilesToXfer(3) != 1) return 3;
  for (uint64_t size : {100u, 250u, 4096u}) {
    if (jm.CheckQuitFlag()) return 4;
    if (jm.UpdateTotalStubbedSize(size, true) != 1) return 5;
  }
  if (jm.NotifyFailedFiles(1) != 1) return 6;
  long offset = 5000;
  // The phase ends unfinished (flagged): its offset stays for the restarted run.
  if (jm.NotifyJobManagerPhaseSuccess(offset, true) != 1) return 7;
  return 0;
}

class JobFrontEndTest : public trhsm_test::JobManagerFolderTest {
 protected:
  LogCapture log_;
  EvEvent events_;
};

TEST_F(JobFrontEndTest, RestartedJobReadsBackTheOffsetOfThePhaseBefore) {
  ASSERT_EQ(RunFirstPhase(&events_), 0);
  EXPECT_EQ(Journal(),
            (Lines{"init \"hsmjob\" 7 1 4 0 -", "Init2 7 \"hsmjob\" 1 4 - -", "getRestartString 0",
                   "setFilesToXfer 3", "checkQuitFlag", "addStubSize 100", "checkQuitFlag",
                   "addStubSize 250", "checkQuitFlag", "addStubSize 4096",
                   "addBackupFileFailures 1", "concatPhaseParams \" -r 5000\" 2", "updateInfo 0 -",
                   "complete 3 1 0 0", "finishedWorkWithoutExit 120000"}));

  // The restarted run gets the stored phase parameters on its command line, and its facade reads
  // the same offset back from the job manager.
  const std::string restart = ReadFile(JobFile(7, trhsm::job_journal::kRestartSuffix));
  std::vector<std::string> words = kCommandLine;
  for (const std::string& word : Words(restart)) words.push_back(word);
  std::unique_ptr<TRHSM_CMDLINE_ARGS> args = Parse(words);
  EXPECT_EQ(args->restartValue, 5000);
  HSMJobManager jm(args->jobId, "", "hsmjob", &events_);
  ASSERT_EQ(jm.InitJobManager(), 1);
  EXPECT_EQ(jm.getRestartOffset(), 5000);
  EXPECT_EQ(jm.NotifyJobManagerJobSuccess(), 1);
  EXPECT_EQ(Journal().back(), "finishedWorkWithoutExit 120000");
  // The finished job leaves no offset behind for its next run.
  EXPECT_EQ(jm.getRestartOffset(), 0);
  EXPECT_FALSE(log_.Contains("ERROR"));
  EXPECT_FALSE(log_.Contains("event 0x"));
}

TEST_F(JobFrontEndTest, JobAskedToQuitStopsAndReportsFailure) {
  WriteFile(JobFile(7, trhsm::job_journal::kQuitSuffix), "");
  EXPECT_EQ(RunFirstPhase(&events_), 4);
  HSMJobManager jm(7, "", "hsmjob", &events_);
  ASSERT_EQ(jm.InitJobManager(), 1);
  EXPECT_EQ(jm.NotifyJobManagerFailure(0), 1);
  Lines journal = Journal();
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[journal.size() - 2], "complete 2 1 0 0");
  // No phase parameters were stored: a rerun starts from the beginning.
  EXPECT_EQ(jm.getRestartOffset(), 0);
}

TEST_F(JobFrontEndTest, EveryRefusalStopsTheJobWithItsEventAndMessage) {
  struct Refusal {
    const char* operation;
    int exitStatus;
    const char* event;  // null: no event
    const char* message;
  };
  const Refusal refusals[] = {
      {"init", 1, "event 0x6000005", "[7] failed to init with JM"},
      {"Init2", 1, "event 0x6000006", "[7] failed to init JM control object"},
      // Taken as no offset: the job goes on from the beginning.
      {"getRestartString", 0, nullptr, "[7] the restart string could not be read"},
      {"setFilesToXfer", 3, nullptr, ""},
      {"addStubSize", 5, nullptr, ""},
      {"addBackupFileFailures", 6, "event 0x600000C", "[7] failed to notify jm of job completion"},
      {"concatPhaseParams", 7, nullptr, "Error in setting the phase parameter Reference Time"},
      {"updateInfo", 7, nullptr,
       "[HSMJobManager::NotifyJobManagerPhaseSuccess]: Failed to updateInfo with JM service."},
      {"complete", 7, "event 0x600000C", "[7] failed to notify jm of phase completion"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.operation);
    ClearFolder();
    Refuse(r.operation);
    log_.Clear();
    EXPECT_EQ(RunFirstPhase(&events_), r.exitStatus);
    if (r.event != nullptr) {
      EXPECT_TRUE(log_.Contains(r.event));
    } else {
      EXPECT_FALSE(log_.Contains("event 0x"));
    }
    EXPECT_TRUE(log_.Contains(r.message));
    // The refused call is the last one the job made, except that the end of a phase still
    // finishes the work when only its completion report was refused.
    const std::string last = Journal().back();
    if (r.exitStatus == 0) continue;
    if (std::string(r.operation) == "complete") {
      EXPECT_EQ(last, "finishedWorkWithoutExit 120000");
    } else {
      EXPECT_EQ(
          last.compare(0, std::string(r.operation).size() + 1, std::string(r.operation) + " "), 0)
          << last;
    }
  }
}

}  // namespace
