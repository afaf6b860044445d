// The stub cache's process-wide state: the device-name map of the first getCacheFname, the cached
// mounts of the second, and the critical section of each.
#ifndef TRHSM_MOUNT_STUB_CACHE_STATE_H_
#define TRHSM_MOUNT_STUB_CACHE_STATE_H_

#include <map>
#include <string>
#include <vector>

#include "trhsm/KoCriticalSection.h"
#include "trhsm/TRHSMStubCache.h"

namespace trhsm {
namespace stub_cache {

// Members are built in this order and would be destroyed in reverse; the two sections are never
// held together. Both caches only grow.
struct State {
  std::map<unsigned long, std::string> mnt_map;  // device number -> device name; mnt_csec
  KoCriticalSection mnt_csec;
  std::vector<StubCacheMount> vStubCacheMount;  // in childPathFirst order; vStubCacheMountCSec
  KoCriticalSection vStubCacheMountCSec;
};

// The one State of the process. It is built on the first call (at the latest while the library is
// loaded), so static initialisers of other libraries may already use it, and it is never
// destroyed, so their static destructors may use it too. Thread-safe.
State& GetState();

// Empties both caches, each under its section. For tests, which need a cold cache per case.
void ClearForTest();

}  // namespace stub_cache
}  // namespace trhsm

#endif  // TRHSM_MOUNT_STUB_CACHE_STATE_H_
