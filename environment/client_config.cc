// The C-style configuration getters: installation directory, served client's host name, and any
// configuration value.
#include <cstring>
#include <string>

#include "trhsm/KOPlatformInfo.h"
#include "trhsm/TRHSMEnvironment.h"

namespace {

// `text` cut to size - 1 bytes, NUL-terminated. REQUIRES: buffer holds size >= 1 bytes.
void CopyCut(const char* text, char* buffer, int size) {
  std::strncpy(buffer, text, static_cast<size_t>(size));
  buffer[size - 1] = '\0';
}

}  // namespace

int GetVeloraPath(char* buffer, int size) {
  // A size below 1 leaves no room even for the terminator.
  if (buffer == nullptr || size < 1) return -1;
  buffer[0] = '\0';
  KOPI_Base base;
  const char* directory = base.getVeloraDirectory();
  if (directory == nullptr) return -1;
  CopyCut(directory, buffer, size);
  return 0;
}

int GetClientName(char* buffer, int size) {
  if (buffer == nullptr || size < 1) return -1;
  std::string client;
  {
    KOPI_Focus focus;
    const char* name = focus.getFocusClientName(false);
    // Without a served client there is no host to ask for.
    if (name == nullptr) return -1;
    client = name;
  }
  std::string host;
  KOPlatformInfo().getClientHostName(client.c_str(), host);
  if (host.empty()) return -1;
  CopyCut(host.c_str(), buffer, size);
  return 0;
}

int GetRegistryItemValue(const char* key, const char* name, char* buffer, int size, bool /*flag*/) {
  if (buffer == nullptr || size < 1) return -1;
  buffer[0] = '\0';
  // The store may write the value's length back; the caller's size stays as given.
  int length = size;
  return KOPlatformInfo().getString(key, name, buffer, &length) != 0 ? 0 : -1;
}

int GetRegistryItemValue(const char* key, const char* name, std::string& value, bool /*flag*/) {
  return KOPlatformInfo().getString(key, name, &value) != 0 ? 0 : -1;
}
