// ko_crc32 on top of libdeflate's CRC-32.
#include "trhsm/KoCrc32.h"

#include <libdeflate.h>

void ko_crc32(const void* data, size_t length, uint32_t* crc) {
  if (crc == nullptr || length == 0) return;
  // libdeflate takes and returns the finished (inverted) CRC; the register is its complement.
  *crc = ~libdeflate_crc32(~*crc, data, length);
}
