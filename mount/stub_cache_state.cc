// The stub cache's process-wide state, and the cached-mount type with its predicate and order.
#include "mount/stub_cache_state.h"

#include <algorithm>
#include <cstring>

#include "platform/no_destructor.h"

namespace trhsm {
namespace stub_cache {

State& GetState() {
  static trhsm::platform::NoDestructor<State> state;
  return *state.get();
}

void ClearForTest() {
  State& s = GetState();
  {
    KoCriticalSectionLock lock(&s.mnt_csec);
    s.mnt_map.clear();
  }
  KoCriticalSectionLock lock(&s.vStubCacheMountCSec);
  s.vStubCacheMount.clear();
}

namespace {

// Builds the state while the library is loaded, as the process-wide objects it stands for were.
[[maybe_unused]] const bool g_createdAtLoad = (GetState(), true);

}  // namespace

}  // namespace stub_cache
}  // namespace trhsm

StubCacheMount::StubCacheMount(const TRHSMMntTab::Entry& entry, unsigned long devNumber)
    : device(entry.device),
      mountPoint(entry.mountPoint),
      auxFlag(entry.auxFlag),
      auxText(entry.auxText),
      fsType(entry.fsType),
      dev(devNumber) {}

stubCacheMountPointCompare::stubCacheMountPointCompare(const std::string& path, unsigned long dev)
    : m_path(path), m_dev(dev) {}

bool stubCacheMountPointCompare::operator()(const StubCacheMount& mount) const {
  if (mount.dev != m_dev) return false;
  const std::string& mp = mount.mountPoint;
  if (m_path.size() < mp.size() || m_path.compare(0, mp.size(), mp) != 0) return false;
  // Equal, or the mount point is followed by a component boundary.
  return m_path.size() == mp.size() || (!mp.empty() && mp.back() == '/') ||
         m_path[mp.size()] == '/';
}

bool childPathFirst::operator()(const StubCacheMount& a, const StubCacheMount& b) const {
  // b < a, with bytes compared as signed char (std::string compares them as unsigned).
  const std::string& x = b.mountPoint;
  const std::string& y = a.mountPoint;
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    const auto cx = static_cast<signed char>(x[i]);
    const auto cy = static_cast<signed char>(y[i]);
    if (cx != cy) return cx < cy;
  }
  return x.size() < y.size();
}
