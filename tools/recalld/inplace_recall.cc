// The in-place recall (tools/recalld/inplace_recall.h).
#include "tools/recalld/inplace_recall.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_identity.h"
#include "stub/record_format.h"
#include "tools/scoped_file.h"
#include "trhsm/KoCrc32.h"

namespace recalld {
namespace {

using trhsm::platform::CopyHeader;
using trhsm_tools::Fd;

constexpr size_t kChunk = 1 << 20;
constexpr size_t kBlock = 4096;

std::string SysError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool PreadAll(int fd, char* buf, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, buf + done, n - done, at + static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO;  // cut short
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

bool PwriteAll(int fd, const char* buf, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(fd, buf + done, n - done, at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

bool AllZero(const char* p, size_t n) {
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// Writes the bytes [from, from + n) of the file, held at `buf`, skipping blocks of zeros (the file
// is extended past them later, so they read as zeros and take no space).
bool WriteSparse(int out, const char* buf, uint64_t from, size_t n) {
  uint64_t run = 0;
  bool inRun = false;
  uint64_t at = from;
  const uint64_t end = from + n;
  while (at < end) {
    const uint64_t blockEnd = std::min<uint64_t>((at / kBlock + 1) * kBlock, end);
    const bool zero = AllZero(buf + (at - from), blockEnd - at);
    if (!zero && !inRun) {
      run = at;
      inRun = true;
    } else if (zero && inRun) {
      if (!PwriteAll(out, buf + (run - from), at - run, static_cast<off_t>(run))) return false;
      inRun = false;
    }
    at = blockEnd;
  }
  return !inRun || PwriteAll(out, buf + (run - from), end - run, static_cast<off_t>(run));
}

}  // namespace

bool ReadStub(int fd, const struct stat& st, std::string* record, ReparseData* data) {
  namespace sr = trhsm::stub_record;
  if (!S_ISREG(st.st_mode) || st.st_size < sr::kOverhead || st.st_size > sr::kMaxRecordLength) {
    return false;
  }
  std::vector<char> bytes(static_cast<size_t>(st.st_size) + 1);
  const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), 0);
  if (n != st.st_size) return false;  // short, or grown meanwhile
  bytes.resize(static_cast<size_t>(n));
  int length = 0;
  ReparseData parsed;
  if (!trhsm_stub2meta(bytes.data(), &length, nullptr, nullptr, 0, true) ||
      static_cast<size_t>(length) != bytes.size() || !::ParseStubData(bytes, parsed)) {
    return false;
  }
  record->assign(bytes.begin(), bytes.end());
  *data = parsed;
  return true;
}

bool Undo(int fd, const Intent& intent, std::string* error) {
  const struct timespec times[2] = {intent.accessTime, intent.modTime};
  if (!PwriteAll(fd, intent.stub.data(), intent.stub.size(), 0) ||
      ::ftruncate(fd, static_cast<off_t>(intent.stub.size())) != 0 || ::futimens(fd, times) != 0 ||
      !trhsm_tools::SyncOnce(fd)) {
    *error = SysError("put the stub back");
    return false;
  }
  return true;
}

RecallResult InPlaceRecaller::Recall(int fd, const std::string& path, unsigned slot,
                                     const std::atomic<bool>& stop,
                                     const std::function<void(uint64_t)>& whole) const {
  RecallResult r;
  struct stat st;
  std::string record;
  ReparseData data;
  if (::fstat(fd, &st) != 0 || !ReadStub(fd, st, &record, &data)) {
    r.kind = RecallResult::kNotStub;
    return r;
  }
  CopyHeader header;
  if (!trhsm::platform::ReadCopyHeader(archive_, data.field2, data.field3, data.field4, &header,
                                       &r.error)) {
    return r;
  }
  if (data.layout == 2 && static_cast<uint64_t>(data.extraNumber) != header.size) {
    r.error = "archived copy holds " + std::to_string(header.size) + " bytes but the stub says " +
              std::to_string(data.extraNumber);
    return r;
  }
  const std::string archiveFile =
      trhsm::platform::ArchiveFilePath(archive_, data.field2, data.field3);
  Fd src(::open(archiveFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (src.get() < 0) {
    r.error = SysError("open " + archiveFile);
    return r;
  }
  ::posix_fadvise(src.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // The event's descriptor is read-only (a writable one would refuse, and so deny, the opens of
  // running programs); this one is opened through it, so it is the same file whatever its name.
  Fd out(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_CLOEXEC));
  if (out.get() < 0) {
    r.error = SysError("open for writing");
    return r;
  }
  if (stop) {
    r.kind = RecallResult::kStopped;
    return r;
  }
  const Intent intent{static_cast<uint64_t>(st.st_dev),
                      static_cast<uint64_t>(st.st_ino),
                      st.st_atim,
                      st.st_mtim,
                      path,
                      record};
  if (!WriteIntent(state_, slot, intent, &r.error)) return r;
  // From here on a failure puts the stub back; if even that fails, the intent stays for the next
  // start to settle.
  auto undo = [&](RecallResult::Kind kind, const std::string& why) {
    r.kind = kind;
    r.error = why;
    std::string more;
    if (Undo(out.get(), intent, &more)) {
      ClearIntent(SlotPath(state_, slot));
    } else {
      r.error += "; " + more + " (the next start settles it)";
    }
    return r;
  };
  // One pass: the bytes after the record's length go to their own offsets while the checksum of
  // all of them is computed; the record at offset 0 is replaced only once the checksum matched.
  const size_t keep = std::min<uint64_t>(record.size(), header.size);
  std::string head;
  std::vector<char> buf(kChunk);
  uint32_t reg = 0xFFFFFFFFu;
  const off_t start = static_cast<off_t>(data.field4) + static_cast<off_t>(header.headerSize);
  for (uint64_t at = 0; at < header.size; at += kChunk) {
    if (stop) return undo(RecallResult::kStopped, "stopped");
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, header.size - at));
    if (!PreadAll(src.get(), buf.data(), n, start + static_cast<off_t>(at))) {
      return undo(RecallResult::kFailed, SysError("read " + archiveFile));
    }
    ko_crc32(buf.data(), n, &reg);
    const size_t skip = at < keep ? static_cast<size_t>(std::min<uint64_t>(keep - at, n)) : 0;
    head.append(buf.data(), skip);
    if (!WriteSparse(out.get(), buf.data() + skip, at + skip, n - skip)) {
      return undo(RecallResult::kFailed, SysError("write"));
    }
  }
  if (~reg != header.crc) {
    return undo(RecallResult::kFailed,
                "archived copy in " + archiveFile + " is damaged (its checksum does not match)");
  }
  const bool longer = header.size >= record.size();
  if (longer && ::ftruncate(out.get(), static_cast<off_t>(header.size)) != 0) {
    return undo(RecallResult::kFailed, SysError("write"));
  }
  // The step that turns the stub into the data: one write of less than a page.
  const struct timespec times[2] = {
      {0, UTIME_OMIT},
      {static_cast<time_t>(header.modTime), static_cast<long>(header.modTimeNsec)}};
  if (!PwriteAll(out.get(), head.data(), head.size(), 0) ||
      (!longer && ::ftruncate(out.get(), static_cast<off_t>(header.size)) != 0) ||
      ::futimens(out.get(), times) != 0) {
    return undo(RecallResult::kFailed, SysError("write"));
  }
  // Whole for every reader now; durable once synced, and only then does the intent go. A crash
  // before that is finished by the next start, which finds the bytes matching the checksum.
  whole(header.size);
  r.kind = RecallResult::kRecalled;
  r.bytes = header.size;
  struct stat now;
  if (!trhsm_tools::SyncOnce(out.get()) || ::fstat(out.get(), &now) != 0) {
    r.error = SysError("sync") + " (the next start settles it)";
    return r;
  }
  std::string ignored;
  (void)trhsm::platform::RecordRecalledIdentity(archive_, data.field2, data.field3, data.field4,
                                                now, &ignored);
  ClearIntent(SlotPath(state_, slot));
  return r;
}

}  // namespace recalld
