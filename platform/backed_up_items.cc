// apiGetBackedUpItemsByJob: streams one job's items from the backup index into a collect file that
// appears under its name only when whole.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/backup_index.h"
#include "trhsm/EvDebug.h"
#include "trhsm/FsClientApi.h"

namespace {

constexpr const char kTag[] = "apiGetBackedUpItemsByJob";
constexpr size_t kFlushAt = size_t{1} << 20;

// Columns of the fixed part of the query, in SELECT order; metadata columns follow them.
enum Column : int {
  kJobId,
  kArchGroupId,
  kArchFileId,
  kArchFileOffs,
  kFileSize,
  kFullFileName,
  kModTime,
  kInode,
  kFixedColumns,
};

struct ColumnName {
  const char* name;
  Column column;
};
constexpr ColumnName kColumnNames[] = {
    {"job_id", kJobId},
    {"arch_group_id", kArchGroupId},
    {"arch_file_id", kArchFileId},
    {"arch_file_offs", kArchFileOffs},
    {"file_size", kFileSize},
    {"full_file_name", kFullFileName},
    {"mod_time", kModTime},
    {"inode", kInode},
};
constexpr char kMetadataPrefix[] = "metadata-";

// One requested column: a SELECT column index and whether its value is an unsigned number.
struct OutputColumn {
  int select;
  bool isUnsigned;
};

std::string ErrnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Turns the column list into SELECT indexes; metadata attributes are collected in `attributes`
// (their columns follow the fixed ones in that order). False, with the offending name, on an
// unknown column.
bool ParseColumns(const std::string& list, std::vector<OutputColumn>* out,
                  std::vector<int64_t>* attributes, std::string* bad) {
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string_view name(list.data() + start,
                          (comma == std::string::npos ? list.size() : comma) - start);
    bool known = false;
    for (const ColumnName& c : kColumnNames) {
      if (name == c.name) {
        out->push_back({c.column, c.column == kInode});
        known = true;
        break;
      }
    }
    const size_t prefix = sizeof kMetadataPrefix - 1;
    if (!known && name.size() > prefix && name.substr(0, prefix) == kMetadataPrefix) {
      int64_t attr = 0;
      const char* first = name.data() + prefix;
      const char* last = name.data() + name.size();
      auto [end, ec] = std::from_chars(first, last, attr);
      if (ec == std::errc() && end == last && *first != '-') {
        known = true;
        if (attr == trhsm::platform::kInodeAttribute) {
          out->push_back({kInode, true});
        } else {
          size_t slot = 0;
          while (slot < attributes->size() && (*attributes)[slot] != attr) ++slot;
          if (slot == attributes->size()) attributes->push_back(attr);
          out->push_back({kFixedColumns + static_cast<int>(slot), false});
        }
      }
    }
    if (!known) {
      *bad = std::string(name);
      return false;
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// The query's text, built from the number of attributes only; every value is bound.
std::string QueryText(size_t attributes) {
  std::string sql =
      "SELECT i.job_id, i.arch_group_id, i.arch_file_id, i.arch_file_offs, i.file_size,"
      " i.full_file_name, i.mod_time, i.inode";
  for (size_t k = 0; k < attributes; ++k) sql += ", m" + std::to_string(k) + ".value";
  sql += " FROM items i";
  for (size_t k = 0; k < attributes; ++k) {
    const std::string m = "m" + std::to_string(k);
    sql += " LEFT JOIN metadata " + m + " ON " + m + ".item_id = i.id AND " + m + ".attr_id = ?" +
           std::to_string(k + 2);
  }
  sql += " WHERE i.job_id = ?1 ORDER BY i.id";
  return sql;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A temporary file beside the target, removed unless Commit renamed it into place.
class TempFile {
 public:
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty() && !committed_) ::unlink(path_.c_str());
  }

  bool Create(const std::string& target, std::string* error) {
    // "folder/.name.XXXXXX" beside the target; the folder to sync is "." for a bare name.
    const size_t slash = target.rfind('/');
    const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    std::string templ = target.substr(0, nameAt) + "." + target.substr(nameAt) + ".XXXXXX";
    dir_.assign(target, 0, nameAt > 1 ? slash : nameAt);  // "folder", "/" or ""
    if (dir_.empty()) dir_ = ".";
    fd_ = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd_ < 0) {
      *error = ErrnoText("create temporary file", templ);
      return false;
    }
    path_ = templ;
    if (::fchmod(fd_, 0644) != 0) {
      *error = ErrnoText("chmod", path_);
      return false;
    }
    return true;
  }

  bool Write(const std::string& bytes, std::string* error) {
    if (!WriteAll(fd_, bytes.data(), bytes.size())) {
      *error = ErrnoText("write", path_);
      return false;
    }
    return true;
  }

  // fsync, close and rename: only a whole, synced file ever takes the target's name.
  bool Commit(const std::string& target, std::string* error) {
    if (::fsync(fd_) != 0) {
      *error = ErrnoText("fsync", path_);
      return false;
    }
    int fd = fd_;
    fd_ = -1;
    // close(2) is not retried on EINTR: the descriptor is released either way.
    if (::close(fd) != 0) {
      *error = ErrnoText("close", path_);
      return false;
    }
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      *error = "rename " + path_ + " -> " + target + ": " + std::strerror(errno);
      return false;
    }
    committed_ = true;
    return true;
  }

  // Makes the rename itself durable; the file is complete whether or not this succeeds.
  bool SyncDir(std::string* error) const {
    int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
      *error = ErrnoText("open", dir_);
      return false;
    }
    bool ok = ::fsync(dfd) == 0;
    if (!ok) *error = ErrnoText("fsync", dir_);
    ::close(dfd);
    return ok;
  }

 private:
  int fd_ = -1;
  std::string path_;
  std::string dir_;
  bool committed_ = false;
};

struct StatementCloser {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

void AppendNumber(std::string* out, sqlite3_stmt* row, int column, bool isUnsigned) {
  char digits[24];
  const sqlite3_int64 value = sqlite3_column_int64(row, column);
  auto result = isUnsigned
                    ? std::to_chars(digits, digits + sizeof digits, static_cast<uint64_t>(value))
                    : std::to_chars(digits, digits + sizeof digits, value);
  out->append(digits, static_cast<size_t>(result.ptr - digits));
}

std::string_view BlobView(sqlite3_stmt* row, int column) {
  const void* data = sqlite3_column_blob(row, column);
  const int size = sqlite3_column_bytes(row, column);
  return data != nullptr ? std::string_view(static_cast<const char*>(data), size)
                         : std::string_view();
}

}  // namespace

// The client library takes every string by value; the signature is kept for callers.
// NOLINTBEGIN(performance-unnecessary-value-param)
int apiGetBackedUpItemsByJob(int64_t jobId, std::string collectFolder, std::string fileName,
                             std::string columns, std::string /*mediaHost*/, uint32_t /*queryType*/,
                             uint64_t /*startItem*/, uint32_t /*flags*/, std::string fieldSeparator,
                             char* /*filter*/, char* /*filterArgs*/, std::string /*listSeparator*/,
                             std::string recordEnd, std::string /*reserved*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  using trhsm::platform::BackupIndex;
  EvDebug log;
  const std::string target = collectFolder + fileName;

  // A separator that is a quote, a backslash or part of the record end would make lines that
  // cannot be split back into the fields of one item.
  if (fileName.empty() || recordEnd.empty() || fieldSeparator.size() != 1 ||
      fieldSeparator[0] == '"' || fieldSeparator[0] == '\\' ||
      recordEnd.find(fieldSeparator[0]) != std::string::npos) {
    log.Error(kTag, "Bad query for job %lld: file name, field separator or record end unusable",
              static_cast<long long>(jobId));
    return -1;
  }
  const char separator = fieldSeparator[0];

  std::vector<OutputColumn> output;
  std::vector<int64_t> attributes;
  std::string bad;
  if (!ParseColumns(columns, &output, &attributes, &bad)) {
    log.Error(kTag, "Unknown column '%s' in column list '%s'", bad.c_str(), columns.c_str());
    return -1;
  }

  std::string indexPath;
  if (!BackupIndex::ConfiguredPath(&indexPath)) {
    log.Error(kTag, "No backup index configured (value %s under %s)",
              trhsm::platform::kBackupIndexValue, trhsm::platform::kBackupIndexKey);
    return -1;
  }
  std::string error;
  std::unique_ptr<BackupIndex> index =
      BackupIndex::Open(indexPath, BackupIndex::Mode::kReadOnly, &error);
  if (!index) {
    log.Error(kTag, "%s", error.c_str());
    return -1;
  }

  sqlite3_stmt* raw = nullptr;
  const std::string sql = QueryText(attributes.size());
  if (sqlite3_prepare_v2(index->db(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    log.Error(kTag, "Query of backup index %s failed: %s", indexPath.c_str(),
              sqlite3_errmsg(index->db()));
    sqlite3_finalize(raw);
    return -1;
  }
  std::unique_ptr<sqlite3_stmt, StatementCloser> query(raw);
  sqlite3_bind_int64(raw, 1, jobId);
  for (size_t k = 0; k < attributes.size(); ++k) {
    sqlite3_bind_int64(raw, static_cast<int>(k + 2), attributes[k]);
  }

  TempFile temp;
  if (!temp.Create(target, &error)) {
    log.Error(kTag, "%s", error.c_str());
    return -1;
  }

  std::string buffer;
  buffer.reserve(kFlushAt + 4096);
  long long skipped = 0;
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    const size_t lineStart = buffer.size();
    bool unwritable = false;
    for (size_t c = 0; c < output.size(); ++c) {
      if (c > 0) buffer.push_back(separator);
      const OutputColumn& col = output[c];
      if (col.select == kFullFileName || col.select >= kFixedColumns) {
        std::string_view text = BlobView(raw, col.select);
        if (text.find_first_of(recordEnd) != std::string_view::npos) unwritable = true;
        trhsm::platform::AppendLineField(&buffer, text, separator);
      } else {
        AppendNumber(&buffer, raw, col.select, col.isUnsigned);
      }
    }
    if (unwritable) {
      // One line per item is what the reader relies on; a name that would span two lines cannot
      // be handed over, and cutting it would name another file.
      buffer.resize(lineStart);
      ++skipped;
      std::string_view name = BlobView(raw, kFullFileName);
      log.Error(kTag, "Item of job %lld left out: a field holds the record end (file %.*s)",
                static_cast<long long>(jobId), static_cast<int>(name.size()), name.data());
      continue;
    }
    buffer.append(recordEnd);
    if (buffer.size() >= kFlushAt) {
      if (!temp.Write(buffer, &error)) {
        log.Error(kTag, "%s", error.c_str());
        return -1;
      }
      buffer.clear();
    }
  }
  if (rc != SQLITE_DONE) {
    log.Error(kTag, "Reading backup index %s failed: %s", indexPath.c_str(),
              sqlite3_errmsg(index->db()));
    return -1;
  }
  if (!temp.Write(buffer, &error) || !temp.Commit(target, &error)) {
    log.Error(kTag, "%s", error.c_str());
    return -1;
  }
  // The rename may be lost in a crash until the folder is synced. Reported as a failure, and the
  // file taken back: the caller's next run would otherwise trust it as a finished result.
  if (!temp.SyncDir(&error)) {
    log.Error(kTag, "%s", error.c_str());
    ::unlink(target.c_str());
    return -1;
  }
  if (skipped > 0) {
    log.Error(kTag, "%lld items of job %lld left out of %s", skipped, static_cast<long long>(jobId),
              target.c_str());
  }
  return 0;
}
