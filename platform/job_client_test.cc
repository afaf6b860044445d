// The job-client stand-in's records and restart offset (refusals: the job manager's tests), and the
// configuration store's CRLF lines and bad lines (its values: the fuzz target).
#include "trhsm/KOJobClient.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/KOPlatformInfo.h"

namespace {

class JobClientTest : public ::testing::Test {
 protected:
  trhsm_test::Sandbox box_;  // its results folder is the job manager's
  const std::string folder_ = box_.results(), configured_ = "[Base]\ndJOB_MANAGER_DIR=" + folder_;
  KOBkpJobClient bkp_;
};

// Numbers, null pointers, lists and texts, quoted and escaped so that each call stays one line.
TEST_F(JobClientTest, EveryCallIsOneJournalLine) {
  box_.SetRegistry(configured_);
  const std::vector<std::string> args = {"a", "b c"};
  EXPECT_TRUE(bkp_.init("q\"b\\n\nr\r", 7, 1, KOS_PLATFORM_LINUX, false, nullptr) &&
              bkp_.addBackupFileFailures(-3) && bkp_.setStubSize(18446744073709551615ULL) &&
              bkp_.setPendingCause(6, &args, true, EV_MSG_PENDING_CAUSE, 1, 2, 3, true,
                                   JMGUI_ALERT_NONE, JMPCF_NONE, -1, 4));
  EXPECT_EQ(trhsm_test::ReadFile(folder_ + "/7.journal"),
            "init \"q\\\"b\\\\n\\nr\\r\" 7 1 4 0 -\n"
            "addBackupFileFailures -3\nsetStubSize 18446744073709551615\n"
            "setPendingCause 6 [\"a\",\"b c\"] 1 300 1 2 3 1 0 0 -1 4\n");
}

// The phase parameters are the next run's restart string until the job completes; a job reported
// complete leaves no restart file (nor a temporary one).
TEST_F(JobClientTest, RestartOffsetLastsUntilThePlainSuccess) {
  box_.SetRegistry(configured_);
  ASSERT_TRUE(bkp_.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  for (const auto& [status, target, kept] : {std::tuple{KOJS_SUCCESS_FLAGGED, KOJSF_PHASE, true},
                                             {KOJS_FAILURE, KOJSF_JOB, true},
                                             {KOJS_SUCCESS, KOJSF_PHASE, false},
                                             {KOJS_SUCCESS, KOJSF_JOB, false}}) {
    SCOPED_TRACE(::testing::Message() << status << " for " << target);
    ASSERT_TRUE(bkp_.concatPhaseParams(" -r 6000", KOJSCA_REPLACE));
    EXPECT_TRUE(bkp_.complete(status, target, 0, KOPC_NONE));
    KOBkpJobClient next;
    std::string restart = "stale";
    EXPECT_TRUE(next.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr) &&
                next.getRestartString(&restart, JMRL_LAST_RUN));
    EXPECT_EQ(restart, kept ? " -r 6000" : "");
    EXPECT_EQ(trhsm_test::ListFolder(folder_).size(), kept ? 2u : 1u);
  }
}

TEST(RegistryTest, CrlfLinesReadAsLfAndABadLineIsLoggedOnceWithItsNumber) {
  trhsm_test::LogCapture log;
  const trhsm_test::Sandbox box;  // its registry: two lines of its own, then the text set here
  box.SetRegistry("[Base]\r\nsCR=a=b \r\nno equals\r\nsE=\r\n");
  std::string cr, empty = "?";  // each question reads the store afresh
  EXPECT_TRUE(KOPlatformInfo().getString("Base", "sCR", &cr) &&
              KOPlatformInfo().getString("Base", "sE", &empty));
  EXPECT_EQ(cr + "|" + empty, "a=b |");
  const std::string text = log.Text(), logged = box.File("registry") + " line 5 ignored: neither";
  EXPECT_NE(text.find(logged), std::string::npos) << text;
  EXPECT_EQ(text.find(logged), text.rfind(logged)) << text;
}

}  // namespace
