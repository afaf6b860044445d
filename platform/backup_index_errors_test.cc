// Error paths of the backup index and of apiGetBackedUpItemsByJob: files that are no index, tables
// or columns missing, a locked index, bad query arguments, and I/O faults on the index and on the
// collect file. Every failure is reported with its reason and leaves no file or descriptor behind.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/backup_index.h"
#include "testing/fault_sweep.h"
#include "testing/test_util.h"
#include "trhsm/FsClientApi.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::ListFolder;
using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::WriteFile;
using Mode = BackupIndex::Mode;
using Names = std::vector<std::string>;

constexpr char kItems[] =
    "CREATE TABLE items(id INTEGER PRIMARY KEY, job_id, arch_group_id, arch_file_id,"
    " arch_file_offs, file_size, full_file_name BLOB, mod_time, inode);";

class IndexErrorsTest : public ::testing::Test {
 protected:
  IndexErrorsTest() : registry_("KO_REGISTRY", dir_.File("registry")) {
    Configure(index_);
    EXPECT_EQ(::mkdir(collect_.c_str(), 0755), 0);
  }

  void Configure(const std::string& path) {
    WriteFile(dir_.File("registry"), "[Base]\ndBACKUP_INDEX=" + path + "\n");
  }

  // A database of a schema of its own at index_.
  void MakeDatabase(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(index_.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  std::unique_ptr<BackupIndex> Create() {
    std::string error;
    auto index = BackupIndex::Open(index_, Mode::kCreate, &error);
    EXPECT_TRUE(index) << error;
    return index;
  }

  static BackupItem Item(const std::string& name, std::vector<std::pair<int64_t, std::string>> md) {
    BackupItem item;
    item.jobId = 7;
    item.archFileOffset = 100;
    item.fileSize = 20;
    item.fullFileName = name;
    item.inode = 42;
    item.metadata = std::move(md);
    return item;
  }

  int Query(const std::string& columns, const std::string& separator = ",",
            const std::string& recordEnd = "\n", const std::string& name = "q.kof") {
    return apiGetBackedUpItemsByJob(7, folder_, name, columns, "host", 2, 0, 0, separator, nullptr,
                                    nullptr, "|", recordEnd, "");
  }

  trhsm_test::ScratchDir dir_;
  trhsm_test::ScopedEnv registry_;
  std::string index_ = dir_.File("index.db");
  std::string collect_ = dir_.path() + "/collect/";
  std::string folder_ = collect_;
};

TEST_F(IndexErrorsTest, OpenFailsWithThePathAndTheReason) {
  const std::string folderPath = dir_.File("folder");
  ASSERT_EQ(::mkdir(folderPath.c_str(), 0755), 0);
  WriteFile(dir_.File("text"), std::string(4096, 't'));
  WriteFile(dir_.File("empty"), "");
  struct Case {
    std::string path;
    Mode mode;
    const char* reason;
  } cases[] = {
      {dir_.File("nowhere/index.db"), Mode::kCreate, "unable to open database file"},
      {dir_.File("missing.db"), Mode::kReadOnly, "unable to open database file"},
      {folderPath, Mode::kCreate, "unable to open database file"},
      {dir_.File("text"), Mode::kReadOnly, "file is not a database"},
      {dir_.File("empty"), Mode::kReadOnly, "not a backup index (schema version 0)"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(BackupIndex::Open(c.path, c.mode, &error), nullptr) << c.path;
    EXPECT_EQ(error, "open backup index " + c.path + ": " + c.reason);
  }
  EXPECT_EQ(ListFolder(dir_.path()), (Names{"collect", "empty", "folder", "registry", "text"}));
  EXPECT_EQ(ReadFile(dir_.File("text")), std::string(4096, 't'));

  // A table of another layout where the index's would go: the schema cannot be laid down.
  MakeDatabase("CREATE TABLE items(name);");
  std::string error;
  EXPECT_EQ(BackupIndex::Open(index_, Mode::kCreate, &error), nullptr);
  EXPECT_EQ(error, "backup index: no such column: job_id");
  EXPECT_EQ(BackupIndex::Open(index_, Mode::kReadOnly, &error), nullptr);
  EXPECT_NE(error.find("(schema version 0)"), std::string::npos) << error;
}

// An index of schema version 1 whose tables are not what they should be: each call fails with
// SQLite's reason, and an item is stored with all its attributes or not at all.
TEST_F(IndexErrorsTest, DamagedSchemaFailsEachCallAndStoresNoHalfItem) {
  struct Case {
    std::string schema;
    const char* add;      // AddItem's error for an item with an attribute
    const char* list;     // ListJob's, "" when it succeeds
    const char* end;      // ArchiveEnd's, "" when it succeeds
    const char* columns;  // a query that fails, if any
  } cases[] = {
      {"CREATE TABLE items(id INTEGER PRIMARY KEY, job_id);",
       "table items has no column named arch_group_id", "no such table: metadata",
       "no such column: arch_file_offs", "full_file_name"},
      {kItems, "no such table: metadata", "no such table: metadata", "", "inode,metadata-5"},
      {std::string(kItems) + "CREATE TABLE metadata(item_id, attr_id, value, extra NOT NULL);",
       "NOT NULL constraint failed: metadata.extra", "", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.schema);
    ::unlink(index_.c_str());
    MakeDatabase(c.schema + "PRAGMA user_version = 1;");
    auto index = Create();
    ASSERT_TRUE(index);
    std::string error;
    EXPECT_FALSE(index->AddItem(Item("/a", {{5, "five"}}), &error));
    EXPECT_EQ(error, std::string("backup index: ") + c.add);
    std::vector<BackupItem> items;
    error.clear();
    EXPECT_EQ(index->ListJob(7, &items, &error), *c.list == '\0');
    EXPECT_EQ(error, *c.list ? std::string("backup index: ") + c.list : "");
    EXPECT_TRUE(items.empty());
    int64_t end = -1;
    error.clear();
    EXPECT_EQ(index->ArchiveEnd(7, 0, 0, &end, &error), *c.end == '\0');
    EXPECT_EQ(error, *c.end ? std::string("backup index: ") + c.end : "");
    EXPECT_EQ(end, *c.end == '\0' ? 0 : -1) << "the refused item was kept";
    if (c.columns != nullptr) {
      LogCapture log;
      EXPECT_EQ(Query(c.columns), -1);
      EXPECT_TRUE(log.Contains("Query of backup index " + index_ + " failed: ")) << log.Text();
    }
    EXPECT_TRUE(ListFolder(collect_).empty());
    // What the damage allows still works.
    if (*c.end == '\0') {
      EXPECT_TRUE(index->AddItem(Item("/bare", {}), &error)) << error;
      EXPECT_TRUE(index->ArchiveEnd(7, 0, 0, &end, &error)) << error;
      EXPECT_EQ(end, 120);
    }
  }
}

TEST_F(IndexErrorsTest, LockedIndexRefusesTheWriterUntilReleased) {
  auto holder = Create();
  auto writer = Create();
  std::string error;
  ASSERT_TRUE(holder->Begin(&error)) << error;
  sqlite3_busy_timeout(writer->db(), 0);  // fail at once instead of after ten seconds
  EXPECT_FALSE(writer->AddItem(Item("/waits", {{5, "v"}}), &error));
  EXPECT_EQ(error, "backup index: database is locked");
  EXPECT_FALSE(writer->Begin(&error));
  EXPECT_EQ(error, "backup index: database is locked");
  ASSERT_TRUE(holder->Commit(&error)) << error;
  EXPECT_TRUE(writer->AddItem(Item("/later", {{5, "v"}}), &error)) << error;
  std::vector<BackupItem> items;
  ASSERT_TRUE(holder->ListJob(7, &items, &error)) << error;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].fullFileName, "/later");
}

// Empty values, repeated and missing attributes come out as fields of their own.
TEST_F(IndexErrorsTest, EmptyAndRepeatedAttributesGiveTheirFields) {
  {
    auto index = Create();
    std::string error;
    ASSERT_TRUE(index->AddItem(Item("/e", {{5, ""}}), &error)) << error;
    ASSERT_TRUE(index->AddItem(Item("/f", {{5, "v"}, {9, "w"}}), &error)) << error;
    std::vector<BackupItem> items;
    ASSERT_TRUE(index->ListJob(7, &items, &error)) << error;
    ASSERT_EQ(items.size(), 2u);
    ASSERT_EQ(items[0].metadata.size(), 1u);
    EXPECT_EQ(items[0].metadata[0].second, "");
  }
  ASSERT_EQ(Query("metadata-5,metadata-5,full_file_name,metadata-9"), 0);
  EXPECT_EQ(ReadFile(collect_ + "q.kof"), ",,/e,\nv,v,/f,w\n");
}

TEST_F(IndexErrorsTest, BadArgumentsFailAndWriteNothing) {
  Create();
  struct Case {
    const char* name;
    const char* columns;
    const char* separator;
    const char* recordEnd;
    std::string message;
  } cases[] = {
      {"", "inode", ",", "\n", "Bad query for job 7"},
      {"q.kof", "inode", ",", "", "Bad query for job 7"},
      {"q.kof", "inode", "", "\n", "Bad query for job 7"},
      {"q.kof", "inode", ",;", "\n", "Bad query for job 7"},
      {"q.kof", "inode", "\"", "\n", "Bad query for job 7"},
      {"q.kof", "inode", "\\", "\n", "Bad query for job 7"},
      {"q.kof", "inode", "\n", "\n", "Bad query for job 7"},
      {"q.kof", "inode", ";", "|;", "Bad query for job 7"},
      {"q.kof", "modification_time", ",", "\n", "Unknown column 'modification_time'"},
      {"q.kof", "inode,metadata-x", ",", "\n", "Unknown column 'metadata-x'"},
      {"q.kof", "metadata-99999999999999999999", ",", "\n", "Unknown column 'metadata-9999"},
      {"q.kof", "inode,,file_size", ",", "\n", "Unknown column '' in column list"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(Query(c.columns, c.separator, c.recordEnd, c.name), -1) << c.columns;
    EXPECT_TRUE(log.Contains(c.message)) << log.Text();
  }
  Configure("");
  LogCapture log;
  EXPECT_EQ(Query("inode"), -1);
  EXPECT_TRUE(log.Contains("No backup index configured")) << log.Text();
  EXPECT_TRUE(ListFolder(collect_).empty());
}

// An empty folder names a file in the current folder; "/" one in the root, here stopped by a
// failing create so that nothing is written there.
TEST_F(IndexErrorsTest, TargetWithoutOrAtTheRootFolder) {
  Create();
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_NE(cwd, nullptr);
  ASSERT_EQ(::chdir(collect_.c_str()), 0);
  folder_ = "";
  trhsm_fault_arm("open", 1000000, EIO, 0);  // counts the opens of a whole query
  const int result = Query("inode", ",", "\n", "here.kof");
  const long opens = trhsm_fault_calls("open");
  trhsm_fault_disarm();
  EXPECT_EQ(::chdir(cwd), 0);
  ::free(cwd);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ListFolder(collect_), Names{"here.kof"});

  folder_ = "/";
  LogCapture log;
  EXPECT_EQ(Query("inode", ""), -1);  // opens the log file before the fault stops every open
  {
    // The temporary file is the query's second last open, the folder's sync the last.
    trhsm_test::ScopedFault fault("open", opens - 1, EACCES, true);
    EXPECT_EQ(Query("inode", ",", "\n", "trhsm-none.kof"), -1);
    EXPECT_STREQ(trhsm_fault_fired_path(), "/.trhsm-none.kof.XXXXXX");
  }
  EXPECT_TRUE(log.Contains("create temporary file /.trhsm-none.kof.XXXXXX: Permission denied"))
      << log.Text();
  EXPECT_NE(::access("/trhsm-none.kof", F_OK), 0);
}

// Every failing call of the query leaves the earlier file or none, never a temporary one; an
// interrupted write or read is retried, an interrupted fsync fails.
TEST_F(IndexErrorsTest, QueryFaultSweep) {
  {
    auto index = Create();
    std::string error;
    for (int i = 0; i < 30; ++i) {
      ASSERT_TRUE(index->AddItem(Item("/d/" + std::to_string(i), {{5, "v"}}), &error)) << error;
    }
  }
  const std::string target = collect_ + "q.kof";
  std::string expected;
  for (int i = 0; i < 30; ++i) expected += "/d/" + std::to_string(i) + ",v\n";
  const trhsm_test::FaultCase cases[] = {
      {"open", EIO, false},    {"read", EIO, false},  {"read", EIO, true},
      {"read", EINTR, false},  {"write", EIO, true},  {"write", EINTR, false},
      {"fsync", EINTR, false}, {"close", EIO, false}, {"rename", ENOSPC, false},
  };
  for (const trhsm_test::FaultCase& c : cases) {
    const bool interruptible = c.err == EINTR && std::strcmp(c.op, "fsync") != 0;
    LogCapture log;
    EXPECT_EQ(Query("inode", ""), -1);  // the log file is opened and stays so from here on
    trhsm_test::SweepFaults(
        c,
        [&] {
          WriteFile(target, "old\n");
          log.Clear();
        },
        [&] { return Query("full_file_name,metadata-5") == 0; },
        [&](const trhsm_test::FaultRun& run) {
          const std::string text = ReadFile(target);
          for (const std::string& name : ListFolder(collect_)) EXPECT_EQ(name, "q.kof");
          if (run.succeeded) {
            EXPECT_EQ(text, expected);
            EXPECT_EQ(log.Text(), "");
          } else {
            EXPECT_TRUE(text == "old\n" || ::access(target.c_str(), F_OK) != 0) << text;
            // A failing write may be the log's own.
            EXPECT_TRUE(std::strcmp(c.op, "write") == 0 || !log.Text().empty());
          }
          const bool readOnlyClose =
              std::strcmp(c.op, "close") == 0 && run.firedPath.rfind(collect_ + ".", 0) != 0;
          EXPECT_TRUE(!run.fired || !interruptible || run.succeeded) << "not retried";
          if (run.fired && !interruptible && !readOnlyClose) {
            EXPECT_FALSE(run.succeeded) << run.firedPath;
          }
          if (std::strcmp(c.op, "fsync") == 0 && run.fired) {
            EXPECT_EQ(trhsm_fault_calls("fsync"), run.n) << "fsync retried";
            EXPECT_TRUE(log.Contains(std::string("fsync ") + run.firedPath)) << log.Text();
          }
        });
  }
}

// AddItem, ListJob and ArchiveEnd under I/O faults: an item is stored whole or not at all, and
// the failed call leaves no lock or journal that would stop the next writer.
TEST_F(IndexErrorsTest, IndexFaultSweep) {
  Create();
  size_t stored = 0;
  for (const trhsm_test::FaultCase& c : trhsm_test::AllFaultCases()) {
    trhsm_test::SweepFaults(
        c, [] {},
        [&] {
          std::string error;
          auto index = BackupIndex::Open(index_, Mode::kCreate, &error);
          const bool ok = index && index->AddItem(Item("/x", {{5, "v"}, {6, "w"}}), &error);
          EXPECT_EQ(ok, error.empty()) << error;
          EXPECT_TRUE(ok || error.find("backup index") != std::string::npos) << error;
          return ok;
        },
        [&](const trhsm_test::FaultRun& run) {
          std::string error;
          auto index = Create();
          ASSERT_TRUE(index);
          std::vector<BackupItem> items;
          ASSERT_TRUE(index->ListJob(7, &items, &error)) << error;
          if (run.succeeded) ++stored;
          ASSERT_EQ(items.size(), stored);
          for (const BackupItem& item : items) EXPECT_EQ(item.metadata.size(), 2u);
          EXPECT_EQ(ListFolder(dir_.path()), (Names{"collect", "index.db", "registry"}));
        });
  }
  for (const char* op : {"open", "read"}) {
    trhsm_test::SweepFaults(
        {op, EIO, true}, [] {},
        [&] {
          std::string error;
          auto index = BackupIndex::Open(index_, Mode::kReadOnly, &error);
          std::vector<BackupItem> items;
          int64_t end = 0;
          const bool ok = index && index->ListJob(7, &items, &error) &&
                          index->ArchiveEnd(7, 0, 0, &end, &error);
          EXPECT_TRUE(ok ? items.size() == stored && end == 120 : !error.empty()) << error;
          return ok;
        },
        [](const trhsm_test::FaultRun&) {});
  }
}

}  // namespace
