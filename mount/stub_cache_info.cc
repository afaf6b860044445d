// getStubCacheInfo: whether a client's stub cache is enabled and where its root lies.
#include <string>

#include "trhsm/EvDebug.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

constexpr const char kTag[] = "getStubCacheInfo";

}  // namespace

void getStubCacheInfo(const char* clientName, bool* useCache, std::string* cacheRoot) {
  if (clientName == nullptr || clientName[0] == '\0') {
    throw KoException(kTag, "NULL or empty client name passed as input.", "TRHSMCommon", __LINE__,
                      -1);
  }
  EvDebug log;
  bool enabled = false;
  std::string root;
  const std::string key = std::string("Machines/") + clientName;

  std::string use;
  if (KOPlatformInfo().getString(key.c_str(), "nUSE_STUB_CACHE", &use) && !use.empty()) {
    enabled = use[0] == 'y' || use[0] == 'Y' || use[0] == '1';
    log.Debug(kTag, "%s: nUSE_STUB_CACHE=%s", clientName, use.c_str());
  }
  if (KOPlatformInfo().getString(key.c_str(), "dSTUB_CACHE_ROOT", &root)) {
    log.Debug(kTag, "%s: dSTUB_CACHE_ROOT=%s", clientName, root.c_str());
  }
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (root.empty()) {
    KOPI_CommClient comm;
    const char* results = comm.getJobResultsDirectory(clientName);
    if (results != nullptr) root = std::string(results) + "/StubCache";
  }
  if (root.empty()) enabled = false;

  if (enabled) {
    log.Debug(kTag, "%s: Stub cache root: %s", clientName, root.c_str());
  } else {
    log.Debug(kTag, "%s: Stub cache disabled.", clientName);
  }
  if (useCache != nullptr) *useCache = enabled;
  if (cacheRoot != nullptr) *cacheRoot = root;
}
