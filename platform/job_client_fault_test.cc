// The job-client stand-in's restart file under injected I/O faults: a failed phase-parameter
// write reports failure and leaves the earlier restart file byte for byte, without a temporary
// file or an open descriptor left behind.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "testing/fault_sweep.h"
#include "testing/test_util.h"
#include "trhsm/KOJobClient.h"

namespace {

using trhsm_test::FaultCase;
using trhsm_test::FaultRun;
using trhsm_test::ListFolder;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class JobClientFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    WriteFile(config_.File("registry"), "[Base]\ndJOB_MANAGER_DIR=" + folder_.path() + "\n");
    ASSERT_TRUE(client_.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
  }
  std::string Restart() const { return folder_.File("7.restart"); }

  ScopedEnv tmp_{"TMPDIR", trhsm_test::FastScratchRoot()};  // before the folders
  ScratchDir config_;
  ScratchDir folder_;
  ScopedEnv registry_{"KO_REGISTRY", config_.File("registry")};
  ScopedEnv log_{"KO_LOG_FILE", ""};  // logging to stderr, outside the sweep's counts
  KOBkpJobClient client_;
};

TEST_P(JobClientFaultTest, RestartWriteKeepsTheEarlierRestartFile) {
  const std::string before = " -r 5000";
  const std::string after = " -r 6000";
  long fired = trhsm_test::SweepFaults(
      GetParam(), [&] { WriteFile(Restart(), before); },
      [&] { return client_.concatPhaseParams(after.c_str(), KOJSCA_REPLACE); },
      [&](const FaultRun& run) {
        const std::string now = ReadFile(Restart());
        if (!run.fired) {
          EXPECT_EQ(now, after);
        } else if (trhsm_test::MustFail(GetParam(), run, folder_.path())) {
          EXPECT_FALSE(run.succeeded) << "fault on " << run.firedPath << " reported as success";
          // Only the folder's sync follows the rename; the new file is then whole.
          EXPECT_EQ(now, run.firedPath == folder_.path() ? after : before)
              << "fault on " << run.firedPath;
        } else {
          EXPECT_EQ(now, run.succeeded ? after : before) << "fault on " << run.firedPath;
        }
        for (const std::string& name : ListFolder(folder_.path())) {
          EXPECT_TRUE(name == "7.journal" || name == "7.restart") << "left behind: " << name;
        }
      });
  EXPECT_GT(fired, 0);
}

INSTANTIATE_TEST_SUITE_P(AllFaults, JobClientFaultTest,
                         ::testing::ValuesIn(trhsm_test::AllFaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           std::string name = trhsm_test::Describe(info.param);
                           for (char& c : name) {
                             if (c == ' ') c = '_';
                           }
                           return name;
                         });

}  // namespace
