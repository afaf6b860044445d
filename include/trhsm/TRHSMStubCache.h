// The stub cache: configuration, cache-file names and file attributes.
//
// The cache file of a file is R + D + "/" + the inode printed as "%020lld" and cut into
// ddd/ddd/ddd/ddd/ddd/ddd/dd, where R is the cache root and D the device name (the mount-table
// device field) of the file system holding the file. Device lookups are cached for the life of the
// process and never refreshed.
#ifndef TRHSM_TRHSMSTUBCACHE_H_
#define TRHSM_TRHSMSTUBCACHE_H_

#include <sys/stat.h>

#include <string>

#include "trhsm/TRHSMMntTab.h"
#include "trhsm/trhsm_export.h"

// Reads the client's stub-cache settings ("nUSE_STUB_CACHE", "dSTUB_CACHE_ROOT" under
// "Machines/<client>") and stores through the non-null pointers whether the cache is enabled and
// its root, without trailing "/". With no root configured (or "/") the root is the client's job
// results directory + "/StubCache"; with neither the root is empty and the cache disabled.
// Throws KoException (code -1) when clientName is null or empty. Thread-safe.
TRHSM_EXPORT void getStubCacheInfo(const char* clientName, bool* useCache, std::string* cacheRoot);

// The cache file name under `root` of the file `st` describes, its device found by st.st_dev among
// the mount points of the table (network and automount types skipped). Empty, with an error
// logged, when no mount point has that device or root is null. Throws the KoException of
// TRHSMMntTab() when the table must be read and cannot be. Thread-safe.
TRHSM_EXPORT std::string getCacheFname(struct stat& st, const char* root);

// The same, the device found as the mount point holding `path` (which `st` describes) whose device
// number is st.st_dev. Empty, with an error logged, when that mount point has another device or
// root is null. Throws the KoException of TRHSMMntTab::find when the path is null or empty or no
// mount point holds it, or that of TRHSMMntTab() when the table cannot be read. Thread-safe.
TRHSM_EXPORT std::string getCacheFname(const char* path, struct stat& st, const char* root);

// Applies st's permission bits, owner and group, and access and modification times (whole seconds)
// to `path`, attempting each even after an earlier one failed and logging every failure. True when
// all three succeeded; a partial application is left in place. Thread-safe.
TRHSM_EXPORT bool applyFileAttr(const struct stat& st, const char* path);

// One cached mount of the second getCacheFname: a mount-table entry and its device number.
struct TRHSM_EXPORT StubCacheMount {
  StubCacheMount(const TRHSMMntTab::Entry& entry, unsigned long dev);

  std::string device;
  std::string mountPoint;
  bool auxFlag;
  std::string auxText;
  std::string fsType;
  unsigned long dev;
};

// True for a cached mount of device `dev` whose mount point holds `path` (the path equals it, or
// begins with it followed by "/", its own trailing "/" counting as that one).
class TRHSM_EXPORT stubCacheMountPointCompare {
 public:
  stubCacheMountPointCompare(const std::string& path, unsigned long dev);
  bool operator()(const StubCacheMount& mount) const;

 private:
  std::string m_path;
  unsigned long m_dev;
};

// Orders cached mounts by descending mount point (bytes compared as signed char), so a mount point
// comes before every mount point that contains it.
struct TRHSM_EXPORT childPathFirst {
  bool operator()(const StubCacheMount& a, const StubCacheMount& b) const;
};

#endif  // TRHSM_TRHSMSTUBCACHE_H_
