// Intent records (tools/recalld/intent.h).
#include "tools/recalld/intent.h"

#include <dirent.h>
#include <fcntl.h>
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
constexpr char kTemporarySuffix[] = ".tmp";

std::string Name(uint64_t device, uint64_t inode) {
  return kIntentPrefix + std::to_string(device) + "-" + std::to_string(inode);
}

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

bool WriteIntent(const std::string& state, const Intent& in, std::string* error) {
  char times[128];
  std::snprintf(times, sizeof times, "atime %lld %ld\nmtime %lld %ld\n",
                static_cast<long long>(in.accessTime.tv_sec), in.accessTime.tv_nsec,
                static_cast<long long>(in.modTime.tv_sec), in.modTime.tv_nsec);
  std::string text = std::string(kMagic) + "\ndevice " + std::to_string(in.device) + "\ninode " +
                     std::to_string(in.inode) + "\n" + times + "path " + Hex(in.path) + "\nstub " +
                     Hex(in.stub) + "\n";
  text += "crc " + std::to_string(Crc(text)) + "\n";
  const std::string path = state + "/" + Name(in.device, in.inode);
  const std::string temporary = path + kTemporarySuffix;
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  bool ok = fd.get() >= 0 &&
            ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            trhsm_tools::SyncOnce(fd.get());
  ok = fd.get() >= 0 && fd.Close() && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0 || !SyncFolder(state)) {
    *error = "cannot write intent " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

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

bool DropIntent(const std::string& state, uint64_t device, uint64_t inode, std::string* error) {
  const std::string path = state + "/" + Name(device, inode);
  if ((::unlink(path.c_str()) != 0 && errno != ENOENT) || !SyncFolder(state)) {
    *error = "cannot remove intent " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<std::string> IntentFiles(const std::string& state) {
  std::vector<std::string> out;
  DIR* dir = ::opendir(state.c_str());
  if (dir == nullptr) return out;
  const size_t prefix = sizeof kIntentPrefix - 1, suffix = sizeof kTemporarySuffix - 1;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.compare(0, prefix, kIntentPrefix) != 0) continue;
    if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kTemporarySuffix) == 0) {
      ::unlink((state + "/" + name).c_str());  // an intent never written whole: no byte moved
    } else {
      out.push_back(state + "/" + name);
    }
  }
  ::closedir(dir);
  return out;
}

}  // namespace recalld
