// getCacheFname: the stub-cache file name of a file, its device placed through the mount table and
// remembered per device number (first overload) or per mount point (second overload).
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <string>

#include "mount/cache_name.h"
#include "mount/stub_cache_state.h"
#include "trhsm/EvDebug.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMntTab.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

constexpr const char kTag[] = "getCacheFname";

// Network and automounted file systems: stat of their mount point may hang or trigger a mount.
bool IsSkippedType(const std::string& fsType) {
  return fsType == "nfs" || fsType == "autofs" || fsType == "cifs" || fsType == "cdrfs";
}

bool DeviceOf(const std::string& path, unsigned long* dev) {
  struct stat64 st;
  if (stat64(path.c_str(), &st) != 0) return false;
  *dev = st.st_dev;
  return true;
}

std::string NameOrFailure(const std::string& device, const struct stat& st, const char* root) {
  if (device.empty()) {
    EvDebug().Error(kTag, "Failed to derive mount point for device %lld",
                    static_cast<long long>(st.st_dev));
    return std::string();
  }
  return trhsm::stub_cache::CacheFileName(root, device, static_cast<long long>(st.st_ino));
}

bool RootIsNull(const char* root) {
  if (root != nullptr) return false;
  EvDebug().Error(kTag, "Invalid NULL stub cache root passed as input.");
  return true;
}

}  // namespace

std::string getCacheFname(struct stat& st, const char* root) {
  if (RootIsNull(root)) return std::string();
  trhsm::stub_cache::State& s = trhsm::stub_cache::GetState();
  std::string device;
  {
    // Held across the table read of a miss, so concurrent callers for one device read it once.
    KoCriticalSectionLock lock(&s.mnt_csec);
    auto it = s.mnt_map.find(st.st_dev);
    if (it == s.mnt_map.end()) {
      const std::list<TRHSMMntTab::Entry> entries = TRHSMMntTab().getAll();
      for (const TRHSMMntTab::Entry& e : entries) {
        if (IsSkippedType(e.fsType)) continue;
        unsigned long dev = 0;
        if (DeviceOf(e.mountPoint, &dev) && dev == st.st_dev) {
          it = s.mnt_map.emplace(st.st_dev, e.device).first;
          break;
        }
      }
    }
    if (it != s.mnt_map.end()) device = it->second;
  }
  return NameOrFailure(device, st, root);
}

std::string getCacheFname(const char* path, struct stat& st, const char* root) {
  if (path == nullptr || path[0] == '\0') {
    // The same refusal the mount-table lookup gives, without reading the table for it.
    throw KoException("TRHSMMntTab::find", "Internal error: fname==NULL", "TRHSMMntTab", __LINE__,
                      -1);
  }
  if (RootIsNull(root)) return std::string();
  trhsm::stub_cache::State& s = trhsm::stub_cache::GetState();
  std::string device;
  {
    KoCriticalSectionLock lock(&s.vStubCacheMountCSec);
    std::vector<StubCacheMount>& mounts = s.vStubCacheMount;
    auto it =
        std::find_if(mounts.begin(), mounts.end(), stubCacheMountPointCompare(path, st.st_dev));
    if (it != mounts.end()) {
      device = it->device;
    } else {
      TRHSMMntTab table;
      const TRHSMMntTab::Entry* e = table.find(path);
      unsigned long dev = 0;
      if (DeviceOf(e->mountPoint, &dev) && dev == st.st_dev) {
        mounts.emplace_back(*e, dev);
        // Deepest mount points first, so the search above finds the one that holds the path.
        if (mounts.size() > 1) std::stable_sort(mounts.begin(), mounts.end(), childPathFirst());
        device = e->device;
      }
    }
  }
  return NameOrFailure(device, st, root);
}
