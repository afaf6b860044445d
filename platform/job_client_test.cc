// The job-client stand-in: the journal's records, the restart offset, and the logged refusals.
#include "trhsm/KOJobClient.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <vector>

#include "testing/test_util.h"

namespace {

class JobClientTest : public ::testing::Test {
 protected:
  void Configure(const std::string& text) { trhsm_test::WriteFile(dir_.File("registry"), text); }
  std::string Folder() const { return dir_.File("jm"); }

  trhsm_test::ScratchDir dir_;
  trhsm_test::ScopedEnv env_{"KO_REGISTRY", dir_.File("registry")};
  trhsm_test::LogCapture log_;
  const int made_ = ::mkdir(Folder().c_str(), 0755);
  const std::string restart_ = Folder() + "/7.restart";
  KOBkpJobClient bkp_;
};

TEST_F(JobClientTest, EveryCallIsOneJournalLine) {
  Configure("[Base]\ndJOB_MANAGER_DIR=" + Folder() + "\n");
  KOJobCtrlClient ctrl(0);
  ASSERT_TRUE(bkp_.init("q\"b\\n\nr\r", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  ASSERT_TRUE(ctrl.Init2(7, "job name", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, "x", nullptr));
  EXPECT_TRUE(bkp_.complete(KOJS_SUCCESS_FLAGGED, KOJSF_PHASE, 0, KOPC_NONE));
  EXPECT_TRUE(bkp_.concatPhaseParams(" -r 5000", KOJSCA_REPLACE));
  EXPECT_TRUE(bkp_.updateInfo(true, "d"));
  EXPECT_TRUE(bkp_.addBackupFileFailures(-3));
  EXPECT_TRUE(bkp_.setFilesToXfer(9000000000LL));
  EXPECT_TRUE(bkp_.setStubSize(18446744073709551615ULL));
  const std::vector<std::string> args = {"a", "b c"};
  EXPECT_TRUE(bkp_.setPendingCause(5, nullptr, false, EV_MSG_PENDING_CAUSE, 0, 0, 0, false,
                                   JMGUI_ALERT_NONE, JMPCF_NONE, 0, 0));
  EXPECT_TRUE(bkp_.setPendingCause(6, &args, true, EV_MSG_PENDING_CAUSE, 1, 2, 3, true,
                                   JMGUI_ALERT_NONE, JMPCF_NONE, -1, 4));
  std::string restart;
  EXPECT_TRUE(bkp_.getRestartString(&restart, JMRL_LAST_RUN));
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_TRUE(ctrl.finishedWork(120000));
  EXPECT_EQ(trhsm_test::ReadFile(Folder() + "/7.journal"),
            "init \"q\\\"b\\\\n\\nr\\r\" 7 1 4 0 -\n"
            "Init2 7 \"job name\" 1 4 \"x\" -\n"
            "complete 3 1 0 0\n"
            "concatPhaseParams \" -r 5000\" 2\n"
            "updateInfo 1 \"d\"\n"
            "addBackupFileFailures -3\n"
            "setFilesToXfer 9000000000\n"
            "setStubSize 18446744073709551615\n"
            "setPendingCause 5 - 0 300 0 0 0 0 0 0 0 0\n"
            "setPendingCause 6 [\"a\",\"b c\"] 1 300 1 2 3 1 0 0 -1 4\n"
            "getRestartString 0\n"
            "checkQuitFlag\n"
            "finishedWork 120000\n");
}

// The phase parameters are the next run's restart string until the job completes.
TEST_F(JobClientTest, RestartOffsetLastsUntilThePlainSuccess) {
  Configure("[Base]\ndJOB_MANAGER_DIR=" + Folder() + "\n");
  ASSERT_TRUE(bkp_.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  const std::tuple<KOJobStatus, KOJobStatusFor, bool> completions[] = {
      {KOJS_SUCCESS_FLAGGED, KOJSF_PHASE, true},
      {KOJS_FAILURE, KOJSF_JOB, true},
      {KOJS_SUCCESS, KOJSF_PHASE, false},
      {KOJS_SUCCESS, KOJSF_JOB, false}};
  for (const auto& [status, target, kept] : completions) {
    SCOPED_TRACE(::testing::Message() << status << " for " << target);
    ASSERT_TRUE(bkp_.concatPhaseParams(" -r 6000", KOJSCA_REPLACE));
    // Refused changes leave the stored text as it was.
    EXPECT_FALSE(bkp_.concatPhaseParams(" -r 1", KOJSCA_APPEND) ||
                 bkp_.concatPhaseParams(nullptr, KOJSCA_REPLACE));
    EXPECT_TRUE(bkp_.complete(status, target, 0, KOPC_NONE));
    KOBkpJobClient next;
    std::string restart = "stale";
    ASSERT_TRUE(next.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
    EXPECT_TRUE(next.getRestartString(&restart, JMRL_LAST_RUN));
    EXPECT_EQ(restart, kept ? " -r 6000" : "");
    // A job reported complete leaves no restart file (nor a temporary one).
    EXPECT_EQ(trhsm_test::ListFolder(Folder()).size(), kept ? 2u : 1u);
  }
}

TEST_F(JobClientTest, RefusalsAreLoggedOncePerClient) {
  const struct {
    std::string registry, logged;
  } rows[] = {
      {"[Base]\n", "init refused: no job manager (dJOB_MANAGER_DIR is not configured under Base)"},
      {"[Base]\ndJOB_MANAGER_DIR=" + Folder() + "\nsJOB_MANAGER_REFUSE=x, init ,y\n",
       "complete refused: the client has no job"},
      {"[Base]\ndJOB_MANAGER_DIR=" + Folder() + "/absent\n",
       "init refused: the job manager folder " + Folder() +
           "/absent (dJOB_MANAGER_DIR under Base) is not there"},
  };
  for (const auto& r : rows) {
    Configure(r.registry);
    log_.Clear();
    KOBkpJobClient client;
    std::string restart = "stale";
    EXPECT_FALSE(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr) ||
                 client.complete(KOJS_SUCCESS, KOJSF_JOB, 0, KOPC_NONE) ||
                 client.getRestartString(&restart, JMRL_LAST_RUN));
    EXPECT_EQ(restart, "");
    const std::string text = log_.Text();
    EXPECT_PRED2(trhsm_test::Contains, text, r.logged);
    EXPECT_EQ(text.find(" refused: "), text.rfind(" refused: ")) << text;
  }
  // A refused init is still journaled; nothing else is written.
  EXPECT_EQ(trhsm_test::ListFolder(Folder()), std::vector<std::string>{"7.journal"});
  EXPECT_EQ(trhsm_test::ReadFile(Folder() + "/7.journal"), "init \"job\" 7 1 4 0 -\n");
}

}  // namespace
