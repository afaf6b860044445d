// The archive's on-disk layout, shared by the writer and the readers of platform/archive.cc.
//
// An archive file <root>/<group>/<fileId>.arc holds copies back to back; each copy is a header
// followed by exactly `size` bytes of the file. A copy's offset is its header's. The writer makes
// version 2 headers; readers take version 1 (written by earlier releases) and version 2.
//   offset  width  field                                                       versions
//        0      4  kMagic "TRAC"                                                 1, 2
//        4      2  version, big-endian                                           1, 2
//        6      2  header size, big-endian (kHeaderSizeV1 / kHeaderSize)         1, 2
//        8      8  size of the bytes that follow, big-endian                     1, 2
//       16      8  modification time, seconds since the epoch, big-endian        1, 2
//                  two's complement
//       24      4  nanoseconds of the modification time, little-endian (< 1e9)   1, 2
//       28      4  CRC-32 of the bytes that follow, little-endian                1, 2
//       32      8  change time (ctime) of the source, seconds, big-endian        2
//                  two's complement
//       40      8  inode number of the source, big-endian                        2
//       48      4  nanoseconds of the change time, little-endian (< 1e9)         2
// header size - 4  4  CRC-32 of the header bytes before it, little-endian        1 (32), 2 (52)
// The change time and inode are those of the source while its bytes were copied: a file whose
// ctime or inode differs now is not the file the copy holds, whatever its size and times say.
#ifndef TRHSM_PLATFORM_ARCHIVE_FORMAT_H_
#define TRHSM_PLATFORM_ARCHIVE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace trhsm {
namespace archive_format {

constexpr const char kMagic[] = "TRAC";  // 4 bytes, no NUL on disk
constexpr size_t kMagicSize = 4;
constexpr unsigned kVersionV1 = 1;
constexpr unsigned kVersion = 2;  // the version the writer makes

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;          // 2 bytes
constexpr size_t kHeaderSizeOffset = 6;       // 2 bytes
constexpr size_t kSizeOffset = 8;             // 8 bytes
constexpr size_t kModTimeOffset = 16;         // 8 bytes
constexpr size_t kModTimeNsecOffset = 24;     // 4 bytes
constexpr size_t kDataCrcOffset = 28;         // 4 bytes
constexpr size_t kChangeTimeOffset = 32;      // 8 bytes, version 2
constexpr size_t kInodeOffset = 40;           // 8 bytes, version 2
constexpr size_t kChangeTimeNsecOffset = 48;  // 4 bytes, version 2
constexpr size_t kHeaderCrcSize = 4;          // the last field of every version
constexpr size_t kHeaderSizeV1 = 36;
constexpr size_t kHeaderSize = 56;  // version 2, the header the writer makes

// An archive file's name inside its group folder: the file id in decimal, then this.
constexpr const char kFileSuffix[] = ".arc";

// Registry key and value naming the archive root.
constexpr const char kRootKey[] = "Base";
constexpr const char kRootValue[] = "dARCHIVE_ROOT";

// The header's fields, byte by byte, so the format does not depend on the host's byte order.
inline void PutBE(char* dst, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) dst[i] = static_cast<char>(value >> (8 * (width - 1 - i)));
}
inline void PutLE32(char* dst, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) dst[i] = static_cast<char>(value >> (8 * i));
}
inline uint64_t GetBE(const char* src, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(src[i]);
  return value;
}
inline uint32_t GetLE32(const char* src) {
  uint32_t value = 0;
  for (size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(src[i]);
  return value;
}

}  // namespace archive_format
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_ARCHIVE_FORMAT_H_
