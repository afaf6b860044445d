// Start-up recovery (tools/recalld/recovery.h).
#include "tools/recalld/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_identity.h"
#include "tools/recalld/inplace_recall.h"
#include "tools/recalld/intent.h"
#include "tools/scoped_file.h"
#include "tools/text_escape.h"
#include "trhsm/KoCrc32.h"

namespace recalld {
namespace {

using trhsm_tools::Fd;

// True when the file at `fd` is exactly the copy `header` describes.
bool HoldsCopy(int fd, const trhsm::platform::CopyHeader& header) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != header.size) return false;
  std::vector<char> buf(1 << 20);
  uint32_t reg = 0xFFFFFFFFu;
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    ko_crc32(buf.data(), static_cast<size_t>(n), &reg);
    at += n;
  }
  return ~reg == header.crc;
}

// Settles one intent; "" when it could not be (the intent stays), else the log line.
std::string Settle(const std::string& archive, const Intent& in, bool* settled) {
  const std::string name = trhsm_tools::CQuote(in.path);
  *settled = true;
  Fd fd(::open(in.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 ||
      static_cast<uint64_t>(st.st_dev) != in.device ||
      static_cast<uint64_t>(st.st_ino) != in.inode) {
    return "recovery: " + name + " no longer holds the file being recalled; left alone";
  }
  std::string head(in.stub.size(), '\0');
  const ssize_t n = ::pread(fd.get(), &head[0], head.size(), 0);
  std::string error;
  if (n != static_cast<ssize_t>(head.size()) || head != in.stub) {
    std::vector<char> record(in.stub.begin(), in.stub.end());
    ReparseData data;
    trhsm::platform::CopyHeader header;
    if (::ParseStubData(record, data) &&
        trhsm::platform::ReadCopyHeader(archive, data.field2, data.field3, data.field4, &header,
                                        &error) &&
        HoldsCopy(fd.get(), header)) {
      const struct timespec times[2] = {
          {0, UTIME_OMIT},
          {static_cast<time_t>(header.modTime), static_cast<long>(header.modTimeNsec)}};
      if (::futimens(fd.get(), times) == 0 && trhsm_tools::SyncOnce(fd.get()) &&
          ::fstat(fd.get(), &st) == 0) {
        (void)trhsm::platform::RecordRecalledIdentity(archive, data.field2, data.field3,
                                                      data.field4, st, &error);
        return "recovery: finished the recall of " + name;
      }
    }
  }
  if (!Undo(fd.get(), in, &error)) {
    *settled = false;
    return "recovery: " + name + ": " + error + "; the intent stays for the next start";
  }
  return "recovery: " + name + " is its stub again (the recall was cut short)";
}

}  // namespace

size_t RecoverAll(const std::string& state, const std::string& archive, Log* log) {
  size_t unsettled = 0;
  for (const std::string& file : IntentFiles(state)) {
    Intent in;
    if (!ReadIntent(file, &in)) {
      // Torn: it was being written when the power went, before any byte of its recall was.
      log->Line("recovery: " + file +
                " holds no whole intent record (nothing was written); cleared");
      ClearIntent(file);
      continue;
    }
    bool settled = false;
    log->Line(Settle(archive, in, &settled));
    if (settled) {
      ClearIntent(file);
    } else {
      ++unsettled;
    }
  }
  return unsettled;
}

}  // namespace recalld
