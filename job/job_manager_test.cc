// Tests of the job-manager facade: the calls it makes with their exact arguments (read back from
// the job-client stand-in's journal), its results, events and messages.
#include "trhsm/HSMJobManager.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "job/job_manager_fixture.h"
#include "platform/job_journal_format.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;
using trhsm_test::WriteFile;
using Lines = std::vector<std::string>;

const char kInit[] = "init \"job\" 7 1 4 0 \"extra\"";
const char kInit2[] = "Init2 7 \"job\" 1 4 \"extra\" -";

class JobManagerTest : public trhsm_test::JobManagerFolderTest {
 protected:
  // A facade for job 7 that InitJobManager made ready; its registration is dropped from the
  // journal so that tests see only their own calls.
  void Start() {
    ASSERT_EQ(jm_.InitJobManager(), 1);
    ASSERT_EQ(Journal(), (Lines{kInit, kInit2}));
    std::remove(JobFile(7, trhsm::job_journal::kJournalSuffix).c_str());
  }

  LogCapture log_;
  EvEvent events_;
  HSMJobManager jm_{7, "extra", "job", &events_};
};

TEST_F(JobManagerTest, WithoutEventReporterNothingIsCreatedOrSent) {
  HSMJobManager jm(7, "extra", "job", nullptr);
  EXPECT_EQ(jm.InitJobManager(), 0);
  EXPECT_EQ(jm.setJobPendingCause(5), 0);
  // Every other call is a caller error now: refused, logged, and nothing dereferenced.
  long offset = 5000;
  EXPECT_EQ(jm.NotifyJobManagerPhaseSuccess(offset, false), 0);
  EXPECT_EQ(jm.getRestartOffset(), 0);
  EXPECT_FALSE(jm.CheckQuitFlag());
  EXPECT_TRUE(FolderIsEmpty());
  EXPECT_TRUE(log_.Contains(
      "HSMJobManager::NotifyJobManagerPhaseSuccess: [7] called before InitJobManager"));
}

TEST_F(JobManagerTest, JobZeroGetsClientsWithoutRegistering) {
  HSMJobManager jm(0, "", "job", &events_);
  EXPECT_EQ(jm.InitJobManager(), 1);
  EXPECT_FALSE(log_.Contains("going to initialize"));
  EXPECT_TRUE(FolderIsEmpty());
  // The clients exist, but an unregistered job's reports reach nobody and say so.
  EXPECT_EQ(jm.setJobPendingCause(5), 0);
  EXPECT_EQ(jm.SetFilesToXfer(3), 0);
  EXPECT_TRUE(FolderIsEmpty());
}

TEST_F(JobManagerTest, InitRegistersBothClientsWithTheSameTexts) {
  Start();
  EXPECT_TRUE(log_.Contains("HSMJobManager::InitJobManager: [7] going to initialize with jobmgr"));
  EXPECT_TRUE(log_.Contains("[7] going to initialize with jobmgr control"));

  HSMJobManager plain(8, "", "other \"name\"", &events_);
  EXPECT_EQ(plain.InitJobManager(), 1);
  EXPECT_EQ(Journal(8), (Lines{"init \"other \\\"name\\\"\" 8 1 4 0 -",
                               "Init2 8 \"other \\\"name\\\"\" 1 4 - -"}));
}

TEST_F(JobManagerTest, PhaseSuccessStoresTheOffsetBeforeCompleting) {
  Start();
  long offset = 0;
  EXPECT_EQ(jm_.NotifyJobManagerPhaseSuccess(offset, false), 1);
  EXPECT_EQ(Journal(), (Lines{"complete 1 1 0 0", "finishedWorkWithoutExit 120000"}));
  EXPECT_TRUE(log_.Contains("[7] back from notifying Job Manager of backup phase success."));

  std::remove(JobFile(7, trhsm::job_journal::kJournalSuffix).c_str());
  offset = 5000;
  EXPECT_EQ(jm_.NotifyJobManagerPhaseSuccess(offset, true), 1);
  EXPECT_EQ(offset, 5000);
  EXPECT_EQ(Journal(), (Lines{"concatPhaseParams \" -r 5000\" 2", "updateInfo 0 -",
                              "complete 3 1 0 0", "finishedWorkWithoutExit 120000"}));
  EXPECT_TRUE(log_.Contains("phase parameter(s) string =  -r 5000"));
  EXPECT_EQ(jm_.getRestartOffset(), 5000);
}

TEST_F(JobManagerTest, RefusedCompletionIsReportedButTheWorkStillFinishes) {
  Start();
  Refuse("complete");
  long offset = 0;
  EXPECT_EQ(jm_.NotifyJobManagerPhaseSuccess(offset, false), 0);
  EXPECT_TRUE(log_.Contains("event 0x600000C"));
  EXPECT_TRUE(log_.Contains("[7] failed to notify jm of phase completion"));
  EXPECT_FALSE(log_.Contains("back from notifying"));

  log_.Clear();
  EXPECT_EQ(jm_.NotifyJobManagerJobSuccess(), 0);
  EXPECT_TRUE(log_.Contains("event 0x600000C"));
  EXPECT_TRUE(
      log_.Contains("HSMJobManager::NotifyJobManagerJobSuccess: [7] failed to notify jm "
                    "of job completion"));

  log_.Clear();
  EXPECT_EQ(jm_.NotifyJobManagerFailure(1), 0);
  EXPECT_TRUE(log_.Contains("Error notifying Job Manager of failure."));
  EXPECT_FALSE(log_.Contains("event 0x"));
  EXPECT_EQ(Journal(), (Lines{"complete 1 1 0 0", "finishedWorkWithoutExit 120000",
                              "complete 1 2 0 0", "finishedWorkWithoutExit 120000",
                              "complete 2 2 0 0", "finishedWorkWithoutExit 120000"}));
}

TEST_F(JobManagerTest, JobSuccessAndFailuresAddressJobOrPhase) {
  Start();
  EXPECT_EQ(jm_.NotifyJobManagerJobSuccess(), 1);
  EXPECT_TRUE(log_.Contains("[7] Notifying Job Manager of backup job success."));
  EXPECT_EQ(jm_.NotifyJobManagerFailure(0), 1);
  EXPECT_EQ(jm_.NotifyJobManagerFailure(7), 1);
  EXPECT_EQ(Journal(), (Lines{"complete 1 2 0 0", "finishedWorkWithoutExit 120000",
                              "complete 2 1 0 0", "finishedWorkWithoutExit 120000",
                              "complete 2 2 0 0", "finishedWorkWithoutExit 120000"}));
  EXPECT_FALSE(log_.Contains("ERROR"));
}

TEST_F(JobManagerTest, ProgressReportsPassTheirValuesUnchanged) {
  Start();
  uint64_t size = 18446744073709551615ULL;
  EXPECT_EQ(jm_.UpdateTotalStubbedSize(size, true), 1);
  EXPECT_EQ(size, 18446744073709551615ULL);
  size = 100;
  EXPECT_EQ(jm_.UpdateTotalStubbedSize(size, false), 1);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(jm_.SetFilesToXfer(9000000000ULL), 1);
  EXPECT_EQ(jm_.NotifyFailedFiles(-2), 1);
  EXPECT_EQ(jm_.setJobPendingCause(12), 1);
  EXPECT_EQ(jm_.UpdateInfo(), 1);
  EXPECT_EQ(jm_.FinishedWork(), 1);
  EXPECT_FALSE(jm_.CheckQuitFlag());
  WriteFile(JobFile(7, trhsm::job_journal::kQuitSuffix), "");
  EXPECT_TRUE(jm_.CheckQuitFlag());
  EXPECT_EQ(Journal(), (Lines{"addStubSize 18446744073709551615", "setStubSize 100",
                              "setFilesToXfer 9000000000", "addBackupFileFailures -2",
                              "setPendingCause 12 - 0 300 0 0 0 0 0 0 0 0", "updateInfo 0 -",
                              "finishedWork 120000", "checkQuitFlag", "checkQuitFlag"}));
}

TEST_F(JobManagerTest, RefusedProgressReportsReturnZero) {
  Start();
  Refuse(
      "addStubSize,setStubSize,setFilesToXfer,addBackupFileFailures,setPendingCause,updateInfo,"
      "finishedWork,checkQuitFlag");
  WriteFile(JobFile(7, trhsm::job_journal::kQuitSuffix), "");
  uint64_t size = 1;
  EXPECT_EQ(jm_.UpdateTotalStubbedSize(size, true), 0);
  EXPECT_EQ(jm_.UpdateTotalStubbedSize(size, false), 0);
  EXPECT_EQ(jm_.SetFilesToXfer(1), 0);
  EXPECT_EQ(jm_.setJobPendingCause(1), 0);
  EXPECT_EQ(jm_.FinishedWork(), 0);
  EXPECT_FALSE(jm_.CheckQuitFlag());
  EXPECT_FALSE(log_.Contains("event 0x"));
  EXPECT_EQ(jm_.UpdateInfo(), 0);
  EXPECT_TRUE(
      log_.Contains("HSMJobManager::UpdateInfo: [HSMJobManager::UpdateInfo]: Failed to updateInfo "
                    "with JM service."));
  EXPECT_EQ(jm_.NotifyFailedFiles(3), 0);
  EXPECT_TRUE(log_.Contains("event 0x600000C"));
  EXPECT_TRUE(
      log_.Contains("HSMJobManager::NotifyFailedFiles: [7] failed to notify jm of job "
                    "completion"));
  EXPECT_EQ(Journal().size(), 8u);
}

TEST_F(JobManagerTest, RestartOffsetIsReadFromTheRestartString) {
  ScopedEnv level("KO_LOG_LEVEL", "2");
  Start();
  const std::string restart = JobFile(7, trhsm::job_journal::kRestartSuffix);
  EXPECT_EQ(jm_.getRestartOffset(), 0);

  WriteFile(restart, "-j 7 -r 5000");
  EXPECT_EQ(jm_.getRestartOffset(), 5000);
  EXPECT_TRUE(log_.Contains("HSMJobManager::getRestartOffset: Got restart string -j 7 -r 5000"));
  EXPECT_TRUE(log_.Contains("Sending offset 5000"));

  WriteFile(restart, "x -r -20");
  EXPECT_EQ(jm_.getRestartOffset(), -20);
  EXPECT_TRUE(log_.Contains("Sending negative offset 20"));
  EXPECT_FALSE(log_.Contains("ERROR"));

  for (const char* damaged : {"-r5000", "x -r abc", "-r 12x", "-j 7"}) {
    SCOPED_TRACE(damaged);
    log_.Clear();
    WriteFile(restart, damaged);
    EXPECT_EQ(jm_.getRestartOffset(), 0);
    EXPECT_TRUE(log_.Contains("holds no restart offset"));
    EXPECT_TRUE(log_.Contains("starting from offset 0"));
  }

  log_.Clear();
  WriteFile(restart, "-r 5000");
  Refuse("getRestartString");
  EXPECT_EQ(jm_.getRestartOffset(), 0);
  EXPECT_TRUE(log_.Contains("[7] the restart string could not be read"));
}

}  // namespace
