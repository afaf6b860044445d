// Test fixture for the job-manager facade: a job-manager folder configured in a scratch
// configuration store, with helpers to read back what the job-client stand-in recorded.
#ifndef TRHSM_JOB_JOB_MANAGER_FIXTURE_H_
#define TRHSM_JOB_JOB_MANAGER_FIXTURE_H_

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/job_journal_format.h"
#include "testing/test_util.h"

namespace trhsm_test {

class JobManagerFolderTest : public ::testing::Test {
 protected:
  JobManagerFolderTest()
      : folder_(dir_.File("jm")), store_(dir_.File("registry")), env_("KO_REGISTRY", store_) {
    std::filesystem::create_directory(folder_);
    Refuse("");
  }

  // Configures the folder and makes the comma-separated `operations` refuse.
  void Refuse(const std::string& operations) {
    WriteFile(store_,
              "[Base]\ndJOB_MANAGER_DIR=" + folder_ + "\nsJOB_MANAGER_REFUSE=" + operations + "\n");
  }

  std::string JobFile(long long jobId, const char* suffix) const {
    return trhsm::job_journal::JobFile(folder_, jobId, suffix);
  }

  // The journal of `jobId`, one entry per call.
  std::vector<std::string> Journal(long long jobId = 7) const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(JobFile(jobId, trhsm::job_journal::kJournalSuffix)));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  bool FolderIsEmpty() const { return std::filesystem::is_empty(folder_); }
  // Forgets every job: journals, restart and quit files.
  void ClearFolder() const {
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      std::filesystem::remove(entry.path());
    }
  }

  ScratchDir dir_;
  std::string folder_;
  std::string store_;
  ScopedEnv env_;
};

}  // namespace trhsm_test

#endif  // TRHSM_JOB_JOB_MANAGER_FIXTURE_H_
