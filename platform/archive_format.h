// The archive's on-disk layout, shared by the writer and the readers of platform/archive.cc.
//
// An archive file <root>/<group>/<fileId>.arc holds copies back to back; each copy is a header of
// kHeaderSize bytes followed by exactly `size` bytes of the file. A copy's offset is its header's.
//   offset  width  field
//        0      4  kMagic "TRAC"
//        4      2  version, big-endian (kVersion)
//        6      2  header size, big-endian (kHeaderSize)
//        8      8  size of the bytes that follow, big-endian
//       16      8  modification time, seconds since the epoch, big-endian two's complement
//       24      4  nanoseconds of the modification time, little-endian (< 1e9)
//       28      4  CRC-32 of the bytes that follow, little-endian
//       32      4  CRC-32 of header bytes [0, 32), little-endian
#ifndef TRHSM_PLATFORM_ARCHIVE_FORMAT_H_
#define TRHSM_PLATFORM_ARCHIVE_FORMAT_H_

#include <cstddef>

namespace trhsm {
namespace archive_format {

constexpr const char kMagic[] = "TRAC";  // 4 bytes, no NUL on disk
constexpr size_t kMagicSize = 4;
constexpr unsigned kVersion = 1;

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;       // 2 bytes
constexpr size_t kHeaderSizeOffset = 6;    // 2 bytes
constexpr size_t kSizeOffset = 8;          // 8 bytes
constexpr size_t kModTimeOffset = 16;      // 8 bytes
constexpr size_t kModTimeNsecOffset = 24;  // 4 bytes
constexpr size_t kDataCrcOffset = 28;      // 4 bytes
constexpr size_t kHeaderCrcOffset = 32;    // 4 bytes
constexpr size_t kHeaderSize = 36;

// An archive file's name inside its group folder: the file id in decimal, then this.
constexpr const char kFileSuffix[] = ".arc";

// Registry key and value naming the archive root.
constexpr const char kRootKey[] = "Base";
constexpr const char kRootValue[] = "dARCHIVE_ROOT";

}  // namespace archive_format
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_ARCHIVE_FORMAT_H_
