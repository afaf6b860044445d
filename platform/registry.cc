// Reading and parsing the configuration store file.
#include "platform/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "platform/file_text.h"
#include "trhsm/EvDebug.h"
#include "trhsm/KoFile.h"

namespace trhsm {
namespace platform {
namespace {

// The whole file at `path`; false (and nothing logged) when it does not exist.
bool ReadWholeFile(const char* path, std::string* text) {
  const int error = ReadFileText(path, text);
  if (error == 0) return true;
  if (error != ENOENT && error != ENOTDIR) {
    char buffer[256];
    EvDebug().Error("LoadRegistry", "read %s: %s", path, strerror_r(error, buffer, sizeof buffer));
  }
  return false;
}

}  // namespace

std::vector<RegistryKey> ParseRegistry(const std::string& text) {
  std::vector<RegistryKey> keys;
  std::unordered_map<std::string, size_t> index;
  RegistryKey* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() == '\r') line.pop_back();
      current = nullptr;
      // A key line without its ']' is damaged: its values must not land under the key before it.
      if (line.size() < 2 || line.back() != ']') continue;
      std::string path = line.substr(1, line.size() - 2);
      auto found = index.find(path);
      if (found == index.end()) {
        found = index.emplace(path, keys.size()).first;
        keys.push_back(RegistryKey{path, {}});
      }
      current = &keys[found->second];
      continue;
    }
    size_t equals = line.find('=');
    if (current == nullptr || equals == std::string::npos) continue;
    current->values.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return keys;
}

std::vector<RegistryKey> LoadRegistry() {
  const char* path = std::getenv("KO_REGISTRY");
  std::string text;
  if (path == nullptr || *path == '\0' || !ReadWholeFile(path, &text)) return {};
  return ParseRegistry(text);
}

bool RegistryLookup(const std::string& key, const std::string& name, std::string* value) {
  for (const RegistryKey& entry : LoadRegistry()) {
    if (entry.path != key) continue;
    for (auto it = entry.values.rbegin(); it != entry.values.rend(); ++it) {
      if (it->first != name) continue;
      if (value != nullptr) *value = it->second;
      return true;
    }
    return false;
  }
  return false;
}

std::vector<std::string> RegistryKeys() {
  std::vector<std::string> paths;
  for (RegistryKey& entry : LoadRegistry()) paths.push_back(std::move(entry.path));
  return paths;
}

}  // namespace platform
}  // namespace trhsm
