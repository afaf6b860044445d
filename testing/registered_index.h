// A backup index for tests of the index query: made with the given items, and named by a registry
// file that KO_REGISTRY points at for the object's lifetime.
#ifndef TRHSM_TESTING_REGISTERED_INDEX_H_
#define TRHSM_TESTING_REGISTERED_INDEX_H_

#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "testing/test_util.h"

namespace trhsm_test {

class RegisteredIndex {
 public:
  // Makes `folder`/index.db holding `items` and `folder`/registry naming it; a failure to make
  // them fails the test.
  RegisteredIndex(const ScratchDir& folder, const std::vector<trhsm::platform::BackupItem>& items);
  RegisteredIndex(const RegisteredIndex&) = delete;
  RegisteredIndex& operator=(const RegisteredIndex&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  ScopedEnv registry_;
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_REGISTERED_INDEX_H_
