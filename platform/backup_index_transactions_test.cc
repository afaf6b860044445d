// Tests of the backup index's open checks and transactions: a file of another schema is refused by
// its version, a transaction rolled back or left open leaves nothing behind, and a misplaced
// commit or nested begin fails with SQLite's reason.
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/backup_index.h"
#include "testing/test_util.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class BackupIndexTransactionsTest : public ::testing::Test {
 protected:
  std::unique_ptr<BackupIndex> Open(BackupIndex::Mode mode, std::string* error) {
    return BackupIndex::Open(path_, mode, error);
  }
  std::unique_ptr<BackupIndex> Create() {
    std::string error;
    auto index = Open(BackupIndex::Mode::kCreate, &error);
    EXPECT_TRUE(index) << error;
    return index;
  }
  static BackupItem Item(const std::string& name) {
    BackupItem item;
    item.jobId = 4;
    item.fullFileName = name;
    item.fileSize = 10;
    item.metadata = {{5, "v"}};
    return item;
  }
  std::vector<std::string> Names() {
    std::string error;
    auto index = Open(BackupIndex::Mode::kReadOnly, &error);
    EXPECT_TRUE(index) << error;
    std::vector<BackupItem> items;
    std::vector<std::string> names;
    if (index && index->ListJob(4, &items, &error)) {
      for (const BackupItem& item : items) names.push_back(item.fullFileName);
    }
    return names;
  }

  ScratchDir dir_;
  std::string path_ = dir_.File("index.db");
};

TEST_F(BackupIndexTransactionsTest, OtherSchemaVersionIsNotABackupIndex) {
  {
    auto index = Create();
    ASSERT_TRUE(index);
    ASSERT_EQ(sqlite3_exec(index->db(), "PRAGMA user_version = 7", nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  for (auto mode : {BackupIndex::Mode::kReadOnly, BackupIndex::Mode::kCreate}) {
    std::string error;
    EXPECT_EQ(Open(mode, &error), nullptr);
    EXPECT_EQ(error, "open backup index " + path_ + ": not a backup index (schema version 7)");
  }
}

TEST_F(BackupIndexTransactionsTest, EmptyDatabaseIsNoIndexUnlessCreated) {
  WriteFile(path_, "");
  std::string error;
  EXPECT_EQ(Open(BackupIndex::Mode::kReadOnly, &error), nullptr);
  EXPECT_EQ(error, "open backup index " + path_ + ": not a backup index (schema version 0)");
  // Creating fills in the schema of the empty database.
  EXPECT_TRUE(Create());
  EXPECT_TRUE(Names().empty());
}

TEST_F(BackupIndexTransactionsTest, FileThatIsNoDatabaseIsRefused) {
  WriteFile(path_, std::string(4096, 'x'));
  std::string error;
  EXPECT_EQ(Open(BackupIndex::Mode::kCreate, &error), nullptr);
  EXPECT_EQ(error.rfind("open backup index " + path_ + ": ", 0), 0u) << error;
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;
}

TEST_F(BackupIndexTransactionsTest, RollbackDropsTheTransactionsItems) {
  auto index = Create();
  std::string error;
  ASSERT_TRUE(index->AddItem(Item("/before"), &error)) << error;
  ASSERT_TRUE(index->Begin(&error)) << error;
  ASSERT_TRUE(index->AddItem(Item("/dropped"), &error)) << error;
  index->Rollback();
  index->Rollback();  // nothing open any more: no effect
  EXPECT_EQ(Names(), (std::vector<std::string>{"/before"}));
  // The index takes items again, with and without a transaction.
  ASSERT_TRUE(index->Begin(&error)) << error;
  ASSERT_TRUE(index->AddItem(Item("/committed"), &error)) << error;
  ASSERT_TRUE(index->Commit(&error)) << error;
  EXPECT_EQ(Names(), (std::vector<std::string>{"/before", "/committed"}));
}

TEST_F(BackupIndexTransactionsTest, TransactionLeftOpenIsRolledBackOnDestruction) {
  {
    auto index = Create();
    std::string error;
    ASSERT_TRUE(index->Begin(&error)) << error;
    ASSERT_TRUE(index->AddItem(Item("/unfinished"), &error)) << error;
  }
  EXPECT_TRUE(Names().empty());
  // No lock was left behind either: a new writer commits at once.
  auto index = Create();
  std::string error;
  ASSERT_TRUE(index->Begin(&error)) << error;
  ASSERT_TRUE(index->AddItem(Item("/later"), &error)) << error;
  ASSERT_TRUE(index->Commit(&error)) << error;
  EXPECT_EQ(Names(), (std::vector<std::string>{"/later"}));
}

TEST_F(BackupIndexTransactionsTest, CommitWithoutBeginFails) {
  auto index = Create();
  std::string error;
  EXPECT_FALSE(index->Commit(&error));
  EXPECT_EQ(error.rfind("backup index: ", 0), 0u) << error;
  EXPECT_NE(error.find("no transaction"), std::string::npos) << error;
}

TEST_F(BackupIndexTransactionsTest, NestedBeginFailsAndKeepsTheOpenTransaction) {
  auto index = Create();
  std::string error;
  ASSERT_TRUE(index->Begin(&error)) << error;
  ASSERT_TRUE(index->AddItem(Item("/first"), &error)) << error;
  EXPECT_FALSE(index->Begin(&error));
  EXPECT_EQ(error.rfind("backup index: ", 0), 0u) << error;
  EXPECT_NE(error.find("within a transaction"), std::string::npos) << error;
  ASSERT_TRUE(index->AddItem(Item("/second"), &error)) << error;
  ASSERT_TRUE(index->Commit(&error)) << error;
  EXPECT_EQ(Names(), (std::vector<std::string>{"/first", "/second"}));
}

}  // namespace
