// A backup index for tests of the index query: `folder`/index.db holding the given items, named by
// a registry file `folder`/registry that KO_REGISTRY points at for the object's lifetime; a failure
// to make them fails the test.
#ifndef TRHSM_TESTING_REGISTERED_INDEX_H_
#define TRHSM_TESTING_REGISTERED_INDEX_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "testing/test_util.h"

namespace trhsm_test {
class RegisteredIndex {
 public:
  RegisteredIndex(const ScratchDir& folder, const std::vector<trhsm::platform::BackupItem>& items)
      : path_(folder.File("index.db")), registry_("KO_REGISTRY", folder.File("registry")) {
    using trhsm::platform::BackupIndex;
    WriteFile(folder.File("registry"), "[Base]\ndBACKUP_INDEX=" + path_ + "\n");
    std::string error;
    auto index = BackupIndex::Open(path_, BackupIndex::Mode::kCreate, &error);
    bool ok = index != nullptr;
    for (size_t i = 0; ok && i < items.size(); ++i) ok = index->AddItem(items[i], &error);
    EXPECT_TRUE(ok) << error;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  ScopedEnv registry_;  // neither copyable nor movable, nor therefore this
};
}  // namespace trhsm_test

#endif  // TRHSM_TESTING_REGISTERED_INDEX_H_
