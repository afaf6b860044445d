// Intent records (tools/recalld/intent.h).
#include "tools/recalld/intent.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "tools/scoped_file.h"
#include "trhsm/KoCrc32.h"

namespace recalld {
namespace {

using trhsm_tools::Fd;

constexpr char kMagic[] = "trhsm-recalld intent 1";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool Unhex(const std::string& text, std::string* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
    out->push_back(static_cast<char>(value));
  }
  return true;
}

uint32_t Crc(const std::string& text) {
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(text.data(), text.size(), &reg);
  return ~reg;
}

bool SyncFolder(const std::string& path) {
  Fd fd(trhsm_tools::OpenFolder(path, true));
  return fd.get() >= 0 && trhsm_tools::SyncOnce(fd.get());
}

}  // namespace

std::string SlotPath(const std::string& state, unsigned slot) {
  return state + "/" + kIntentPrefix + std::to_string(slot);
}

bool PrepareSlots(const std::string& state, unsigned count, std::vector<unsigned>* slots,
                  std::string* error) {
  for (unsigned slot = 0; slots->size() < count; ++slot) {
    const std::string path = SlotPath(state, slot);
    // Non-blocking: a FIFO planted in the folder is refused, never waited on.
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      *error = "cannot make intent slot " + path + ": " +
               (fd.get() < 0 ? std::strerror(errno) : "not a regular file");
      return false;
    }
    if (st.st_size == 0) slots->push_back(slot);
  }
  if (!SyncFolder(state)) {
    *error = "cannot sync state folder " + state + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool WriteIntent(const std::string& state, unsigned slot, const Intent& in, std::string* error) {
  char times[128];
  std::snprintf(times, sizeof times, "atime %lld %ld\nmtime %lld %ld\n",
                static_cast<long long>(in.accessTime.tv_sec), in.accessTime.tv_nsec,
                static_cast<long long>(in.modTime.tv_sec), in.modTime.tv_nsec);
  std::string text = std::string(kMagic) + "\ndevice " + std::to_string(in.device) + "\ninode " +
                     std::to_string(in.inode) + "\n" + times + "path " + Hex(in.path) + "\nstub " +
                     Hex(in.stub) + "\n";
  text += "crc " + std::to_string(Crc(text)) + "\n";
  const std::string path = SlotPath(state, slot);
  Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  bool ok = fd.get() >= 0 && ::ftruncate(fd.get(), 0) == 0 &&
            ::pwrite(fd.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
            ::fdatasync(fd.get()) == 0;
  ok = fd.get() >= 0 && fd.Close() && ok;
  if (!ok) {
    *error = "cannot write intent " + path + ": " + std::strerror(errno);
    ClearIntent(path);
  }
  return ok;
}

void ClearIntent(const std::string& path) { (void)!::truncate(path.c_str(), 0); }

bool ReadIntent(const std::string& path, Intent* in) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return false;
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > (1u << 20)) return false;
  }
  const size_t crcAt = text.rfind("crc ");
  if (crcAt == std::string::npos || text.back() != '\n' ||
      text.compare(crcAt + 4, text.size() - crcAt - 5,
                   std::to_string(Crc(text.substr(0, crcAt)))) != 0) {
    return false;
  }
  std::istringstream lines(text.substr(0, crcAt));
  std::string magic, key, pathHex, stubHex;
  long long atime = 0, mtime = 0;
  Intent out;
  if (!std::getline(lines, magic) || magic != kMagic) return false;
  lines >> key >> out.device;
  if (key != "device") return false;
  lines >> key >> out.inode;
  if (key != "inode") return false;
  lines >> key >> atime >> out.accessTime.tv_nsec;
  if (key != "atime") return false;
  lines >> key >> mtime >> out.modTime.tv_nsec;
  if (key != "mtime") return false;
  lines >> key >> pathHex;
  if (key != "path") return false;
  lines >> key >> stubHex;
  if (key != "stub" || !lines || !Unhex(pathHex, &out.path) || !Unhex(stubHex, &out.stub)) {
    return false;
  }
  out.accessTime.tv_sec = static_cast<time_t>(atime);
  out.modTime.tv_sec = static_cast<time_t>(mtime);
  *in = out;
  return true;
}

std::vector<std::string> IntentFiles(const std::string& state) {
  std::vector<std::string> out;
  DIR* dir = ::opendir(state.c_str());
  if (dir == nullptr) return out;
  const size_t prefix = sizeof kIntentPrefix - 1;
  while (const dirent* e = ::readdir(dir)) {
    const std::string path = state + "/" + e->d_name;
    struct stat st;
    if (std::strncmp(e->d_name, kIntentPrefix, prefix) == 0 && ::lstat(path.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode) && st.st_size > 0) {
      out.push_back(path);
    }
  }
  ::closedir(dir);
  return out;
}

}  // namespace recalld
