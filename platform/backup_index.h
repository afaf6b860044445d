// The backup index of this platform: an SQLite database of the items that each backup job stored,
// filled by the tests and by trhsm-index, and read by apiGetBackedUpItemsByJob.
//
// Schema (user_version 1):
//   items(id INTEGER PRIMARY KEY, job_id, arch_group_id, arch_file_id, arch_file_offs, file_size,
//         full_file_name BLOB, mod_time, inode)        one row per backed-up item, in backup order
//   metadata(item_id, attr_id, value BLOB)             named attributes of an item
// The inode is kept as the 64-bit pattern of the unsigned number. Attribute kInodeAttribute is not
// stored: it is answered from the item's inode.
#ifndef TRHSM_PLATFORM_BACKUP_INDEX_H_
#define TRHSM_PLATFORM_BACKUP_INDEX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "trhsm/trhsm_platform_export.h"

struct sqlite3;
struct sqlite3_stmt;

namespace trhsm {
namespace platform {

// Registry key and value name of the index's path.
constexpr const char kBackupIndexKey[] = "Base";
constexpr const char kBackupIndexValue[] = "dBACKUP_INDEX";

// The attribute that holds the item's inode number in decimal.
constexpr int64_t kInodeAttribute = 1613830181;

struct BackupItem {
  int64_t jobId = 0;
  int64_t archGroupId = 0;
  int64_t archFileId = 0;
  int64_t archFileOffset = 0;
  int64_t fileSize = 0;
  std::string fullFileName;
  int64_t modTime = 0;
  uint64_t inode = 0;
  // (attribute number, value), attribute numbers distinct and not kInodeAttribute.
  std::vector<std::pair<int64_t, std::string>> metadata;
};

// One open index. Not thread-safe: one thread per object (several processes may share the file;
// a writer's transaction makes the others wait up to ten seconds).
class TRHSM_PLATFORM_EXPORT BackupIndex {
 public:
  enum class Mode { kReadOnly, kCreate };

  // Opens the index at `path`. kReadOnly requires an existing index; kCreate creates the file and
  // the schema when missing. Returns null with *error set when the file cannot be opened or is not
  // a backup index.
  static std::unique_ptr<BackupIndex> Open(const std::string& path, Mode mode, std::string* error);

  // The path configured in the registry (kBackupIndexKey/kBackupIndexValue); false when none is.
  static bool ConfiguredPath(std::string* path);

  ~BackupIndex();
  BackupIndex(const BackupIndex&) = delete;
  BackupIndex& operator=(const BackupIndex&) = delete;

  // An explicit transaction around many AddItem calls (one fsync instead of one per item).
  // Destroying the object with a transaction open rolls it back.
  [[nodiscard]] bool Begin(std::string* error);
  [[nodiscard]] bool Commit(std::string* error);
  void Rollback();

  // Records one item after the job's earlier ones. Refuses (false, *error set) an empty name, a
  // name or value holding a line feed or a NUL byte (a collect-file line could not carry it), a
  // repeated attribute and kInodeAttribute.
  [[nodiscard]] bool AddItem(const BackupItem& item, std::string* error);

  // The items of job `jobId` in the order they were added, metadata by attribute number.
  [[nodiscard]] bool ListJob(int64_t jobId, std::vector<BackupItem>* items, std::string* error);

  // The first offset after the job's data in one archive file: the largest offset + size of the
  // job's items there, 0 when there are none.
  [[nodiscard]] bool ArchiveEnd(int64_t jobId, int64_t archGroupId, int64_t archFileId,
                                int64_t* end, std::string* error);

  // The connection, for read queries of this library. Owned by the object.
  sqlite3* db() const { return db_; }

 private:
  struct StatementCloser {
    void operator()(sqlite3_stmt* s) const;
  };
  using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

  explicit BackupIndex(sqlite3* db) : db_(db) {}
  bool Exec(const char* sql, std::string* error);
  // The cached statement in *slot, prepared from `sql` on first use; null with *error on failure.
  sqlite3_stmt* Cached(Statement* slot, const char* sql, std::string* error);
  bool Step(Statement* slot, const char* sql, std::string* error);

  sqlite3* db_;
  bool inTransaction_ = false;
  // Prepared once and reused, so bulk inserts do not parse SQL per item.
  Statement savepoint_, release_, rollbackTo_, insertItem_, insertAttr_;
};

// Appends `field` to `out` as one field of a collect-file line: as it stands, or, when it holds
// `separator`, a double quote or a backslash, between double quotes with every double quote and
// backslash preceded by a backslash. CZeString::Tokenize ('"', '"', '\\', separator) gives the
// field back exactly.
TRHSM_PLATFORM_EXPORT void AppendLineField(std::string* out, std::string_view field,
                                           char separator);

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_BACKUP_INDEX_H_
