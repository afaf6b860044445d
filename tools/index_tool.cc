// trhsm-index: fills and lists the backup index the way a backup job would, copying each file's
// bytes into the archive (platform/archive.h) before the index rows that name them are committed.
//   trhsm-index add --job N [--archive-group G] [--attr ID=TEXT]... [--index PATH] [--archive DIR]
//                   PATH...
//   trhsm-index list --job N [--index PATH]
// Exit status: 0 done, 1 something was refused or failed, 2 usage error.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "tools/text_escape.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_tools::CQuote;

constexpr int kUsageError = 2;
constexpr int64_t kArchiveFileId = 1;

int Usage() {
  std::fprintf(stderr,
               "usage: trhsm-index add --job N [--archive-group G] [--attr ID=TEXT]... "
               "[--index PATH] [--archive DIR] PATH...\n"
               "       trhsm-index list --job N [--index PATH]\n");
  return kUsageError;
}

bool ParseInt(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

struct Options {
  std::string command;
  bool haveJob = false;
  int64_t job = 0;
  int64_t archiveGroup = 1;
  std::string index;
  std::string archive;
  std::vector<std::pair<int64_t, std::string>> attrs;
  std::vector<std::string> paths;
};

// False on a usage error (already reported).
bool ParseOptions(int argc, char** argv, Options* o) {
  if (argc < 2) return false;
  o->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "trhsm-index: %s needs a value\n", arg.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--job" || arg == "--archive-group") {
      if (!value(&v)) return false;
      int64_t* target = arg == "--job" ? &o->job : &o->archiveGroup;
      if (!ParseInt(v, target)) {
        std::fprintf(stderr, "trhsm-index: %s wants a number, not %s\n", arg.c_str(),
                     CQuote(v).c_str());
        return false;
      }
      if (arg == "--job") o->haveJob = true;
    } else if (arg == "--index") {
      if (!value(&o->index)) return false;
    } else if (arg == "--archive" && o->command == "add") {
      if (!value(&o->archive)) return false;
    } else if (arg == "--attr" && o->command == "add") {
      if (!value(&v)) return false;
      size_t eq = v.find('=');
      int64_t id = 0;
      if (eq == std::string::npos || !ParseInt(v.substr(0, eq), &id)) {
        std::fprintf(stderr, "trhsm-index: --attr wants ID=TEXT, not %s\n", CQuote(v).c_str());
        return false;
      }
      o->attrs.emplace_back(id, v.substr(eq + 1));
    } else if (arg == "--") {
      for (++i; i < argc; ++i) o->paths.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "trhsm-index: unknown option %s\n", CQuote(arg).c_str());
      return false;
    } else {
      o->paths.push_back(arg);
    }
  }
  if (o->command != "add" && o->command != "list") {
    std::fprintf(stderr, "trhsm-index: unknown command %s\n", CQuote(o->command).c_str());
    return false;
  }
  if (!o->haveJob) {
    std::fprintf(stderr, "trhsm-index: --job is required\n");
    return false;
  }
  if (o->command == "add" && o->paths.empty()) {
    std::fprintf(stderr, "trhsm-index: add needs at least one PATH\n");
    return false;
  }
  if (o->command == "list" && !o->paths.empty()) {
    std::fprintf(stderr, "trhsm-index: list takes no PATH\n");
    return false;
  }
  return true;
}

// `path` made absolute and lexically tidied ("//" and "/./" collapsed, no trailing "/"); ".." is
// kept, since resolving it would need the links this tool does not follow.
std::string AbsolutePath(const std::string& path) {
  std::string full = path;
  if (path.empty() || path[0] != '/') {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr && errno == ERANGE)
      cwd.resize(cwd.size() * 2);
    full = std::string(cwd.data()) + "/" + path;
  }
  std::string out;
  size_t start = 0;
  while (start <= full.size()) {
    size_t slash = full.find('/', start);
    if (slash == std::string::npos) slash = full.size();
    std::string part = full.substr(start, slash - start);
    if (!part.empty() && part != ".") out += "/" + part;
    start = slash + 1;
  }
  return out.empty() ? "/" : out;
}

class Adder {
 public:
  Adder(BackupIndex* index, const Options& o)
      : index_(index), options_(o), appender_(o.archive, o.archiveGroup, kArchiveFileId) {}

  // Records every regular file at or below `path` (symbolic links are not followed).
  void Add(const std::string& path, bool topLevel) {
    if (path.find('\n') != std::string::npos) {
      Refuse(path, "the name holds a line feed");
      return;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      Refuse(path, std::strerror(errno));
      return;
    }
    if (S_ISREG(st.st_mode)) {
      AddFile(path, st);
    } else if (S_ISDIR(st.st_mode)) {
      AddFolder(path);
    } else if (topLevel) {
      std::printf("trhsm-index: skipped %s: not a regular file or folder\n", CQuote(path).c_str());
    }
  }

  bool refusedAny() const { return refused_; }
  long long added() const { return added_; }

 private:
  void AddFile(const std::string& path, const struct stat& st) {
    std::string error;
    int64_t offset = 0;
    // The copy is synced by Append, so the row committed later never names missing bytes. Size
    // and time come from the copy itself: the file may have changed since it was listed.
    trhsm::platform::CopyHeader copy;
    if (!appender_.Append(path, &offset, &copy, &error)) {
      Refuse(path, error);
      return;
    }
    BackupItem item;
    item.jobId = options_.job;
    item.archGroupId = options_.archiveGroup;
    item.archFileId = kArchiveFileId;
    item.archFileOffset = offset;
    item.fileSize = static_cast<int64_t>(copy.size);
    item.fullFileName = path;
    item.modTime = copy.modTime;
    item.inode = st.st_ino;
    item.metadata = options_.attrs;
    if (!index_->AddItem(item, &error)) {
      Refuse(path, error + TakeBack(offset));
      return;
    }
    pending_.push_back(offset);
    ++added_;
  }

 public:
  // The rows were not committed: takes back the copies appended for them, last first, so that
  // the archive file is as long as before. Stops at the first one that cannot be taken back
  // (another writer's copy follows it, or an I/O error) and says so.
  void TakeBackAll() {
    while (!pending_.empty()) {
      const std::string failed = TakeBack(pending_.back());
      pending_.pop_back();
      if (!failed.empty()) {
        std::fprintf(stderr, "trhsm-index: %s\n", failed.substr(2).c_str());
        break;
      }
    }
  }

 private:
  // Takes back the copy at `offset`; "" when done, else "; " and why it stays.
  std::string TakeBack(int64_t offset) {
    std::string error;
    if (appender_.TakeBack(offset, &error)) return "";
    return "; the copy stays in the archive, named by no row: " + error;
  }

  void AddFolder(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
      Refuse(path, std::strerror(errno));
      return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) Refuse(path, std::strerror(readError));
    // Sorted, so that the same tree always gets the same offsets.
    std::sort(names.begin(), names.end());
    const std::string prefix = path == "/" ? "/" : path + "/";
    for (const std::string& name : names) Add(prefix + name, false);
  }

  void Refuse(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "trhsm-index: refused %s: %s\n", CQuote(path).c_str(), why.c_str());
    refused_ = true;
  }

  BackupIndex* index_;
  const Options& options_;
  trhsm::platform::ArchiveAppender appender_;
  bool refused_ = false;
  long long added_ = 0;
  std::vector<int64_t> pending_;  // offsets of the copies named by uncommitted rows, in order
};

int Add(BackupIndex* index, const Options& o) {
  std::string error;
  if (!index->Begin(&error)) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return 1;
  }
  Adder adder(index, o);
  for (const std::string& path : o.paths) adder.Add(AbsolutePath(path), true);
  if (!index->Commit(&error)) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    adder.TakeBackAll();
    return 1;
  }
  std::printf("trhsm-index: job %lld: %lld items added\n", static_cast<long long>(o.job),
              adder.added());
  return adder.refusedAny() ? 1 : 0;
}

int List(BackupIndex* index, const Options& o) {
  std::vector<BackupItem> items;
  std::string error;
  if (!index->ListJob(o.job, &items, &error)) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return 1;
  }
  std::string line;
  for (const BackupItem& item : items) {
    // The collect-file line syntax: job, group, file, offset, size, name, mtime, inode, ID=TEXT...
    line = std::to_string(item.jobId) + "," + std::to_string(item.archGroupId) + "," +
           std::to_string(item.archFileId) + "," + std::to_string(item.archFileOffset) + "," +
           std::to_string(item.fileSize) + ",";
    trhsm::platform::AppendLineField(&line, item.fullFileName, ',');
    line += "," + std::to_string(item.modTime) + "," + std::to_string(item.inode);
    for (const auto& attr : item.metadata) {
      line += ',';
      trhsm::platform::AppendLineField(&line, std::to_string(attr.first) + "=" + attr.second, ',');
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) break;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "trhsm-index: write standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return Usage();
  if (o.index.empty() && !BackupIndex::ConfiguredPath(&o.index)) {
    std::fprintf(stderr, "trhsm-index: no backup index configured (%s under %s); give --index\n",
                 trhsm::platform::kBackupIndexValue, trhsm::platform::kBackupIndexKey);
    return 1;
  }
  if (o.command == "add" && o.archive.empty() &&
      !trhsm::platform::ConfiguredArchiveRoot(&o.archive)) {
    std::fprintf(stderr, "trhsm-index: no archive root configured (%s under %s); give --archive\n",
                 trhsm::archive_format::kRootValue, trhsm::archive_format::kRootKey);
    return 1;
  }
  std::string error;
  auto mode = o.command == "add" ? BackupIndex::Mode::kCreate : BackupIndex::Mode::kReadOnly;
  std::unique_ptr<BackupIndex> index = BackupIndex::Open(o.index, mode, &error);
  if (!index) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return 1;
  }
  return o.command == "add" ? Add(index.get(), o) : List(index.get(), o);
}
