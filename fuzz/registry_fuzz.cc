// The configuration store of the platform stand-in over a store file made of the input: every
// value KOPlatformInfo answers must be the one an independent reading of the file gives (the last
// "name=value" line of that name under the key, value bytes kept exactly), and the client list
// must hold exactly the "Machines/<client>" keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "trhsm/KOPlatformInfo.h"

namespace {

using trhsm_fuzz::Check;

std::string StorePath() { return trhsm_fuzz::ScratchFolder() + "/registry"; }

struct Store {
  std::vector<std::string> keys;                                      // first appearance order
  std::map<std::pair<std::string, std::string>, std::string> values;  // the last value wins
};

Store Reference(std::string_view text) {
  Store s;
  bool inKey = false;
  std::string key;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == text.npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inKey = line.size() >= 2 && line.back() == ']';
      if (!inKey) continue;
      key.assign(line.substr(1, line.size() - 2));
      bool seen = false;
      for (const std::string& k : s.keys) seen = seen || k == key;
      if (!seen) s.keys.push_back(key);
      continue;
    }
    const size_t equals = line.find('=');
    if (!inKey || equals == line.npos) continue;
    s.values[{key, std::string(line.substr(0, equals))}] = std::string(line.substr(equals + 1));
  }
  return s;
}

bool HasNul(const std::string& s) { return s.find('\0') != s.npos; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("0");
  setenv("KO_REGISTRY", StorePath().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  trhsm_fuzz::WriteWhole(StorePath(), data, size);
  const Store store = Reference(text);
  KOPlatformInfo info;

  // Every lookup reads the store again; a few of them show whether it reads right.
  int lookups = 0;
  for (const auto& [where, value] : store.values) {
    if (++lookups > 12) break;
    const std::string& key = where.first;
    const std::string& name = where.second;
    if (HasNul(key) || HasNul(name)) continue;
    std::string found;
    Check(info.getString(key.c_str(), name.c_str(), &found) == 1, "a stored value is not found");
    Check(found == value, "value differs from its last line in the store");
    char buffer[16];
    int length = sizeof buffer;
    const int rc = info.getString(key.c_str(), name.c_str(), buffer, &length);
    Check(length == static_cast<int>(value.size()), "getString reports a wrong length");
    Check(rc == (value.size() < sizeof buffer ? 1 : 0), "getString into a buffer: wrong result");
    if (rc == 1) Check(std::memcmp(buffer, value.c_str(), value.size() + 1) == 0, "buffer text");
    // A name that is not stored under the key is not found.
    const std::string absent = name + "=";
    Check(info.getString(key.c_str(), absent.c_str(), &found) == 0, "a name holding '=' found");
  }

  std::vector<std::string> expected;
  for (const std::string& key : store.keys) {
    if (key.compare(0, 9, "Machines/") != 0) continue;
    const std::string client = key.substr(9, key.find('/', 9) - 9);
    bool seen = client.empty();
    for (const std::string& c : expected) seen = seen || c == client;
    if (!seen) expected.push_back(client);
  }
  std::vector<std::string> clients;
  Check(info.getClientList(clients) == static_cast<int>(expected.size()), "client count");
  Check(clients == expected, "client list differs from the store's Machines keys");
  for (size_t i = 0; i < clients.size() && i < 4; ++i) {
    if (HasNul(clients[i])) continue;
    KOPI_CommClient comm;
    const char* folder = comm.getJobResultsDirectory(clients[i].c_str());
    const auto it = store.values.find({"Machines/" + clients[i], "dJOB_RESULTS_DIR"});
    Check((folder != nullptr) == (it != store.values.end()), "job results directory presence");
    if (folder != nullptr)
      Check(it->second == folder || HasNul(it->second), "job results directory");
  }
  return 0;
}
