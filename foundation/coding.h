// Fixed-width integer fields of persistent formats, read and written byte by byte at any alignment.
#ifndef TRHSM_FOUNDATION_CODING_H_
#define TRHSM_FOUNDATION_CODING_H_

#include <cstdint>

namespace trhsm {

inline void EncodeFixed16BE(char* dst, uint16_t value) {
  auto* p = reinterpret_cast<unsigned char*>(dst);
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

inline void EncodeFixed64BE(char* dst, uint64_t value) {
  auto* p = reinterpret_cast<unsigned char*>(dst);
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<unsigned char>(value);
    value >>= 8;
  }
}

inline void EncodeFixed32LE(char* dst, uint32_t value) {
  auto* p = reinterpret_cast<unsigned char*>(dst);
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

inline uint16_t DecodeFixed16BE(const char* src) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint64_t DecodeFixed64BE(const char* src) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | p[i];
  return value;
}

inline uint32_t DecodeFixed32LE(const char* src) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace trhsm

#endif  // TRHSM_FOUNDATION_CODING_H_
