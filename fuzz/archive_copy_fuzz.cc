// The recall path over a damaged archive file made of the input: ReadCopyHeader, VerifyCopy and
// CopyOut at each copy offset must accept exactly the intact copies of an independent reading of
// the format (platform/archive_format.h), a verified copy's bytes must match its checksum, and
// CopyOut must never write more than the copy's size, nor anything but the copy's own bytes.
//
// Input: byte 0 bit 0 repairs the header checksum, bit 1 the data checksum, of every header that
// the bytes hold (so the fuzzer reaches the checks behind them); the rest is the archive file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "platform/archive.h"

namespace {

using trhsm_fuzz::Check;
namespace tp = trhsm::platform;

// Header sizes of versions 1 and 2; every header ends in the CRC-32 of the bytes before it.
constexpr size_t kHeaderV1 = 36, kHeaderV2 = 56;
constexpr int64_t kGroup = 1, kFile = 2;

std::string Root() { return trhsm_fuzz::ScratchFolder() + "/archive"; }
std::string OutPath() { return trhsm_fuzz::ScratchFolder() + "/recalled"; }

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

uint64_t Be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool HasMagic(const std::vector<uint8_t>& a, size_t at) {
  return at + kHeaderV1 <= a.size() && std::memcmp(&a[at], "TRAC", 4) == 0;
}

// The size of the header at `at` by its version and size fields, when both agree and it fits in
// the file; 0 otherwise.
size_t HeaderSizeAt(const std::vector<uint8_t>& a, size_t at) {
  if (!HasMagic(a, at)) return 0;
  const uint64_t version = Be(&a[at] + 4, 2);
  const size_t size = version == 1 ? kHeaderV1 : version == 2 ? kHeaderV2 : 0;
  return size != 0 && Be(&a[at] + 6, 2) == size && at + size <= a.size() ? size : 0;
}

// The header at `at` when it is intact and its bytes lie inside the file.
bool IntactHeader(const std::vector<uint8_t>& a, size_t at, tp::CopyHeader* h) {
  const size_t n = HeaderSizeAt(a, at);
  if (n == 0) return false;
  const uint8_t* p = &a[at];
  if (Le32(p + n - 4) != Crc32(p, n - 4)) return false;
  *h = tp::CopyHeader();
  h->version = static_cast<unsigned>(Be(p + 4, 2));
  h->headerSize = static_cast<uint32_t>(n);
  h->size = Be(p + 8, 8);
  h->modTime = static_cast<int64_t>(Be(p + 16, 8));
  h->modTimeNsec = Le32(p + 24);
  h->crc = Le32(p + 28);
  if (n == kHeaderV2) {
    h->changeTime = static_cast<int64_t>(Be(p + 32, 8));
    h->inode = Be(p + 40, 8);
    h->changeTimeNsec = Le32(p + 48);
  }
  return h->size <= a.size() - at - n && h->modTimeNsec < 1000000000u &&
         h->changeTimeNsec < 1000000000u;
}

bool Same(const tp::CopyHeader& a, const tp::CopyHeader& b) {
  return a.size == b.size && a.modTime == b.modTime && a.modTimeNsec == b.modTimeNsec &&
         a.crc == b.crc && a.version == b.version && a.headerSize == b.headerSize &&
         a.changeTime == b.changeTime && a.changeTimeNsec == b.changeTimeNsec && a.inode == b.inode;
}

void CheckOffset(const std::vector<uint8_t>& a, int64_t offset) {
  tp::CopyHeader want;
  const bool intact = offset >= 0 && static_cast<uint64_t>(offset) <= a.size() &&
                      IntactHeader(a, static_cast<size_t>(offset), &want);
  const bool good = intact && Crc32(&a[static_cast<size_t>(offset)] + want.headerSize,
                                    static_cast<size_t>(want.size)) == want.crc;
  std::string error;
  tp::CopyHeader got;
  Check(tp::ReadCopyHeader(Root(), kGroup, kFile, offset, &got, &error) == intact,
        "ReadCopyHeader disagrees with the header's bytes");
  Check(intact ? Same(got, want) : !error.empty(), "ReadCopyHeader: header or error text");
  got = tp::CopyHeader();
  Check(tp::VerifyCopy(Root(), kGroup, kFile, offset, &got, &error) == good,
        "VerifyCopy disagrees with the copy's checksum");
  if (good) Check(Same(got, want), "VerifyCopy: header");

  const int fd = ::open(OutPath().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "open recall file");
  got = tp::CopyHeader();
  const bool copied = tp::CopyOut(Root(), kGroup, kFile, offset, fd, &got, &error);
  struct stat st;
  Check(::fstat(fd, &st) == 0, "stat recall file");
  const uint64_t written = static_cast<uint64_t>(st.st_size);
  Check(copied == good, "CopyOut disagrees with the copy's checksum");
  Check(written <= (intact ? want.size : 0), "CopyOut wrote more than the copy's size");
  if (copied) {
    Check(Same(got, want) && written == want.size, "CopyOut: header or length");
    std::vector<uint8_t> back(static_cast<size_t>(written));
    Check(::pread(fd, back.data(), back.size(), 0) == static_cast<ssize_t>(back.size()),
          "read back");
    Check(
        back.empty() || std::memcmp(back.data(), &a[static_cast<size_t>(offset)] + want.headerSize,
                                    back.size()) == 0,
        "CopyOut wrote bytes other than the copy's");
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("0");
  ::mkdir(Root().c_str(), 0755);
  ::mkdir((Root() + "/1").c_str(), 0755);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> a(data + 1, data + size);
  // Repair the checksums of every header in the bytes, data first: the header's covers it.
  for (size_t at = 0; at + kHeaderV1 <= a.size(); ++at) {
    const size_t header = HeaderSizeAt(a, at);
    if (header == 0) continue;
    uint8_t* p = &a[at];
    const uint64_t n = Be(p + 8, 8);
    if ((data[0] & 2) != 0 && n <= a.size() - at - header) {
      PutLe32(p + 28, Crc32(p + header, static_cast<size_t>(n)));
    }
    if ((data[0] & 1) != 0) PutLe32(p + header - 4, Crc32(p, header - 4));
  }
  trhsm_fuzz::WriteWhole(tp::ArchiveFilePath(Root(), kGroup, kFile), a.data(), a.size());

  // The chain of copies from offset 0, then every other place that starts with the magic, and
  // offsets around and past the end.
  std::vector<int64_t> offsets;
  for (uint64_t at = 0; at < a.size() && offsets.size() < 6;) {
    offsets.push_back(static_cast<int64_t>(at));
    tp::CopyHeader h;
    if (!IntactHeader(a, static_cast<size_t>(at), &h)) break;
    at += h.headerSize + h.size;
  }
  for (size_t at = 1; at < a.size() && offsets.size() < 10; ++at) {
    if (HasMagic(a, at)) offsets.push_back(static_cast<int64_t>(at));
  }
  const int64_t end = static_cast<int64_t>(a.size());
  for (int64_t at : {end - static_cast<int64_t>(kHeaderV2), end - static_cast<int64_t>(kHeaderV1),
                     end, end + 1, int64_t{-1}}) {
    offsets.push_back(at);
  }
  for (int64_t offset : offsets) CheckOffset(a, offset);
  return 0;
}
