// Reading and parsing the configuration store file.
#include "platform/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/file_text.h"
#include "platform/no_destructor.h"
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

// Logs `fault` of the store at `path` unless this process logged it before: the store is read
// afresh at every lookup, and one damaged line must not fill the log.
void ReportOnce(const char* path, const RegistryFault& fault) {
  // Bounded, so that a process reading ever-changing stores does not grow without end: once full
  // it starts afresh, and a fault may then be logged again.
  constexpr size_t kMaxRemembered = 1024;
  static NoDestructor<std::mutex> mutex;
  static NoDestructor<std::set<std::string>> reported;
  // The line's own text is part of the identity, so an edited store reports its new faults.
  const std::string identity = std::string(path) + '\n' + std::to_string(fault.line) + '\n' +
                               std::to_string(std::hash<std::string>()(fault.text));
  {
    std::lock_guard<std::mutex> lock(*mutex.get());
    std::set<std::string>& seen = *reported.get();
    if (seen.count(identity) != 0) return;
    if (seen.size() >= kMaxRemembered) seen.clear();
    seen.insert(identity);
  }
  EvDebug().Error("LoadRegistry", "%s line %zu ignored: %s", path, fault.line, fault.reason);
}

}  // namespace

std::vector<RegistryKey> ParseRegistry(const std::string& text,
                                       std::vector<RegistryFault>* faults) {
  std::vector<RegistryKey> keys;
  std::unordered_map<std::string, size_t> index;
  RegistryKey* current = nullptr;
  size_t start = 0;
  size_t number = 0;
  auto fault = [&](const char* reason, const std::string& line) {
    if (faults != nullptr) faults->push_back(RegistryFault{number, reason, line});
  };
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    // A store written with CRLF line ends reads as one written with LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      current = nullptr;
      // A key line without its ']' is damaged: its values must not land under the key before it.
      if (line.size() < 2 || line.back() != ']') {
        fault("a key line without its closing ']' (the values after it are ignored)", line);
        continue;
      }
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
    if (equals == std::string::npos) {
      fault("neither [Key] nor NAME=VALUE", line);
    } else if (current == nullptr) {
      fault("a value before the first [Key] or after a damaged one", line);
    } else {
      current->values.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  return keys;
}

std::vector<RegistryKey> LoadRegistry() {
  const char* path = std::getenv("KO_REGISTRY");
  std::string text;
  if (path == nullptr || *path == '\0' || !ReadWholeFile(path, &text)) return {};
  std::vector<RegistryFault> faults;
  std::vector<RegistryKey> keys = ParseRegistry(text, &faults);
  for (const RegistryFault& fault : faults) ReportOnce(path, fault);
  return keys;
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
