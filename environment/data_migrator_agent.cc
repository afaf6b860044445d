// Which configured client carries the data-migrator agent, and whether it is installed.
#include <string>
#include <vector>

#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMEnvironment.h"

namespace {

constexpr const char kMachinesPrefix[] = "Machines/";
constexpr const char kInstallValue[] = "nINSTALL";
constexpr const char kSourceUnit[] = "TRHSMCommon";

std::vector<std::string> ConfiguredClients() {
  std::vector<std::string> clients;
  KOPlatformInfo().getClientList(clients);
  return clients;
}

}  // namespace

std::string getTRHSMClientName() {
  static constexpr const char kTag[] = "getTRHSMClientName";
  std::string found;
  for (const std::string& client : ConfiguredClients()) {
    std::string key = kMachinesPrefix + client + "/TSLY";
    std::string scratch;
    if (KOPlatformInfo().getString(key.c_str(), kInstallValue, &scratch) == 0) continue;
    if (!found.empty()) {
      throw KoException(kTag,
                        "Two nodes with Tessaly detected: " + found + " and " + client +
                            ", but only one is allowed.",
                        kSourceUnit, __LINE__, -1);
    }
    found = client;
  }
  if (found.empty()) {
    throw KoException(kTag, "Failed to find node name with Tessaly installed.", kSourceUnit,
                      __LINE__, -1);
  }
  return found;
}

bool IsTSLYInstalledOnVm(const char* client) {
  if (client == nullptr) return false;
  std::string key = kMachinesPrefix + std::string(client) + "/UnixTessaly";
  std::string value;
  return KOPlatformInfo().getString(key.c_str(), kInstallValue, &value) != 0 && value == "1";
}

bool IsTSLYInstalled() {
  for (const std::string& client : ConfiguredClients()) {
    if (IsTSLYInstalledOnVm(client.c_str())) return true;
  }
  return false;
}
