// The stub record: the one place that says what its bytes are.
//
//   offset  width  order  field
//        0      8  BE     signature 56 53 54 55 42 0A 0E AF ("VSTUB\n" 0E AF)
//        8      1         version (1)
//        9      2  BE     record length, CRC included (= metadata length + 26)
//       11      8  BE     value, signed 64-bit
//       19      2  BE     metadata length, terminator not counted
//       21      m         metadata bytes
//     21+m      1         terminator 0x00
//   len-4       4  LE     CRC: ko_crc32 register from 0xFFFFFFFF over bytes [0, len-4)
#ifndef TRHSM_STUB_RECORD_FORMAT_H_
#define TRHSM_STUB_RECORD_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace trhsm {
namespace stub_record {

constexpr uint64_t kSignature = 0x56535455420A0EAFULL;
constexpr uint8_t kVersion = 1;

constexpr size_t kSignatureOffset = 0;    // 8 bytes
constexpr size_t kVersionOffset = 8;      // 1 byte
constexpr size_t kLengthOffset = 9;       // 2 bytes
constexpr size_t kValueOffset = 11;       // 8 bytes
constexpr size_t kMetaLengthOffset = 19;  // 2 bytes
constexpr size_t kMetadataOffset = 21;    // metadata length bytes, then the terminator
constexpr size_t kCrcSize = 4;

// 21 header bytes, the terminator and the CRC; also the shortest record a decoder accepts.
constexpr int kOverhead = 26;
constexpr int kMaxRecordLength = 0xFFFF;
constexpr int kMaxMetadataLength = kMaxRecordLength - kOverhead;  // 65509

constexpr uint32_t kCrcSeed = 0xFFFFFFFFu;

}  // namespace stub_record
}  // namespace trhsm

#endif  // TRHSM_STUB_RECORD_FORMAT_H_
