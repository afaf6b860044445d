// The name of a stub-cache file: root, device name, and the inode number cut into directories.
#ifndef TRHSM_MOUNT_CACHE_NAME_H_
#define TRHSM_MOUNT_CACHE_NAME_H_

#include <string>

namespace trhsm {
namespace stub_cache {

// Width of the inode text: "%020lld" of any 64-bit value is exactly this long.
constexpr int kInodeDigits = 20;
// Length of the inode path: six groups of three and one of two, joined by "/".
constexpr int kInodePathLength = kInodeDigits + 6;

// Writes the 20 characters that "%020lld" prints for `inode` (no NUL): a '-' first for a negative
// value, then zero-padded decimal digits.
void FormatInode(long long inode, char (&out)[kInodeDigits]);

// root + device + "/" + ddd/ddd/ddd/ddd/ddd/ddd/dd of the inode. REQUIRES: root is not null.
std::string CacheFileName(const char* root, const std::string& device, long long inode);

}  // namespace stub_cache
}  // namespace trhsm

#endif  // TRHSM_MOUNT_CACHE_NAME_H_
