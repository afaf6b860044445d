// The configuration store: a value is the rest of its whole "name=value" line under "[key]"; a
// buffer too small is refused with the length needed, untouched; each client has its key.
#include "fuzz/fuzz_check.h"
#include "trhsm/KOPlatformInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(trhsm_fuzz::Text(data, size)), framed = "\n" + text + "\n";
  trhsm_fuzz::SetFile("KO_REGISTRY", "registry", text);
  KOPlatformInfo info;
  auto wholeLine = [&framed](const std::string& line) {
    return framed.find("\n" + line + "\n") != framed.npos ||
           framed.find("\n" + line + "\r\n") != framed.npos;
  };
  std::string key;  // lookups read the store again each time: a dozen names tell enough
  int inKey = 0, lookups = 0;
  trhsm_fuzz::ForLines(text, [&](std::string_view view) {
    std::string line(view.substr(0, view.size() - (!view.empty() && view.back() == '\r')));
    if (line[0] == '[' && (inKey = line.size() >= 2 && line.back() == ']'))
      key = line.substr(1, line.size() - 2);
    const size_t equals = line.find('=');
    if (!inKey || (key + line).find('\0') != key.npos || line[0] == '#' || line[0] == '[' ||
        equals == line.npos || ++lookups > 12)
      return;
    const std::string name = line.substr(0, equals);
    std::string found;
    char buffer[16] = "mmmmmmmmmmmmmmm";  // a refusal leaves it alone
    int length = sizeof buffer;
    FUZZ_CHECK(info.getString(key.c_str(), name.c_str(), &found) == 1 &&
               wholeLine(name + "=" + found));
    const int rc = info.getString(key.c_str(), name.c_str(), buffer, &length);
    FUZZ_CHECK(length == static_cast<int>(found.size()) && rc == (found.size() < sizeof buffer) &&
               (rc ? std::string(buffer, found.size() + 1) == found + '\0'
                   : std::string(buffer) == "mmmmmmmmmmmmmmm") &&
               info.getString(key.c_str(), (name + "=").c_str(), &found) == 0);
  });
  std::vector<std::string> clients;
  FUZZ_CHECK(info.getClientList(clients) == static_cast<int>(clients.size()));
  for (size_t i = 0; i < clients.size(); ++i)
    FUZZ_CHECK(!clients[i].empty() && text.find("[Machines/" + clients[i]) != text.npos &&
               std::find(clients.begin(), clients.begin() + i, clients[i]) == clients.begin() + i);
  return 0;
}
