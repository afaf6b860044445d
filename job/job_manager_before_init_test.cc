// Tests of the job-manager facade used before InitJobManager: every report is refused with 0 (or
// false), names the call and the job in the log, and sends nothing to the job manager.
#include "trhsm/HSMJobManager.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "job/job_manager_fixture.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::LogCapture;

class JobManagerBeforeInitTest : public trhsm_test::JobManagerFolderTest {
 protected:
  // Each report of the facade with the log tag it reports under.
  static std::vector<std::pair<std::string, std::function<int(HSMJobManager&)>>> Reports() {
    return {
        {"HSMJobManager::NotifyJobManagerJobSuccess",
         [](HSMJobManager& jm) { return jm.NotifyJobManagerJobSuccess(); }},
        {"HSMJobManager::NotifyJobManagerFailure",
         [](HSMJobManager& jm) { return jm.NotifyJobManagerFailure(1); }},
        {"HSMJobManager::NotifyFailedFiles",
         [](HSMJobManager& jm) { return jm.NotifyFailedFiles(3); }},
        {"HSMJobManager::CheckQuitFlag",
         [](HSMJobManager& jm) { return jm.CheckQuitFlag() ? 1 : 0; }},
        {"HSMJobManager::FinishedWork", [](HSMJobManager& jm) { return jm.FinishedWork(); }},
        {"HSMJobManager::SetFilesToXfer", [](HSMJobManager& jm) { return jm.SetFilesToXfer(12); }},
        {"HSMJobManager::UpdateInfo", [](HSMJobManager& jm) { return jm.UpdateInfo(); }},
        {"HSMJobManager::UpdateTotalStubbedSize",
         [](HSMJobManager& jm) {
           uint64_t size = 4096;
           const int result = jm.UpdateTotalStubbedSize(size, true);
           EXPECT_EQ(size, 4096u) << "the size is left alone when nothing is sent";
           return result;
         }},
    };
  }

  LogCapture log_;
  EvEvent events_;
};

TEST_F(JobManagerBeforeInitTest, EveryReportIsRefusedAndLoggedUnderItsName) {
  HSMJobManager jm(7, "extra", "job", &events_);
  for (const auto& [tag, report] : Reports()) {
    log_.Clear();
    EXPECT_EQ(report(jm), 0) << tag;
    EXPECT_TRUE(log_.Contains(tag + ": [7] called before InitJobManager")) << tag << "\n"
                                                                           << log_.Text();
  }
  EXPECT_TRUE(FolderIsEmpty()) << "a refused report reached the job manager";
}

TEST_F(JobManagerBeforeInitTest, WithoutEventReporterTheRefusalStillReachesTheLog) {
  HSMJobManager jm(9, "", "job", nullptr);
  EXPECT_EQ(jm.InitJobManager(), 0);
  for (const auto& [tag, report] : Reports()) {
    log_.Clear();
    EXPECT_EQ(report(jm), 0) << tag;
    EXPECT_TRUE(log_.Contains(tag + ": [9] called before InitJobManager")) << tag;
  }
  EXPECT_TRUE(FolderIsEmpty());
}

TEST_F(JobManagerBeforeInitTest, InitLaterMakesTheSameFacadeReport) {
  HSMJobManager jm(7, "extra", "job", &events_);
  EXPECT_EQ(jm.SetFilesToXfer(5), 0);
  ASSERT_EQ(jm.InitJobManager(), 1);
  log_.Clear();
  EXPECT_EQ(jm.SetFilesToXfer(5), 1);
  EXPECT_FALSE(log_.Contains("called before InitJobManager"));
  const std::vector<std::string> journal = Journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.back(), "setFilesToXfer 5");
}

}  // namespace
