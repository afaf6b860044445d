// trhsm-recall: puts archived files back in place of their stubs.
//   trhsm-recall [--dry-run] [--json] [--archive DIR] FILE...
// Each stub's reparse data names its copy (group, archive file, offset); the copy is checked
// against its checksum while it is written to a temporary file beside the stub, which then takes
// the stub's owner and mode and the archived modification time and is renamed over the stub.
// Exit status: 0 all recalled, 1 something was refused or failed, 2 usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "stub/record_format.h"
#include "tools/scoped_file.h"
#include "tools/text_escape.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

namespace sr = trhsm::stub_record;
using trhsm::platform::CopyHeader;
using trhsm_tools::CQuote;
using trhsm_tools::JsonQuote;

constexpr int kUsageError = 2;

int Usage() {
  std::fprintf(stderr, "usage: trhsm-recall [--dry-run] [--json] [--archive DIR] FILE...\n");
  return kUsageError;
}

struct Options {
  bool dryRun = false;
  bool json = false;
  std::string archive;
  std::vector<std::string> files;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dry-run") {
      o->dryRun = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--archive") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "trhsm-recall: --archive needs a folder\n");
        return false;
      }
      o->archive = argv[++i];
    } else if (arg == "--") {
      for (++i; i < argc; ++i) o->files.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "trhsm-recall: unknown option %s\n", CQuote(arg).c_str());
      return false;
    } else {
      o->files.push_back(arg);
    }
  }
  if (o->files.empty()) {
    std::fprintf(stderr, "trhsm-recall: no FILE given\n");
    return false;
  }
  return true;
}

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

using trhsm_tools::Fd;
using trhsm_tools::SyncOnce;
using trhsm_tools::Temporary;

struct Outcome {
  bool ok = false;
  std::string error;
  std::string archiveFile;
  int64_t offset = 0;
  uint64_t size = 0;
};

// The stub `base` in the folder open at `dirFd` (`path` names it in messages): its reparse data
// and its status; false with *error when it is not a stub.
bool ReadStub(int dirFd, const std::string& base, const std::string& path, ::ReparseData* data,
              struct stat* st, std::string* error) {
  Fd fd(::openat(dirFd, base.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    *error = SysError("open", path);
    return false;
  }
  if (::fstat(fd.get(), st) != 0) {
    *error = SysError("stat", path);
    return false;
  }
  if (!S_ISREG(st->st_mode)) {
    *error = "not a regular file";
    return false;
  }
  // One byte more than the largest record, so a longer file is seen to be longer.
  std::vector<char> buffer(static_cast<size_t>(sr::kMaxRecordLength) + 1);
  size_t have = 0;
  while (have < buffer.size()) {
    ssize_t n = ::read(fd.get(), buffer.data() + have, buffer.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = SysError("read", path);
      return false;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  buffer.resize(have);
  int recordLength = 0;
  if (have > static_cast<size_t>(sr::kMaxRecordLength) || !::ParseStubData(buffer, *data) ||
      !trhsm_stub2meta(buffer.data(), &recordLength, nullptr, nullptr, 0, true)) {
    *error = "not a stub file";
    return false;
  }
  // A file that merely begins with a stub record holds data of its own: leave it alone.
  if (static_cast<size_t>(recordLength) != have) {
    *error = "not a stub file (" + std::to_string(have - static_cast<size_t>(recordLength)) +
             " bytes after the stub record)";
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Layout 2 carries the archived size too; a copy of another size is not this file's.
bool SizeMatches(const ::ReparseData& data, const CopyHeader& header, std::string* error) {
  if (data.layout != 2 || static_cast<uint64_t>(data.extraNumber) == header.size) return true;
  *error = "archived copy holds " + std::to_string(header.size) + " bytes but the stub says " +
           std::to_string(data.extraNumber);
  return false;
}

Outcome Recall(const std::string& path, const Options& o) {
  Outcome out;
  ::ReparseData data;
  struct stat st;
  const std::string folder = FolderOf(path);
  const std::string base = BaseOf(path);
  // Every step below works in this one folder: the folder named by the user (its link followed),
  // but nothing in it that is a link, so a planted link cannot redirect the stub read, the
  // temporary file or the rename.
  Fd dir(trhsm_tools::OpenFolder(folder, true));
  if (dir.get() < 0) {
    out.error = SysError("open folder", folder);
    return out;
  }
  if (!ReadStub(dir.get(), base, path, &data, &st, &out.error)) return out;
  out.archiveFile = trhsm::platform::ArchiveFilePath(o.archive, data.field2, data.field3);
  out.offset = data.field4;
  CopyHeader header;
  if (o.dryRun) {
    if (!trhsm::platform::VerifyCopy(o.archive, data.field2, data.field3, data.field4, &header,
                                     &out.error) ||
        !SizeMatches(data, header, &out.error)) {
      return out;
    }
  } else {
    std::string name;
    // Created O_EXCL|O_NOFOLLOW with mode 0600: nobody else sees the bytes before they are right.
    Fd fd(trhsm_tools::CreateTemporaryAt(dir.get(), "." + base + ".recall-", &name));
    if (fd.get() < 0) {
      out.error = SysError("create temporary file in", folder);
      return out;
    }
    Temporary temporary(dir.get(), name, fd.get());
    name = folder + "/" + name;  // for messages
    if (!trhsm::platform::CopyOut(o.archive, data.field2, data.field3, data.field4, fd.get(),
                                  &header, &out.error)) {
      return out;
    }
    if (!SizeMatches(data, header, &out.error)) return out;
    struct stat tst;
    if (::fstat(fd.get(), &tst) != 0) {
      out.error = SysError("stat", name);
      return out;
    }
    // Owner first: chown clears set-user-id bits that the mode then restores.
    if ((tst.st_uid != st.st_uid || tst.st_gid != st.st_gid) &&
        ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
      out.error = SysError("give the stub's owner to", name);
      return out;
    }
    const struct timespec times[2] = {
        st.st_atim, {static_cast<time_t>(header.modTime), static_cast<long>(header.modTimeNsec)}};
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
      out.error = SysError("chmod", name);
      return out;
    }
    if (::futimens(fd.get(), times) != 0) {
      out.error = SysError("set times of", name);
      return out;
    }
    if (!SyncOnce(fd.get())) {
      out.error = SysError("fsync", name);
      return out;
    }
    if (!fd.Close()) {
      out.error = SysError("close", name);
      return out;
    }
    // The stub may have been replaced while the copy was written; do not overwrite a newer file.
    struct stat now;
    if (::fstatat(dir.get(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(st, now)) {
      out.error = "the stub changed while it was being recalled";
      return out;
    }
    // Nor put in place a file that someone swapped for the temporary meanwhile.
    if (!temporary.IsStill()) {
      out.error = "temporary file " + name + " was replaced while the copy was written";
      return out;
    }
    if (::renameat(dir.get(), temporary.name().c_str(), dir.get(), base.c_str()) != 0) {
      out.error = SysError("rename " + name + " ->", path);
      return out;
    }
    temporary.Keep();
    if (!SyncOnce(dir.get())) {
      // The file is recalled; only its durability across a crash is in doubt.
      out.error = "recalled, but " + SysError("sync folder", folder);
      return out;
    }
  }
  out.size = header.size;
  out.ok = true;
  return out;
}

void Report(const std::string& path, const Options& o, const Outcome& r) {
  if (o.json) {
    std::string line = "{\"file\":" + JsonQuote(path) + ",\"ok\":" + (r.ok ? "true" : "false") +
                       ",\"dryRun\":" + (o.dryRun ? "true" : "false");
    if (!r.archiveFile.empty()) {
      line +=
          ",\"archive\":" + JsonQuote(r.archiveFile) + ",\"offset\":" + std::to_string(r.offset);
    }
    if (r.ok) line += ",\"size\":" + std::to_string(r.size);
    if (!r.ok) line += ",\"error\":" + JsonQuote(r.error);
    std::printf("%s}\n", line.c_str());
  } else if (!r.ok) {
    std::fprintf(stderr, "trhsm-recall: refused %s: %s\n", CQuote(path).c_str(), r.error.c_str());
  } else if (o.dryRun) {
    std::printf("trhsm-recall: would recall %s: %llu bytes from %s at offset %lld\n",
                CQuote(path).c_str(), static_cast<unsigned long long>(r.size),
                CQuote(r.archiveFile).c_str(), static_cast<long long>(r.offset));
  } else {
    std::printf("trhsm-recall: recalled %s (%llu bytes)\n", CQuote(path).c_str(),
                static_cast<unsigned long long>(r.size));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return Usage();
  if (o.archive.empty() && !trhsm::platform::ConfiguredArchiveRoot(&o.archive)) {
    std::fprintf(stderr, "trhsm-recall: no archive root configured (%s under %s); give --archive\n",
                 trhsm::archive_format::kRootValue, trhsm::archive_format::kRootKey);
    return 1;
  }
  int status = 0;
  for (const std::string& file : o.files) {
    const Outcome r = Recall(file, o);
    Report(file, o, r);
    if (!r.ok) status = 1;
  }
  if (std::fflush(stdout) != 0) return 1;
  return status;
}
