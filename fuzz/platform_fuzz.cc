// Stand-ins: configuration values whole lines, a small buffer refused untouched (byte 0 even); read
// archive headers encode back, copies verified and copied out iff their checksum matches (odd).
#include "fuzz/fuzz_check.h"
#include "platform/archive.h"
#include "platform/archive_format.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoCrc32.h"

void Registry(const uint8_t* data, size_t size) {
  const std::string text(trhsm_fuzz::Text(data, size)), framed = "\n" + text + "\n";
  trhsm_fuzz::SetFile("KO_REGISTRY", "registry", text);
  KOPlatformInfo info;
  auto wholeLine = [&framed](const std::string& line) {
    return framed.find("\n" + line + "\n") != framed.npos ||
           framed.find("\n" + line + "\r\n") != framed.npos;
  };
  std::string key;  // lookups read the store again each time: a dozen names tell enough
  int inKey = 0, lookups = 0;
  trhsm_fuzz::ForLines(text, [&](std::string_view view) {
    std::string line(view.substr(0, view.size() - (!view.empty() && view.back() == '\r')));
    if (line[0] == '[' && (inKey = line.size() >= 2 && line.back() == ']'))
      key = line.substr(1, line.size() - 2);
    const size_t equals = line.find('=');
    if (!inKey || (key + line).find('\0') != key.npos || line[0] == '#' || line[0] == '[' ||
        equals == line.npos || ++lookups > 12)
      return;
    const std::string name = line.substr(0, equals);
    std::string found;
    char buffer[16] = "mmmmmmmmmmmmmmm";  // a refusal leaves it alone
    int length = sizeof buffer;
    FUZZ_CHECK(info.getString(key.c_str(), name.c_str(), &found) == 1 &&
               wholeLine(name + "=" + found));
    const int rc = info.getString(key.c_str(), name.c_str(), buffer, &length);
    FUZZ_CHECK(length == static_cast<int>(found.size()) && rc == (found.size() < sizeof buffer) &&
               (rc ? std::string(buffer, found.size() + 1) == found + '\0'
                   : std::string(buffer) == "mmmmmmmmmmmmmmm") &&
               info.getString(key.c_str(), (name + "=").c_str(), &found) == 0);
  });
  std::vector<std::string> clients;
  FUZZ_CHECK(info.getClientList(clients) == static_cast<int>(clients.size()));
  for (size_t i = 0; i < clients.size(); ++i)
    FUZZ_CHECK(!clients[i].empty() && text.find("[Machines/" + clients[i]) != text.npos &&
               std::find(clients.begin(), clients.begin() + i, clients[i]) == clients.begin() + i);
}

namespace af = trhsm::archive_format;
namespace tp = trhsm::platform;

uint32_t Crc(const char* p, size_t n, uint32_t crc = 0xFFFFFFFFu) {
  return ko_crc32(reinterpret_cast<const uint8_t*>(p), n, &crc), ~crc;
}

std::string Encode(const tp::CopyHeader& h) {  // 4-byte fields little-endian, the others big
  std::string b = af::kMagic + std::string(h.headerSize - 4, '\0');
  auto put = [&b](size_t at, uint64_t v, size_t n) {
    n == 4 ? af::PutLE32(&b[at], v) : af::PutBE(&b[at], v, n);
  };
  put(af::kVersionOffset, h.version, 2), put(af::kHeaderSizeOffset, h.headerSize, 2);
  put(af::kSizeOffset, h.size, 8), put(af::kModTimeOffset, h.modTime, 8);
  put(af::kModTimeNsecOffset, h.modTimeNsec, 4), put(af::kDataCrcOffset, h.crc, 4);
  if (h.version == 2)
    put(af::kChangeTimeOffset, h.changeTime, 8), put(af::kInodeOffset, h.inode, 8),
        put(af::kChangeTimeNsecOffset, h.changeTimeNsec, 4);
  put(b.size() - 4, Crc(b.data(), b.size() - 4), 4);
  return b;
}

// Checks the copy at `offset`; returns the offset after it, or -1 when it holds no header.
int64_t CheckCopy(const std::string& root, const std::string& a, int64_t offset) {
  std::string error;
  tp::CopyHeader h, verified, copied;
  const bool read = tp::ReadCopyHeader(root, 1, 2, offset, &h, &error);
  const char* bytes = a.data() + (read ? offset + h.headerSize : 0);
  FUZZ_CHECK(read ? offset >= 0 && static_cast<uint64_t>(offset) + h.headerSize <= a.size() &&
                        h.size <= a.size() - offset - h.headerSize &&
                        Encode(h) == a.substr(offset, h.headerSize) &&
                        h.modTimeNsec < 1000000000u && h.changeTimeNsec < 1000000000u
                  : !error.empty());
  const bool good = read && Crc(bytes, h.size) == h.crc;
  FUZZ_CHECK(tp::VerifyCopy(root, 1, 2, offset, &verified, &error) == good &&
             (!good || Encode(verified) == Encode(h)));
  const int fd = ::open((root + "/out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0 && tp::CopyOut(root, 1, 2, offset, fd, &copied, &error) == good);
  std::string back(read ? h.size + 1 : 1, 0);  // a refusal may leave a part of the bytes
  const ssize_t written = ::pread(fd, &back[0], back.size(), 0);
  ::close(fd);
  FUZZ_CHECK(written >= 0 && static_cast<uint64_t>(written) <= (read ? h.size : 0) &&
             (written == 0 || std::memcmp(back.data(), bytes, written) == 0) &&
             (!good || (static_cast<uint64_t>(written) == h.size && Encode(copied) == Encode(h))));
  return read ? static_cast<int64_t>(offset + h.headerSize + h.size) : -1;
}

void Archive(const uint8_t* data, size_t size) {
  const std::string a(trhsm_fuzz::Text(data, size)), root = trhsm_fuzz::Scratch();
  ::mkdir(trhsm_fuzz::Path("1").c_str(), 0755);
  trhsm_fuzz::Write(tp::ArchiveFilePath(root, 1, 2).substr(root.size() + 1), a);
  // The chain of copies from 0, offsets around and past the end.
  const int64_t end = a.size();
  for (int64_t at = 0, copies = 0; at >= 0 && at < end && copies < 6; ++copies)
    at = CheckCopy(root, a, at);
  for (int64_t at : {end - 56, end - 36, end, end + 1, int64_t{-1}}) CheckCopy(root, a, at);
}

FUZZ_PARTS(Registry, Archive)
