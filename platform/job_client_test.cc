// Tests of the job-client stand-in: the journal lines, the restart file, the quit file, refusals,
// and several processes reporting for one job at once.
#include "trhsm/KOJobClient.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/job_journal_format.h"
#include "testing/test_util.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class JobClientTest : public ::testing::Test {
 protected:
  JobClientTest()
      : folder_(dir_.File("jm")), store_(dir_.File("registry")), env_("KO_REGISTRY", store_) {
    std::filesystem::create_directory(folder_);
    Configure(folder_, "");
  }

  void Configure(const std::string& folder, const std::string& refuse) {
    std::string text = "[Base]\n";
    if (!folder.empty()) text += "dJOB_MANAGER_DIR=" + folder + "\n";
    if (!refuse.empty()) text += "sJOB_MANAGER_REFUSE=" + refuse + "\n";
    WriteFile(store_, text);
  }

  std::string Journal(long long jobId = 7) {
    return ReadFile(folder_ + "/" + std::to_string(jobId) + ".journal");
  }
  std::vector<std::string> FolderEntries() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  trhsm_test::ScratchDir dir_;
  std::string folder_;
  std::string store_;
  ScopedEnv env_;
};

TEST_F(JobClientTest, EveryCallIsOneJournalLine) {
  KOBkpJobClient bkp;
  KOJobCtrlClient ctrl(0);
  ASSERT_TRUE(bkp.init("job name", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  ASSERT_TRUE(ctrl.Init2(7, "job name", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, "x", nullptr));
  EXPECT_EQ(bkp.jobId(), 7);
  EXPECT_TRUE(bkp.complete(KOJS_SUCCESS_FLAGGED, KOJSF_PHASE, 0, KOPC_NONE));
  EXPECT_TRUE(bkp.concatPhaseParams(" -r 5000", KOJSCA_REPLACE));
  EXPECT_TRUE(bkp.updateInfo(false, nullptr));
  EXPECT_TRUE(bkp.addBackupFileFailures(-3));
  EXPECT_TRUE(bkp.setFilesToXfer(9000000000LL));
  EXPECT_TRUE(bkp.addStubSize(100));
  EXPECT_TRUE(bkp.setStubSize(18446744073709551615ULL));
  std::vector<std::string> args = {"a", "b c"};
  EXPECT_TRUE(bkp.setPendingCause(5, nullptr, false, EV_MSG_PENDING_CAUSE, 0, 0, 0, false,
                                  JMGUI_ALERT_NONE, JMPCF_NONE, 0, 0));
  EXPECT_TRUE(bkp.setPendingCause(6, &args, true, EV_MSG_PENDING_CAUSE, 1, 2, 3, true,
                                  JMGUI_ALERT_NONE, JMPCF_NONE, -1, 4));
  std::string restart;
  EXPECT_TRUE(bkp.getRestartString(&restart, JMRL_LAST_RUN));
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_TRUE(ctrl.finishedWork(120000));
  EXPECT_TRUE(ctrl.finishedWorkWithoutExit(120000));

  EXPECT_EQ(Journal(),
            "init \"job name\" 7 1 4 0 -\n"
            "Init2 7 \"job name\" 1 4 \"x\" -\n"
            "complete 3 1 0 0\n"
            "concatPhaseParams \" -r 5000\" 2\n"
            "updateInfo 0 -\n"
            "addBackupFileFailures -3\n"
            "setFilesToXfer 9000000000\n"
            "addStubSize 100\n"
            "setStubSize 18446744073709551615\n"
            "setPendingCause 5 - 0 300 0 0 0 0 0 0 0 0\n"
            "setPendingCause 6 [\"a\",\"b c\"] 1 300 1 2 3 1 0 0 -1 4\n"
            "getRestartString 0\n"
            "checkQuitFlag\n"
            "finishedWork 120000\n"
            "finishedWorkWithoutExit 120000\n");
}

TEST_F(JobClientTest, TextsAreEscapedSoEachCallStaysOneLine) {
  KOBkpJobClient bkp;
  ASSERT_TRUE(bkp.init("q\"b\\n\nr\r", 7, 1, KOS_PLATFORM_LINUX, true, ""));
  EXPECT_EQ(Journal(), "init \"q\\\"b\\\\n\\nr\\r\" 7 1 4 1 \"\"\n");
  EXPECT_EQ(trhsm::job_journal::QuoteText("tab\tand , stay"), "\"tab\tand , stay\"");
}

TEST_F(JobClientTest, PhaseParametersAreTheNextRunsRestartString) {
  {
    KOBkpJobClient first;
    ASSERT_TRUE(first.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
    std::string restart = "stale";
    EXPECT_TRUE(first.getRestartString(&restart, JMRL_LAST_RUN));
    EXPECT_EQ(restart, "");
    ASSERT_TRUE(first.concatPhaseParams(" -r 5000", KOJSCA_REPLACE));
    ASSERT_TRUE(first.concatPhaseParams(" -r 6000", KOJSCA_REPLACE));
    // Refused changes leave the stored text as it was.
    EXPECT_FALSE(first.concatPhaseParams(" -r 1", KOJSCA_APPEND));
    EXPECT_FALSE(first.concatPhaseParams(nullptr, KOJSCA_REPLACE));
  }
  KOBkpJobClient second;
  ASSERT_TRUE(second.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  std::string restart;
  EXPECT_TRUE(second.getRestartString(&restart, JMRL_LAST_RUN));
  EXPECT_EQ(restart, " -r 6000");
  EXPECT_FALSE(second.getRestartString(nullptr, JMRL_LAST_RUN));
  // An unfinished phase (flagged) or a failure keeps the offset for the rerun; a phase or job that
  // completes as a plain success leaves none behind for the next run.
  const std::tuple<KOJobStatus, KOJobStatusFor, bool> completions[] = {
      {KOJS_SUCCESS_FLAGGED, KOJSF_PHASE, true},
      {KOJS_FAILURE, KOJSF_JOB, true},
      {KOJS_SUCCESS, KOJSF_PHASE, false},
      {KOJS_SUCCESS, KOJSF_JOB, false}};
  for (const auto& [status, target, kept] : completions) {
    ASSERT_TRUE(second.concatPhaseParams(" -r 6000", KOJSCA_REPLACE));
    EXPECT_TRUE(second.complete(status, target, 0, KOPC_NONE));
    KOBkpJobClient next;
    ASSERT_TRUE(next.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
    EXPECT_TRUE(next.getRestartString(&restart, JMRL_LAST_RUN));
    EXPECT_EQ(restart, kept ? " -r 6000" : "") << status << " for " << target;
  }

  // Another job has a restart string of its own; no temporary file is left behind.
  KOBkpJobClient other;
  ASSERT_TRUE(other.init("job", 8, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EXPECT_TRUE(other.getRestartString(&restart, JMRL_LAST_RUN));
  EXPECT_EQ(restart, "");
  std::vector<std::string> entries = FolderEntries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"7.journal", "8.journal"}));
  EXPECT_NE(Journal().find("concatPhaseParams \" -r 1\" 1\nconcatPhaseParams - 2\n"),
            std::string::npos);
}

TEST_F(JobClientTest, QuitFlagFollowsTheQuitFile) {
  KOJobCtrlClient ctrl;
  ASSERT_TRUE(ctrl.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
  EXPECT_FALSE(ctrl.checkQuitFlag());
  WriteFile(folder_ + "/7.quit", "");
  EXPECT_TRUE(ctrl.checkQuitFlag());
  WriteFile(folder_ + "/8.quit", "");
  std::filesystem::remove(folder_ + "/7.quit");
  EXPECT_FALSE(ctrl.checkQuitFlag());
  // A count asks from this client's N-th question on (three asked so far, the next is the 4th).
  WriteFile(folder_ + "/7.quit", "5\n");
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_TRUE(ctrl.checkQuitFlag());
  EXPECT_TRUE(ctrl.checkQuitFlag());
  WriteFile(folder_ + "/7.quit", "5 items");  // not a count: asks at once
  KOJobCtrlClient other;
  ASSERT_TRUE(other.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
  EXPECT_TRUE(other.checkQuitFlag());
}

// Each operation, by name, with a call that is accepted unless refused.
std::map<std::string, std::function<bool(KOBkpJobClient&, KOJobCtrlClient&)>> Operations() {
  return {
      {"complete",
       [](KOBkpJobClient& b, KOJobCtrlClient&) {
         return b.complete(KOJS_SUCCESS, KOJSF_JOB, 0, KOPC_NONE);
       }},
      {"concatPhaseParams",
       [](KOBkpJobClient& b, KOJobCtrlClient&) {
         return b.concatPhaseParams(" -r 1", KOJSCA_REPLACE);
       }},
      {"updateInfo",
       [](KOBkpJobClient& b, KOJobCtrlClient&) { return b.updateInfo(false, nullptr); }},
      {"addBackupFileFailures",
       [](KOBkpJobClient& b, KOJobCtrlClient&) { return b.addBackupFileFailures(1); }},
      {"setFilesToXfer", [](KOBkpJobClient& b, KOJobCtrlClient&) { return b.setFilesToXfer(1); }},
      {"addStubSize", [](KOBkpJobClient& b, KOJobCtrlClient&) { return b.addStubSize(1); }},
      {"setStubSize", [](KOBkpJobClient& b, KOJobCtrlClient&) { return b.setStubSize(1); }},
      {"getRestartString",
       [](KOBkpJobClient& b, KOJobCtrlClient&) {
         std::string s;
         return b.getRestartString(&s, JMRL_LAST_RUN);
       }},
      {"setPendingCause",
       [](KOBkpJobClient& b, KOJobCtrlClient&) {
         return b.setPendingCause(1, nullptr, false, EV_MSG_PENDING_CAUSE, 0, 0, 0, false,
                                  JMGUI_ALERT_NONE, JMPCF_NONE, 0, 0);
       }},
      {"finishedWork", [](KOBkpJobClient&, KOJobCtrlClient& c) { return c.finishedWork(1); }},
      {"finishedWorkWithoutExit",
       [](KOBkpJobClient&, KOJobCtrlClient& c) { return c.finishedWorkWithoutExit(1); }},
  };
}

TEST_F(JobClientTest, RefusalListRefusesExactlyTheNamedOperations) {
  KOBkpJobClient bkp;
  KOJobCtrlClient ctrl;
  ASSERT_TRUE(bkp.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  ASSERT_TRUE(ctrl.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
  for (const auto& [name, call] : Operations()) {
    SCOPED_TRACE(name);
    // A prefix, a longer name and the name inside another do not match.
    Configure(folder_, "x," + name.substr(0, name.size() - 1) + "," + name + "X");
    EXPECT_TRUE(call(bkp, ctrl));
    Configure(folder_, "init , " + name + " ,Init2");
    EXPECT_FALSE(call(bkp, ctrl));
    // A refused call is still journaled.
    std::vector<std::string> lines = Lines(Journal());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back().substr(0, name.size() + 1), name + " ");
    EXPECT_EQ(lines[lines.size() - 2].substr(0, name.size() + 1), name + " ");
  }
  WriteFile(folder_ + "/7.quit", "");
  Configure(folder_, "checkQuitFlag");
  EXPECT_FALSE(ctrl.checkQuitFlag());
  Configure(folder_, "");
  EXPECT_TRUE(ctrl.checkQuitFlag());
}

TEST_F(JobClientTest, RefusedInitLeavesTheClientWithoutAJob) {
  Configure(folder_, "init,Init2");
  KOBkpJobClient bkp;
  KOJobCtrlClient ctrl;
  EXPECT_FALSE(bkp.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EXPECT_FALSE(ctrl.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
  EXPECT_EQ(bkp.jobId(), 0);
  EXPECT_EQ(ctrl.jobId(), 0);
  Configure(folder_, "");
  LogCapture log;
  EXPECT_FALSE(bkp.complete(KOJS_SUCCESS, KOJSF_JOB, 0, KOPC_NONE));
  EXPECT_FALSE(ctrl.finishedWork(1));
  EXPECT_TRUE(log.Contains("complete refused: the client has no job"));
  EXPECT_EQ(Journal(), "init \"job\" 7 1 4 0 -\nInit2 7 \"job\" 1 4 - -\n");
  // Job 0 names no job: nothing is registered or written.
  EXPECT_FALSE(bkp.init("job", 0, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/0.journal"));
}

TEST_F(JobClientTest, WithoutAFolderEveryCallRefusesAndLogsOnce) {
  Configure("", "");
  LogCapture log;
  KOBkpJobClient bkp;
  EXPECT_FALSE(bkp.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EXPECT_FALSE(bkp.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  std::string restart = "stale";
  EXPECT_FALSE(bkp.getRestartString(&restart, JMRL_LAST_RUN));
  EXPECT_EQ(restart, "");
  EXPECT_EQ(Lines(log.Text()).size(), 1u);
  EXPECT_TRUE(
      log.Contains("init refused: no job manager (dJOB_MANAGER_DIR is not configured under Base)"));
  EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(JobClientTest, UnwritableJournalRefusesTheCall) {
  const std::string missing = dir_.File("absent");
  Configure(missing, "");
  LogCapture log;
  KOBkpJobClient bkp;
  EXPECT_FALSE(bkp.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EXPECT_TRUE(log.Contains("init refused: the job manager folder " + missing +
                           " (dJOB_MANAGER_DIR under Base) is not there"))
      << log.Text();
  EXPECT_EQ(bkp.jobId(), 0);
}

// Runs `work` in `count` child processes and expects each to exit 0 within a minute.
void RunChildren(int count, const std::function<bool(int)>& work) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(work(i) ? 0 : 1);
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_EQ(trhsm_test::WaitChild(pid, 60000), 0);
}

TEST_F(JobClientTest, ConcurrentProcessesNeitherInterleaveLinesNorSeeHalfARestartFile) {
  constexpr int kChildren = 4;
  constexpr int kCalls = 150;
  // Lines longer than a pipe buffer's atomic limit, so interleaving would show.
  auto text = [](int child) { return std::string(6000, static_cast<char>('a' + child)); };
  RunChildren(kChildren, [&](int child) {
    KOBkpJobClient bkp;
    if (!bkp.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr)) return false;
    for (int i = 0; i < kCalls; ++i) {
      if (!bkp.concatPhaseParams(text(child).c_str(), KOJSCA_REPLACE)) return false;
      std::string restart;
      if (!bkp.getRestartString(&restart, JMRL_LAST_RUN)) return false;
      // Whatever a reader meets is one writer's whole text.
      if (restart.size() != 6000 || restart.find_first_not_of(restart[0]) != std::string::npos) {
        return false;
      }
    }
    return true;
  });
  std::map<std::string, int> counts;
  for (const std::string& line : Lines(Journal())) ++counts[line];
  std::map<std::string, int> expected = {{"init \"job\" 7 1 4 0 -", kChildren},
                                         {"getRestartString 0", kChildren * kCalls}};
  for (int child = 0; child < kChildren; ++child) {
    expected["concatPhaseParams \"" + text(child) + "\" 2"] = kCalls;
  }
  EXPECT_EQ(counts, expected);
  EXPECT_EQ(FolderEntries().size(), 2u);
}

}  // namespace
