// Stub-cache file names, built by hand: they are made once per stubbed file.
#include "mount/cache_name.h"

#include <cstring>

namespace trhsm {
namespace stub_cache {

void FormatInode(long long inode, char (&out)[kInodeDigits]) {
  // Work on the magnitude as unsigned, so the most negative value does not overflow.
  unsigned long long magnitude = inode < 0 ? 0ull - static_cast<unsigned long long>(inode)
                                           : static_cast<unsigned long long>(inode);
  for (int i = kInodeDigits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  }
  // 19 digits hold any magnitude up to 2^63, so the sign never hides a digit.
  if (inode < 0) out[0] = '-';
}

std::string CacheFileName(const char* root, const std::string& device, long long inode) {
  char digits[kInodeDigits];
  FormatInode(inode, digits);
  const size_t rootLength = std::strlen(root);
  std::string name;
  name.reserve(rootLength + device.size() + 1 + kInodePathLength);
  name.append(root, rootLength);
  name.append(device);
  for (int start = 0; start < kInodeDigits; start += 3) {
    name.push_back('/');
    name.append(digits + start, start + 3 <= kInodeDigits ? 3 : kInodeDigits - start);
  }
  return name;
}

}  // namespace stub_cache
}  // namespace trhsm
