// Fixed-width integer fields of persistent formats, read and written at any alignment.
//
// Bytes move through memcpy (never a cast of a byte pointer to a wider type), and the byte swap is
// the compiler's builtin, so each field is one unaligned load or store and one bswap.
#ifndef TRHSM_FOUNDATION_CODING_H_
#define TRHSM_FOUNDATION_CODING_H_

#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the formats assume a little-endian host");

namespace trhsm {

inline void EncodeFixed16BE(char* dst, uint16_t value) {
  value = __builtin_bswap16(value);
  std::memcpy(dst, &value, sizeof value);
}

inline void EncodeFixed64BE(char* dst, uint64_t value) {
  value = __builtin_bswap64(value);
  std::memcpy(dst, &value, sizeof value);
}

inline void EncodeFixed32LE(char* dst, uint32_t value) { std::memcpy(dst, &value, sizeof value); }

inline uint16_t DecodeFixed16BE(const char* src) {
  uint16_t value;
  std::memcpy(&value, src, sizeof value);
  return __builtin_bswap16(value);
}

inline uint64_t DecodeFixed64BE(const char* src) {
  uint64_t value;
  std::memcpy(&value, src, sizeof value);
  return __builtin_bswap64(value);
}

inline uint32_t DecodeFixed32LE(const char* src) {
  uint32_t value;
  std::memcpy(&value, src, sizeof value);
  return value;
}

}  // namespace trhsm

#endif  // TRHSM_FOUNDATION_CODING_H_
