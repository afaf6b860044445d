// KOPlatformInfo and the installation-directory queries, answered from the configuration store.
#include "trhsm/KOPlatformInfo.h"

#include <cstring>

#include "platform/registry.h"

namespace {

const char kMachinesPrefix[] = "Machines/";

// The value as a C string owned by `storage`, or null when it is absent.
const char* LookupInto(const std::string& key, const char* name, std::string* storage) {
  if (!trhsm::platform::RegistryLookup(key, name, storage)) {
    storage->clear();
    return nullptr;
  }
  return storage->c_str();
}

}  // namespace

KOPlatformInfo::KOPlatformInfo() = default;
KOPlatformInfo::~KOPlatformInfo() = default;

int KOPlatformInfo::getString(const char* key, const char* name, std::string* value) {
  if (key == nullptr || name == nullptr) return 0;
  std::string found;
  if (!trhsm::platform::RegistryLookup(key, name, &found)) return 0;
  if (value != nullptr) *value = std::move(found);
  return 1;
}

int KOPlatformInfo::getString(const char* key, const char* name, char* buffer, int* length) {
  if (key == nullptr || name == nullptr || length == nullptr) return 0;
  std::string found;
  if (!trhsm::platform::RegistryLookup(key, name, &found)) return 0;
  int capacity = *length;
  // Reported even when it does not fit, so the caller can learn the size it needs.
  *length = static_cast<int>(found.size());
  if (buffer == nullptr || capacity <= 0 || found.size() >= static_cast<size_t>(capacity)) return 0;
  std::memcpy(buffer, found.c_str(), found.size() + 1);
  return 1;
}

int KOPlatformInfo::getClientList(std::vector<std::string>& clients) {
  clients.clear();
  const size_t prefix = sizeof kMachinesPrefix - 1;
  for (const std::string& path : trhsm::platform::RegistryKeys()) {
    if (path.compare(0, prefix, kMachinesPrefix) != 0) continue;
    std::string client = path.substr(prefix, path.find('/', prefix) - prefix);
    if (client.empty()) continue;
    bool seen = false;
    for (const std::string& known : clients) seen = seen || known == client;
    if (!seen) clients.push_back(client);
  }
  return static_cast<int>(clients.size());
}

int KOPlatformInfo::getClientHostName(const char* client, std::string& host) {
  host.clear();
  if (client == nullptr) return 0;
  return getString((kMachinesPrefix + std::string(client)).c_str(), "sHOST_NAME", &host);
}

const char* KOPI_Base::getVeloraDirectory() { return LookupInto("Base", "dVELORA_HOME", &value_); }

const char* KOPI_CommClient::getJobResultsDirectory(const char* client) {
  if (client == nullptr) {
    value_.clear();
    return nullptr;
  }
  return LookupInto(kMachinesPrefix + std::string(client), "dJOB_RESULTS_DIR", &value_);
}

const char* KOPI_Focus::getFocusClientName(bool /*refresh*/) {
  return LookupInto("Base", "sFOCUS_CLIENT", &value_);
}
