#include "testing/registered_index.h"

#include <gtest/gtest.h>

namespace trhsm_test {

RegisteredIndex::RegisteredIndex(const ScratchDir& folder,
                                 const std::vector<trhsm::platform::BackupItem>& items)
    : path_(folder.File("index.db")), registry_("KO_REGISTRY", folder.File("registry")) {
  WriteFile(folder.File("registry"), "[Base]\ndBACKUP_INDEX=" + path_ + "\n");
  using trhsm::platform::BackupIndex;
  std::string error;
  auto index = BackupIndex::Open(path_, BackupIndex::Mode::kCreate, &error);
  if (index == nullptr) {
    ADD_FAILURE() << error;
    return;
  }
  for (const trhsm::platform::BackupItem& item : items) {
    if (!index->AddItem(item, &error)) {
      ADD_FAILURE() << error;
      return;
    }
  }
}

}  // namespace trhsm_test
