// The recall path of the archive stand-in over an archive file made of the input. At each copy
// offset: a header read back is the file's own bytes (written again by the layout of
// platform/archive_format.h, version 1 of 36 bytes or 2 of 56, it gives them back); VerifyCopy and
// CopyOut take a copy exactly when its bytes match its checksum; CopyOut writes nothing but the
// copy's bytes, and never more of them than the header declares.
// Input: byte 0 bit 0 repairs the header checksum, bit 1 the data checksum, of every header the
// bytes hold (so that the fuzzer gets past them); the rest is the archive file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/archive.h"
#include "platform/archive_format.h"
#include "trhsm/KoCrc32.h"

namespace {

namespace af = trhsm::archive_format;
namespace tp = trhsm::platform;

std::string Root() { return trhsm_fuzz::Scratch() + "/archive"; }

uint32_t Crc(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  ko_crc32(p, n, &crc);
  return ~crc;
}

void Put(uint8_t* p, uint64_t v, int n, bool big) {
  for (int i = 0; i < n; ++i) p[big ? n - 1 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> Encode(const tp::CopyHeader& h) {
  std::vector<uint8_t> b(h.headerSize);
  std::memcpy(&b[af::kMagicOffset], af::kMagic, af::kMagicSize);
  Put(&b[af::kVersionOffset], h.version, 2, true);
  Put(&b[af::kHeaderSizeOffset], h.headerSize, 2, true);
  Put(&b[af::kSizeOffset], h.size, 8, true);
  Put(&b[af::kModTimeOffset], static_cast<uint64_t>(h.modTime), 8, true);
  Put(&b[af::kModTimeNsecOffset], h.modTimeNsec, 4, false);
  Put(&b[af::kDataCrcOffset], h.crc, 4, false);
  if (h.version == 2) {
    Put(&b[af::kChangeTimeOffset], static_cast<uint64_t>(h.changeTime), 8, true);
    Put(&b[af::kInodeOffset], h.inode, 8, true);
    Put(&b[af::kChangeTimeNsecOffset], h.changeTimeNsec, 4, false);
  }
  Put(&b[b.size() - 4], Crc(b.data(), b.size() - 4), 4, false);
  return b;
}

// Checks the copy at `offset`; returns the offset just past it, or -1 when it holds no header.
int64_t CheckCopy(const std::vector<uint8_t>& a, int64_t offset) {
  std::string error;
  tp::CopyHeader h, verified, copied;
  const bool read = tp::ReadCopyHeader(Root(), 1, 2, offset, &h, &error);
  FUZZ_CHECK(read || !error.empty());
  const uint8_t* bytes = a.data() + (read ? offset + h.headerSize : 0);
  if (read) {
    FUZZ_CHECK(h.headerSize == (h.version == 1 ? af::kHeaderSizeV1 : af::kHeaderSize));
    FUZZ_CHECK(h.modTimeNsec < 1000000000u && h.changeTimeNsec < 1000000000u);
    FUZZ_CHECK(offset >= 0 && static_cast<uint64_t>(offset) + h.headerSize <= a.size() &&
               h.size <= a.size() - offset - h.headerSize);
    FUZZ_CHECK(Encode(h) == std::vector<uint8_t>(a.data() + offset, bytes));
  }
  const bool good = read && Crc(bytes, h.size) == h.crc;
  FUZZ_CHECK(tp::VerifyCopy(Root(), 1, 2, offset, &verified, &error) == good);
  FUZZ_CHECK(!good || Encode(verified) == Encode(h));
  const std::string out = trhsm_fuzz::Scratch() + "/recalled";
  const int fd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0 && tp::CopyOut(Root(), 1, 2, offset, fd, &copied, &error) == good);
  // A refused copy may leave part of its bytes behind, never more of them or others.
  std::vector<uint8_t> back(read ? h.size + 1 : 1);
  const ssize_t written = ::pread(fd, back.data(), back.size(), 0);
  ::close(fd);
  FUZZ_CHECK(written >= 0 && static_cast<uint64_t>(written) <= (read ? h.size : 0));
  FUZZ_CHECK(written == 0 || std::memcmp(back.data(), bytes, static_cast<size_t>(written)) == 0);
  FUZZ_CHECK(!good || (static_cast<uint64_t>(written) == h.size && Encode(copied) == Encode(h)));
  return read ? offset + h.headerSize + static_cast<int64_t>(h.size) : -1;
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
  for (size_t at = 0; at + af::kHeaderSizeV1 <= a.size(); ++at) {
    uint8_t* p = &a[at];
    const size_t n = p[af::kHeaderSizeOffset] * 256 + p[af::kHeaderSizeOffset + 1];
    if (std::memcmp(p, af::kMagic, 4) != 0 || (n != af::kHeaderSizeV1 && n != af::kHeaderSize) ||
        n > a.size() - at) {
      continue;
    }
    uint64_t length = 0;
    for (int i = 0; i < 8; ++i) length = length << 8 | p[af::kSizeOffset + i];
    if ((data[0] & 2) && length <= a.size() - at - n)
      Put(p + af::kDataCrcOffset, Crc(p + n, length), 4, false);
    if (data[0] & 1) Put(p + n - 4, Crc(p, n - 4), 4, false);
  }
  trhsm_fuzz::WriteWhole(tp::ArchiveFilePath(Root(), 1, 2), trhsm_fuzz::Text(a.data(), a.size()));
  // The chain of copies from offset 0, every other place that starts with the magic, and offsets
  // around and past the end.
  const int64_t end = static_cast<int64_t>(a.size());
  for (int64_t at = 0, copies = 0; at >= 0 && at < end && copies < 6; ++copies)
    at = CheckCopy(a, at);
  for (int64_t at = 1, found = 0; at + 4 <= end && found < 4; ++at) {
    if (std::memcmp(&a[at], af::kMagic, 4) == 0) CheckCopy(a, at), ++found;
  }
  for (int64_t at : {end - 56, end - 36, end, end + 1, int64_t{-1}}) CheckCopy(a, at);
  return 0;
}
