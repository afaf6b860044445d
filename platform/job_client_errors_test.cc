// The job-client stand-in when its calls are interrupted or its names taken: an interrupted
// journal write is retried, an interrupted fsync fails the restart file's replacement, a folder
// setting left empty refuses the calls, and the quit file's count is read strictly.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/alloc_fault.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/EvDebug.h"
#include "trhsm/KOJobClient.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScopedFault;
using trhsm_test::WriteFile;

class JobClientErrorsTest : public ::testing::Test {
 protected:
  void Configure(const std::string& folder) {
    WriteFile(config_.File("registry"), "[Base]\ndJOB_MANAGER_DIR=" + folder + "\n");
  }
  std::string File(const char* name) const { return folder_.File(name); }

  trhsm_test::ScratchDir config_;
  trhsm_test::ScratchDir folder_;
  ScopedEnv registry_{"KO_REGISTRY", config_.File("registry")};
  trhsm_test::LogCapture log_;
};

// One replacement writes the journal, then writes, syncs and renames a temporary file and syncs
// the folder.
TEST_F(JobClientErrorsTest, RestartFileUnderInterruptedAndTakenCalls) {
  Configure(folder_.path());
  KOBkpJobClient client;
  ASSERT_TRUE(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  const std::string before = " -r 5000";
  const std::string after = " -r 6000";
  const std::string temporary = File("7.restart") + ".tmp.";
  struct Case {
    const char* op;
    long n;
    int error;
    bool sticky;
    bool result;
    bool renamed;        // the new text is in place
    long calls;          // of the op
    std::string logged;  // the start of the logged failure, up to the reason
  };
  // The opens: the configuration, the journal, the configuration again, the temporary file.
  const Case cases[] = {
      {"write", 1, EINTR, false, true, true, 3, ""},  // retried, then the temporary's
      {"open", 4, EEXIST, false, true, true, 6, ""},  // a taken name costs another try
      {"open", 4, EEXIST, true, false, false, 3 + 16, "open " + temporary},
      // An interrupted fsync is not tried again, and nothing after it is done.
      {"fsync", 1, EINTR, false, false, false, 1, "fsync " + temporary},
      {"fsync", 2, EINTR, false, false, true, 2, "fsync " + folder_.path() + ": "},
  };
  // The log file is opened by the first line: not under the faults below.
  EvDebug().Debug("JobClientErrorsTest", "start");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.n) + " " + std::strerror(c.error));
    WriteFile(File("7.restart"), before);
    WriteFile(File("7.journal"), "");
    log_.Clear();
    const int fds = trhsm_open_fd_count();
    bool result;
    {
      ScopedFault fault(c.op, c.n, c.error, c.sticky);
      result = client.concatPhaseParams(after.c_str(), KOJSCA_REPLACE);
      EXPECT_TRUE(trhsm_fault_fired());
      EXPECT_EQ(trhsm_fault_calls(c.op), c.calls);
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(trhsm_open_fd_count(), fds);
    // Only a failure after the rename (the folder's sync) leaves the new text in place.
    EXPECT_EQ(ReadFile(File("7.restart")), c.renamed ? after : before);
    EXPECT_EQ(ReadFile(File("7.journal")), "concatPhaseParams \" -r 6000\" 2\n");
    EXPECT_EQ(trhsm_test::ListFolder(folder_.path()),
              (std::vector<std::string>{"7.journal", "7.restart"}));
    if (c.logged.empty()) {
      EXPECT_FALSE(log_.Contains("KOJobClient:")) << log_.Text();
    } else {
      const std::string text = log_.Text();
      const size_t at = text.find("KOJobClient: " + c.logged);
      ASSERT_NE(at, std::string::npos) << text;
      EXPECT_NE(text.find(std::string(": ") + std::strerror(c.error), at), std::string::npos)
          << text;
    }
  }
}

TEST_F(JobClientErrorsTest, EmptyFolderSettingRefusesTheCalls) {
  Configure("");
  KOBkpJobClient client;
  EXPECT_FALSE(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EXPECT_FALSE(client.updateInfo(false, "x"));
  EXPECT_TRUE(
      log_.Contains("init refused: no job manager (dJOB_MANAGER_DIR is not configured under Base)"))
      << log_.Text();
  // Reported once per client, not once per call.
  EXPECT_FALSE(log_.Contains("updateInfo refused")) << log_.Text();
  EXPECT_EQ(trhsm_test::ListFolder(folder_.path()).size(), 0u);
}

// A quit file holding a positive count (and at most a line end after it) asks from that question
// on; anything else asks at once.
TEST_F(JobClientErrorsTest, QuitFileCountIsReadStrictly) {
  Configure(folder_.path());
  const std::pair<const char*, bool> cases[] = {
      {"2", false}, {"2\n", false}, {"0", true},     {"-2", true},
      {"2x", true}, {"2\nx", true}, {"2\n\n", true}, {"99999999999999999999", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    WriteFile(File("7.quit"), c.first);
    KOJobCtrlClient ctrl(0);
    ASSERT_TRUE(ctrl.Init2(7, "job", JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX, nullptr, nullptr));
    EXPECT_EQ(ctrl.checkQuitFlag(), c.second);
    EXPECT_TRUE(ctrl.checkQuitFlag());
  }
}

// An exhausted heap anywhere in a call (each text's quoting reaches the end of the short-string
// room at another escape) leaves no part of it: the journal holds the whole line or nothing, the
// restart file the old text or the new one, and no descriptor or temporary file remains.
TEST_F(JobClientErrorsTest, ExhaustedHeapLeavesNoPartOfACall) {
  Configure(folder_.path());
  KOBkpJobClient client;
  ASSERT_TRUE(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  EvDebug().Debug("JobClientErrorsTest", "start");
  const int fds = trhsm_open_fd_count();
  const std::string texts[] = {std::string(14, 'a') + "\"", std::string(13, 'a') + "\"",
                               std::string(13, 'a') + "\n", std::string(13, 'a') + "\r"};
  for (const std::string& text : texts) {
    std::vector<std::string> journals;
    for (long n = 1;; ++n) {
      SCOPED_TRACE(text + " " + std::to_string(n));
      WriteFile(File("7.restart"), "old");
      WriteFile(File("7.journal"), "");
      bool result = false;
      bool fired;
      {
        trhsm_test::ScopedAllocFault fault(n);
        try {
          result = client.concatPhaseParams(text.c_str(), KOJSCA_REPLACE);
        } catch (const std::bad_alloc&) {
        }
        fired = fault.fired();
      }
      EXPECT_EQ(trhsm_open_fd_count(), fds);
      EXPECT_EQ(trhsm_test::ListFolder(folder_.path()),
                (std::vector<std::string>{"7.journal", "7.restart"}));
      const std::string restart = ReadFile(File("7.restart"));
      EXPECT_TRUE(restart == "old" || restart == text) << restart;
      journals.push_back(ReadFile(File("7.journal")));
      if (!fired) {
        EXPECT_TRUE(result);
        EXPECT_EQ(restart, text);
        break;
      }
      ASSERT_LT(n, 1000);
    }
    for (const std::string& journal : journals) {
      EXPECT_TRUE(journal.empty() || journal == journals.back()) << journal;
    }
  }
}

}  // namespace
