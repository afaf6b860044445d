// The platform's CRC-32 register update.
#ifndef TRHSM_KOCRC32_H_
#define TRHSM_KOCRC32_H_

#include <cstddef>
#include <cstdint>

#include "trhsm/trhsm_platform_export.h"

// Feeds `length` bytes into *crc: the reflected CRC-32 (polynomial 0xEDB88320) register update with
// no inversion of its own. Starting from 0xFFFFFFFF it leaves the bitwise complement of the usual
// CRC-32 (zlib's crc32) of the bytes. Thread-safe; null data with length 0 is allowed.
TRHSM_PLATFORM_EXPORT void ko_crc32(const void* data, size_t length, uint32_t* crc);

#endif  // TRHSM_KOCRC32_H_
