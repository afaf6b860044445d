// The stub job's release decision for one item, and the replacement when it is a release.
#include "examples/stubjob/release_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "examples/stubjob/stub_replace.h"
#include "platform/archive.h"
#include "platform/archive_identity.h"
#include "tools/scoped_file.h"

namespace stubjob {
namespace {

using trhsm_tools::Fd;

constexpr size_t kMaxStubLength = 65535;

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
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

// Why the file `st` is not the one archived under `header`; empty when it is (as far as the
// header can tell). `recalled`: `st` is the identity recorded when the file was last recalled
// from this copy, which stands in for the inode and change time of the backup.
std::string Difference(const struct stat& st, const trhsm::platform::CopyHeader& header,
                       bool recalled) {
  if (static_cast<uint64_t>(st.st_size) != header.size || st.st_mtim.tv_sec != header.modTime ||
      static_cast<uint32_t>(st.st_mtim.tv_nsec) != header.modTimeNsec) {
    return "changed since backup";
  }
  if (recalled || !header.HasChangeTime()) return "";
  if (static_cast<uint64_t>(st.st_ino) != header.inode) {
    return "changed since backup (another inode)";
  }
  // Size and times can be set back (cp -p, touch -r); the change time cannot.
  if (st.st_ctim.tv_sec != header.changeTime ||
      static_cast<uint32_t>(st.st_ctim.tv_nsec) != header.changeTimeNsec) {
    return "changed since backup (change time)";
  }
  return "";
}

}  // namespace

Outcome ReleaseCheck::Handle(const std::string& path, const std::string& reparse,
                             unsigned long inode) {
  Outcome out;
  ReparseData rd;
  if (ParseStubReparseData(reparse, rd) != 1) {
    out.reason = "bad reparse data";
    return out;
  }
  if (!o_.dryRun && cleaned_.insert(FolderOf(path)).second) RemoveStaleTemporaries(FolderOf(path));
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
  const int need = trhsm_meta2stub(reparse.c_str(), 0, nullptr, 0);
  std::string record(need > 0 ? static_cast<size_t>(need) : 0, '\0');
  if (need <= 0 || trhsm_meta2stub(reparse.c_str(), 0, &record[0], need) != need) {
    out.reason = "reparse data too long for a stub";
    return out;
  }
  if (static_cast<uint64_t>(st.st_size) <= record.size()) {
    out.result = Result::kSkipped;
    out.reason = "too small to release";
    return out;
  }
  // Its other names would keep the data, and a recall would part them from the link.
  if (st.st_nlink > 1) {
    out.reason = "hard-linked";
    return out;
  }
  // A file recalled from this copy and not changed since is still the copy's file.
  trhsm::platform::RecalledIdentity identity;
  const bool recalled =
      trhsm::platform::ReadRecalledIdentity(archive_, rd.field2, rd.field3, rd.field4, &identity) &&
      identity.Matches(st);
  const unsigned long noInode = ~0UL;
  if (inode != noInode && static_cast<unsigned long>(st.st_ino) != inode && !recalled) {
    out.reason = "changed since backup (another inode)";
    return out;
  }
  const int locked = trhsmIsMandLocked(path.c_str(), &st);
  if (locked != 0) {
    out.reason = locked == 1 ? "locked" : "lock probe failed";
    return out;
  }
  trhsm::platform::CopyHeader header;
  std::string error;
  if (!trhsm::platform::ReadCopyHeader(archive_, rd.field2, rd.field3, rd.field4, &header,
                                       &error)) {
    out.reason = "no archived copy: " + error;
    return out;
  }
  out.reason = Difference(st, header, recalled);
  if (!out.reason.empty()) return out;
  if (!header.HasChangeTime() && !o_.verify && !recalled) {
    out.reason = "archived without a change time (--verify would compare its bytes)";
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
    const uint64_t used = static_cast<uint64_t>(st.st_blocks) * 512;
    const uint64_t block = st.st_blksize > 0 ? static_cast<uint64_t>(st.st_blksize) : 4096;
    const uint64_t stub = (record.size() + block - 1) / block * block;
    out.freed = used > stub ? used - stub : 0;
    out.result = Result::kWould;
    out.reason = "matches its archived copy";
    return out;
  }
  CTimeCounter* replaceTimer = perf_->GetCounter(TRHSMPerfCounter::REMOVE_FILE);
  replaceTimer->Start();
  out.staged = group_->Stage(path, record, st, &out.reason);
  replaceTimer->Stop();
  return out;
}

}  // namespace stubjob
