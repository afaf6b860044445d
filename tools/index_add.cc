// trhsm-index add: the listing of the paths, the copies and the rows, and the summary.
#include "tools/index_add.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/archive.h"
#include "tools/report_text.h"
#include "tools/text_escape.h"

namespace trhsm_tools {
namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using Options = IndexOptions;

constexpr int64_t kArchiveFileId = 1;

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

// `path` with every symbolic link, "." and ".." resolved; `path` itself when that fails.
std::string ResolvedPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

class Adder {
 public:
  Adder(BackupIndex* index, const Options& o)
      : index_(index),
        options_(o),
        appender_(o.archive, o.archiveGroup, kArchiveFileId),
        progress_(::isatty(STDERR_FILENO) == 1) {}

  // Adds every regular file at or below each of `paths` (symbolic links are not followed), each
  // file once however often it is named: a folder and a file in it, or one path twice. Files are
  // copied as they are met, folder by folder, so memory does not grow with the tree. On a
  // terminal the files are counted first, for the progress line.
  void AddAll(const std::vector<std::string>& paths) {
    if (progress_) {
      counting_ = true;
      for (const std::string& path : paths) Walk(path);
      counting_ = false;
      walked_.clear();
    }
    for (const std::string& path : paths) Walk(path);
    ShowProgress(true);
  }

  bool refusedAny() const { return refused_; }
  uint64_t added() const { return added_; }
  uint64_t bytes() const { return bytes_; }
  uint64_t repeated() const { return repeated_; }

 private:
  // One PATH: its files, then it joins the paths walked, whose files later PATHs skip.
  void Walk(const std::string& path) {
    List(path, true, "");
    walked_.push_back(ResolvedPath(path));
  }

  // True when the file at resolved path `resolved` lies at or below a PATH walked before.
  bool SeenBefore(const std::string& resolved) const {
    for (const std::string& w : walked_) {
      if (resolved.compare(0, w.size(), w) == 0 &&
          (resolved.size() == w.size() || w == "/" || resolved[w.size()] == '/')) {
        return true;
      }
    }
    return false;
  }

  // Adds (counts, while counting) the regular files at or below `path`. `resolvedFolder`: the
  // resolved path of the folder `path` was found in ("" at the top level).
  void List(const std::string& path, bool topLevel, const std::string& resolvedFolder) {
    if (path.find('\n') != std::string::npos) {
      if (!counting_) Refuse(path, "the name holds a line feed");
      return;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (!counting_) Refuse(path, std::strerror(errno));
      return;
    }
    if (S_ISREG(st.st_mode)) {
      // The resolved path, so that one file named twice (or through a folder and by itself)
      // is one item, while the names of a hard-linked file stay apart for the job to refuse.
      // A file found in a folder is no link, so its resolved path is its folder's and its name.
      const std::string resolved =
          resolvedFolder.empty()
              ? ResolvedPath(path)
              : (resolvedFolder == "/" ? "" : resolvedFolder) + path.substr(path.rfind('/'));
      if (SeenBefore(resolved)) {
        if (!counting_) ++repeated_;
      } else if (counting_) {
        ++total_;
      } else {
        ShowProgress(false);
        AddFile(path, st);
        ++met_;
      }
    } else if (S_ISDIR(st.st_mode)) {
      ListFolder(path);
    } else if (topLevel && !counting_) {
      std::printf("trhsm-index: skipped %s: not a regular file or folder\n", CQuote(path).c_str());
    }
  }

  // "N of M" on standard error while it is a terminal, at most ten times a second; `last` ends
  // the line.
  void ShowProgress(bool last) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!last && progressShown_ && now - lastProgress_ < std::chrono::milliseconds(100)) return;
    lastProgress_ = now;
    std::fprintf(stderr, "\rtrhsm-index: %llu of %llu", static_cast<unsigned long long>(met_),
                 static_cast<unsigned long long>(total_));
    progressShown_ = true;
    if (last) EndProgressLine();
  }

  void EndProgressLine() {
    if (!progressShown_) return;
    std::fputc('\n', stderr);
    progressShown_ = false;
  }

  void AddFile(const std::string& path, const struct stat& st) {
    std::string error;
    int64_t offset = 0;
    // The copies are synced all at once before the rows are committed (SyncCopies), so that a
    // committed row never names missing bytes. Size and time come from the copy itself: the file
    // may have changed since it was listed.
    trhsm::platform::CopyHeader copy;
    if (!appender_.AppendUnsynced(path, &offset, &copy, &error)) {
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
    bytes_ += copy.size;
  }

 public:
  // Makes every copy appended durable; false after saying why.
  bool SyncCopies() {
    std::string error;
    if (appender_.Sync(&error)) return true;
    EndProgressLine();
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return false;
  }

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

  void ListFolder(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
      if (!counting_) Refuse(path, std::strerror(errno));
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
    if (readError != 0 && !counting_) Refuse(path, std::strerror(readError));
    // Sorted, so that the same tree always gets the same offsets.
    std::sort(names.begin(), names.end());
    const std::string prefix = path == "/" ? "/" : path + "/";
    const std::string resolved = ResolvedPath(path);
    for (const std::string& name : names) List(prefix + name, false, resolved);
  }

  void Refuse(const std::string& path, const std::string& why) {
    EndProgressLine();
    std::fprintf(stderr, "trhsm-index: refused %s: %s\n", CQuote(path).c_str(), why.c_str());
    refused_ = true;
  }

  BackupIndex* index_;
  const Options& options_;
  trhsm::platform::ArchiveAppender appender_;
  const bool progress_;  // standard error is a terminal
  bool progressShown_ = false;
  std::chrono::steady_clock::time_point lastProgress_;
  bool counting_ = false;            // the walk only counts files, for the progress line
  std::vector<std::string> walked_;  // resolved PATHs walked so far
  uint64_t total_ = 0, met_ = 0;     // files counted; files met while adding
  bool refused_ = false;
  uint64_t added_ = 0;
  uint64_t bytes_ = 0;
  uint64_t repeated_ = 0;         // names of files listed already
  std::vector<int64_t> pending_;  // offsets of the copies named by uncommitted rows, in order
};

}  // namespace

int AddToIndex(BackupIndex* index, const Options& o) {
  std::string error;
  if (!index->Begin(&error)) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return 1;
  }
  Adder adder(index, o);
  std::vector<std::string> paths;
  for (const std::string& path : o.paths) paths.push_back(AbsolutePath(path));
  adder.AddAll(paths);
  if (!adder.SyncCopies()) {
    index->Rollback();
    adder.TakeBackAll();
    return 1;
  }
  if (!index->Commit(&error)) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    adder.TakeBackAll();
    return 1;
  }
  std::string summary = "trhsm-index: job " + std::to_string(o.job) + ": " +
                        Count(adder.added(), "item", "items") + " added (" + Bytes(adder.bytes()) +
                        " copied)";
  if (adder.repeated() > 0) {
    summary += ", " + Count(adder.repeated(), "repeated name", "repeated names") + " skipped";
  }
  std::printf("%s\n", summary.c_str());
  if (FinishOutput("trhsm-index") != 0) return 1;
  return adder.refusedAny() ? 1 : 0;
}

int FinishOutput(const char* tool) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write standard output: %s\n", tool, std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace trhsm_tools
