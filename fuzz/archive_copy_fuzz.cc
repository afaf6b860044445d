// The archive stand-in's recall path over an archive file made of the input. A header read at a
// copy's offset is the file's own bytes (written again by platform/archive_format.h, version 1 of
// 36 bytes or 2 of 56, it gives them back); VerifyCopy and CopyOut take a copy exactly when its
// checksum matches; CopyOut writes the copy's bytes only, never more than the header declares.
// Input: byte 0 bit 0 repairs the header checksum, bit 1 the data checksum of every header the
// bytes hold (so that the fuzzer gets past them); then the archive file.
#include "fuzz/fuzz_check.h"
#include "platform/archive.h"
#include "platform/archive_format.h"
#include "trhsm/KoCrc32.h"

namespace {

namespace af = trhsm::archive_format;
namespace tp = trhsm::platform;

uint32_t Crc(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  ko_crc32(p, n, &crc);
  return ~crc;
}

void Put(uint8_t* p, uint64_t v, int n, bool big = true) {
  for (int i = 0; i < n; ++i) p[big ? n - 1 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> Encode(const tp::CopyHeader& h) {
  std::vector<uint8_t> b(h.headerSize);
  std::memcpy(&b[af::kMagicOffset], af::kMagic, af::kMagicSize);
  Put(&b[af::kVersionOffset], h.version, 2), Put(&b[af::kHeaderSizeOffset], h.headerSize, 2);
  Put(&b[af::kSizeOffset], h.size, 8), Put(&b[af::kModTimeOffset], h.modTime, 8);
  Put(&b[af::kModTimeNsecOffset], h.modTimeNsec, 4, false),
      Put(&b[af::kDataCrcOffset], h.crc, 4, false);
  if (h.version == 2) {
    Put(&b[af::kChangeTimeOffset], h.changeTime, 8), Put(&b[af::kInodeOffset], h.inode, 8);
    Put(&b[af::kChangeTimeNsecOffset], h.changeTimeNsec, 4, false);
  }
  Put(&b[b.size() - 4], Crc(b.data(), b.size() - 4), 4, false);
  return b;
}

// Checks the copy at `offset`; returns the offset after it, or -1 when it holds no header.
int64_t CheckCopy(const std::string& root, const std::vector<uint8_t>& a, int64_t offset) {
  std::string error;
  tp::CopyHeader h, verified, copied;
  const bool read = tp::ReadCopyHeader(root, 1, 2, offset, &h, &error);
  const uint8_t* bytes = a.data() + (read ? offset + h.headerSize : 0);
  FUZZ_CHECK(read ? offset >= 0 && static_cast<uint64_t>(offset) + h.headerSize <= a.size() &&
                        h.size <= a.size() - offset - h.headerSize
                  : !error.empty());
  FUZZ_CHECK(!read || Encode(h) == std::vector<uint8_t>(a.data() + offset, bytes));
  FUZZ_CHECK(!read || (h.modTimeNsec < 1000000000u && h.changeTimeNsec < 1000000000u));
  const bool good = read && Crc(bytes, h.size) == h.crc;
  FUZZ_CHECK(tp::VerifyCopy(root, 1, 2, offset, &verified, &error) == good &&
             (!good || Encode(verified) == Encode(h)));
  const int fd = ::open((root + "/out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0 && tp::CopyOut(root, 1, 2, offset, fd, &copied, &error) == good);
  std::vector<uint8_t> back(read ? h.size + 1 : 1);  // a refusal may leave a part of the bytes
  const ssize_t written = ::pread(fd, back.data(), back.size(), 0);
  ::close(fd);
  FUZZ_CHECK(written >= 0 && static_cast<uint64_t>(written) <= (read ? h.size : 0) &&
             (written == 0 || std::memcmp(back.data(), bytes, written) == 0));
  FUZZ_CHECK(!good || (static_cast<uint64_t>(written) == h.size && Encode(copied) == Encode(h)));
  return read ? static_cast<int64_t>(offset + h.headerSize + h.size) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> a(data + 1, data + size);
  for (size_t at = 0; at + af::kHeaderSizeV1 <= a.size(); ++at) {
    uint8_t* p = &a[at];
    const size_t n = p[af::kHeaderSizeOffset] << 8 | p[af::kHeaderSizeOffset + 1];
    uint64_t length = 0;
    for (int i = 0; i < 8; ++i) length = length << 8 | p[af::kSizeOffset + i];
    if (std::memcmp(p, af::kMagic, 4) != 0 || (n != 36 && n != 56) || n > a.size() - at) continue;
    if ((data[0] & 2) && length <= a.size() - at - n)
      Put(p + af::kDataCrcOffset, Crc(p + n, length), 4, false);
    if (data[0] & 1) Put(p + n - 4, Crc(p, n - 4), 4, false);
  }
  const std::string root = trhsm_fuzz::Scratch();
  ::mkdir((root + "/1").c_str(), 0755);
  trhsm_fuzz::WriteWhole(tp::ArchiveFilePath(root, 1, 2), trhsm_fuzz::Text(a.data(), a.size()));
  // The chain of copies from offset 0, other places that start with the magic, and offsets around
  // and past the end.
  const int64_t end = a.size();
  for (int64_t at = 0, copies = 0; at >= 0 && at < end && copies < 6; ++copies)
    at = CheckCopy(root, a, at);
  for (int64_t at = 1, found = 0; at + 4 <= end && found < 4; ++at) {
    if (std::memcmp(&a[at], af::kMagic, 4) == 0) CheckCopy(root, a, at), ++found;
  }
  for (int64_t at : {end - 56, end - 36, end, end + 1, int64_t{-1}}) CheckCopy(root, a, at);
  return 0;
}
