// BackupIndex: the SQLite tables of the backup index and the calls that fill and list them.
#include "platform/backup_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>

#include "platform/registry.h"

namespace trhsm {
namespace platform {

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;

constexpr const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS items("
    " id INTEGER PRIMARY KEY, job_id INTEGER NOT NULL, arch_group_id INTEGER NOT NULL,"
    " arch_file_id INTEGER NOT NULL, arch_file_offs INTEGER NOT NULL, file_size INTEGER NOT NULL,"
    " full_file_name BLOB NOT NULL, mod_time INTEGER NOT NULL, inode INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS items_by_job ON items(job_id, id);"
    "CREATE TABLE IF NOT EXISTS metadata("
    " item_id INTEGER NOT NULL, attr_id INTEGER NOT NULL, value BLOB NOT NULL,"
    " PRIMARY KEY(item_id, attr_id)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;";

struct LocalCloser {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using LocalStatement = std::unique_ptr<sqlite3_stmt, LocalCloser>;

LocalStatement Prepare(sqlite3* db, const char* sql, std::string* error) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
    *error = std::string("backup index: ") + sqlite3_errmsg(db);
    sqlite3_finalize(s);
    return nullptr;
  }
  return LocalStatement(s);
}

bool Fail(sqlite3* db, std::string* error) {
  *error = std::string("backup index: ") + sqlite3_errmsg(db);
  return false;
}

bool HoldsLineBreakOrNul(const std::string& text) {
  return text.find('\n') != std::string::npos || text.find('\0') != std::string::npos;
}

std::string BlobText(sqlite3_stmt* s, int column) {
  // An empty blob comes back as a null pointer.
  const char* data = static_cast<const char*>(sqlite3_column_blob(s, column));
  std::string text;
  if (data != nullptr) text.assign(data, static_cast<size_t>(sqlite3_column_bytes(s, column)));
  return text;
}

}  // namespace

std::unique_ptr<BackupIndex> BackupIndex::Open(const std::string& path, Mode mode,
                                               std::string* error) {
  const int flags =
      mode == Mode::kCreate ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  // The handle is owned from here on, even when the open failed, and even when the allocation
  // of its owner below fails.
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> handle(raw, sqlite3_close_v2);
  std::unique_ptr<BackupIndex> index(new BackupIndex(raw));
  handle.release();
  if (rc != SQLITE_OK) {
    // sqlite3_errmsg gives "out of memory" for the null handle of a failed allocation.
    *error = "open backup index " + path + ": " + sqlite3_errmsg(raw);
    return nullptr;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  // The first read also finds out whether the file is a database at all.
  LocalStatement version = Prepare(raw, "PRAGMA user_version", error);
  if (!version || sqlite3_step(version.get()) != SQLITE_ROW) {
    *error = "open backup index " + path + ": " + sqlite3_errmsg(raw);
    return nullptr;
  }
  int found = sqlite3_column_int(version.get(), 0);
  version.reset();
  if (found == 0 && mode == Mode::kCreate) {
    if (!index->Exec(kSchema, error)) return nullptr;
    found = kSchemaVersion;
  }
  if (found != kSchemaVersion) {
    *error = "open backup index " + path + ": not a backup index (schema version " +
             std::to_string(found) + ")";
    return nullptr;
  }
  return index;
}

bool BackupIndex::ConfiguredPath(std::string* path) {
  std::string value;
  const bool found = RegistryLookup(kBackupIndexKey, kBackupIndexValue, &value);
  if (!found || value.empty()) return false;
  *path = value;
  return true;
}

void BackupIndex::StatementCloser::operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }

BackupIndex::~BackupIndex() {
  if (inTransaction_) Rollback();
  for (Statement* s : {&savepoint_, &release_, &rollbackTo_, &insertItem_, &insertAttr_}) {
    s->reset();
  }
  sqlite3_close_v2(db_);  // null-safe
}

sqlite3_stmt* BackupIndex::Cached(Statement* slot, const char* sql, std::string* error) {
  if (!*slot) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
      *error = std::string("backup index: ") + sqlite3_errmsg(db_);
      sqlite3_finalize(s);
      return nullptr;
    }
    slot->reset(s);
  }
  sqlite3_reset(slot->get());
  return slot->get();
}

bool BackupIndex::Step(Statement* slot, const char* sql, std::string* error) {
  sqlite3_stmt* s = Cached(slot, sql, error);
  if (s == nullptr) return false;
  if (sqlite3_step(s) != SQLITE_DONE) return Fail(db_, error);
  sqlite3_reset(s);
  return true;
}

bool BackupIndex::Exec(const char* sql, std::string* error) {
  // A failed sqlite3_exec leaves its message in the connection, as its copy would hold.
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return Fail(db_, error);
  return true;
}

bool BackupIndex::Begin(std::string* error) {
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  inTransaction_ = true;
  return true;
}

bool BackupIndex::Commit(std::string* error) {
  if (!Exec("COMMIT", error)) return false;
  inTransaction_ = false;
  return true;
}

void BackupIndex::Rollback() {
  std::string ignored;
  if (inTransaction_) Exec("ROLLBACK", &ignored);
  inTransaction_ = false;
}

bool BackupIndex::AddItem(const BackupItem& item, std::string* error) {
  if (item.fullFileName.empty()) {
    *error = "backup index: an item needs a file name";
    return false;
  }
  if (HoldsLineBreakOrNul(item.fullFileName)) {
    *error = "backup index: file name holds a line feed or a NUL byte";
    return false;
  }
  std::set<int64_t> seen;
  for (const auto& attr : item.metadata) {
    if (attr.first == kInodeAttribute) {
      *error = "backup index: attribute " + std::to_string(kInodeAttribute) + " is the inode";
      return false;
    }
    if (!seen.insert(attr.first).second) {
      *error = "backup index: attribute " + std::to_string(attr.first) + " given twice";
      return false;
    }
    if (HoldsLineBreakOrNul(attr.second)) {
      *error = "backup index: attribute " + std::to_string(attr.first) +
               " holds a line feed or a NUL byte";
      return false;
    }
  }

  // Item and attributes go in together or not at all, inside a caller's transaction too.
  if (!Step(&savepoint_, "SAVEPOINT add_item", error)) return false;
  auto undo = [&]() {
    std::string ignored;
    if (Step(&rollbackTo_, "ROLLBACK TO add_item", &ignored)) {
      Step(&release_, "RELEASE add_item", &ignored);
    }
    return false;
  };
  sqlite3_stmt* s = Cached(&insertItem_,
                           "INSERT INTO items(job_id, arch_group_id, arch_file_id, arch_file_offs,"
                           " file_size, full_file_name, mod_time, inode)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                           error);
  if (s == nullptr) return undo();
  sqlite3_bind_int64(s, 1, item.jobId);
  sqlite3_bind_int64(s, 2, item.archGroupId);
  sqlite3_bind_int64(s, 3, item.archFileId);
  sqlite3_bind_int64(s, 4, item.archFileOffset);
  sqlite3_bind_int64(s, 5, item.fileSize);
  sqlite3_bind_blob64(s, 6, item.fullFileName.data(), item.fullFileName.size(), SQLITE_STATIC);
  sqlite3_bind_int64(s, 7, item.modTime);
  sqlite3_bind_int64(s, 8, static_cast<sqlite3_int64>(item.inode));
  // The message is taken before the reset; the bindings are dropped since they point into
  // `item`, which the caller may free after the call.
  const bool inserted = sqlite3_step(s) == SQLITE_DONE;
  if (!inserted) Fail(db_, error);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (!inserted) return undo();
  const sqlite3_int64 id = sqlite3_last_insert_rowid(db_);
  for (const auto& a : item.metadata) {
    sqlite3_stmt* attr = Cached(
        &insertAttr_, "INSERT INTO metadata(item_id, attr_id, value) VALUES(?1, ?2, ?3)", error);
    if (attr == nullptr) return undo();
    sqlite3_bind_int64(attr, 1, id);
    sqlite3_bind_int64(attr, 2, a.first);
    sqlite3_bind_blob64(attr, 3, a.second.data(), a.second.size(), SQLITE_STATIC);
    const bool added = sqlite3_step(attr) == SQLITE_DONE;
    if (!added) Fail(db_, error);
    sqlite3_reset(attr);
    sqlite3_clear_bindings(attr);
    if (!added) return undo();
  }
  if (!Step(&release_, "RELEASE add_item", error)) return undo();
  return true;
}

bool BackupIndex::ListJob(int64_t jobId, std::vector<BackupItem>* items, std::string* error) {
  items->clear();
  LocalStatement s =
      Prepare(db_,
              "SELECT i.id, i.arch_group_id, i.arch_file_id, i.arch_file_offs,"
              " i.file_size, i.full_file_name, i.mod_time, i.inode, m.attr_id, m.value"
              " FROM items i LEFT JOIN metadata m ON m.item_id = i.id"
              " WHERE i.job_id = ?1 ORDER BY i.id, m.attr_id",
              error);
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, jobId);
  sqlite3_int64 lastId = 0;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    sqlite3_stmt* r = s.get();
    const sqlite3_int64 id = sqlite3_column_int64(r, 0);
    if (items->empty() || id != lastId) {
      BackupItem item;
      item.jobId = jobId;
      item.archGroupId = sqlite3_column_int64(r, 1);
      item.archFileId = sqlite3_column_int64(r, 2);
      item.archFileOffset = sqlite3_column_int64(r, 3);
      item.fileSize = sqlite3_column_int64(r, 4);
      item.fullFileName = BlobText(r, 5);
      item.modTime = sqlite3_column_int64(r, 6);
      item.inode = static_cast<uint64_t>(sqlite3_column_int64(r, 7));
      items->push_back(std::move(item));
      lastId = id;
    }
    if (sqlite3_column_type(r, 8) != SQLITE_NULL) {
      items->back().metadata.emplace_back(sqlite3_column_int64(r, 8), BlobText(r, 9));
    }
  }
  if (rc != SQLITE_DONE) return Fail(db_, error);
  return true;
}

bool BackupIndex::ArchiveEnd(int64_t jobId, int64_t archGroupId, int64_t archFileId, int64_t* end,
                             std::string* error) {
  LocalStatement s = Prepare(db_,
                             "SELECT COALESCE(MAX(arch_file_offs + file_size), 0) FROM items"
                             " WHERE job_id = ?1 AND arch_group_id = ?2 AND arch_file_id = ?3",
                             error);
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, jobId);
  sqlite3_bind_int64(s.get(), 2, archGroupId);
  sqlite3_bind_int64(s.get(), 3, archFileId);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return Fail(db_, error);
  *end = sqlite3_column_int64(s.get(), 0);
  return true;
}

void AppendLineField(std::string* out, std::string_view field, char separator) {
  const bool quote = std::any_of(field.begin(), field.end(), [separator](char c) {
    return c == separator || c == '"' || c == '\\';
  });
  if (!quote) {
    out->append(field.data(), field.size());
    return;
  }
  out->push_back('"');
  for (char c : field) {
    if (c == '"' || c == '\\') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

}  // namespace platform
}  // namespace trhsm
