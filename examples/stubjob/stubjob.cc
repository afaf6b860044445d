// trhsm-stubjob: the stubbing pass of one backup job. Each backed-up file whose archived copy
// still matches it is replaced, crash-safely, by a stub record that names the copy.
//   trhsm-stubjob [--collect-folder DIR] [--dry-run] [--verify] [--quiet] JOB OPTIONS...
// Exit status: 0 every item stubbed or already done, 1 an item refused or failed, 2 usage error.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "tools/scoped_file.h"
#include "trhsm/trhsm.h"

namespace {

constexpr int kUsageError = 2;
constexpr char kTempPrefix[] = ".trhsm-stub-tmp.";
constexpr char kTag[] = "trhsm-stubjob";
constexpr size_t kMaxStubLength = 65535;

int Usage() {
  std::fprintf(stderr,
               "usage: trhsm-stubjob [--collect-folder DIR] [--dry-run] [--verify] [--quiet] "
               "-J JOB -D MEDIAHOST -a APPID [job options]\n");
  return kUsageError;
}

struct Options {
  std::string collectFolder;
  bool dryRun = false;
  bool verify = false;
  bool quiet = false;
};

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

using trhsm_tools::Fd;
using trhsm_tools::SyncOnce;
using trhsm_tools::Temporary;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when `name` is a temporary name this job makes: the prefix and the random suffix only.
bool IsTemporaryName(const char* name) {
  const size_t prefix = sizeof(kTempPrefix) - 1;
  if (std::strncmp(name, kTempPrefix, prefix) != 0 ||
      std::strlen(name) != prefix + trhsm_tools::kTemporarySuffixLength) {
    return false;
  }
  for (const char* p = name + prefix; *p != '\0'; ++p) {
    if (!trhsm_tools::IsTemporarySuffixChar(*p)) return false;
  }
  return true;
}

// Reads the whole file at `fd` into *out, at most `limit` bytes (one more shows it is longer).
bool ReadUpTo(int fd, size_t limit, std::vector<char>* out) {
  out->assign(limit + 1, '\0');
  size_t have = 0;
  while (have < out->size()) {
    const ssize_t n = ::read(fd, out->data() + have, out->size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  out->resize(have);
  return true;
}

// True when `path` already holds exactly a stub record that names the same copy and file.
bool IsStubOf(const std::string& path, const struct stat& st, const ReparseData& want) {
  if (static_cast<uint64_t>(st.st_size) > kMaxStubLength) return false;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  std::vector<char> bytes;
  if (fd.get() < 0 || !ReadUpTo(fd.get(), kMaxStubLength, &bytes) || bytes.empty()) return false;
  int length = 0;
  if (bytes.size() > kMaxStubLength ||
      !trhsm_stub2meta(bytes.data(), &length, nullptr, nullptr, 0, true) ||
      static_cast<size_t>(length) != bytes.size()) {
    return false;
  }
  ReparseData have;
  if (ParseStubData(bytes, have) != 1) return false;
  // The reparse time differs from run to run; everything that names the copy must not.
  return have.field2 == want.field2 && have.field3 == want.field3 && have.field4 == want.field4 &&
         have.layout == want.layout && have.stubGUID == want.stubGUID;
}

// The CRC of the file's bytes, as the archive computes it for a copy.
bool FileCrc(const std::string& path, uint32_t* crc, std::string* error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    *error = SysError("open", path);
    return false;
  }
  uint32_t reg = 0xFFFFFFFFu;
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = SysError("read", path);
      return false;
    }
    if (n == 0) break;
    ko_crc32(buf.data(), static_cast<size_t>(n), &reg);
  }
  *crc = ~reg;
  return true;
}

bool Unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

enum class Result { kStubbed, kDone, kWould, kRefused };

struct Outcome {
  Result result = Result::kRefused;
  std::string reason;  // the refusal's reason, or what a dry run would do
  uint64_t size = 0;   // bytes released
};

class StubJob {
 public:
  StubJob(const Options& o, const std::string& archive, TRHSMPerfCounter* perf)
      : o_(o), archive_(archive), perf_(perf) {}

  Outcome Handle(const std::string& path, const std::string& reparse, unsigned long inode) {
    Outcome out;
    ReparseData rd;
    if (ParseStubReparseData(reparse, rd) != 1) {
      out.reason = "bad reparse data";
      return out;
    }
    CleanFolder(FolderOf(path));
    CTimeCounter* statTimer = perf_->GetCounter(TRHSMPerfCounter::FILE_STAT);
    statTimer->Start();
    struct stat st;
    const bool found = ::lstat(path.c_str(), &st) == 0;
    statTimer->Stop();
    if (!found) {
      out.reason = errno == ENOENT ? "missing" : SysError("stat", path);
      return out;
    }
    if (!S_ISREG(st.st_mode)) {
      out.reason = "not a regular file";
      return out;
    }
    if (IsStubOf(path, st, rd)) {
      out.result = Result::kDone;
      out.reason = "already a stub of its archived copy";
      return out;
    }
    const unsigned long noInode = ~0UL;
    if (inode != noInode && static_cast<unsigned long>(st.st_ino) != inode) {
      out.reason = "changed since backup (another inode)";
      return out;
    }
    trhsm::platform::CopyHeader header;
    std::string error;
    if (!trhsm::platform::ReadCopyHeader(archive_, rd.field2, rd.field3, rd.field4, &header,
                                         &error)) {
      out.reason = "no archived copy: " + error;
      return out;
    }
    if (static_cast<uint64_t>(st.st_size) != header.size || st.st_mtim.tv_sec != header.modTime ||
        static_cast<uint32_t>(st.st_mtim.tv_nsec) != header.modTimeNsec) {
      out.reason = "changed since backup";
      return out;
    }
    const int locked = trhsmIsMandLocked(path.c_str(), &st);
    if (locked != 0) {
      out.reason = locked == 1 ? "locked" : "lock probe failed";
      return out;
    }
    if (o_.verify) {
      uint32_t crc = 0;
      if (!FileCrc(path, &crc, &out.reason)) return out;
      if (crc != header.crc) {
        out.reason = "changed since backup (checksum)";
        return out;
      }
    }
    out.size = header.size;
    if (o_.dryRun) {
      out.result = Result::kWould;
      out.reason = "matches its archived copy";
      return out;
    }
    CTimeCounter* replaceTimer = perf_->GetCounter(TRHSMPerfCounter::REMOVE_FILE);
    replaceTimer->Start();
    const bool replaced = Replace(path, reparse, st, &out.reason);
    replaceTimer->Stop();
    if (replaced) out.result = Result::kStubbed;
    return out;
  }

 private:
  // Removes the temporaries that a killed earlier run left in `folder`, once per folder. Only
  // what can be this job's own is removed: a regular file of this user with no other link, no
  // larger than a stub, under a name of the temporary pattern. The folder is not entered when it
  // is a symbolic link, and no entry in it is followed.
  void CleanFolder(const std::string& folder) {
    if (o_.dryRun || !cleaned_.insert(folder).second) return;
    const int fd = trhsm_tools::OpenFolder(folder, false);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      return;
    }
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(dir)) {
      if (!IsTemporaryName(e->d_name)) continue;
      struct stat st;
      if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
          st.st_uid == ::geteuid() && st.st_nlink == 1 &&
          static_cast<uint64_t>(st.st_size) <= kMaxStubLength) {
        stale.push_back(e->d_name);
      }
    }
    for (const std::string& name : stale) ::unlinkat(fd, name.c_str(), 0);
    ::closedir(dir);  // closes fd too
  }

  // Writes the stub beside `path` and renames it over the file: no moment shows a cut file.
  bool Replace(const std::string& path, const std::string& reparse, const struct stat& st,
               std::string* error) {
    const int need = trhsm_meta2stub(reparse.c_str(), 0, nullptr, 0);
    if (need <= 0) {
      *error = "reparse data too long for a stub";
      return false;
    }
    std::string record(static_cast<size_t>(need), '\0');
    if (trhsm_meta2stub(reparse.c_str(), 0, &record[0], need) != need) {
      *error = "cannot encode the stub";
      return false;
    }
    // The stub is made and renamed in this one folder, which must not be a symbolic link, and
    // nothing in it is followed: a link planted there cannot redirect the write or the rename.
    const std::string folder = FolderOf(path);
    const std::string base = BaseOf(path);
    Fd dir(trhsm_tools::OpenFolder(folder, false));
    if (dir.get() < 0) {
      *error = SysError("open folder", folder);
      return false;
    }
    std::string name;
    Fd fd(trhsm_tools::CreateTemporaryAt(dir.get(), kTempPrefix, &name));
    if (fd.get() < 0) {
      *error = SysError("create temporary file in", folder);
      return false;
    }
    Temporary temporary(dir.get(), name, fd.get());
    name = folder + "/" + name;  // for messages
    if (!WriteAll(fd.get(), record.data(), record.size())) {
      *error = SysError("write", name);
      return false;
    }
    // Owner first: chown clears set-user-id bits that the mode then restores.
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
        ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
      *error = SysError("give the file's owner to", name);
      return false;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0 || ::futimens(fd.get(), times) != 0) {
      *error = SysError("set mode and times of", name);
      return false;
    }
    if (!SyncOnce(fd.get())) {
      *error = SysError("fsync", name);
      return false;
    }
    if (!fd.Close()) {
      *error = SysError("close", name);
      return false;
    }
    // The file may have been written while the stub was made; never release newer data. Checked
    // in the open folder, so a folder swapped since the first look shows as another file.
    struct stat now;
    if (::fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !Unchanged(st, now)) {
      *error = "changed since backup (while it was being stubbed)";
      return false;
    }
    if (!temporary.IsStill()) {
      *error = "temporary file " + name + " was replaced while the stub was written";
      return false;
    }
    if (::renameat(dir.get(), temporary.name().c_str(), dir.get(), base.c_str()) != 0) {
      *error = SysError("rename " + name + " ->", path);
      return false;
    }
    temporary.Keep();
    if (!SyncOnce(dir.get())) {
      *error = "stubbed, but " + SysError("sync folder", folder);
      return false;
    }
    return true;
  }

  const Options& o_;
  std::string archive_;
  TRHSMPerfCounter* perf_;
  std::set<std::string> cleaned_;
};

// Takes the long options out of argv; false on a usage error.
bool SplitOptions(int argc, char** argv, Options* o, std::vector<char*>* rest) {
  rest->push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dry-run") {
      o->dryRun = true;
    } else if (arg == "--verify") {
      o->verify = true;
    } else if (arg == "--quiet") {
      o->quiet = true;
    } else if (arg == "--collect-folder") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
      o->collectFolder = argv[++i];
    } else if (arg.compare(0, 2, "--") == 0) {
      return false;
    } else {
      rest->push_back(argv[i]);
    }
  }
  rest->push_back(nullptr);
  return true;
}

std::string DefaultCollectFolder() {
  KOPI_Focus focus;
  const char* client = focus.getFocusClientName(false);
  if (client == nullptr || *client == '\0') return "";
  KOPI_CommClient comm;
  const char* dir = comm.getJobResultsDirectory(client);
  return dir == nullptr ? "" : dir;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<char*> rest;
  if (!SplitOptions(argc, argv, &o, &rest)) return Usage();
  auto args = std::make_unique<TRHSM_CMDLINE_ARGS>();
  if (ProcessCommandLineArguments(static_cast<int>(rest.size()) - 1, rest.data(), args.get()) !=
          0 ||
      args->jobId <= 0) {
    return Usage();
  }
  if (o.collectFolder.empty()) o.collectFolder = DefaultCollectFolder();
  if (o.collectFolder.empty()) {
    std::fprintf(stderr, "trhsm-stubjob: no collect folder (give --collect-folder)\n");
    return 1;
  }
  if (o.collectFolder.back() != '/') o.collectFolder += '/';
  args->collectFolder = o.collectFolder;
  std::string archive;
  if (!trhsm::platform::ConfiguredArchiveRoot(&archive)) {
    std::fprintf(stderr, "trhsm-stubjob: no archive root configured (%s under %s)\n",
                 trhsm::archive_format::kRootValue, trhsm::archive_format::kRootKey);
    return 1;
  }
  KOPI_Focus focus;
  const char* focusName = focus.getFocusClientName(false);
  const std::string client = focusName == nullptr ? "" : focusName;

  EvEvent events;
  std::unique_ptr<HSMJobManager> jm;
  long restart = 0;
  if (!o.dryRun) {
    jm = std::make_unique<HSMJobManager>(args->jobId, "", "trhsm-stubjob", &events);
    if (jm->InitJobManager() != 1) {
      std::fprintf(stderr, "trhsm-stubjob: the job manager refused job %lld\n",
                   static_cast<long long>(args->jobId));
      return 1;
    }
    restart = jm->getRestartOffset();
  }
  std::unique_ptr<TRHSMMigratedDirTrees> trees;
  if (!o.dryRun) {
    try {
      trees = std::make_unique<TRHSMMigratedDirTrees>(true, client.c_str());
    } catch (const KoException& e) {
      std::fprintf(stderr, "trhsm-stubjob: cannot open the migrated tree list: %s\n", e.what());
      jm->NotifyJobManagerFailure(0);
      return 1;
    }
  }

  TRHSMPerfCounter perf;
  const unsigned long appType = GetAppNumberFromCommandLine(argc, argv);
  TRHSMCollectFileDBReader reader(*args, events, false, "dbStubList", appType);
  std::string failures =
      o.collectFolder + "stubjobFailures_" + std::to_string(args->jobId) + ".txt";
  if (!o.dryRun) reader.SetFailureFile(failures);
  CTimeCounter* query = perf.GetCounter(TRHSMPerfCounter::DO_STUBBING_QUERY);
  query->Start();
  const bool opened = reader.Initialize() == 1 && reader.Open() == 1;
  query->Stop();
  if (!opened) {
    std::fprintf(stderr, "trhsm-stubjob: no collect file for job %lld in %s\n",
                 static_cast<long long>(args->jobId), o.collectFolder.c_str());
    if (jm) jm->NotifyJobManagerFailure(0);
    return 1;
  }

  const bool progress = !o.quiet && ::isatty(STDOUT_FILENO);
  StubJob job(o, archive, &perf);
  std::map<std::string, int> refused;
  long index = 0;       // items read
  long offset = 0;      // restart offset: items before it are all finished
  bool settled = true;  // no item refused yet
  uint64_t stubbed = 0, done = 0, would = 0, released = 0;
  uint64_t untracked = 0;   // stubs whose tree could not be recorded
  uint64_t unreported = 0;  // items the job manager was not told about
  bool quit = false;
  HSMCollectFile item;
  std::string reparse, meta, status;
  unsigned long inode = 0;
  long long fileSize = 0;
  auto recordTree = [&](const std::string& fileName) {
    if (!trees) return;
    try {
      trees->addTree(FolderOf(fileName).c_str());
    } catch (const KoException& e) {
      // The file is a stub already; only the tree record is missing, so say so and go on, but
      // do not end as if all was well: the list would deny a migrated tree.
      ++untracked;
      events.Error(kTag, "cannot record the tree of %s: %s", fileName.c_str(), e.what());
      std::fprintf(stderr, "trhsm-stubjob: cannot record the tree of %s: %s\n", fileName.c_str(),
                   e.what());
    }
  };
  for (;;) {
    if (jm && jm->CheckQuitFlag()) {
      quit = true;
      break;
    }
    const int rc = reader.GetItem(item, reparse, meta, inode, fileSize, status);
    if (rc == -1) continue;
    if (rc != 1) break;
    ++index;
    // Items up to the stored offset were finished by the run that stored it.
    if (index <= restart) {
      ++done;
      offset = index;
      continue;
    }
    const Outcome r = job.Handle(item.fileName, reparse, inode);
    // The offset covers only the unbroken run of finished items, so that a restart never passes
    // over a file that was refused.
    if (r.result == Result::kRefused) {
      settled = false;
    } else if (settled) {
      offset = index;
    }
    switch (r.result) {
      case Result::kStubbed: {
        ++stubbed;
        released += r.size;
        uint64_t size = r.size;
        if (jm->UpdateTotalStubbedSize(size, true) != 1) {
          ++unreported;
          std::fprintf(stderr, "trhsm-stubjob: the job manager refused the stubbed size of %s\n",
                       item.fileName.c_str());
        }
        recordTree(item.fileName);
        break;
      }
      case Result::kDone:
        ++done;
        // A killed run may have stubbed the file without saving the tree list (it is saved at the
        // end of a pass), so a stub found here records its tree too; a recorded tree adds nothing.
        recordTree(item.fileName);
        break;
      case Result::kWould:
        ++would;
        released += r.size;
        break;
      case Result::kRefused:
        ++refused[r.reason];
        if (jm) {
          if (jm->NotifyFailedFiles(1) != 1) {
            ++unreported;
            std::fprintf(stderr, "trhsm-stubjob: the job manager refused the failure of %s\n",
                         item.fileName.c_str());
          }
          std::string line = item.fileName + " Stubbing : Failed : " + r.reason;
          reader.WriteToFailures(line.c_str());
        }
        events.Error(kTag, "%s: %s", item.fileName.c_str(), r.reason.c_str());
        break;
    }
    if (o.dryRun && !o.quiet) {
      const char* what = r.result == Result::kWould  ? "would stub"
                         : r.result == Result::kDone ? "done"
                                                     : "would refuse";
      std::printf("%s %s: %s\n", what, item.fileName.c_str(), r.reason.c_str());
    } else if (r.result == Result::kRefused && !o.quiet) {
      std::fprintf(stderr, "trhsm-stubjob: refused %s: %s\n", item.fileName.c_str(),
                   r.reason.c_str());
    }
    if (progress) {
      std::fprintf(stdout, "\r%ld items, %llu stubbed", index,
                   static_cast<unsigned long long>(stubbed));
      std::fflush(stdout);
    }
  }
  if (progress) std::fputc('\n', stdout);

  // The list is saved here and not only by its destructor, which can merely log a failure: the
  // run must not end as a success when the trees it stubbed in are not recorded.
  if (trees) {
    try {
      trees->saveList();
    } catch (const KoException& e) {
      ++untracked;
      events.Error(kTag, "cannot save the migrated tree list: %s", e.what());
      std::fprintf(stderr, "trhsm-stubjob: cannot save the migrated tree list: %s\n", e.what());
    }
  }
  // A rerun skips the items before the stored offset; while some tree is unrecorded it must meet
  // every stub again, so that it records the tree.
  if (untracked > 0) offset = 0;
  uint64_t failed = 0;
  for (const auto& kv : refused) failed += static_cast<uint64_t>(kv.second);
  bool reported = true;
  if (jm) {
    if (quit) {
      // The phase ends unfinished (status 3) with the offset of the unbroken run of finished
      // items, so the rerun starts after them; later stubs it meets count as done.
      reported = jm->NotifyJobManagerPhaseSuccess(offset, true) == 1;
    } else {
      reported = jm->NotifyJobManagerPhaseSuccess(offset, false) == 1;
    }
    if (!reported) std::fprintf(stderr, "trhsm-stubjob: the job manager refused the phase end\n");
  }
  perf.LogAllPerformanceCounters(0);

  std::printf("%s: %llu stubbed, %llu already done, %llu refused, %llu bytes %s%s\n", kTag,
              static_cast<unsigned long long>(o.dryRun ? would : stubbed),
              static_cast<unsigned long long>(done), static_cast<unsigned long long>(failed),
              static_cast<unsigned long long>(released),
              o.dryRun ? "would be released" : "released", quit ? " (stopped on request)" : "");
  for (const auto& kv : refused) std::printf("  refused (%s): %d\n", kv.first.c_str(), kv.second);
  const TRHSMPerfCounter::TRHSMCounters shown[] = {TRHSMPerfCounter::DO_STUBBING_QUERY,
                                                   TRHSMPerfCounter::FILE_STAT,
                                                   TRHSMPerfCounter::REMOVE_FILE};
  const char* names[] = {"query", "stat", "replace"};
  for (size_t i = 0; i < 3; ++i) {
    std::printf("  %s: %s\n", names[i], perf.GetCounter(shown[i])->AsString().c_str());
  }
  if (std::fflush(stdout) != 0) return 1;
  return failed > 0 || untracked > 0 || unreported > 0 || quit || !reported ? 1 : 0;
}
